// Where the Win32 window puts the controls and how it stacks their windows: plain C++, run on every
// system. (The tab order that follows from the stacking is checked under Wine.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "platform/win32/win32_layout.h"
#include "ui/advanced_toggle.h"
#include "ui/satellite_chart.h"

namespace tamrik::platform::win32 {
namespace {

using Names = std::vector<std::string>;

ui::WindowModel wideWindow() {
  ui::WindowModel m = ui::WindowModel::mainWindow();
  ui::buildSatelliteChart(m);
  m.setWindowWidth(ui::kWideWidthTwips);
  return m;
}

TEST(Win32Layout, TwipsAndChartPixelsScaleWithTheScreen) {
  ui::WindowModel m = wideWindow();
  for (int dpi : {96, 144, 192}) {
    SCOPED_TRACE(dpi);
    const Scale s{dpi};
    const auto scaled = [dpi](double designPixels) { return static_cast<int>(std::lround(designPixels * dpi / 96)); };
    // Out1Freq: 240, 405 twips in Frame3 at 120, 2160; 1800 x 360 twips (16 + 8 = 24, 144 + 27 = 171, 120 x 24).
    EXPECT_EQ(placeInWindow(m, "Out1Freq", s), (PixelRect{scaled(8) + scaled(16), scaled(144) + scaled(27),
                                                          scaled(120), scaled(24)}));
    // The chart is laid out in design pixels inside PicSat's 2-pixel border.
    const int top = m.at("Sat(3)").top;  // a 2-pixel stub on the chart's floor
    EXPECT_EQ(placeInContainer(m, m.at("Sat(3)"), s), (PixelRect{scaled(25) + scaled(2), scaled(top) + scaled(2),
                                                                 scaled(7), scaled(2)}));
    EXPECT_EQ(placeInContainer(m, m.at("CNoLine(2)"), s).width, scaled(256) + s.lineWidth());
    EXPECT_EQ(clientArea(m, s), (PixelRect{0, 0, s.fromTwips(9420), s.fromTwips(6375)}));
  }
  // Shapes, lines and all of the chart are drawn by their container; the rest are windows.
  for (const char* name : {"Frame1", "PicSat", "Bar", "Label17", "lblProduct", "Out1Freq", "SerNo", "OUT1EN"}) {
    EXPECT_TRUE(isWindowed(m, m.at(name))) << name;
  }
  for (const char* name : {"Progress", "Line1", "Sat(0)", "CNoLine(1)", "CNoLbl(1)", "Timer"}) {
    EXPECT_FALSE(isWindowed(m, m.at(name))) << name;
  }
}

TEST(Win32Layout, WindowsStackByTabIndexWithLabelsBeneath) {
  ui::WindowModel m = wideWindow();
  // Frames by the first tab index they hold, the service boxes below the client area after them;
  // the empty label at the corner beneath all.
  EXPECT_EQ(stackingOrder(m, ""), (Names{"Frame3", "Frame1", "Frame2", "REG", "DATA", "WriteRegister", "SetSN", "SN",
                                        "Frame4", "Label14"}));
  EXPECT_EQ(stackingOrder(m, "Frame3"), (Names{"Out1Freq", "FindFreq", "Factory", "Advanced", "Bar", "F3lbl", "Label1"}));
  // The product label was made after the serial-number label it overlaps, so it lies in front.
  auto before = [&](const char* a, const char* b) {
    const Names order = stackingOrder(m, "Frame1");
    return std::find(order.begin(), order.end(), a) < std::find(order.begin(), order.end(), b);
  };
  EXPECT_TRUE(before("lblProduct", "lblSerialNumber"));
  m.bringToFront("lblSerialNumber");
  EXPECT_TRUE(before("lblSerialNumber", "lblProduct"));
  // In sight: not below the client area, not right of the narrow window.
  EXPECT_FALSE(inSight(m, "SN", Scale{96}));
  EXPECT_TRUE(inSight(m, "BW", Scale{96}));
  m.setWindowWidth(ui::kNarrowWidthTwips);
  EXPECT_FALSE(inSight(m, "BW", Scale{192}));
  m.setEnabled("Frame3", false);
  EXPECT_FALSE(effectivelyEnabled(m, "Out1Freq"));
}

TEST(Win32Layout, CaptionsKeepTheirAmpersands) {
  EXPECT_EQ(literalCaption("R&D && Co &"), "R&&D &&&& Co &&");
  EXPECT_EQ(literalCaption("Advanced  >>>"), "Advanced  >>>");
}

}  // namespace
}  // namespace tamrik::platform::win32
