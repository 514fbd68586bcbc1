#include "gps/ubx_assembler.h"

namespace tamrik::gps {

void AddToChecksum(MessageAssembler& a, std::uint8_t b) {
  a.ckA = static_cast<std::uint8_t>(a.ckA + b);
  a.ckB = static_cast<std::uint8_t>(a.ckB + a.ckA);
}

bool ParseReceiverByte(MessageAssembler& a, std::uint8_t b) {
  switch (a.state) {
    case 0:
      a.state = b == kSync1 ? 1 : 0;
      return false;
    case 1:
      if (b == kSync2) {
        a.ckA = 0;
        a.ckB = 0;
        a.state = 2;
      } else {
        a.state = 0;
      }
      return false;
    case 2:
      if (b == 0xFF) {
        a.state = 0;
        return false;
      }
      AddToChecksum(a, b);
      a.messageClass = b;
      a.state = 3;
      return false;
    case 3:
      if (b == 0xFF) {
        a.state = 0;
        return false;
      }
      AddToChecksum(a, b);
      a.messageId = b;
      a.state = 4;
      return false;
    case 4:
      AddToChecksum(a, b);
      a.length = b;
      a.state = 5;
      return false;
    case 5: {
      if (b == 0xFF) {
        a.state = 0;
        return false;
      }
      const unsigned declared = static_cast<unsigned>(b) * 256u + a.length;
      if (declared == 0 || declared > kPayloadCapacity) {
        a.state = 0;
        return false;
      }
      AddToChecksum(a, b);
      a.length = static_cast<std::uint16_t>(declared);
      a.count = 0;
      a.state = 6;
      return false;
    }
    case 6:
      AddToChecksum(a, b);
      a.payload[a.count] = b;
      ++a.count;
      if (a.count >= a.length) a.state = 7;
      return false;
    case 7:
      a.state = b == a.ckA ? 8 : 0;
      return false;
    case 8:
      a.state = 0;
      return b == a.ckB;
    default:
      a.state = 0;
      return false;
  }
}

}  // namespace tamrik::gps
