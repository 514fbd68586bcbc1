#pragma once
#include <chrono>

#include "platform/host_kernel.h"

namespace tamrik::platform::windows {

// Pauses the calling thread for at least duration, to within about a millisecond: a high-resolution
// waitable timer (Windows 10 1803 and later) where there is one, Sleep() otherwise. Windows' plain
// Sleep() rounds short pauses up to its timer tick (15.6 ms by default), which would stretch the
// unit's 2 and 5 ms command gaps several times over.
void preciseSleep(std::chrono::milliseconds duration);

// preciseSleep, as the host kernel's sleeper.
HostKernel::Sleeper windowsSleeper();

}  // namespace tamrik::platform::windows
