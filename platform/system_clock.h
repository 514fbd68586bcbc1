#pragma once
#include <functional>

#include "platform/system_time.h"

namespace tamrik::platform {

// Whether a clock setting may ask the user for the right to change the clock. Only a setting the
// user asked for may; one that comes by itself from the receiver never interrupts the user.
enum class ClockPrompt { Never, Allowed };

// What became of a clock setting.
enum class ClockOutcome {
  Set,            // the clock was set
  Invalid,        // a field out of range (1000 ms, month 13): nothing was tried
  Busy,           // an earlier setting still waits for the user's answer; this one was dropped
  AutomaticSync,  // refused: the system synchronises the clock itself (automatic time synchronisation)
  NotPermitted,   // refused: no right to change the clock, or the user did not give it
  Unavailable,    // nothing to set the clock with: no time service, or it did not answer
};

// Receives the outcome of one setting, exactly once: before the setting returns, or later from the
// event loop when the system has to wait for the user.
using ClockAnswer = std::function<void(ClockOutcome)>;

// Sets the computer's clock. Implementations receive only times that passed isValidSystemTime.
class SystemClock {
 public:
  virtual ~SystemClock() = default;
  virtual void set(const SystemTime& utc, ClockPrompt prompt, ClockAnswer answer) = 0;
};

// The clock of a program that never sets the computer's time (tamrikctl, the bridge): every
// request is answered NotPermitted.
class UnsettableSystemClock final : public SystemClock {
 public:
  void set(const SystemTime&, ClockPrompt, ClockAnswer answer) override {
    if (answer) answer(ClockOutcome::NotPermitted);
  }
};

}  // namespace tamrik::platform
