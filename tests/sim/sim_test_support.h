#pragma once
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"
#include "platform/sim/ubx_frame.h"

namespace tamrik::sim::testing {

using namespace std::chrono_literals;

// What a poller sees over a stretch of time: every report, and the receiver bytes of the flagged
// ones in order.
struct Capture {
  std::vector<std::vector<std::uint8_t>> reports;
  std::vector<std::uint8_t> stream;
  int failedReads = 0;
  int emptyReads = 0;
};

// Reads like the program's poller: a read every `period` of virtual time, each waiting at most
// `timeout` for the first report.
inline void poll(SimulatedUnits& units, VirtualClock& clock, platform::DeviceHandle h, std::chrono::milliseconds span,
                 Capture& out, std::chrono::milliseconds period = 10ms, std::chrono::milliseconds timeout = 100ms) {
  std::vector<std::uint8_t> buffer(34000);
  const auto end = clock.now() + span;
  while (clock.now() < end) {
    const auto r = units.readInputReports(h, buffer, timeout);
    if (!r.ok) {
      ++out.failedReads;
    } else if (r.bytes == 0) {
      ++out.emptyReads;
    } else {
      const auto length = static_cast<std::size_t>(units.capabilities(h)->inputReportLength);
      for (std::size_t at = 0; at + length <= r.bytes; at += length) {
        out.reports.emplace_back(buffer.begin() + static_cast<std::ptrdiff_t>(at),
                                 buffer.begin() + static_cast<std::ptrdiff_t>(at + length));
        if (buffer[at + 2] & 0x80) {
          out.stream.insert(out.stream.end(), buffer.begin() + static_cast<std::ptrdiff_t>(at + 3),
                            buffer.begin() + static_cast<std::ptrdiff_t>(at + length));
        }
      }
    }
    clock.advance(period);
  }
}

inline Capture poll(SimulatedUnits& units, VirtualClock& clock, platform::DeviceHandle h,
                    std::chrono::milliseconds span) {
  Capture c;
  poll(units, clock, h, span, c);
  return c;
}

inline std::vector<ubx::FoundFrame> framesOf(const std::vector<std::uint8_t>& stream, std::uint8_t cls,
                                             std::uint8_t id) {
  std::vector<ubx::FoundFrame> out;
  for (auto& f : ubx::findFrames(stream)) {
    if (f.cls == cls && f.id == id) out.push_back(std::move(f));
  }
  return out;
}

// A zero-filled feature report of the unit's length with a command code and payload.
inline std::vector<std::uint8_t> commandFrame(std::uint8_t code, std::vector<std::uint8_t> payload = {},
                                              std::size_t length = 65) {
  std::vector<std::uint8_t> f(length, 0);
  f[1] = code;
  std::copy(payload.begin(), payload.end(), f.begin() + 2);
  return f;
}

inline std::vector<std::uint8_t> rateFrame(std::uint8_t id, std::uint8_t rate, std::size_t length = 65) {
  return commandFrame(8, {0x06, 0x01, 8, 0, 0x01, id, rate}, length);
}

}  // namespace tamrik::sim::testing
