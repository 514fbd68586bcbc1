#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace tamrik::gps {

// UBX frame layout: sync bytes, then class, id, a little-endian 16-bit payload length, the payload
// and the two bytes of the 8-bit Fletcher checksum over class, id, length and payload.
inline constexpr std::uint8_t kSync1 = 0xB5;
inline constexpr std::uint8_t kSync2 = 0x62;

// The largest payload the assembler takes. Every message this program decodes is far shorter (the
// longest, NAV-SVINFO with 255 channel blocks, is 3068 bytes); a frame that declares more, or a
// payload of 0 bytes, is dropped when its length arrives, so a corrupt length cannot hold up the
// stream for long and the payload count never runs past the buffer.
inline constexpr std::size_t kPayloadCapacity = 8192;

// The UBX parser's record. The payload buffer is allocated once, when the record is made; after a
// frame has been completed it holds that frame's payload until the next frame's bytes overwrite it.
struct MessageAssembler {
  MessageAssembler() : payload(kPayloadCapacity) {}

  // 0 hunting for sync 1, 1 sync 2, 2 class, 3 id, 4 length low, 5 length high, 6 payload,
  // 7 checksum A, 8 checksum B.
  int state = 0;
  std::uint8_t messageClass = 0;
  std::uint8_t messageId = 0;
  std::uint16_t length = 0;  // declared payload length, 1 to kPayloadCapacity once accepted
  std::uint16_t count = 0;   // payload bytes stored so far
  std::uint8_t ckA = 0;
  std::uint8_t ckB = 0;
  std::vector<std::uint8_t> payload;

  // The payload of the frame just completed (or being assembled): its first `length` bytes.
  std::span<const std::uint8_t> message() const { return {payload.data(), length}; }
};

// One step of the 8-bit Fletcher checksum.
void AddToChecksum(MessageAssembler& a, std::uint8_t b);

// Advances the assembler by one receiver byte. Returns true when b completed a frame whose two
// checksum bytes matched; its class, id, length and payload are then in the record. A byte that
// ends a frame early is consumed: hunting resumes with the next byte, never rescanning the bytes
// of the abandoned frame.
bool ParseReceiverByte(MessageAssembler& a, std::uint8_t b);

}  // namespace tamrik::gps
