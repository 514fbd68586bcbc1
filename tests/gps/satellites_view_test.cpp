// The Satellites window's picture: where the sky view puts each satellite, which it lists instead,
// and that a sky gone stale is not drawn as current.
#include <gtest/gtest.h>

#include <algorithm>

#include "gps/satellites_view.h"
#include "platform/sim/ubx_frame.h"

namespace tamrik::gps {
namespace {

using namespace std::chrono_literals;

const core::UtcTime kNow = std::chrono::sys_days(std::chrono::year(2025) / 3 / 7) + 21h;

// The marker ellipse drawn right before the number's text, when there is one.
const ui::DrawOp* markerOf(const ui::Drawing& d, const std::string& number) {
  for (std::size_t i = 1; i < d.ops.size(); ++i) {
    if (d.ops[i].kind == ui::DrawOp::Kind::Text && d.ops[i].text == number &&
        d.ops[i - 1].kind == ui::DrawOp::Kind::Ellipse) {
      return &d.ops[i - 1];
    }
  }
  return nullptr;
}

bool anyTextHas(const ui::Drawing& d, const std::string& part) {
  return std::any_of(d.ops.begin(), d.ops.end(), [&](const ui::DrawOp& op) { return op.text.find(part) != std::string::npos; });
}

TEST(SkyPlot, NorthIsUpEastIsRightAndTheHorizonIsTheOuterRing) {
  EXPECT_EQ(skyPoint(0, 90, 100, 100, 90), (PlotPoint{100, 100}));
  EXPECT_EQ(skyPoint(0, 0, 100, 100, 90), (PlotPoint{100, 10}));
  EXPECT_EQ(skyPoint(90, 0, 100, 100, 90), (PlotPoint{190, 100}));
  EXPECT_EQ(skyPoint(180, 30, 100, 100, 90), (PlotPoint{100, 160}));
  EXPECT_EQ(skyPoint(270, 60, 100, 100, 90), (PlotPoint{70, 100}));
}

TEST(SatellitesView, PlacedSatellitesAreMarkedByConstellationAndUseTheOthersListedAndStaleOnesGrey) {
  sim::ubx::NavSvInfo m;
  // chn, svid, flags, quality, cno, elev, azim
  m.channels = {{0, 5, 0x01, 7, 44, 45, 270}, {1, 211, 0x00, 7, 30, 30, 90}, {2, 133, 0x00, 0, 0, -91, 0},
                {3, 66, 0x00, 0, 12, 0, 10}};
  const auto payload = sim::ubx::navSvInfoPayload(m);
  core::SkyRecord record;
  record.navSvInfo(*core::NavSvInfo::read(payload), kNow);

  for (const double scale : {1.0, 2.0}) {
    SCOPED_TRACE(scale);
    const ui::Drawing d = drawSatellites(record, kNow + 1s, 820 * static_cast<int>(scale), 600 * static_cast<int>(scale), scale);
    const ui::DrawOp* gps = markerOf(d, "5");
    const ui::DrawOp* galileo = markerOf(d, "211");
    ASSERT_TRUE(gps && galileo);
    EXPECT_TRUE(gps->filled);
    EXPECT_EQ(gps->fill, constellationColor(core::Constellation::Gps));
    EXPECT_FALSE(galileo->filled);
    EXPECT_EQ(galileo->color, constellationColor(core::Constellation::Galileo));
    // West of the zenith, and east: the Galileo satellite is right of the GPS one, and the markers
    // grow with the scale.
    EXPECT_GT(galileo->x, gps->x);
    EXPECT_EQ(gps->w, static_cast<int>(22 * scale));
    // Without a place: listed, not marked.
    EXPECT_FALSE(markerOf(d, "133"));
    EXPECT_FALSE(markerOf(d, "66"));
    EXPECT_TRUE(anyTextHas(d, "Without a position: 2"));
    EXPECT_TRUE(anyTextHas(d, "SBAS 133, GLONASS 66"));
    EXPECT_TRUE(anyTextHas(d, "Sky: 4 satellites, 1 used"));
  }

  // Past the slow rate's margin the sky is the last one received, in grey, and says so.
  const ui::Drawing stale = drawSatellites(record, kNow + core::kSkyStaleAfter + 1s, 820, 600, 1.0);
  ASSERT_TRUE(markerOf(stale, "5"));
  EXPECT_NE(markerOf(stale, "5")->fill, constellationColor(core::Constellation::Gps));
  EXPECT_TRUE(anyTextHas(stale, "not current"));
  EXPECT_FALSE(anyTextHas(stale, "1 used"));
}

}  // namespace
}  // namespace tamrik::gps
