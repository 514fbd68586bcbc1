#pragma once
#include <vector>

#include "platform/system_clock.h"

namespace tamrik::sim {

// The computer's clock while the program runs on simulated units: a setting the simulated receiver
// asks for is kept (the snapshot lists it) and answered as done, and the machine's clock is never
// touched, so a simulation can run anywhere without privileges and without moving real time.
class SimulatedSystemClock final : public platform::SystemClock {
 public:
  void set(const platform::SystemTime& utc, platform::ClockPrompt, platform::ClockAnswer answer) override {
    requests.push_back(utc);
    answer(platform::ClockOutcome::Set);
  }
  std::vector<platform::SystemTime> requests;
};

}  // namespace tamrik::sim
