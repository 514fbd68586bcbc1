#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "platform/shell_service.h"
#include "platform/system_clock.h"

namespace tamrik::platform::testing {

// A clock that records what it was asked to set and never touches the machine's clock. It answers
// every setting at once with `outcome`, or, with holdAnswers, keeps the answers in `held` for the
// test to give, as a system that waits for the user would.
class RecordingClock final : public SystemClock {
 public:
  void set(const SystemTime& utc, ClockPrompt prompt, ClockAnswer answer) override {
    requests.push_back(utc);
    prompts.push_back(prompt);
    if (holdAnswers) held.push_back(std::move(answer));
    else answer(outcome);
  }
  std::vector<SystemTime> requests;
  std::vector<ClockPrompt> prompts;
  ClockOutcome outcome = ClockOutcome::Set;
  bool holdAnswers = false;
  std::vector<ClockAnswer> held;
};

class RecordingShell final : public ShellService {
 public:
  bool openUrl(const std::string& url) override {
    opened.push_back(url);
    return accept;
  }
  std::vector<std::string> opened;
  bool accept = true;
};

// A sleeper for HostKernel that records the pauses and advances a virtual clock instead of waiting.
struct VirtualSleeper {
  std::vector<std::chrono::milliseconds> pauses;
  std::chrono::milliseconds elapsed{0};
  void operator()(std::chrono::milliseconds d) {
    pauses.push_back(d);
    elapsed += d;
  }
};

}  // namespace tamrik::platform::testing
