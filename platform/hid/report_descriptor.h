#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tamrik::platform {

// Report lengths in bytes, as the host's HID class driver counts them: the longest report of each
// type plus one byte for the report ID. A device without report IDs still gets that byte (it
// reads as 0), so a device with 64 data bytes per report has a length of 65. A type the device
// has no report of has length 0.
struct ReportDescriptorInfo {
  int inputReportLength = 0;
  int outputReportLength = 0;
  int featureReportLength = 0;
  bool usesReportIds = false;  // the device prefixes every report with its ID byte

  friend bool operator==(const ReportDescriptorInfo&, const ReportDescriptorInfo&) = default;
};

struct ReportDescriptorResult {
  std::optional<ReportDescriptorInfo> info;  // set when the descriptor was understood
  std::string error;                         // why it was refused, otherwise empty
  std::size_t errorOffset = 0;               // byte offset of the offending item
};

// The biggest descriptor the parser accepts; real devices stay far below it (the kernel keeps at
// most 4 KiB of one).
inline constexpr std::size_t kMaxReportDescriptorBytes = 65536;
// The biggest report, ID byte included, that the Linux HID core accepts.
inline constexpr int kMaxReportBytes = 16384;

// Computes the report lengths of a HID report descriptor. Malformed descriptors (truncated items,
// unbalanced collections or push/pop, report IDs of 0, mixed numbered and unnumbered reports, sizes
// beyond what a HID device can have) are refused with an error, never read past their end.
ReportDescriptorResult parseReportDescriptor(std::span<const std::uint8_t> descriptor);

}  // namespace tamrik::platform
