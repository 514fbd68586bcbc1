#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "core/sky.h"
#include "ui/drawing.h"

namespace tamrik::gps {

// The Satellites window's picture: the sky view (a polar plot, north up, rings at 0, 30 and 60
// degrees elevation, one marker per satellite with its number, coloured by constellation, filled
// when the fix uses it; satellites without a position listed beside it), the signal of each
// satellite grouped by constellation, and the last hour as a strip chart (satellites used, the
// mean C/N0 of the used ones, a band each for the GPS signal and the PLL lock, and the health
// record's events). Built for a window of width by height pixels; scale is the size of one of
// the design's pixels in the window's (1 at 96 dots per inch, 2 at 192). No text covers another:
// a crowded marker's number stands beside it with a leader, bar numbers and event captions take
// the first of two rows that is free, and one with no room is left out. A narrow window (under 600
// of the design's pixels, a phone's) has the signal below the sky.
ui::Drawing drawSatellites(const core::SkyRecord& sky, core::UtcTime now, int width, int height, double scale);

// The window's size in the design's pixels when it opens.
inline constexpr int kSatellitesWidth = 820;
inline constexpr int kSatellitesHeight = 600;
inline constexpr const char* kSatellitesCaption = "Satellites";

// Where a satellite at azimuth and elevation (degrees) stands in a sky plot of radius r centred
// on (cx, cy): the horizon on the outer ring, the zenith in the middle, north up and east right.
struct PlotPoint {
  int x = 0, y = 0;
  bool operator==(const PlotPoint&) const = default;
};
PlotPoint skyPoint(int azimuth, int elevation, int cx, int cy, int r);

// The history's caption of a health event: "GPS signal lost", "unit away", ...
std::string_view eventCaption(core::HealthEventKind kind);

// "GPS", "SBAS", "Galileo", "BeiDou", "QZSS", "GLONASS", "other".
std::string_view constellationCaption(core::Constellation c);
std::uint32_t constellationColor(core::Constellation c);

}  // namespace tamrik::gps
