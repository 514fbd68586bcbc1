#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "platform/shell_service.h"
#include "platform/system_clock.h"

namespace tamrik::platform::testing {

// A clock that records what it was asked to set and never touches the machine's clock.
class RecordingClock final : public SystemClock {
 public:
  bool set(const SystemTime& utc) override {
    requests.push_back(utc);
    return accept;
  }
  std::vector<SystemTime> requests;
  bool accept = true;
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
