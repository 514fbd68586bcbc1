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
  OpenFailure openFailure(const std::string& path, std::string hidapiText) override;
};

// The kind of an open that failed, from the Windows error code hidapi's text carries
// ("open_device: (0x00000020) The process cannot access the file ...").
OpenFailure::Kind openFailureKind(const std::string& hidapiText);

}  // namespace tamrik::platform::windows
