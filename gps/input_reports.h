#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace tamrik::gps {

// An input report of the unit: byte 0 the report ID, byte 1 the signal loss count, byte 2 the
// status flags, bytes 3 to the end receiver bytes when the report is flagged as carrying them.
inline constexpr std::size_t kReportHeader = 3;
inline constexpr std::uint8_t kNoGpsSignal = 0x01;
inline constexpr std::uint8_t kNoPllLock = 0x02;
inline constexpr std::uint8_t kCarriesReceiverBytes = 0x80;

// The whole reports of reportLength bytes in the first n bytes of a read; a trailing partial
// report does not count, and a length too short for the status bytes gives none.
inline std::size_t WholeReports(std::size_t n, int reportLength) {
  if (reportLength < static_cast<int>(kReportHeader)) return 0;
  return n / static_cast<std::size_t>(reportLength);
}

// The receiver bytes of one whole report: all of bytes 3 onwards when it is flagged, else none.
inline std::span<const std::uint8_t> ReceiverBytes(std::span<const std::uint8_t> report) {
  if (report.size() < kReportHeader || (report[2] & kCarriesReceiverBytes) == 0) return {};
  return report.subspan(kReportHeader);
}

}  // namespace tamrik::gps
