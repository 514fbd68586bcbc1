#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

// The receiver's UBX protocol as far as this program speaks it: the frame assembler and the readers
// of the messages it decodes.
namespace tamrik::core {

// UBX frame layout: sync bytes, then class, id, a little-endian 16-bit payload length, the payload
// and the two bytes of the 8-bit Fletcher checksum over class, id, length and payload.
inline constexpr std::uint8_t kSync1 = 0xB5;
inline constexpr std::uint8_t kSync2 = 0x62;

inline constexpr std::uint8_t kClassNav = 0x01;
inline constexpr std::uint8_t kClassAck = 0x05;
inline constexpr std::uint8_t kClassCfg = 0x06;
inline constexpr std::uint8_t kClassMon = 0x0A;
inline constexpr std::uint8_t kIdNavPvt = 0x07;
inline constexpr std::uint8_t kIdNavTimeUtc = 0x21;
inline constexpr std::uint8_t kIdNavClock = 0x22;
inline constexpr std::uint8_t kIdNavSvInfo = 0x30;
inline constexpr std::uint8_t kIdNavTimeLs = 0x26;
inline constexpr std::uint8_t kIdCfgMsg = 0x01;
inline constexpr std::uint8_t kIdAckNak = 0x00;
inline constexpr std::uint8_t kIdAckAck = 0x01;

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
void addToChecksum(MessageAssembler& a, std::uint8_t b);

// Advances the assembler by one receiver byte. Returns true when b completed a frame whose two
// checksum bytes matched; its class, id, length and payload are then in the record. 0xFF as class,
// id or high length byte sends the assembler back to hunting. A byte that ends a frame early is
// consumed: hunting resumes with the next byte, never rescanning the bytes of the abandoned frame.
bool parseReceiverByte(MessageAssembler& a, std::uint8_t b);

// Every reader below takes the payload as the frame declared it and returns nothing when the
// payload is too short for the fields it needs; no field is ever read past the declared length.

// NAV-PVT: time, fix and position. 84 bytes on u-blox 7, 92 on later receivers; all fields but the
// last four lie in the first 36 bytes of both.
struct NavPvt {
  std::uint16_t year = 0;
  std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint8_t valid = 0;  // bit 0 date, bit 1 time, bit 2 fully resolved; higher bits vary by receiver
  std::int32_t nano = 0;
  std::int32_t lon = 0;     // 1e-7 degree
  std::int32_t lat = 0;     // 1e-7 degree
  std::int32_t height = 0;  // millimetres above the ellipsoid
  std::uint32_t iTOW = 0;   // ms of the GPS week
  std::uint32_t tAcc = 0;   // ns
  std::uint8_t fixType = 0;  // 0 none, 1 dead reckoning, 2 2D, 3 3D, 4 GNSS and dead reckoning, 5 time only
  std::uint8_t flags = 0;    // bit 0: the fix is valid
  std::uint8_t numSV = 0;    // satellites used
  // Present in payloads of 48 bytes and more.
  std::optional<std::int32_t> hMSL{};  // millimetres above mean sea level
  std::optional<std::uint32_t> hAcc{}, vAcc{};  // mm
  // Present in payloads of 78 bytes and more (u-blox 7's 84 and later receivers' 92).
  std::optional<std::uint16_t> pDOP{};  // position DOP, 0.01

  // The time counts only when date, time and full resolution are all flagged.
  bool timeValid() const { return (valid & 0x07) == 0x07; }
  // A fix the receiver stands by: flagged valid, and 2D, 3D, GNSS with dead reckoning or time only
  // (a timing receiver's fix on its known antenna position).
  bool fixGood() const { return (flags & 0x01) != 0 && fixType >= 2 && fixType <= 5; }
  // The position is one to show as the receiver's: that of a good fix, the known antenna position
  // of a time-only fix included.
  bool hasPosition() const { return fixGood(); }
};
std::optional<NavPvt> readNavPvt(std::span<const std::uint8_t> payload);

// One channel block of NAV-SVINFO.
struct SvChannel {
  std::uint8_t chn = 0;    // receiver channel; 255 for a satellite without a channel
  std::uint8_t flags = 0;  // bit 0: used in the navigation solution
  std::uint8_t cno = 0;    // dB-Hz
  std::int8_t elev = 0;    // degrees; -91 on some receivers for "unknown"
  std::uint8_t svid = 0;
  std::uint8_t quality = 0;
  std::int16_t azim = 0;   // degrees
  std::int32_t prRes = 0;  // cm

  bool used() const { return (flags & 0x01) != 0; }
};

// NAV-SVINFO: the channel blocks that both numCh announces and the declared length holds. It reads
// the payload it was made from, which must outlive it.
class NavSvInfo {
 public:
  static std::optional<NavSvInfo> read(std::span<const std::uint8_t> payload);
  int channels() const { return channels_; }
  SvChannel channel(int i) const;
  std::uint32_t iTOW() const;

 private:
  NavSvInfo(std::span<const std::uint8_t> payload, int channels) : payload_(payload), channels_(channels) {}
  std::span<const std::uint8_t> payload_;
  int channels_ = 0;
};

// NAV-TIMEUTC.
struct NavTimeUtc {
  std::int32_t nano = 0;
  std::uint16_t year = 0;
  std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint8_t valid = 0;  // bit 0 time of week, bit 1 week number, bit 2 UTC valid
  std::uint32_t iTOW = 0;
  std::uint32_t tAcc = 0;  // ns

  bool utcValid() const { return (valid & 0x04) != 0; }
  // Time of week, week number and UTC all known: the whole time, as NavPvt::timeValid has it.
  bool timeValid() const { return (valid & 0x07) == 0x07; }
};
std::optional<NavTimeUtc> readNavTimeUtc(std::span<const std::uint8_t> payload);

// NAV-TIMELS (u-blox 8 and later): the leap seconds, and the next change the satellites announce.
struct NavTimeLs {
  std::uint32_t iTOW = 0;
  std::int8_t currLs = 0;         // GPS minus UTC, seconds
  std::int8_t lsChange = 0;       // the announced change: +1 a second inserted, -1 one deleted, 0 none
  std::int32_t timeToLsEvent = 0;  // seconds from this epoch to the change (negative: since the last one)
  std::uint8_t valid = 0;         // bit 0 currLs valid, bit 1 timeToLsEvent valid

  bool eventKnown() const { return (valid & 0x02) != 0; }
};
std::optional<NavTimeLs> readNavTimeLs(std::span<const std::uint8_t> payload);

// NAV-CLOCK.
struct NavClock {
  std::int32_t clkD = 0;   // clock drift, ns/s
  std::uint32_t fAcc = 0;  // frequency accuracy estimate, ps/s
  std::uint32_t iTOW = 0;
  std::int32_t clkB = 0;   // clock bias, ns
  std::uint32_t tAcc = 0;  // ns
};
std::optional<NavClock> readNavClock(std::span<const std::uint8_t> payload);

// The receiver's diagnostic messages, shown as they come without being interpreted: class 0x02 id
// 0x52 (four leading bytes and a signed 32-bit number at offset 4), class 0x0A ids 0x11 and 0x1B
// (their length only) and class 0x0A id 0x1E (its first 21 bytes).
struct Diagnostic {
  enum class Kind { Counter, Length, Bytes };
  Kind kind = Kind::Length;
  std::size_t length = 0;             // of the payload
  std::vector<std::uint8_t> leading;  // Counter: 4 bytes; Bytes: 21 bytes; Length: none
  std::int32_t value = 0;             // Counter only
};
// Nothing for any other message, or for one too short for the bytes it shows.
std::optional<Diagnostic> readDiagnostic(std::uint8_t messageClass, std::uint8_t messageId,
                                         std::span<const std::uint8_t> payload);

// The name u-blox gives a message ("CFG-PRT", "MON-VER"), for the messages of the receivers of
// generations 6 to 9 that people send or poll; "" for any other.
std::string_view messageName(std::uint8_t messageClass, std::uint8_t messageId);

// The constellation of a satellite, by NAV-SVINFO's satellite number.
enum class Constellation { Gps, Sbas, Galileo, BeiDou, Imes, Qzss, Glonass, Other };
inline constexpr std::array<Constellation, 8> kConstellations = {
    Constellation::Gps,  Constellation::Sbas, Constellation::Galileo, Constellation::BeiDou,
    Constellation::Imes, Constellation::Qzss, Constellation::Glonass, Constellation::Other};
// "gps", "sbas", "galileo", "beidou", "imes", "qzss", "glonass", "other".
std::string_view constellationName(Constellation c);
// u-blox numbering: GPS 1-32, BeiDou 33-64 and 159-163, GLONASS 65-96 and 255, SBAS 120-158,
// IMES 173-182, QZSS 193-197, Galileo 211-246.
Constellation constellationOf(std::uint8_t svid);

}  // namespace tamrik::core
