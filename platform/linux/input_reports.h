#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "platform/hid_service.h"

namespace tamrik::platform {

// How a device's input reports are laid out for the caller: every report takes exactly
// reportLength bytes, byte 0 the report ID (0 for a device without IDs), then the report's data,
// zero-padded when the device sent a shorter report.
struct InputFraming {
  std::size_t reportLength = 0;  // report ID byte included; 0 when unknown
  bool usesReportIds = false;    // the device sends the ID as the first byte of each report
};

// Reads one raw report as hidraw delivers it into the given buffer, waiting at most timeoutMs
// (0: only take what is already queued). Returns its byte count, 0 when none came, <0 on error.
using RawReportReader = std::function<int(std::span<std::uint8_t> into, int timeoutMs)>;

// Puts one raw report into slot (framing.reportLength bytes) in the caller's layout: the ID byte
// first, data cut at the slot's end or padded with zeros.
void placeInputReport(std::span<const std::uint8_t> raw, const InputFraming& framing, std::span<std::uint8_t> slot);

// Waits at most firstReportTimeout for one report, then takes the reports already queued, one
// slot each, while a whole slot still fits into buffer. ok is false only when the first read
// fails; an error after some reports arrived keeps them (the next read reports the loss).
// scratch receives each raw report and bounds its size.
InputReadResult collectInputReports(const RawReportReader& read, const InputFraming& framing,
                                    std::span<std::uint8_t> buffer, std::span<std::uint8_t> scratch,
                                    std::chrono::milliseconds firstReportTimeout);

}  // namespace tamrik::platform
