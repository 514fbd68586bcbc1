// Where the Win32 window puts the controls, how it stacks their windows and where Tab goes: plain
// C++, run on every system.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "platform/windows/win32_layout.h"
#include "ui/advanced_toggle.h"
#include "ui/satellite_chart.h"

namespace tamrik::platform::windows {
namespace {

using Names = std::vector<std::string>;

ui::WindowModel wideWindow() {
  ui::WindowModel m = ui::WindowModel::mainWindow();
  ui::buildSatelliteChart(m);
  m.setWindowWidth(9450);
  return m;
}

TEST(Win32Layout, TwipsAndChartPixelsScaleWithTheScreen) {
  ui::WindowModel m = wideWindow();
  for (int dpi : {96, 144, 192}) {
    SCOPED_TRACE(dpi);
    const Scale s{dpi};
    const double k = dpi / 96.0;
    // Out1Freq: 240, 405 twips in Frame3 at 120, 2160; 1800 x 360 twips.
    EXPECT_EQ(placeInWindow(m, "Out1Freq", s), (PixelRect{s.fromTwips(120) + s.fromTwips(240),
                                                          s.fromTwips(2160) + s.fromTwips(405), s.fromTwips(1800),
                                                          s.fromTwips(360)}));
    EXPECT_EQ(s.fromTwips(1800), static_cast<int>(std::lround(120 * k)));
    // The chart is laid out in design pixels inside PicSat's border, which scale alike.
    const ui::Control& bar = m.at("Sat(3)");
    EXPECT_EQ(placeInContainer(m, bar, s).left, s.fromDesignPixels(8 * 3 + 1) + s.pictureBorder());
    EXPECT_EQ(placeInContainer(m, bar, s).width, s.fromDesignPixels(7));
    EXPECT_EQ(s.pictureBorder(), static_cast<int>(std::lround(2 * k)));
    const PixelRect line = placeInContainer(m, m.at("CNoLine(2)"), s);
    EXPECT_EQ(line.height, s.lineWidth());
    EXPECT_EQ(line.width, s.fromDesignPixels(256) + s.lineWidth());
    EXPECT_EQ(clientArea(m, s), (PixelRect{0, 0, s.fromTwips(9420), s.fromTwips(6375)}));
  }
}

TEST(Win32Layout, ShapesLinesAndTheChartAreDrawnEverythingElseIsAWindow) {
  ui::WindowModel m = wideWindow();
  for (const char* name : {"Frame1", "PicSat", "Bar", "Label17", "lblProduct", "Out1Freq", "SerNo", "OUT1EN", "SetFreq"}) {
    EXPECT_TRUE(isWindowed(m, m.at(name))) << name;
  }
  for (const char* name : {"Progress", "Line1", "Sat(0)", "CNoLine(1)", "CNoLbl(1)", "Timer"}) {
    EXPECT_FALSE(isWindowed(m, m.at(name))) << name;
  }
}

// The dialog manager walks the windows in stacking order, entering frames: with the stacking the
// window uses, Tab follows the tab indices over the controls in sight, narrow and wide.
TEST(Win32Layout, TabFollowsTheTabIndicesOverTheControlsInSight) {
  ui::WindowModel m = wideWindow();
  const Scale s{96};
  const Names wide{"Out1Freq", "FindFreq", "Factory", "Advanced", "SerNo", "Enc1", "OUT1EN", "NC2_LS", "GPS", "N31",
                   "N2_HS", "N2_LS", "N1_HS", "NC1_LS", "BW", "SetFreq", "OUT1ID"};
  EXPECT_EQ(tabOrder(m, s), wide);
  EXPECT_EQ(dialogTabOrder(m, s), wide);
  bool collapsed = false;
  ui::toggleAdvanced(m, collapsed);  // narrow: the Advanced frame lies right of the window
  const Names narrow{"Out1Freq", "FindFreq", "Factory", "Advanced", "SerNo"};
  EXPECT_EQ(tabOrder(m, Scale{192}), narrow);
  EXPECT_EQ(dialogTabOrder(m, Scale{192}), narrow);
  // The service boxes below the client area are never reached; disabled frames hold theirs back.
  EXPECT_FALSE(inSight(m, "SN", s));
  m.setEnabled("Frame3", false);
  EXPECT_EQ(dialogTabOrder(m, s), Names{"SerNo"});
  EXPECT_FALSE(effectivelyEnabled(m, "Out1Freq"));
}

TEST(Win32Layout, LabelsLieBeneathEveryOtherWindow) {
  ui::WindowModel m = wideWindow();
  const Names top = stackingOrder(m, "");
  // Frames by the first tab index they hold; the empty label at the corner under all of them.
  EXPECT_EQ(Names(top.begin(), top.begin() + 3), (Names{"Frame3", "Frame1", "Frame2"}));
  EXPECT_EQ(top.back(), "Label14");
  const Names frame1 = stackingOrder(m, "Frame1");
  EXPECT_EQ(frame1.front(), "SerNo");
  // The product label was made after the serial-number label it overlaps, so it lies in front.
  const auto at = [&](const char* name) { return std::find(frame1.begin(), frame1.end(), name) - frame1.begin(); };
  EXPECT_LT(at("lblProduct"), at("lblSerialNumber"));
  m.bringToFront("lblSerialNumber");
  const Names again = stackingOrder(m, "Frame1");
  EXPECT_LT(std::find(again.begin(), again.end(), "lblSerialNumber"), std::find(again.begin(), again.end(), "lblProduct"));
}

TEST(Win32Layout, CaptionsKeepTheirAmpersands) {
  EXPECT_EQ(literalCaption("R&D && Co &"), "R&&D &&&& Co &&");
  EXPECT_EQ(literalCaption("Advanced  >>>"), "Advanced  >>>");
}

}  // namespace
}  // namespace tamrik::platform::windows
