#include <gtest/gtest.h>

#include <cmath>

#include "ui/satellite_chart.h"

namespace tamrik::ui {
namespace {

TEST(SatelliteChart, BuildsStubsScaleLinesAndLabels) {
  WindowModel m = WindowModel::mainWindow();
  ASSERT_EQ(m.scaleWidth("PicSat"), 256);  // 3912 twips at 15 twips per pixel, less the border
  const int sh = m.scaleHeight("PicSat");
  ASSERT_EQ(sh, 59);
  buildSatelliteChart(m);
  for (int i = 0; i < 32; ++i) {
    const Control& bar = m.at(barName(i));
    EXPECT_EQ(bar.left, 8 * i + 1);
    EXPECT_EQ(bar.width, 7);
    EXPECT_EQ(bar.height, 2);
    EXPECT_EQ(bar.top, sh - 2);
    EXPECT_TRUE(bar.visible);
  }
  const char* texts[] = {"10", "20", "30", "40", "50"};
  for (int i = 0; i <= 4; ++i) {
    const Control& line = m.at("CNoLine(" + std::to_string(i) + ")");
    const Control& label = m.at("CNoLbl(" + std::to_string(i) + ")");
    EXPECT_EQ(line.x1, 0);
    EXPECT_EQ(line.x2, 256);
    EXPECT_EQ(line.y1, line.y2);
    EXPECT_EQ(label.text, texts[i]);
    EXPECT_TRUE(label.visible);
    // Each number is centred on its line: 4 pixels above it, at y = SH - value * SH / 60.
    const int lineForValue = static_cast<int>(std::lround(sh - 10.0 * (i + 1) * sh / 60.0));
    EXPECT_NEAR(label.top + 4, lineForValue, 1);
  }
  EXPECT_EQ(m.at("CNoLbl(0)").left, m.at("CNoLbl(1)").left + 2);
  EXPECT_EQ(m.at("CNoLbl(4)").left, m.at("CNoLbl(1)").left + 1);
  // The bars stand in front of the scale.
  EXPECT_GT(m.at("Sat(0)").zOrder, m.at("CNoLbl(4)").zOrder);
}

TEST(SatelliteChart, BarHeightFollowsCarrierToNoise) {
  WindowModel m = WindowModel::mainWindow();
  buildSatelliteChart(m);
  const int sh = m.scaleHeight("PicSat");
  setSatelliteBar(m, 5, 30, kBarGreen);
  EXPECT_EQ(m.at("Sat(5)").height, static_cast<int>(std::lround((sh - 1) * 0.5 + 1)));
  EXPECT_EQ(m.at("Sat(5)").top, sh - m.at("Sat(5)").height);
  EXPECT_EQ(m.at("Sat(5)").fillColor, kBarGreen);
  setSatelliteBar(m, 6, 0, kBarGrey);
  EXPECT_EQ(m.at("Sat(6)").height, 1);
  setSatelliteBar(m, 32, 40, kBarGreen);  // no such bar: nothing happens
  resetSatelliteBars(m, true);
  EXPECT_EQ(m.at("Sat(5)").height, 2);
  EXPECT_EQ(m.at("Sat(5)").fillColor, 0u);
}

}  // namespace
}  // namespace tamrik::ui
