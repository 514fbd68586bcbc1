#pragma once
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/hid/hidapi_devices.h"

namespace tamrik::platform {

// The HID devices of this computer through hidapi's hidraw backend. Paths are hidraw nodes
// ("/dev/hidraw3"); report lengths come from each device's report descriptor, read from sysfs
// under sysRoot (or from the node itself when sysfs lacks it) when the device is opened.
//
// hidraw lets any number of programs open a node, so a unit is never busy there. A program that
// wants a unit for itself takes its interface through usbfs instead, and its hidraw node goes away.
// Such a unit is listed all the same, found in sysfs, by the path "usbfs:" and its usbfs node
// ("usbfs:/dev/bus/usb/001/002"), with its IDs and serial; opening it fails as busy, naming the
// programs that have the usbfs node open.
class HidapiBackend final : public HidapiDevices {
 public:
  explicit HidapiBackend(std::filesystem::path sysRoot = "/sys", std::filesystem::path procRoot = "/proc");

 private:
  bool mayOpen(const std::string& path) override;
  std::optional<ReportDescriptorInfo> reportLayout(const std::string& path) override;
  RawReportReader rawReader(RawReportReader hidapiRead) override;
  OpenFailure openFailure(const std::string& path, std::string hidapiText) override;
  std::vector<HidInterface> unlistedInterfaces() override;
  OpenFailure refusedOpen(const std::string& path) override;

  std::filesystem::path sysRoot_;
  std::filesystem::path procRoot_;
  // The holders last found for a claimed unit's node, and when. The window tries a unit it cannot
  // open a few times a second, and a look through every process's open files is not taken as often.
  struct Holders {
    std::string node;
    std::string names;
    std::chrono::steady_clock::time_point found;
  };
  std::optional<Holders> holders_;
};

}  // namespace tamrik::platform
