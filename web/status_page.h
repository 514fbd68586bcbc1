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

// The sizes the Satellites picture is drawn at: the window's own for a wide screen, and a narrow one
// for a phone's (the page shows the one that fits).
inline constexpr int kWideWidth = 820, kWideHeight = 600;
inline constexpr int kNarrowWidth = 400, kNarrowHeight = 1000;

std::string statusPage(std::span<const monitor::UnitReading> units, core::UtcTime now);

}  // namespace tamrik::web
