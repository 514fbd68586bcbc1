#pragma once
#include <filesystem>
#include <optional>
#include <string>

#include "platform/hid/hidapi_devices.h"

namespace tamrik::platform {

// The HID devices of this computer through hidapi's hidraw backend. Paths are hidraw nodes
// ("/dev/hidraw3"); report lengths come from each device's report descriptor, read from sysfs
// under sysRoot (or from the node itself when sysfs lacks it) when the device is opened.
class HidapiBackend final : public HidapiDevices {
 public:
  explicit HidapiBackend(std::filesystem::path sysRoot = "/sys");

 private:
  bool mayOpen(const std::string& path) override;
  std::optional<ReportDescriptorInfo> reportLayout(const std::string& path) override;
  RawReportReader rawReader(RawReportReader hidapiRead) override;

  std::filesystem::path sysRoot_;
};

}  // namespace tamrik::platform
