#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <optional>

#include "platform/system_clock.h"

namespace tamrik::platform {

// Sets the computer's clock: directly with clock_settime when the process holds the right to,
// otherwise through the system's time service (systemd-timedated over D-Bus), which asks the
// desktop user for authorization. After the service refused, it is not asked again for
// kRetryAfterRefusal, so that a clock setting repeated every second cannot flood the user with
// authorization prompts.
class LinuxSystemClock final : public SystemClock {
 public:
  // The two ways to the clock, replaceable so that tests never touch the real one. A step left
  // empty counts as refused.
  struct Steps {
    std::function<int(const timespec&)> setRealtime;           // 0, or the errno of the failure
    std::function<bool(std::int64_t usecUtc)> askTimeService;  // true when the service set the clock
    std::function<std::chrono::steady_clock::time_point()> now;
  };

  static constexpr std::chrono::minutes kRetryAfterRefusal{5};

  LinuxSystemClock();  // the real clock_settime and timedated
  explicit LinuxSystemClock(Steps steps);

  bool set(const SystemTime& utc) override;

 private:
  Steps steps_;
  std::optional<std::chrono::steady_clock::time_point> refusedAt_;
};

// Microseconds since 1970-01-01 00:00 UTC; std::nullopt for an invalid time or one before 1970,
// which the clock cannot be set to.
std::optional<std::int64_t> unixMicroseconds(const SystemTime& utc);

// Asks systemd-timedated to set the clock to an absolute UTC time, allowing it to ask the user for
// authorization. False when the time is not after 1970, no system bus or service is there, or the
// service refused (no authorization, automatic time synchronisation on).
bool setTimeViaTimedated(std::int64_t usecUtc);

}  // namespace tamrik::platform
