#include "platform/windows/windows_system_clock.h"

#include <windows.h>

namespace tamrik::platform::windows {

ClockOutcome clockOutcomeForError(std::uint32_t win32Error) {
  switch (win32Error) {
    case ERROR_SUCCESS:
      return ClockOutcome::Set;
    case ERROR_NOT_ALL_ASSIGNED:
    case ERROR_PRIVILEGE_NOT_HELD:
    case ERROR_ACCESS_DENIED:
      return ClockOutcome::NotPermitted;
    case ERROR_INVALID_PARAMETER:
      return ClockOutcome::Invalid;
    default:
      return ClockOutcome::Unavailable;
  }
}

bool isSettableWindowsTime(const SystemTime& utc) {
  return isValidSystemTime(utc) && utc.year >= 1601 && utc.year <= 30827;
}

WindowsSystemClock::WindowsSystemClock(Steps steps) : steps_(std::move(steps)) {}

void WindowsSystemClock::set(const SystemTime& utc, ClockPrompt /*prompt: Windows cannot ask for this right*/,
                             ClockAnswer answer) {
  if (!answer) answer = [](ClockOutcome) {};
  if (!isSettableWindowsTime(utc)) return answer(ClockOutcome::Invalid);
  if (right_ == Right::NotHeld) return answer(ClockOutcome::NotPermitted);
  if (!steps_.enableRight || !steps_.setTime) return answer(ClockOutcome::Unavailable);

  if (right_ == Right::Unknown) {
    const std::uint32_t error = steps_.enableRight();
    const ClockOutcome outcome = clockOutcomeForError(error);
    if (outcome == ClockOutcome::NotPermitted) right_ = Right::NotHeld;
    if (error != ERROR_SUCCESS) {
      // Anything but a missing right (no token, say) is tried again with the next setting.
      return answer(outcome == ClockOutcome::NotPermitted ? outcome : ClockOutcome::Unavailable);
    }
    right_ = Right::Enabled;
  }
  const ClockOutcome outcome = clockOutcomeForError(steps_.setTime(utc));
  // Enabled, but refused all the same (a policy took the right away): no use asking again.
  if (outcome == ClockOutcome::NotPermitted) right_ = Right::NotHeld;
  answer(outcome);
}

}  // namespace tamrik::platform::windows
