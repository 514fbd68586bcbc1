// The receiver's byte stream through the window: input reports carrying the bytes are read by the
// poller, assembled into UBX frames and decoded (position and time texts, satellite bars, clock
// setting, drift commands, diagnostics).
//
// Input: a flags byte, a byte choosing how many reports each read brings, then the stream.
//   flags bit 0: the stream is a list of well-formed frames with garbage between them (each record:
//                class, id, a length selector, the payload, a garbage count and the garbage);
//                otherwise the bytes are the stream as they are
//   flags bit 1: the user's number format writes a decimal comma
//   flags bit 2: the user clicked the UTC label first (the clock is set from the stream)
//   flags bit 3: the user clicks the position label whenever the window processes events
//   flags bits 5-7: the input report length
//
// Checks: the program's assembler sees exactly the receiver bytes of the flagged reports, in order,
// and never leaves its limits; every frame it completes is a well-formed frame of the stream ending
// at that byte; decoding acts at most once per completed frame; drift commands stay in range;
// every feature report is exactly as long as the unit's; well-formed frames are each decoded once.
#include <algorithm>
#include <array>
#include <cstdlib>

#include "gps/ubx_messages.h"
#include "platform/sim/ubx_frame.h"
#include "tests/fuzz/fuzz_support.h"

namespace {

using namespace tamrik;
using Bytes = std::vector<std::uint8_t>;

constexpr std::array<int, 8> kReportLengths = {65, 4, 5, 9, 17, 33, 64, 65};

struct Frame {
  std::uint8_t cls;
  std::uint8_t id;
  Bytes payload;
  friend bool operator==(const Frame&, const Frame&) = default;
};

// Well-formed frames the assembler must take: class and id other than 0xFF, a length from 1 to
// the assembler's capacity; garbage without a first sync byte.
Bytes framesStream(fuzz::FuzzInput& in, std::vector<Frame>& frames) {
  Bytes stream;
  while (!in.empty()) {
    Frame f;
    f.cls = std::min<std::uint8_t>(in.byte(), 0xFE);
    f.id = std::min<std::uint8_t>(in.byte(), 0xFE);
    const std::uint8_t sel = in.byte();
    const std::size_t length = sel < 0xF0 ? 1u + sel : 1u + in.u16() % core::kPayloadCapacity;
    const auto body = in.take(length);
    f.payload.assign(body.begin(), body.end());
    f.payload.resize(length, 0);
    const Bytes framed = sim::ubx::frame(f.cls, f.id, f.payload);
    stream.insert(stream.end(), framed.begin(), framed.end());
    for (std::uint8_t g : in.take(in.byte() % 4)) stream.push_back(g == core::kSync1 ? 0 : g);
    frames.push_back(std::move(f));
  }
  return stream;
}

// The frame that ends at byte `end` of the stream, as the assembler holds it, must be there.
void checkCompletedFrame(const Bytes& stream, std::size_t end, const core::MessageAssembler& a) {
  const std::size_t total = std::size_t{8} + a.length;
  FUZZ_CHECK(end + 1 >= total);
  const std::size_t start = end + 1 - total;
  FUZZ_CHECK(stream[start] == core::kSync1 && stream[start + 1] == core::kSync2);
  FUZZ_CHECK(stream[start + 2] == a.messageClass && stream[start + 3] == a.messageId);
  FUZZ_CHECK((stream[start + 4] | stream[start + 5] << 8) == a.length);
  const auto body = std::span<const std::uint8_t>(stream).subspan(start + 6, a.length);
  const auto m = a.message();
  FUZZ_CHECK(std::equal(body.begin(), body.end(), m.begin(), m.end()));
  const auto ck = sim::ubx::checksum(std::span<const std::uint8_t>(stream).subspan(start + 2, 4u + a.length));
  FUZZ_CHECK(stream[end - 1] == ck.a && stream[end] == ck.b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::FuzzInput in(data, size);
  const std::uint8_t flags = in.byte();
  const std::size_t reportsPerRead = 1 + in.byte() % 8;
  const bool structured = flags & 0x01;
  const int L = kReportLengths[flags >> 5];

  fuzz::FuzzWindow w((flags & 0x02) ? ui::NumberFormat::comma() : ui::NumberFormat::point());
  w.unit.caps = platform::HidCapabilities{L, 65};
  if (flags & 0x08) {
    w.toolkit.onProcessEvents = [&w] {
      w.frm.timerTick();
      w.frm.click("Label12");
    };
  }
  w.frm.Load();
  if (flags & 0x04) w.frm.click("Label13");

  std::vector<Frame> expected;
  const Bytes stream = structured ? framesStream(in, expected) : Bytes(in.rest().begin(), in.rest().end());
  const Bytes reports = fuzz::reportsCarrying(stream, static_cast<std::size_t>(L));
  const std::size_t carried = static_cast<std::size_t>(L - 3);

  core::MessageAssembler reference;
  std::vector<Frame> completed;
  const std::size_t readBytes = reportsPerRead * static_cast<std::size_t>(L);
  for (std::size_t at = 0; at < reports.size(); at += readBytes) {
    const std::size_t n = std::min(readBytes, reports.size() - at);
    w.unit.reads.push_back({true, Bytes(reports.begin() + static_cast<std::ptrdiff_t>(at),
                                        reports.begin() + static_cast<std::ptrdiff_t>(at + n))});
    const std::size_t clockBefore = w.clock.requests.size();
    const std::size_t driftBefore = w.unit.sentWithCommand(11).size();
    w.runTicks(1);
    FUZZ_CHECK(w.unit.reads.empty());

    // The reference takes the same receiver bytes, padding of the last report included.
    std::size_t timeFrames = 0, clockFrames = 0;
    const std::size_t firstByte = at / static_cast<std::size_t>(L) * carried;
    for (std::size_t r = 0; r < n / static_cast<std::size_t>(L); ++r) {
      for (std::size_t k = 0; k < carried; ++k) {
        const std::size_t pos = firstByte + r * carried + k;
        const std::uint8_t b = pos < stream.size() ? stream[pos] : 0;
        if (core::parseReceiverByte(reference, b)) {
          FUZZ_CHECK(pos < stream.size());
          checkCompletedFrame(stream, pos, reference);
          const auto m = reference.message();
          completed.push_back({reference.messageClass, reference.messageId, Bytes(m.begin(), m.end())});
          if (reference.messageClass == core::kClassNav) {
            timeFrames += reference.messageId == core::kIdNavPvt || reference.messageId == core::kIdNavTimeUtc;
            clockFrames += reference.messageId == core::kIdNavClock;
          }
        }
        fuzz::checkAssembler(reference);
      }
    }
    const auto& program = w.frm.gpsMonitor().Assembler();
    fuzz::checkAssembler(program);
    FUZZ_CHECK(fuzz::sameAssembler(program, reference));
    FUZZ_CHECK(w.clock.requests.size() - clockBefore <= timeFrames);
    const auto drifts = w.unit.sentWithCommand(11);
    FUZZ_CHECK(drifts.size() - driftBefore <= clockFrames);
    for (std::size_t i = driftBefore; i < drifts.size(); ++i) {
      FUZZ_CHECK(std::abs(fuzz::driftIn(drifts[i])) <= 7500);
    }
    FUZZ_CHECK(w.frm.state().link.isOpen());
  }
  if (structured) FUZZ_CHECK(completed == expected);
  return 0;
}
