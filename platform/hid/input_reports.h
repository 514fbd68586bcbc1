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

// Reads one raw report as hidapi's hid_read_timeout delivers it into the given buffer: with its ID
// byte for a device with numbered reports, bare data otherwise (hidraw sends it so on Linux, and
// hidapi drops the ID byte 0 that Windows puts before unnumbered reports). Waits at most timeoutMs
// (0: only take what is already queued). Returns its byte count, 0 when none came,
// kReadInterrupted when a signal cut the wait short, another negative value on error.
using RawReportReader = std::function<int(std::span<std::uint8_t> into, int timeoutMs)>;

// No report came because a signal arrived during the wait; the device is still there.
inline constexpr int kReadInterrupted = -2;
// How often one collection waits again after a signal before it gives up for this time.
inline constexpr int kMaxInterruptedWaits = 8;

// A reader over a read that reports as hidapi's hidraw hid_read_timeout does: -1 on error, with errno
// telling why. Its wait (poll) is never restarted after a signal handler, whatever SA_RESTART
// says, so a signal such as the snapshot request makes it fail with EINTR: that is
// kReadInterrupted here, not an error.
RawReportReader signalAwareReader(RawReportReader hidapiRead);

// Puts one raw report into slot (framing.reportLength bytes) in the caller's layout: the ID byte
// first, data cut at the slot's end or padded with zeros.
void placeInputReport(std::span<const std::uint8_t> raw, const InputFraming& framing, std::span<std::uint8_t> slot);

// Waits at most firstReportTimeout for one report, then takes the reports already queued, one
// slot each, while a whole slot still fits into buffer. ok is false only when the first read
// fails; an error after some reports arrived keeps them (the next read reports the loss). A wait
// that a signal cut short is never a failure: it is taken up again for the rest of the time, at
// most kMaxInterruptedWaits times.
// scratch receives each raw report and bounds its size.
InputReadResult collectInputReports(const RawReportReader& read, const InputFraming& framing,
                                    std::span<std::uint8_t> buffer, std::span<std::uint8_t> scratch,
                                    std::chrono::milliseconds firstReportTimeout);

}  // namespace tamrik::platform
