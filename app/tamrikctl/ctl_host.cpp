#include "app/tamrikctl/ctl_host.h"

#include "platform/linux/hidapi_backend.h"

namespace tamrik::ctl {

SystemHost::SystemHost() = default;
SystemHost::~SystemHost() = default;

platform::DeviceBackend* SystemHost::realUnits() {
  if (!realUnits_) realUnits_ = std::make_unique<platform::HidapiBackend>();
  return realUnits_.get();
}

}  // namespace tamrik::ctl
