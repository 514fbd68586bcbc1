#include "gps/ubx_messages.h"

#include <cstdio>
#include <cstdlib>

#include "numbers/number_format.h"
#include "ui/satellite_chart.h"

namespace tamrik::gps {

namespace {

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

std::optional<BarUpdate> BarFor(const SvChannel& ch) {
  if (ch.elev <= 0 || ch.chn >= ui::kSatelliteBars) return std::nullopt;
  const bool used = ch.used() && ch.cno > 0;
  return BarUpdate{ch.chn, ch.cno, used ? ui::kBarGreen : ui::kBarGrey};
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
                                          std::span<const std::uint8_t> payload) {
  const auto d = core::readDiagnostic(messageClass, messageId, payload);
  if (!d) return std::nullopt;
  std::string text;
  switch (d->kind) {
    case core::Diagnostic::Kind::Counter:
      text = std::to_string(d->length) + " ";
      for (const std::uint8_t b : d->leading) text += " " + hex(b);
      return text + " " + std::to_string(d->value);
    case core::Diagnostic::Kind::Length:
      return std::to_string(d->length) + " ";
    case core::Diagnostic::Kind::Bytes:
      text = " ";
      for (const std::uint8_t b : d->leading) text += " " + hex(b);
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
  t.milliseconds = static_cast<std::uint16_t>(numbers::roundHalfEven(nano / 1000000.0));
  return t;
}

std::optional<platform::SystemTime> ClockFromNavTimeUtc(const NavTimeUtc& utc) {
  if (!utc.utcValid()) return std::nullopt;
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

}  // namespace tamrik::gps
