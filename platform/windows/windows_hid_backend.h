#pragma once
#include <optional>
#include <string>

#include "platform/hid/hidapi_devices.h"

namespace tamrik::platform::windows {

// The HID devices of this computer through hidapi's Windows backend. Paths are HID device
// interface paths ("\\?\HID#VID_1234&PID_5678#...#{4d1e55b2-...}"); report lengths come from the
// HID class driver when a device is opened (hid_layout.h).
class WindowsHidBackend final : public HidapiDevices {
 public:
  WindowsHidBackend() = default;

 private:
  bool mayOpen(const std::string& path) override;
  std::optional<ReportDescriptorInfo> reportLayout(const std::string& path) override;
};

}  // namespace tamrik::platform::windows
