#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/hid/report_descriptor.h"

namespace tamrik::platform::windows {

// True for the path of a HID device interface as hidapi lists it on Windows:
// "\\?\HID#<device instance>#{4d1e55b2-f16f-11cf-88cb-001111000030}" (letters in any case), at
// most 1024 characters, nothing but printable ASCII. Anything else (a file, a pipe, a COM port, a
// simulated unit's path) never reaches hidapi, which would open it with CreateFile.
bool isHidInterfacePath(std::string_view path);

// What the HID class driver tells about a device's reports (HidP_GetCaps and the report IDs of its
// button and value capabilities).
struct HidClassCaps {
  int inputReportByteLength = 0;
  int outputReportByteLength = 0;
  int featureReportByteLength = 0;
  std::span<const std::uint8_t> reportIds;  // the ID of each capability, 0 for unnumbered reports
};

// The report layout in the terms the Linux descriptor parser uses. The driver's lengths already
// count the report ID byte, also for a device without IDs (where it is 0), just as
// ReportDescriptorInfo does; a device uses IDs when any of its capabilities has a non-zero one.
ReportDescriptorInfo layoutFromCaps(const HidClassCaps& caps);

// Opens the device at path for queries only (no read or write access, which a device that another
// program holds still allows) and asks the HID class driver for its report lengths.
// std::nullopt when the device cannot be opened or the driver has no answer.
std::optional<ReportDescriptorInfo> queryReportLayout(const std::string& path);

}  // namespace tamrik::platform::windows
