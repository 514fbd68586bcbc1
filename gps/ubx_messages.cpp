#include "gps/ubx_messages.h"

#include <cstdio>
#include <cstdlib>

#include "core/numbers/number_format.h"
#include "ui/satellite_chart.h"

namespace tamrik::gps {

namespace {

std::uint16_t u16(std::span<const std::uint8_t> p, std::size_t at) {
  return static_cast<std::uint16_t>(p[at] | (p[at + 1] << 8));
}

std::uint32_t u32(std::span<const std::uint8_t> p, std::size_t at) {
  return static_cast<std::uint32_t>(p[at]) | (static_cast<std::uint32_t>(p[at + 1]) << 8) |
         (static_cast<std::uint32_t>(p[at + 2]) << 16) | (static_cast<std::uint32_t>(p[at + 3]) << 24);
}

std::int32_t i32(std::span<const std::uint8_t> p, std::size_t at) { return static_cast<std::int32_t>(u32(p, at)); }

std::string hex(std::uint8_t b) {
  char buf[4];
  std::snprintf(buf, sizeof buf, "%X", static_cast<unsigned>(b));
  return buf;
}

std::string twoDigits(unsigned v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02u", v);
  return buf;
}

constexpr std::size_t kNavPvtNeeded = 36;    // up to height at offset 32
constexpr std::size_t kNavTimeUtcNeeded = 20;  // up to valid at offset 19
constexpr std::size_t kNavClockNeeded = 20;    // up to fAcc at offset 16
constexpr std::size_t kSvInfoHeader = 8;
constexpr std::size_t kSvInfoBlock = 12;

constexpr const char* kMapPrefix = "https://www.google.com/maps/search/?api=1&query=";

// A whole number of 10^-unitDecimals written with `decimals` decimals (at most unitDecimals) and
// the user's separator. The digits dropped round the last one shown, halves away from zero, as a
// decimal format pattern rounds; no binary fraction is involved. A value that comes out as zero is
// written without a sign.
std::string scaledText(std::int64_t value, int unitDecimals, int decimals, const ui::NumberFormat& format) {
  std::uint64_t magnitude = static_cast<std::uint64_t>(value < 0 ? -value : value);
  std::uint64_t dropped = 1;
  for (int i = decimals; i < unitDecimals; ++i) dropped *= 10;
  magnitude = (magnitude + dropped / 2) / dropped;
  std::uint64_t unit = 1;
  for (int i = 0; i < decimals; ++i) unit *= 10;
  std::string text = (value < 0 && magnitude != 0 ? "-" : "") + std::to_string(magnitude / unit);
  if (decimals > 0) {
    std::string fraction = std::to_string(magnitude % unit);
    fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
    text += format.decimalSeparator + fraction;
  }
  return text;
}

}  // namespace

std::optional<NavPvt> ReadNavPvt(std::span<const std::uint8_t> p) {
  if (p.size() < kNavPvtNeeded) return std::nullopt;
  NavPvt m;
  m.year = u16(p, 4);
  m.month = p[6];
  m.day = p[7];
  m.hour = p[8];
  m.minute = p[9];
  m.second = p[10];
  m.valid = p[11];
  m.nano = i32(p, 16);
  m.lon = i32(p, 24);
  m.lat = i32(p, 28);
  m.height = i32(p, 32);
  return m;
}

std::optional<NavSvInfo> NavSvInfo::read(std::span<const std::uint8_t> p) {
  if (p.size() < kSvInfoHeader) return std::nullopt;
  const std::size_t held = (p.size() - kSvInfoHeader) / kSvInfoBlock;
  const std::size_t announced = p[4];
  return NavSvInfo(p, static_cast<int>(announced < held ? announced : held));
}

SvChannel NavSvInfo::channel(int i) const {
  const std::size_t at = kSvInfoHeader + kSvInfoBlock * static_cast<std::size_t>(i);
  SvChannel c;
  c.chn = payload_[at];
  c.flags = payload_[at + 2];
  c.cno = payload_[at + 4];
  c.elev = static_cast<std::int8_t>(payload_[at + 5]);
  return c;
}

std::optional<BarUpdate> BarFor(const SvChannel& ch) {
  if (ch.elev <= 0 || ch.chn >= ui::kSatelliteBars) return std::nullopt;
  const bool used = (ch.flags & 0x01) != 0 && ch.cno > 0;
  return BarUpdate{ch.chn, ch.cno, used ? ui::kBarGreen : ui::kBarGrey};
}

std::optional<NavTimeUtc> ReadNavTimeUtc(std::span<const std::uint8_t> p) {
  if (p.size() < kNavTimeUtcNeeded) return std::nullopt;
  NavTimeUtc m;
  m.nano = i32(p, 8);
  m.year = u16(p, 12);
  m.month = p[14];
  m.day = p[15];
  m.hour = p[16];
  m.minute = p[17];
  m.second = p[18];
  m.valid = p[19];
  return m;
}

std::optional<NavClock> ReadNavClock(std::span<const std::uint8_t> p) {
  if (p.size() < kNavClockNeeded) return std::nullopt;
  return NavClock{i32(p, 8), u32(p, 16)};
}

std::string PositionText(const NavPvt& pvt, const ui::NumberFormat& format) {
  // Degrees in 1e-7 with seven decimals, the height in millimetres with two.
  return "Position: " + scaledText(pvt.lat, 7, 7, format) + ", " + scaledText(pvt.lon, 7, 7, format) + ", " +
         scaledText(pvt.height, 3, 2, format);
}

std::string UtcText(const NavPvt& pvt) {
  if (!pvt.timeValid()) return "UTC: unknown";
  return "UTC: " + std::to_string(pvt.year) + "." + twoDigits(pvt.month) + "." + twoDigits(pvt.day) + " " +
         twoDigits(pvt.hour) + ":" + twoDigits(pvt.minute) + ":" + twoDigits(pvt.second);
}

std::string LinkCoordinate(std::int32_t raw) {
  // Whole degrees and seven decimals from the integer itself, trailing zeros dropped: exact, with
  // no rounding, no exponent form and no locale.
  const std::int64_t v = raw;
  const std::uint64_t mag = static_cast<std::uint64_t>(v < 0 ? -v : v);
  std::string text = (v < 0 ? "-" : "") + std::to_string(mag / 10000000u);
  std::string fraction = std::to_string(mag % 10000000u);
  fraction.insert(0, 7 - fraction.size(), '0');
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (!fraction.empty()) text += "." + fraction;
  return text;
}

std::string MapLinkFor(std::int32_t lat, std::int32_t lon) {
  return kMapPrefix + LinkCoordinate(lat) + "," + LinkCoordinate(lon);
}

std::optional<std::string> DiagnosticText(std::uint8_t messageClass, std::uint8_t messageId,
                                          std::span<const std::uint8_t> p) {
  const std::string length = std::to_string(p.size());
  if (messageClass == 0x02 && messageId == 0x52) {
    if (p.size() < 8) return std::nullopt;
    std::string text = length + " ";
    for (std::size_t i = 0; i < 4; ++i) text += " " + hex(p[i]);
    return text + " " + std::to_string(i32(p, 4));
  }
  if (messageClass == 0x0A && (messageId == 0x11 || messageId == 0x1B)) return length + " ";
  if (messageClass == 0x0A && messageId == 0x1E) {
    if (p.size() < 21) return std::nullopt;
    std::string text = " ";
    for (std::size_t i = 0; i <= 20; ++i) text += " " + hex(p[i]);
    return text;
  }
  return std::nullopt;
}

platform::SystemTime ClockFromNavPvt(const NavPvt& pvt) {
  platform::SystemTime t;
  t.year = pvt.year;
  t.month = pvt.month;
  t.dayOfWeek = 0;
  t.day = pvt.day;
  t.hour = pvt.hour;
  t.minute = pvt.minute;
  t.second = pvt.second;
  const double nano = pvt.nano < 0 ? 0.0 : static_cast<double>(pvt.nano);
  t.milliseconds = static_cast<std::uint16_t>(core::roundHalfEven(nano / 1000000.0));
  return t;
}

std::optional<platform::SystemTime> ClockFromNavTimeUtc(const NavTimeUtc& utc) {
  if ((utc.valid & 0x04) == 0) return std::nullopt;
  // floor((nano + 500 000) / 1 000 000) == 0, that is -500 000 <= nano < 500 000.
  const std::int64_t shifted = static_cast<std::int64_t>(utc.nano) + 500000;
  if (shifted < 0 || shifted >= 1000000) return std::nullopt;
  platform::SystemTime t;
  t.year = utc.year;
  t.month = utc.month;
  t.dayOfWeek = 0;
  t.day = utc.day;
  t.hour = utc.hour;
  t.minute = utc.minute;
  t.second = utc.second;
  t.milliseconds = 30;
  return t;
}

bool DriftWorthSending(const NavClock& clock, std::int32_t lastDrift) {
  const std::int64_t change = static_cast<std::int64_t>(clock.clkD) - lastDrift;
  return clock.fAcc < 500u && (change > 20 || change < -20);
}

std::int32_t ClampDrift(std::int32_t drift) {
  if (drift > 7500) return 7500;
  if (drift < -7500) return -7500;
  return drift;
}

std::array<std::uint8_t, 2> EncodeDrift(std::int32_t clampedDrift) {
  const auto v = static_cast<std::uint16_t>(clampedDrift < 0 ? clampedDrift + 65536 : clampedDrift);
  return {static_cast<std::uint8_t>(v % 256), static_cast<std::uint8_t>(v / 256)};
}

}  // namespace tamrik::gps
