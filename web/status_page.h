#pragma once
// The exporter's status page: every unit it watches, from the readings /metrics is written from.
// Identity, output, the two status lights with the window's captions, colours and tooltip texts,
// position and UTC, the Satellites window's picture as inline SVG and the latest events. Plain
// HTML that reloads itself without JavaScript and refreshes in place with it; everything inline,
// nothing loaded from elsewhere; every text from a unit escaped.
#include <span>
#include <string>

#include "core/health.h"
#include "monitor/unit_reading.h"

namespace tamrik::web {

// The size the Satellites picture is drawn at: the window's picture as a narrow window shows it
// (stacked), which fits a phone's screen and stands beside the unit's facts on a desktop. One
// picture a unit keeps the page light: four units with an hour each stay under 100 kB.
inline constexpr int kPictureWidth = 400, kPictureHeight = 1000;

std::string statusPage(std::span<const monitor::UnitReading> units, core::UtcTime now);

}  // namespace tamrik::web
