#include "platform/windows/windows_sleep.h"

#include <windows.h>

#include <algorithm>

#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace tamrik::platform::windows {

namespace {

// One timer per thread, made on first use and closed when the thread ends.
class ThreadTimer {
 public:
  ThreadTimer()
      : handle_(::CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                         TIMER_MODIFY_STATE | SYNCHRONIZE)) {}
  ~ThreadTimer() {
    if (handle_ != nullptr) ::CloseHandle(handle_);
  }
  ThreadTimer(const ThreadTimer&) = delete;
  ThreadTimer& operator=(const ThreadTimer&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace

void preciseSleep(std::chrono::milliseconds duration) {
  if (duration.count() <= 0) return;
  // Pauses longer than a day are cut there; nobody asks for them.
  const auto ms = std::min<std::chrono::milliseconds::rep>(duration.count(), 86'400'000);
  thread_local ThreadTimer timer;
  if (timer.get() != nullptr) {
    LARGE_INTEGER due;
    due.QuadPart = -static_cast<LONGLONG>(ms) * 10'000;  // relative, in 100 ns units
    if (::SetWaitableTimer(timer.get(), &due, 0, nullptr, nullptr, FALSE) &&
        ::WaitForSingleObject(timer.get(), static_cast<DWORD>(ms) + 1000) == WAIT_OBJECT_0) {
      return;
    }
  }
  ::Sleep(static_cast<DWORD>(ms));
}

HostKernel::Sleeper windowsSleeper() {
  return [](std::chrono::milliseconds duration) { preciseSleep(duration); };
}

}  // namespace tamrik::platform::windows
