#pragma once
// The program's own module, which the windows' classes and windows are registered under.
#include <windows.h>

namespace tamrik::platform::win32 {

inline HINSTANCE moduleInstance() { return GetModuleHandleW(nullptr); }

}  // namespace tamrik::platform::win32
