#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/ubx.h"
#include "platform/system_time.h"
#include "ui/number_text.h"

namespace tamrik::gps {

// What the window makes of the receiver's messages (which the core's receiver stream decodes):
// the texts of the position, time and diagnostic labels, the satellite bars, the map link, the
// clock settings and the drift rule.
using core::NavClock;
using core::NavPvt;
using core::NavTimeUtc;
using core::SvChannel;

// The bar a channel block draws: only for satellites above the horizon on channels 0 to 31.
struct BarUpdate {
  int chn = 0;
  int cno = 0;
  std::uint32_t color = 0;
};
std::optional<BarUpdate> BarFor(const SvChannel& ch);

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

}  // namespace tamrik::gps
