// The UBX assembler: frames refused at their header, abandoned bytes, lengths it cannot hold.
#include <gtest/gtest.h>

#include "core/ubx.h"
#include "platform/sim/ubx_frame.h"
#include "tests/support/bytes.h"

namespace tamrik::core {
namespace {

using Bytes = std::vector<std::uint8_t>;
namespace ubx = sim::ubx;

using testing::join;
Bytes clockFrame(std::int32_t clkD) { return ubx::navClockFrame({.clkD = clkD, .fAcc = 100}); }

// The number of frames completed, and the payload of the last.
int feed(MessageAssembler& a, const Bytes& stream, Bytes* last = nullptr) {
  int frames = 0;
  for (std::uint8_t b : stream) {
    if (!parseReceiverByte(a, b)) continue;
    ++frames;
    if (last) last->assign(a.message().begin(), a.message().end());
  }
  return frames;
}

TEST(MessageAssembler, RefusedHeadersAndAbandonedBytesAreNotRescanned) {
  MessageAssembler a;
  const Bytes good = clockFrame(30);
  // 0xFF as id and as high length byte send the assembler back to hunting; 0xFF as low length
  // byte is a length of 255.
  EXPECT_EQ(feed(a, join({{0xB5, 0x62, 0x01, 0xFF}, good, {0xB5, 0x62, 0x01, 0x22, 0x14, 0xFF}, good})), 2);
  Bytes payload;
  EXPECT_EQ(feed(a, ubx::frame(0x02, 0x52, Bytes(255, 0x5A)), &payload), 1);
  EXPECT_EQ(payload, Bytes(255, 0x5A));
  // 0xB5 0xB5 0x62: the second 0xB5 ends the first attempt and is not looked at again.
  EXPECT_EQ(feed(a, join({{0xB5}, good})), 0);
}

TEST(MessageAssembler, ZeroAndOversizedLengthsAreRejectedInsideTheBuffer) {
  MessageAssembler a;
  const std::uint8_t* buffer = a.payload.data();
  const Bytes good = clockFrame(30);
  // A zero length, and lengths of 0x7FFF, 0xFE00 and one past the buffer, each followed by more
  // bytes than the buffer holds: none is assembled, nothing is written past the buffer (the
  // sanitizer builds check), and the next real frame is found.
  Bytes stream = join({{0xB5, 0x62, 0x0A, 0x04, 0x00, 0x00, 0x0E, 0x34}, good});
  for (unsigned declared : {0x7FFFu, 0xFE00u, static_cast<unsigned>(kPayloadCapacity + 1)}) {
    stream = join({stream,
                   {0xB5, 0x62, 0x01, 0x30, static_cast<std::uint8_t>(declared & 0xFF),
                    static_cast<std::uint8_t>(declared >> 8)},
                   Bytes(40000, 0x11), good});
  }
  EXPECT_EQ(feed(a, stream), 4);
  EXPECT_EQ(feed(a, ubx::frame(0x0A, 0x1B, Bytes(kPayloadCapacity, 0x22))), 1);
  EXPECT_EQ(a.payload.data(), buffer);  // never reallocated
  EXPECT_EQ(a.payload.size(), kPayloadCapacity);
}

}  // namespace
}  // namespace tamrik::core
