#include "platform/windows/host_clock.h"

#include <windows.h>

namespace tamrik::platform::windows {

std::uint32_t enableSystemTimeRight() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) return ::GetLastError();
  TOKEN_PRIVILEGES privileges{};
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  DWORD error = ERROR_SUCCESS;
  if (!::LookupPrivilegeValueW(nullptr, SE_SYSTEMTIME_NAME, &privileges.Privileges[0].Luid)) {
    error = ::GetLastError();
  } else if (!::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof privileges, nullptr, nullptr)) {
    error = ::GetLastError();
  } else {
    // Success all the same when the token lacks the right: only the last error tells.
    error = ::GetLastError();
  }
  ::CloseHandle(token);
  return error;
}

std::uint32_t setSystemTimeUtc(const SystemTime& utc) {
  SYSTEMTIME st{};
  st.wYear = utc.year;
  st.wMonth = utc.month;
  st.wDayOfWeek = utc.dayOfWeek;
  st.wDay = utc.day;
  st.wHour = utc.hour;
  st.wMinute = utc.minute;
  st.wSecond = utc.second;
  st.wMilliseconds = utc.milliseconds;
  return ::SetSystemTime(&st) ? ERROR_SUCCESS : ::GetLastError();
}

WindowsSystemClock::Steps hostClockSteps() { return {enableSystemTimeRight, setSystemTimeUtc}; }

}  // namespace tamrik::platform::windows
