// Input reads through the poller: whatever a read brings (any byte count, partial reports, failed
// reads, a unit that goes and comes back, any report length the unit announces), and, in raw mode,
// raw reports of any size framed by the Linux backend's collector first.
//
// Input: flags, an input report length selector, a feature report length selector, then reads.
//   flags bit 0: raw mode (each read: raw reports through collectInputReports)
//   flags bit 1: raw reports carry a report ID byte
//   read control byte c: 0xFF a failed read; 0xFE the unit is unplugged or plugged back in;
//     otherwise, direct: c and the next byte give the byte count, then the bytes;
//     raw: c & 15 raw reports (a length byte and the bytes each), then an error when c & 16.
//
// Checks: the status labels show the first whole report of each read; the assembler gets exactly
// bytes 3 to L-1 of the flagged whole reports; after every tick the unit is open exactly when it is
// plugged in; the collector delivers whole slots only; every feature report has the unit's length.
#include <algorithm>

#include "platform/hid/input_reports.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace tamrik;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kScratchBytes = 16384;

int lengthFrom(fuzz::FuzzInput& in) {
  const std::uint8_t sel = in.byte();
  if (sel < 0xE0) return sel;
  return in.u16();
}

int featureLengthFrom(std::uint8_t sel) { return sel >= 0xF0 ? sel - 0xF0 : 22 + sel % 64; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const std::uint8_t flags = in.byte();
  const bool raw = flags & 0x01;
  const int announcedInput = lengthFrom(in);
  const int announcedFeature = featureLengthFrom(in.byte());

  fuzz::FuzzWindow w;
  w.unit.caps = platform::HidCapabilities{announcedInput, announcedFeature};
  w.frm.Load();
  FUZZ_CHECK(w.frm.state().link.isOpen());
  const auto L = static_cast<std::size_t>(w.frm.state().link.unit().openUnit().inputReportLength);

  core::MessageAssembler reference;
  Bytes scratch(kScratchBytes);
  for (int tick = 0; tick < 256 && !in.empty(); ++tick) {
    const std::uint8_t c = in.byte();
    if (c == 0xFE) {
      w.unit.present = !w.unit.present;
    } else if (c == 0xFF) {
      w.unit.reads.push_back({false, {}});
    } else if (!raw) {
      const std::size_t n = (c | in.byte() << 8) % (4 * L + L / 2 + 2);
      const auto body = in.take(n);
      Bytes bytes(body.begin(), body.end());
      bytes.resize(n, 0);
      w.unit.reads.push_back({true, std::move(bytes)});
    } else {
      std::vector<Bytes> rawReports;
      for (int k = 0; k < (c & 15); ++k) {
        const auto r = in.take(in.byte());
        rawReports.emplace_back(r.begin(), r.end());
      }
      const bool error = c & 16;
      const platform::InputFraming framing{L, (flags & 0x02) != 0};
      w.unit.reader = [&scratch, rawReports, error, framing](std::span<std::uint8_t> buffer) {
        std::size_t next = 0;
        const platform::RawReportReader read = [&](std::span<std::uint8_t> into, int) {
          if (next == rawReports.size()) return error ? -1 : 0;
          const Bytes& r = rawReports[next++];
          const std::size_t n = std::min(r.size(), into.size());
          std::copy_n(r.begin(), n, into.begin());
          return static_cast<int>(n);
        };
        const auto result =
            platform::collectInputReports(read, framing, buffer, scratch, std::chrono::milliseconds(20));
        FUZZ_CHECK(result.bytes <= buffer.size());
        if (framing.reportLength > 0) FUZZ_CHECK(result.bytes % framing.reportLength == 0);
        FUZZ_CHECK(result.ok || result.bytes == 0);
        return result;
      };
    }

    // What the poller will find in its buffer: the queued read, as the fake delivers it.
    Bytes delivered;
    bool readOk = w.unit.present;
    const bool wasConnected = w.frm.state().link.isOpen();
    auto reader = w.unit.reader;
    if (reader) {
      w.unit.reader = [&, reader](std::span<std::uint8_t> buffer) {
        const auto result = reader(buffer);
        delivered.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(result.bytes));
        readOk = readOk && result.ok;
        return result;
      };
    } else if (!w.unit.reads.empty()) {
      readOk = readOk && w.unit.reads.front().ok;
      delivered = w.unit.reads.front().bytes;
    }
    const int readsBefore = w.unit.readCount;
    w.runTicks(1);
    w.unit.reader = nullptr;
    w.unit.reads.clear();

    const bool didRead = w.unit.readCount > readsBefore;
    FUZZ_CHECK(didRead == wasConnected);
    FUZZ_CHECK(w.frm.state().link.isOpen() == w.unit.present);
    if (didRead && readOk && w.unit.present && L >= 3) {
      const std::size_t whole = std::min(delivered.size(), std::size_t{34000}) / L;
      if (whole > 0) {
        FUZZ_CHECK(w.text("Label16") == "Signal loss count: " + std::to_string(delivered[1]));
        FUZZ_CHECK(w.text("LOS") == ((delivered[2] & 1) ? "No GPS signal" : "GPS signal OK"));
        FUZZ_CHECK(w.text("LOL") == ((delivered[2] & 2) ? "No PLL lock" : "PLL lock OK"));
      }
      for (std::size_t r = 0; r < whole; ++r) {
        if ((delivered[r * L + 2] & 0x80) == 0) continue;
        for (std::size_t k = 3; k < L; ++k) core::parseReceiverByte(reference, delivered[r * L + k]);
      }
    }
    FUZZ_CHECK(fuzz::sameAssembler(w.frm.gpsMonitor().Assembler(), reference));
  }
  return 0;
}
