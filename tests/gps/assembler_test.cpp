#include <gtest/gtest.h>

#include "gps/ubx_assembler.h"
#include "tests/gps/ubx_frames.h"

namespace tamrik::gps {
namespace {

using testing::Bytes;
using testing::ubxFrame;

// Feeds a stream and returns the class/id/payload of every frame the assembler completes.
struct Frame {
  std::uint8_t cls, id;
  Bytes payload;
  bool operator==(const Frame&) const = default;
};
std::vector<Frame> feed(MessageAssembler& a, const Bytes& stream) {
  std::vector<Frame> out;
  for (std::uint8_t b : stream) {
    if (ParseReceiverByte(a, b)) {
      const auto m = a.message();
      out.push_back({a.messageClass, a.messageId, Bytes(m.begin(), m.end())});
    }
  }
  return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

const Bytes kClockPayload = testing::navClockPayload(-100, 100);

TEST(MessageAssembler, ChecksumBothBytesCheckedAndNextFrameStillFound) {
  MessageAssembler a;
  Bytes badB = ubxFrame(0x01, 0x22, kClockPayload);
  badB.back() ^= 0x01;
  Bytes badA = ubxFrame(0x01, 0x22, kClockPayload);
  badA[badA.size() - 2] ^= 0x01;
  const Bytes good = ubxFrame(0x01, 0x07, {1, 2, 3});
  const auto frames = feed(a, concat({badB, good, badA, good}));
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], (Frame{0x01, 0x07, {1, 2, 3}}));
  EXPECT_EQ(frames[1], frames[0]);
}

TEST(MessageAssembler, GarbageAndRefusedHeadersAreSkippedWithoutRescan) {
  MessageAssembler a;
  const Bytes good = ubxFrame(0x0A, 0x11, {7});
  // Text between frames, lone sync bytes, 0xFF as class, as id and as high length byte.
  const Bytes stream = concat({{'$', 'G', 'N', 0xB5, 0x00, 0xB5, 0x41},
                               good,
                               {0xB5, 0x62, 0xFF},
                               good,
                               {0xB5, 0x62, 0x01, 0xFF},
                               good,
                               {0xB5, 0x62, 0x01, 0x07, 0x10, 0xFF},
                               good});
  EXPECT_EQ(feed(a, stream).size(), 4u);

  // 0xB5 0xB5 0x62: the second 0xB5 ends the first attempt and is not looked at again as a start.
  MessageAssembler b;
  Bytes doubled = ubxFrame(0x0A, 0x11, {7});
  doubled.insert(doubled.begin(), 0xB5);
  EXPECT_TRUE(feed(b, doubled).empty());
}

TEST(MessageAssembler, LowLengthByteMayBeFF) {
  MessageAssembler a;
  const Bytes payload(0xFF, 0x5A);
  const auto frames = feed(a, ubxFrame(0x02, 0x52, payload));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].payload, payload);
}

TEST(MessageAssembler, ZeroAndOversizedLengthsAreRejectedInsideTheBuffer) {
  MessageAssembler a;
  const std::uint8_t* buffer = a.payload.data();
  const std::size_t capacity = a.payload.size();
  const Bytes good = ubxFrame(0x01, 0x22, kClockPayload);

  // Declared 0 bytes, and declared 0x7FFF and 0xFE00 bytes followed by a long run of data: none
  // is assembled, nothing is written past the buffer, and the next real frame is found.
  Bytes stream = concat({{0xB5, 0x62, 0x0A, 0x04, 0x00, 0x00, 0x0E, 0x34}, good});
  for (std::uint16_t declared : {std::uint16_t{0x7FFF}, std::uint16_t{0xFE00},
                                 static_cast<std::uint16_t>(kPayloadCapacity + 1)}) {
    stream.insert(stream.end(), {0xB5, 0x62, 0x01, 0x30, static_cast<std::uint8_t>(declared & 0xFF),
                                 static_cast<std::uint8_t>(declared >> 8)});
    stream.insert(stream.end(), 40000, 0x11);
    stream.insert(stream.end(), good.begin(), good.end());
  }
  EXPECT_EQ(feed(a, stream).size(), 4u);

  // A frame of exactly the buffer's size is taken.
  EXPECT_EQ(feed(a, ubxFrame(0x0A, 0x1B, Bytes(kPayloadCapacity, 0x22))).size(), 1u);
  // The buffer is the one made with the record; no message reallocates it.
  EXPECT_EQ(a.payload.data(), buffer);
  EXPECT_EQ(a.payload.size(), capacity);
}

}  // namespace
}  // namespace tamrik::gps
