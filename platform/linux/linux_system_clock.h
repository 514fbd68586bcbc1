#pragma once
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "platform/system_clock.h"

namespace tamrik::platform {

// Sets the computer's clock: directly with clock_settime when the process holds the right to,
// otherwise through the system's time service (systemd-timedated over D-Bus). The service is asked
// without waiting for its answer, so the window never blocks while the user reads an authorization
// prompt; it is asked to move the clock by the offset measured when the request was made, so the
// time set stays right however long the user takes.
//
// The service may ask the user for authorization only for a setting that allows a prompt. One
// request is out at a time; a setting made meanwhile is answered Busy. After the service refused,
// settings that may not prompt are answered with the same refusal for kRetryAfterRefusal without
// asking it again, so that a setting due every second neither floods the service nor the user.
//
// The steps that reach the machine's clock and the system bus are given to the constructor; the
// real ones come from hostClockSteps() (host_clock.h), which only the program links.
class LinuxSystemClock final : public SystemClock {
 public:
  struct Steps {
    std::function<int(const timespec&)> setRealtime;  // 0, or the errno of the failure
    // Asks the service to move the clock by deltaUsec, letting it prompt the user for authorization
    // only when interactive, and returns at once; done receives the outcome later (Set,
    // AutomaticSync, NotPermitted or Unavailable).
    std::function<void(std::int64_t deltaUsec, bool interactive, ClockAnswer done)> askTimeService;
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<std::int64_t()> realtimeUsec;  // the clock's current time, microseconds since 1970
  };

  static constexpr std::chrono::minutes kRetryAfterRefusal{5};

  // A step left empty counts as refused (setRealtime) or unavailable (askTimeService); without
  // `now` or `realtimeUsec` no request goes to the service.
  explicit LinuxSystemClock(Steps steps);

  void set(const SystemTime& utc, ClockPrompt prompt, ClockAnswer answer) override;

 private:
  struct ServiceState {
    bool pending = false;
    std::optional<ClockOutcome> refusal;  // the last answer, when it was a refusal
    std::chrono::steady_clock::time_point refusedAt{};
  };
  Steps steps_;
  std::shared_ptr<ServiceState> service_ = std::make_shared<ServiceState>();
};

// Microseconds since 1970-01-01 00:00 UTC; std::nullopt for an invalid time or one before 1970,
// which the clock cannot be set to.
std::optional<std::int64_t> unixMicroseconds(const SystemTime& utc);

// The outcome a D-Bus error of the time service stands for: automatic time synchronisation on,
// not permitted (access denied, interactive authorization required but not allowed), or, for any
// other error (no such service, no answer), unavailable.
ClockOutcome timeServiceOutcome(std::string_view dbusErrorName);

}  // namespace tamrik::platform
