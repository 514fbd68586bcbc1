#include "platform/host_kernel.h"

#include <thread>

namespace tamrik::platform {

HostKernel::HostKernel(DeviceBackend& devices, SystemClock& clock, Sleeper sleeper, UtcSource utc)
    : devices_(devices), clock_(clock), sleeper_(std::move(sleeper)), utc_(std::move(utc)) {
  if (!sleeper_) sleeper_ = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  if (!utc_) utc_ = [] { return std::chrono::floor<std::chrono::milliseconds>(std::chrono::system_clock::now()); };
}

DeviceHandle HostKernel::openDevice(const std::string& path, OpenMode mode) {
  const DeviceHandle h = devices_.open(path, mode);
  return isValidHandle(h) ? h : kInvalidHandle;
}

bool HostKernel::closeHandle(DeviceHandle handle) {
  if (!isValidHandle(handle)) return false;
  return devices_.close(handle);
}

void HostKernel::sleep(std::chrono::milliseconds duration) {
  if (duration.count() > 0) sleeper_(duration);
}

void HostKernel::setSystemTime(const SystemTime& utc, ClockPrompt prompt, ClockAnswer answer) {
  if (!answer) answer = [](ClockOutcome) {};
  if (!isValidSystemTime(utc)) return answer(ClockOutcome::Invalid);
  clock_.set(utc, prompt, std::move(answer));
}

}  // namespace tamrik::platform
