#pragma once
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/device_backend.h"
#include "platform/linux/report_descriptor.h"

struct hid_device_;

namespace tamrik::platform {

// The HID devices of this computer through hidapi's hidraw backend. Paths are hidraw nodes
// ("/dev/hidraw3"); report lengths come from each device's report descriptor, read from sysfs
// under sysRoot (or from the node itself when sysfs lacks it) when the device is opened.
class HidapiBackend final : public DeviceBackend {
 public:
  explicit HidapiBackend(std::filesystem::path sysRoot = "/sys");
  ~HidapiBackend() override;
  HidapiBackend(const HidapiBackend&) = delete;
  HidapiBackend& operator=(const HidapiBackend&) = delete;

  std::vector<HidInterface> hidInterfaces() override;
  DeviceHandle open(const std::string& path, OpenMode mode) override;
  bool close(DeviceHandle handle) override;

  std::optional<HidAttributes> attributes(DeviceHandle device) override;
  std::optional<std::u16string> string(DeviceHandle device, HidString which, std::size_t maxBytes) override;
  std::optional<HidCapabilities> capabilities(DeviceHandle device) override;
  bool setFeature(DeviceHandle device, std::span<const std::uint8_t> report) override;
  std::optional<std::size_t> getFeature(DeviceHandle device, std::span<std::uint8_t> report) override;
  InputReadResult readInputReports(DeviceHandle device, std::span<std::uint8_t> buffer,
                                   std::chrono::milliseconds firstReportTimeout) override;

 private:
  struct Device;
  Device* find(DeviceHandle handle);

  std::filesystem::path sysRoot_;
  std::map<DeviceHandle, std::unique_ptr<Device>> devices_;
  DeviceHandle next_ = 1;
};

}  // namespace tamrik::platform
