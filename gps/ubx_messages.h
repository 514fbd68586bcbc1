#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "platform/system_time.h"
#include "ui/number_text.h"

namespace tamrik::gps {

// Class and id of the receiver messages the monitor acts on.
inline constexpr std::uint8_t kClassNav = 0x01;
inline constexpr std::uint8_t kIdNavPvt = 0x07;
inline constexpr std::uint8_t kIdNavTimeUtc = 0x21;
inline constexpr std::uint8_t kIdNavClock = 0x22;
inline constexpr std::uint8_t kIdNavSvInfo = 0x30;

// Every reader below takes the payload as the frame declared it and returns nothing when the
// payload is too short for the fields it needs; no field is ever read past the declared length.

// NAV-PVT: time and position. 84 bytes on u-blox 7, 92 on later receivers; the fields used here
// lie in the first 36 bytes of both.
struct NavPvt {
  std::uint16_t year = 0;
  std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint8_t valid = 0;  // bit 0 date, bit 1 time, bit 2 fully resolved; higher bits vary by receiver
  std::int32_t nano = 0;
  std::int32_t lon = 0;     // 1e-7 degree
  std::int32_t lat = 0;     // 1e-7 degree
  std::int32_t height = 0;  // millimetres above the ellipsoid

  // The time counts only when date, time and full resolution are all flagged.
  bool timeValid() const { return (valid & 0x07) == 0x07; }
};
std::optional<NavPvt> ReadNavPvt(std::span<const std::uint8_t> payload);

// One channel block of NAV-SVINFO.
struct SvChannel {
  std::uint8_t chn = 0;    // receiver channel; 255 for a satellite without a channel
  std::uint8_t flags = 0;  // bit 0: used in the navigation solution
  std::uint8_t cno = 0;    // dB-Hz
  std::int8_t elev = 0;    // degrees; -91 on some receivers for "unknown"
};

// NAV-SVINFO: the channel blocks that both numCh announces and the declared length holds.
class NavSvInfo {
 public:
  static std::optional<NavSvInfo> read(std::span<const std::uint8_t> payload);
  int channels() const { return channels_; }
  SvChannel channel(int i) const;

 private:
  NavSvInfo(std::span<const std::uint8_t> payload, int channels) : payload_(payload), channels_(channels) {}
  std::span<const std::uint8_t> payload_;
  int channels_ = 0;
};

// The bar a channel block draws: only for satellites above the horizon on channels 0 to 31.
struct BarUpdate {
  int chn = 0;
  int cno = 0;
  std::uint32_t color = 0;
};
std::optional<BarUpdate> BarFor(const SvChannel& ch);

// NAV-TIMEUTC.
struct NavTimeUtc {
  std::int32_t nano = 0;
  std::uint16_t year = 0;
  std::uint8_t month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::uint8_t valid = 0;  // bit 2: UTC valid
};
std::optional<NavTimeUtc> ReadNavTimeUtc(std::span<const std::uint8_t> payload);

// NAV-CLOCK.
struct NavClock {
  std::int32_t clkD = 0;   // clock drift, ns/s
  std::uint32_t fAcc = 0;  // frequency accuracy estimate, ps/s
};
std::optional<NavClock> ReadNavClock(std::span<const std::uint8_t> payload);

// "Position: <lat>, <lon>, <height>" with seven decimals for the degrees, two for the metres and
// the user's decimal separator, written from the integer fields: the height's last shown digit is
// rounded from the millimetres, halves away from zero (26255 mm is "26.26").
std::string PositionText(const NavPvt& pvt, const ui::NumberFormat& format);
// "UTC: 2025.03.07 08:05:09", or "UTC: unknown" when the time is not valid.
std::string UtcText(const NavPvt& pvt);

// A web map search for a position given in 1e-7 degree. The coordinates are written with a point
// whatever the locale, exactly and without exponent: -338688000 gives -33.8688.
std::string MapLinkFor(std::int32_t lat, std::int32_t lon);
std::string LinkCoordinate(std::int32_t raw);

// The diagnostic caption for the few messages shown in Label20; nothing for any other message or
// for one too short for the bytes its caption shows.
std::optional<std::string> DiagnosticText(std::uint8_t messageClass, std::uint8_t messageId,
                                          std::span<const std::uint8_t> payload);

// The clock record a NAV-PVT sets: milliseconds from nano, a negative nano as 0, halves to even.
// A nano of 999 500 000 or more gives 1000 ms, which the clock service refuses.
platform::SystemTime ClockFromNavPvt(const NavPvt& pvt);
// The clock record a NAV-TIMEUTC sets: only when UTC is valid and the message falls within half
// a millisecond of a whole second; the milliseconds are then 30.
std::optional<platform::SystemTime> ClockFromNavTimeUtc(const NavTimeUtc& utc);

// The drift report: a new drift is passed on when the estimate is good (fAcc below 500 ps/s) and
// it differs from the last one passed on by more than 20 ns/s.
bool DriftWorthSending(const NavClock& clock, std::int32_t lastDrift);
// Clamped to the range the unit takes, -7500 to 7500 ns/s.
std::int32_t ClampDrift(std::int32_t drift);
// The 16-bit two's-complement bytes, low first, of a clamped drift.
std::array<std::uint8_t, 2> EncodeDrift(std::int32_t clampedDrift);

}  // namespace tamrik::gps
