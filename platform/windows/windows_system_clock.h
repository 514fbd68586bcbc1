#pragma once
#include <cstdint>
#include <functional>

#include "platform/system_clock.h"

namespace tamrik::platform::windows {

// Sets the computer's clock with SetSystemTime. That needs the "change the system time" right
// (SE_SYSTEMTIME_NAME) enabled in the process's token; accounts of administrators hold it in a
// program run as administrator, other accounts do not. Windows has no prompt for this one right,
// so a setting that may prompt is taken like one that may not: the right is there or it is not.
//
// The right is enabled with the first setting. When the token does not hold it, every setting is
// answered NotPermitted at once from then on without asking Windows again: a token never gains a
// right while the program runs. The window tells the user once (see the GPS monitor).
//
// The steps that reach the machine's clock are given to the constructor; the real ones come from
// hostClockSteps() (host_clock.h), which only the program links.
class WindowsSystemClock final : public SystemClock {
 public:
  struct Steps {
    // Enables SE_SYSTEMTIME_NAME in the process token: 0, or the Win32 error code
    // (ERROR_NOT_ALL_ASSIGNED when the token does not hold the right).
    std::function<std::uint32_t()> enableRight;
    // SetSystemTime with the given UTC time: 0, or the Win32 error code.
    std::function<std::uint32_t(const SystemTime& utc)> setTime;
  };

  // A step left empty counts as unavailable.
  explicit WindowsSystemClock(Steps steps);

  void set(const SystemTime& utc, ClockPrompt prompt, ClockAnswer answer) override;

 private:
  enum class Right { Unknown, Enabled, NotHeld };
  Steps steps_;
  Right right_ = Right::Unknown;
};

// The outcome a Win32 error code of the steps stands for: the right missing or access denied is
// NotPermitted, a time Windows refuses is Invalid, anything else Unavailable.
ClockOutcome clockOutcomeForError(std::uint32_t win32Error);

// True for a time SetSystemTime takes: a valid calendar time from 1601 to 30827.
bool isSettableWindowsTime(const SystemTime& utc);

}  // namespace tamrik::platform::windows
