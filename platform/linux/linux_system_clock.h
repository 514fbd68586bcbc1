#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>

#include "platform/system_clock.h"

namespace tamrik::platform {

// Sets the computer's clock: directly with clock_settime when the process holds the right to,
// otherwise through the system's time service (systemd-timedated over D-Bus), which asks the
// desktop user for authorization. The service is asked without waiting for its answer, so the
// window never blocks while the user reads the prompt; it is asked to move the clock by the offset
// measured when the request was made, so the time set stays right however long the user takes.
// One request at a time; after the service refused, it is not asked again for kRetryAfterRefusal,
// so that a clock setting repeated every second cannot flood the user with prompts.
class LinuxSystemClock final : public SystemClock {
 public:
  // The two ways to the clock, replaceable so that tests never touch the real one. A step left
  // empty counts as refused.
  struct Steps {
    std::function<int(const timespec&)> setRealtime;  // 0, or the errno of the failure
    // Asks the service to move the clock by deltaUsec and returns at once; done(true) is called
    // later when the service has set the clock, done(false) when it refused or failed.
    std::function<void(std::int64_t deltaUsec, std::function<void(bool)> done)> askTimeService;
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<std::int64_t()> realtimeUsec;  // the clock's current time, microseconds since 1970
  };

  static constexpr std::chrono::minutes kRetryAfterRefusal{5};

  LinuxSystemClock();  // the real clock_settime and timedated
  explicit LinuxSystemClock(Steps steps);

  // True when the clock was set, or the request is now with the time service.
  bool set(const SystemTime& utc) override;

 private:
  struct ServiceState {
    bool pending = false;
    std::optional<std::chrono::steady_clock::time_point> refusedAt;
  };
  Steps steps_;
  std::shared_ptr<ServiceState> service_ = std::make_shared<ServiceState>();
};

// Microseconds since 1970-01-01 00:00 UTC; std::nullopt for an invalid time or one before 1970,
// which the clock cannot be set to.
std::optional<std::int64_t> unixMicroseconds(const SystemTime& utc);

// Asks systemd-timedated to move the clock by deltaUsec, allowing it to ask the user for
// authorization, and returns at once; done receives true when the service set the clock, false when
// no system bus or service is there or the service refused (no authorization, automatic time
// synchronisation on). The answer arrives through the Qt event loop.
void askTimedatedToShiftClock(std::int64_t deltaUsec, std::function<void(bool)> done);

}  // namespace tamrik::platform
