#pragma once
#include <cstdint>

#include "ui/window_model.h"

namespace tamrik::ui {

// The satellite signal chart inside PicSat: 32 bars on an 8-pixel pitch and five scale lines with
// their numbers, from 0 dB-Hz at the bottom edge to 60 dB-Hz at the top. All in PicSat's pixels.
inline constexpr int kSatelliteBars = 32;
inline constexpr std::uint32_t kBarGrey = 0x808080;
inline constexpr std::uint32_t kBarGreen = 0x00B000;

// Creates Sat(1..31), CNoLine(1..4) and CNoLbl(1..4) from their templates and lays the chart out.
void buildSatelliteChart(WindowModel& model);

// Every bar back to a 2-pixel stub on the bottom edge; with blacken, also fill and border colour 0.
void resetSatelliteBars(WindowModel& model, bool blacken);

// Bar for channel chn: (SH - 1) * cno / 60 + 1 pixels high, standing on the bottom edge, in colour.
void setSatelliteBar(WindowModel& model, int chn, int cno, std::uint32_t color);

std::string barName(int index);

}  // namespace tamrik::ui
