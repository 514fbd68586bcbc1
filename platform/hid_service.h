#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/device_handle.h"

namespace tamrik::platform {

struct HidAttributes {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t versionNumber = 0;  // USB device release number, the unit's firmware version
};

// Report lengths in bytes, report ID byte included, as the device's report descriptor gives them.
struct HidCapabilities {
  int inputReportLength = 0;
  int featureReportLength = 0;
};

enum class HidString { Manufacturer, Product, SerialNumber };

struct InputReadResult {
  bool ok = false;          // false: the device is gone or the handle is not valid any more
  std::size_t bytes = 0;    // whole input reports delivered, laid end to end; 0 when none arrived in time
};

// The HID class operations on an open device.
class HidService {
 public:
  virtual ~HidService() = default;

  virtual std::optional<HidAttributes> attributes(DeviceHandle device) = 0;

  // One of the device's strings as UTF-16 code units, at most maxBytes / 2 of them, ending before
  // the first zero code unit. std::nullopt when the request fails.
  virtual std::optional<std::u16string> string(DeviceHandle device, HidString which, std::size_t maxBytes) = 0;

  virtual std::optional<HidCapabilities> capabilities(DeviceHandle device) = 0;

  // Sends report (report[0] is the report ID) as a feature report. True when the device took it.
  virtual bool setFeature(DeviceHandle device, std::span<const std::uint8_t> report) = 0;

  // Reads a feature report into report (report[0] holds the report ID on entry). Gives the count of
  // bytes the device delivered, report ID byte included; the bytes after them read as zero. A device
  // may deliver fewer bytes than asked for. std::nullopt when the request failed.
  virtual std::optional<std::size_t> getFeature(DeviceHandle device, std::span<std::uint8_t> report) = 0;

  // Waits at most firstReportTimeout for the first input report, then takes every further report
  // already queued, whole reports end to end, as long as they fit into buffer. Never blocks longer
  // than the timeout, so a unit that stays attached but goes silent cannot freeze the caller.
  virtual InputReadResult readInputReports(DeviceHandle device, std::span<std::uint8_t> buffer,
                                           std::chrono::milliseconds firstReportTimeout) = 0;

  // Why the latest request on this device that failed, failed, in the system's words (errno's
  // text, hidapi's error string, the Windows error). Empty when the backend cannot tell.
  virtual std::string lastError(DeviceHandle device) {
    (void)device;
    return {};
  }
  // Whether the latest request on this device that failed went unanswered: the device stayed
  // attached but gave no answer within the bound the backend waits (hidapi's on Windows, the
  // kernel's on Linux). False when the backend cannot tell.
  virtual bool lastRequestUnanswered(DeviceHandle device) {
    (void)device;
    return false;
  }
};

}  // namespace tamrik::platform
