#pragma once
#include <cstdint>

#include "platform/system_time.h"
#include "platform/windows/windows_system_clock.h"

namespace tamrik::platform::windows {

// The steps of WindowsSystemClock that reach this machine: the process token and SetSystemTime.
// Only the program links them, in a library of their own (tamrik_host_clock), so that no test can
// set the machine's clock.
WindowsSystemClock::Steps hostClockSteps();

// Enables SE_SYSTEMTIME_NAME in this process's token with AdjustTokenPrivileges: 0, or the Win32
// error (ERROR_NOT_ALL_ASSIGNED when the token does not hold the right).
std::uint32_t enableSystemTimeRight();

// SetSystemTime: 0, or the Win32 error.
std::uint32_t setSystemTimeUtc(const SystemTime& utc);

}  // namespace tamrik::platform::windows
