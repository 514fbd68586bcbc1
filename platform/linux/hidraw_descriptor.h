#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace tamrik::platform {

// Reads the report descriptor of a hidraw device ("/dev/hidrawN") from
// <sysRoot>/class/hidraw/hidrawN/device/report_descriptor. std::nullopt when the path does not
// name a hidraw node, the file is missing, not a regular file, empty or implausibly long.
std::optional<std::vector<std::uint8_t>> readSysfsReportDescriptor(const std::string& devicePath,
                                                                   const std::filesystem::path& sysRoot);

// True when path is a character device that answers the hidraw descriptor-size request.
bool isHidrawNode(const std::string& devicePath);

// True when path is a character device whose number is that of the hidraw node of its name in
// <sysRoot>/class/hidraw: a hidraw node known without opening it, for one this user may not open.
bool isListedHidrawNode(const std::string& devicePath, const std::filesystem::path& sysRoot);

// Asks the hidraw driver for the descriptor of an opened node (HIDIOCGRDESC). std::nullopt when
// the path is not a character device or the driver refuses.
std::optional<std::vector<std::uint8_t>> readIoctlReportDescriptor(const std::string& devicePath);

}  // namespace tamrik::platform
