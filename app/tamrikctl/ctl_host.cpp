#include "app/tamrikctl/ctl_host.h"

#ifdef _WIN32
#include "platform/windows/windows_hid_backend.h"
#include "platform/windows/windows_sleep.h"
#else
#include "platform/linux/hidapi_backend.h"
#endif

namespace tamrik::ctl {

SystemHost::SystemHost() = default;
SystemHost::~SystemHost() = default;

platform::HostKernel::Sleeper SystemHost::sleeper() {
#ifdef _WIN32
  // Windows' plain sleep rounds the unit's 2 and 5 ms command gaps up to its 15.6 ms timer tick.
  return platform::windows::windowsSleeper();
#else
  return {};
#endif
}

platform::DeviceBackend* SystemHost::realUnits() {
#ifdef _WIN32
  if (!realUnits_) realUnits_ = std::make_unique<platform::windows::WindowsHidBackend>();
#else
  if (!realUnits_) realUnits_ = std::make_unique<platform::HidapiBackend>();
#endif
  return realUnits_.get();
}

}  // namespace tamrik::ctl
