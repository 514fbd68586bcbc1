#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/sim/sim_clock.h"

// Building and finding UBX frames: what the simulated receiver sends, and what tests use to make
// receiver messages with chosen fields (including odd lengths and bad checksums).
namespace tamrik::sim::ubx {

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
inline constexpr std::uint8_t kIdAckNak = 0x00;
inline constexpr std::uint8_t kIdAckAck = 0x01;
inline constexpr std::uint8_t kIdCfgMsg = 0x01;
inline constexpr std::uint8_t kIdCfgPrt = 0x00;
inline constexpr std::uint8_t kIdMonVer = 0x04;
inline constexpr std::uint8_t kIdMonHw = 0x09;

inline constexpr std::size_t kNavPvtLength = 92;     // u-blox 8 and later; u-blox 7 sends 84
inline constexpr std::size_t kNavClockLength = 20;
inline constexpr std::size_t kNavTimeUtcLength = 20;
inline constexpr std::size_t kSvInfoHeaderLength = 8;
inline constexpr std::size_t kSvInfoBlockLength = 12;

struct Checksum {
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  friend bool operator==(const Checksum&, const Checksum&) = default;
};

// The 8-bit Fletcher checksum over the given bytes (class, id, both length bytes and the payload).
Checksum checksum(std::span<const std::uint8_t> bytes);

// B5 62 class id length(LE16) payload CK_A CK_B.
std::vector<std::uint8_t> frame(std::uint8_t cls, std::uint8_t id, std::span<const std::uint8_t> payload);

// Little-endian field access. put() ignores a field that does not fit, so a shortened payload
// simply loses the fields beyond its end.
template <typename T>
void put(std::span<std::uint8_t> payload, std::size_t offset, T value) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  if (offset + sizeof(T) > payload.size()) return;
  U u = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    payload[offset + i] = static_cast<std::uint8_t>(u & 0xFFu);
    if constexpr (sizeof(T) > 1) u = static_cast<U>(u >> 8);
  }
}

template <typename T>
T get(std::span<const std::uint8_t> payload, std::size_t offset) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U u = 0;
  for (std::size_t i = sizeof(T); i-- > 0;) {
    if constexpr (sizeof(T) > 1) u = static_cast<U>(u << 8);
    u = static_cast<U>(u | (offset + i < payload.size() ? payload[offset + i] : 0));
  }
  return static_cast<T>(u);
}

// Calendar fields of a UTC instant, the nanoseconds relative to the whole second given.
struct UtcFields {
  std::uint16_t year = 0;
  std::uint8_t month = 0;
  std::uint8_t day = 0;
  std::uint8_t hour = 0;
  std::uint8_t minute = 0;
  std::uint8_t second = 0;
  std::int32_t nano = 0;
};
UtcFields utcFields(UtcTime t);
// GPS time of week in milliseconds (GPS time runs 18 s ahead of UTC since 2017).
std::uint32_t gpsTimeOfWeekMs(UtcTime t);

struct NavPvt {
  std::uint32_t iTow = 0;
  UtcFields time;
  std::uint8_t valid = 0x37;  // valid date, valid time, fully resolved (plus the bits u-blox 8 sets)
  std::uint32_t tAcc = 25;
  std::uint8_t fixType = 3;
  std::uint8_t flags = 0x01;
  std::uint8_t flags2 = 0xE0;
  std::uint8_t numSv = 9;
  std::int32_t lon = 0;  // 1e-7 degree
  std::int32_t lat = 0;
  std::int32_t height = 0;  // mm above the ellipsoid
  std::int32_t hMsl = 0;
  std::uint32_t hAcc = 1500;
  std::uint32_t vAcc = 2500;
  std::int32_t gSpeed = 0;
  std::uint32_t sAcc = 150;
  std::uint32_t headAcc = 18000000;
  std::uint16_t pDop = 132;
  std::size_t length = kNavPvtLength;  // payload length; fields beyond it are left out
};
std::vector<std::uint8_t> navPvtPayload(const NavPvt& m);
std::vector<std::uint8_t> navPvtFrame(const NavPvt& m);

struct SvInfoChannel {
  std::uint8_t chn = 0;
  std::uint8_t svid = 0;
  std::uint8_t flags = 0;    // bit 0: used in the navigation solution
  std::uint8_t quality = 0;
  std::uint8_t cno = 0;      // dB-Hz
  std::int8_t elev = 0;      // degrees
  std::int16_t azim = 0;     // degrees
  std::int32_t prRes = 0;    // cm
};
struct NavSvInfo {
  std::uint32_t iTow = 0;
  std::uint8_t globalFlags = 4;  // chip generation: u-blox 8
  std::vector<SvInfoChannel> channels;
  int numChField = -1;  // numCh as sent; -1: the number of channels
};
std::vector<std::uint8_t> navSvInfoPayload(const NavSvInfo& m);
std::vector<std::uint8_t> navSvInfoFrame(const NavSvInfo& m);

struct NavClock {
  std::uint32_t iTow = 0;
  std::int32_t clkB = 0;  // ns
  std::int32_t clkD = 0;  // ns/s
  std::uint32_t tAcc = 20;
  std::uint32_t fAcc = 300;  // ps/s
};
std::vector<std::uint8_t> navClockPayload(const NavClock& m);
std::vector<std::uint8_t> navClockFrame(const NavClock& m);

struct NavTimeUtc {
  std::uint32_t iTow = 0;
  std::uint32_t tAcc = 25;
  UtcFields time;
  std::uint8_t valid = 0x37;  // bit 2: UTC valid
};
std::vector<std::uint8_t> navTimeUtcPayload(const NavTimeUtc& m);
std::vector<std::uint8_t> navTimeUtcFrame(const NavTimeUtc& m);

// CFG-MSG with a rate for each of the six ports (port 0 first).
std::vector<std::uint8_t> cfgMsgPayload(std::uint8_t msgClass, std::uint8_t msgId, std::uint8_t rateOnPort0);

// MON-VER: the software version in 30 characters, the hardware version in 10, then 30 for each
// extension, each zero-padded (and cut to its field).
std::vector<std::uint8_t> monVerPayload(std::string_view software, std::string_view hardware,
                                        std::span<const std::string> extensions);

// A frame with a good checksum found in a byte stream.
struct FoundFrame {
  std::size_t offset = 0;  // of the first sync byte
  std::uint8_t cls = 0;
  std::uint8_t id = 0;
  std::vector<std::uint8_t> payload;
};

// Every complete frame with a good checksum, scanning byte by byte so that a frame hidden behind
// garbage or after a broken frame is still found. A plain reference for tests, not the program's
// assembler.
std::vector<FoundFrame> findFrames(std::span<const std::uint8_t> stream);

}  // namespace tamrik::sim::ubx
