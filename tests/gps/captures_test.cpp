// Real receiver captures replayed through the assembler and through a simulated unit. The
// expected values were read from the same files by gpsd's ubxtool, an independent decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "core/ubx.h"
#include "gps/ubx_messages.h"
#include "platform/sim/simulation_options.h"
#include "tests/gps/sim_fixture.h"
#include "tests/support/captures.h"

namespace tamrik::gps {
namespace {

using platform::SystemTime;

struct Bar {
  int cno;
  bool green;
  bool operator==(const Bar&) const = default;
};

struct Capture {
  const char* file;
  int frames;  // UBX frames with a good checksum, all classes
  int navPvt, navSvInfo, navClock, navTimeUtc;
  const char *lastPosition, *lastUtc;
  std::map<int, Bar> bars;  // channel -> the last bar drawn for it
  int clockSettings;        // with the clock request armed
  SystemTime firstClock, lastClock;
};
void PrintTo(const Capture& c, std::ostream* os) { *os << c.file; }

constexpr bool G = true, g = false;
const Capture kCaptures[] = {
    {"gpsd_navisys-gr701w.ubx", 423, 0, 81, 80, 0, "", "",
     {{0, {12, G}}, {1, {21, G}}, {2, {0, g}}, {3, {18, G}}, {4, {0, g}}, {5, {23, G}}, {6, {18, g}}, {7, {20, g}},
      {8, {8, g}}, {9, {0, g}}, {10, {0, g}}, {11, {20, g}}, {12, {0, g}}, {13, {0, g}}, {14, {0, g}}, {15, {0, g}},
      {16, {0, g}}, {17, {8, g}}},
     0, {}, {}},
    {"gpsd_navisys-gr8013.ubx", 286, 35, 0, 35, 0, "Position: 46.4045579, -117.0206112, 246.70",
     "UTC: 2024.03.28 15:58:11", {}, 35,
     {2024, 3, 0, 28, 15, 57, 37, 0}, {2024, 3, 0, 28, 15, 58, 11, 0}},
    {"pyubx2_pygpsdata-MIXED.ubx", 300, 39, 39, 0, 1, "Position: 53.4506629, -2.2403097, 79.49",
     "UTC: 2020.10.23 11:33:53",
     {{0, {18, G}}, {1, {29, G}}, {2, {33, G}}, {3, {16, G}}, {4, {28, G}}, {5, {18, G}}, {6, {20, G}}, {7, {12, G}},
      {8, {20, G}}, {9, {20, G}}, {10, {26, G}}, {11, {15, G}}, {12, {30, G}}, {13, {14, g}}, {14, {27, G}},
      {15, {18, G}}, {16, {0, g}}, {17, {16, g}}, {18, {0, g}}, {19, {0, g}}, {20, {0, g}}, {21, {0, g}},
      {22, {0, g}}, {23, {0, g}}},
     40, {2020, 10, 0, 23, 11, 33, 15, 0}, {2020, 10, 0, 23, 11, 33, 53, 0}},
    {"gpsd_ublox-8-time.ubx", 284, 0, 9, 0, 0, "", "",
     {{0, {25, G}}, {1, {37, G}}, {2, {22, G}}, {3, {31, G}}, {4, {29, G}}, {5, {31, G}}, {6, {0, g}}, {7, {22, g}},
      {8, {26, g}}, {9, {30, g}}, {10, {29, g}}, {12, {26, g}}, {13, {25, g}}, {14, {0, g}}, {15, {0, g}},
      {16, {33, G}}, {18, {15, g}}, {19, {0, g}}, {20, {0, g}}, {21, {0, g}}, {22, {44, g}}, {23, {0, g}},
      {24, {0, g}}},
     0, {}, {}},
    {"gpsd_u-blox-m8t-time.ubx", 1511, 0, 0, 0, 151, "", "", {}, 151, {2021, 2, 0, 23, 18, 4, 29, 30},
     {2021, 2, 0, 23, 18, 6, 59, 30}},
};

class CaptureReplay : public ::testing::TestWithParam<Capture> {
 protected:
  void SetUp() override {
    const auto capture = tamrik::testing::capturePath(GetParam().file);
    TAMRIK_REQUIRE_CAPTURE(capture, GetParam().file);
    path = capture->string();
  }
  std::string path;
};

// Every frame ubxtool finds, and no other, with the bars its channel blocks give.
TEST_P(CaptureReplay, AssemblerFindsTheFramesTheIndependentDecoderFinds) {
  const Capture& c = GetParam();
  const auto bytes = sim::readCaptureFile(path);
  ASSERT_TRUE(bytes);
  core::MessageAssembler a;
  std::map<int, int> frames;  // NAV id -> count; -1 all frames
  std::map<int, Bar> bars;
  for (std::uint8_t b : *bytes) {
    if (!core::parseReceiverByte(a, b)) continue;
    ++frames[-1];
    if (a.messageClass == core::kClassNav) ++frames[a.messageId];
    if (a.messageClass != core::kClassNav || a.messageId != core::kIdNavSvInfo) continue;
    const auto info = core::NavSvInfo::read(a.message()).value();
    for (int i = 0; i < info.channels(); ++i)
      if (auto bar = BarFor(info.channel(i))) bars[bar->chn] = {bar->cno, bar->color == ui::kBarGreen};
  }
  EXPECT_EQ(frames[-1], c.frames);
  EXPECT_EQ(frames[core::kIdNavPvt], c.navPvt);
  EXPECT_EQ(frames[core::kIdNavSvInfo], c.navSvInfo);
  EXPECT_EQ(frames[core::kIdNavClock], c.navClock);
  EXPECT_EQ(frames[core::kIdNavTimeUtc], c.navTimeUtc);
  EXPECT_EQ(bars, c.bars);
}

// The program's --replay: a simulated unit sends the capture at the receiver's line rate. With
// the clock request armed, the window ends up showing the last position, time and bars, the clock
// was set from every valid NAV-PVT and every NAV-TIMEUTC on a whole second, and no drift was sent
// (every capture's fAcc is 1544 ps/s or worse).
TEST_P(CaptureReplay, WindowShowsWhatTheReceiverSent) {
  const Capture& c = GetParam();
  const auto args = sim::parseSimulationArguments({"--simulate=1", "--replay", path});
  ASSERT_EQ(args.error, "");
  sim::VirtualClock simClock;
  auto built = sim::buildSimulation(args.options, simClock);
  ASSERT_TRUE(built) << built.reason();
  testing::SimulatedMonitor w(**built, simClock);
  w.monitor.Label13Click();
  w.start();
  ASSERT_TRUE(w.runUntil([&] { return (*built)->replayFinished(); }, std::chrono::minutes(5)));

  if (c.navPvt > 0) {
    EXPECT_EQ(w.text("Label12"), c.lastPosition);
    EXPECT_EQ(w.text("Label13"), c.lastUtc);
  }
  const float sh = static_cast<float>(w.model.scaleHeight("PicSat"));
  for (int i = 0; i < ui::kSatelliteBars; ++i) {
    const auto& bar = w.control(ui::barName(i));
    const auto expected = c.bars.find(i);
    const int cno = expected == c.bars.end() ? -1 : expected->second.cno;
    EXPECT_EQ(bar.height, cno < 0 ? 2 : std::lround((sh - 1.0f) * static_cast<float>(cno) / 60.0f + 1.0f)) << i;
    if (cno >= 0) {
      EXPECT_EQ(bar.fillColor, expected->second.green ? ui::kBarGreen : ui::kBarGrey) << i;
    }
  }
  ASSERT_EQ(static_cast<int>(w.clock.requests.size()), c.clockSettings);
  if (c.clockSettings > 0) {
    EXPECT_EQ(w.clock.requests.front(), c.firstClock);
    EXPECT_EQ(w.clock.requests.back(), c.lastClock);
  }
  EXPECT_TRUE(w.sent(11).empty());
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureReplay, ::testing::ValuesIn(kCaptures), [](const auto& info) {
  std::string name = info.param.file;
  name = name.substr(0, name.find('.'));
  for (char& ch : name)
    if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
  return name;
});

}  // namespace
}  // namespace tamrik::gps
