#pragma once
#include <string>

#include "platform/device_handle.h"
#include "platform/device_setup_service.h"
#include "platform/hid_service.h"
#include "platform/kernel_service.h"

namespace tamrik::platform {

// A source of HID devices: enumerates them, opens and closes them and serves the HID operations on
// the handles it opened. The real hidapi backend and the simulated units are both device backends.
class DeviceBackend : public HidService, public DeviceSetupService {
 public:
  virtual DeviceHandle open(const std::string& path, OpenMode mode) = 0;
  virtual bool close(DeviceHandle handle) = 0;
  // Why the latest open that gave kInvalidHandle failed.
  virtual OpenFailure lastOpenFailure() { return {}; }
};

}  // namespace tamrik::platform
