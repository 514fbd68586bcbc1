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
  explicit HidapiBackend(std::filesystem::path sysRoot = "/sys", std::filesystem::path procRoot = "/proc");

 private:
  bool mayOpen(const std::string& path) override;
  std::optional<ReportDescriptorInfo> reportLayout(const std::string& path) override;
  RawReportReader rawReader(RawReportReader hidapiRead) override;
  OpenFailure openFailure(const std::string& path, std::string hidapiText) override;

  std::filesystem::path sysRoot_;
  std::filesystem::path procRoot_;
};

}  // namespace tamrik::platform
