#include "platform/hid/input_reports.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace tamrik::platform {

void placeInputReport(std::span<const std::uint8_t> raw, const InputFraming& framing, std::span<std::uint8_t> slot) {
  std::fill(slot.begin(), slot.end(), std::uint8_t{0});
  if (slot.empty()) return;
  // hidapi keeps the ID byte of numbered reports and gives bare data for unnumbered ones.
  const std::span<std::uint8_t> dest = framing.usesReportIds ? slot : slot.subspan(1);
  const std::size_t n = std::min(raw.size(), dest.size());
  std::copy_n(raw.begin(), n, dest.begin());
}

RawReportReader signalAwareReader(RawReportReader hidapiRead) {
  return [read = std::move(hidapiRead)](std::span<std::uint8_t> into, int timeoutMs) {
    // Some failures (a hung-up device) leave errno as it was: start from none.
    errno = 0;
    const int n = read(into, timeoutMs);
    return n < 0 && errno == EINTR ? kReadInterrupted : n;
  };
}

InputReadResult collectInputReports(const RawReportReader& read, const InputFraming& framing,
                                    std::span<std::uint8_t> buffer, std::span<std::uint8_t> scratch,
                                    std::chrono::milliseconds firstReportTimeout) {
  InputReadResult result;
  const std::size_t slot = framing.reportLength;
  if (scratch.empty()) return result;
  if (slot == 0 || buffer.size() < slot) {
    // Nothing can be delivered, but the read still tells whether the device is there.
    if (slot != 0) return {true, 0};
    const int n = read(scratch, 0);
    return {n >= 0 || n == kReadInterrupted, 0};
  }

  // A negative timeout would make the read wait forever.
  const auto ms = std::clamp<std::chrono::milliseconds::rep>(firstReportTimeout.count(), 0, INT_MAX);
  int timeout = static_cast<int>(ms);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  int interruptions = 0;
  result.ok = true;
  while (buffer.size() - result.bytes >= slot) {
    const int n = read(scratch, timeout);
    if (n == kReadInterrupted) {
      // A signal, not the device: wait out what is left of the time, a bounded number of times,
      // then deliver what came (perhaps nothing, as after a quiet wait).
      if (++interruptions > kMaxInterruptedWaits) break;
      if (timeout > 0) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        timeout = static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(left.count(), 0, ms));
      }
      continue;
    }
    if (n < 0) {
      if (result.bytes == 0) result.ok = false;
      break;
    }
    if (n == 0) break;
    const std::size_t got = std::min(static_cast<std::size_t>(n), scratch.size());
    placeInputReport(scratch.first(got), framing, buffer.subspan(result.bytes, slot));
    result.bytes += slot;
    timeout = 0;
  }
  return result;
}

}  // namespace tamrik::platform
