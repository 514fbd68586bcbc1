// Real receiver captures replayed through the assembler and the monitor. The expected values were
// read from the same files by gpsd's ubxtool, an independent decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <map>

#include "device/device_link.h"
#include "gps/gps_monitor.h"
#include "gps/ubx_assembler.h"
#include "gps/ubx_messages.h"
#include "platform/host_kernel.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_services.h"
#include "tests/gps/scripted_unit.h"
#include "tests/gps/ubx_frames.h"
#include "ui/satellite_chart.h"

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
  const char *firstPosition, *firstUtc, *lastPosition, *lastUtc;
  std::map<int, Bar> bars;  // channel -> last bar drawn, after the whole file
  int clockSettings;        // with the clock request armed
  SystemTime firstClock, lastClock;
};

void PrintTo(const Capture& c, std::ostream* os) { *os << c.file; }

constexpr bool G = true, g = false;

const Capture kCaptures[] = {
    {"gpsd_navisys-gr701w.ubx", 423, 0, 81, 80, 0, "", "", "", "",
     {{0, {12, G}}, {1, {21, G}}, {2, {0, g}}, {3, {18, G}}, {4, {0, g}}, {5, {23, G}}, {6, {18, g}},
      {7, {20, g}}, {8, {8, g}}, {9, {0, g}}, {10, {0, g}}, {11, {20, g}}, {12, {0, g}}, {13, {0, g}},
      {14, {0, g}}, {15, {0, g}}, {16, {0, g}}, {17, {8, g}}},
     0, {}, {}},
    {"gpsd_navisys-gr8013.ubx", 286, 35, 0, 35, 0, "Position: 46.4045956, -117.0207302, 247.52",
     "UTC: 2024.03.28 15:57:37", "Position: 46.4045579, -117.0206112, 246.70", "UTC: 2024.03.28 15:58:11", {},
     35, {2024, 3, 0, 28, 15, 57, 37, 0}, {2024, 3, 0, 28, 15, 58, 11, 0}},
    {"pyubx2_pygpsdata-MIXED.ubx", 300, 39, 39, 0, 1, "Position: 53.4506691, -2.2402964, 75.70",
     "UTC: 2020.10.23 11:33:15", "Position: 53.4506629, -2.2403097, 79.49", "UTC: 2020.10.23 11:33:53",
     {{0, {18, G}},  {1, {29, G}},  {2, {33, G}},  {3, {16, G}},  {4, {28, G}},  {5, {18, G}},
      {6, {20, G}},  {7, {12, G}},  {8, {20, G}},  {9, {20, G}},  {10, {26, G}}, {11, {15, G}},
      {12, {30, G}}, {13, {14, g}}, {14, {27, G}}, {15, {18, G}}, {16, {0, g}},  {17, {16, g}},
      {18, {0, g}},  {19, {0, g}},  {20, {0, g}},  {21, {0, g}},  {22, {0, g}},  {23, {0, g}}},
     40, {2020, 10, 0, 23, 11, 33, 15, 0}, {2020, 10, 0, 23, 11, 33, 53, 0}},
    {"gpsd_ublox-8-time.ubx", 284, 0, 9, 0, 0, "", "", "", "",
     {{0, {25, G}},  {1, {37, G}},  {2, {22, G}},  {3, {31, G}},  {4, {29, G}},  {5, {31, G}},
      {6, {0, g}},   {7, {22, g}},  {8, {26, g}},  {9, {30, g}},  {10, {29, g}}, {12, {26, g}},
      {13, {25, g}}, {14, {0, g}},  {15, {0, g}},  {16, {33, G}}, {18, {15, g}}, {19, {0, g}},
      {20, {0, g}},  {21, {0, g}},  {22, {44, g}}, {23, {0, g}},  {24, {0, g}}},
     0, {}, {}},
    {"gpsd_u-blox-m8t-time.ubx", 1511, 0, 0, 0, 151, "", "", "", "", {}, 151,
     {2021, 2, 0, 23, 18, 4, 29, 30}, {2021, 2, 0, 23, 18, 6, 59, 30}},
};

class CaptureReplay : public ::testing::TestWithParam<Capture> {
 protected:
  void SetUp() override {
    const auto dir = testing::captureFolder();
    if (dir.empty()) GTEST_SKIP() << "no receiver captures at " << TAMRIK_SHARED_DIR << "/data/ubx";
    bytes = testing::readFile(dir / GetParam().file);
    ASSERT_FALSE(bytes.empty());
  }
  testing::Bytes bytes;
};

TEST_P(CaptureReplay, AssemblerAgreesWithIndependentDecoder) {
  const Capture& c = GetParam();
  MessageAssembler a;
  int frames = 0;
  std::map<int, int> counts;
  std::vector<NavPvt> pvts;
  std::map<int, Bar> bars;
  for (std::uint8_t b : bytes) {
    if (!ParseReceiverByte(a, b)) continue;
    ++frames;
    if (a.messageClass != kClassNav) continue;
    ++counts[a.messageId];
    if (a.messageId == kIdNavPvt) pvts.push_back(ReadNavPvt(a.message()).value());
    if (a.messageId == kIdNavSvInfo) {
      const auto info = NavSvInfo::read(a.message()).value();
      EXPECT_EQ(a.message().size(), 8u + 12u * static_cast<unsigned>(info.channels()));
      for (int i = 0; i < info.channels(); ++i) {
        if (auto bar = BarFor(info.channel(i))) bars[bar->chn] = {bar->cno, bar->color == ui::kBarGreen};
      }
    }
  }
  EXPECT_EQ(frames, c.frames);
  EXPECT_EQ(counts[kIdNavPvt], c.navPvt);
  EXPECT_EQ(counts[kIdNavSvInfo], c.navSvInfo);
  EXPECT_EQ(counts[kIdNavClock], c.navClock);
  EXPECT_EQ(counts[kIdNavTimeUtc], c.navTimeUtc);
  EXPECT_EQ(bars, c.bars);
  if (!pvts.empty()) {
    EXPECT_EQ(PositionText(pvts.front(), ui::NumberFormat::point()), c.firstPosition);
    EXPECT_EQ(UtcText(pvts.front()), c.firstUtc);
    EXPECT_EQ(PositionText(pvts.back(), ui::NumberFormat::point()), c.lastPosition);
    EXPECT_EQ(UtcText(pvts.back()), c.lastUtc);
  }
}

// The whole capture streamed by a unit, the clock request armed: the window ends up showing the
// last position, time and bars, the clock was set from every valid NAV-PVT and every NAV-TIMEUTC
// on a whole second, and no drift was sent (every capture's fAcc is 1544 ps/s or worse).
TEST_P(CaptureReplay, WindowShowsWhatTheReceiverSent) {
  const Capture& c = GetParam();
  testing::ScriptedUnit unit;
  platform::testing::RecordingClock clock;
  platform::testing::VirtualSleeper sleeper;
  platform::HostKernel kernel{unit, clock, std::ref(sleeper)};
  platform::testing::RecordingShell shell;
  platform::testing::HeadlessToolkit toolkit;
  platform::Platform platform{unit, unit, kernel, shell, toolkit};
  ui::WindowModel model = ui::WindowModel::mainWindow();
  ui::buildSatelliteChart(model);
  WindowState state{platform, model, ui::NumberFormat::point()};
  device::DeviceLink link{state};
  GpsMonitor monitor{state, link};

  monitor.PollInputReports();
  ASSERT_TRUE(state.link.Connected);
  monitor.Label13Click();
  const std::size_t per = static_cast<std::size_t>(unit.inputReportLength - 3);
  testing::Bytes read;
  for (std::size_t at = 0; at < bytes.size(); at += per) {
    testing::Bytes r(static_cast<std::size_t>(unit.inputReportLength), 0);
    r[2] = 0x80;
    std::copy(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(std::min(bytes.size(), at + per)),
              r.begin() + 3);
    read.insert(read.end(), r.begin(), r.end());
    if (read.size() + r.size() > GpsMonitor::kReadBytes) {
      unit.reads.push_back(std::move(read));
      read.clear();
    }
  }
  unit.reads.push_back(read);
  while (!unit.reads.empty()) monitor.PollInputReports();

  if (c.navPvt > 0) {
    EXPECT_EQ(model.at("Label12").text, c.lastPosition);
    EXPECT_EQ(model.at("Label13").text, c.lastUtc);
  }
  const float sh = static_cast<float>(model.scaleHeight("PicSat"));
  for (int i = 0; i < ui::kSatelliteBars; ++i) {
    const auto& bar = model.at(ui::barName(i));
    const auto expected = c.bars.find(i);
    if (expected == c.bars.end()) {
      EXPECT_EQ(bar.height, 2) << i;
      continue;
    }
    EXPECT_EQ(bar.height, std::lround((sh - 1.0f) * static_cast<float>(expected->second.cno) / 60.0f + 1.0f)) << i;
    EXPECT_EQ(bar.fillColor, expected->second.green ? ui::kBarGreen : ui::kBarGrey) << i;
  }
  ASSERT_EQ(static_cast<int>(clock.requests.size()), c.clockSettings);
  if (c.clockSettings > 0) {
    EXPECT_EQ(clock.requests.front(), c.firstClock);
    EXPECT_EQ(clock.requests.back(), c.lastClock);
  }
  EXPECT_TRUE(unit.sentWith(11).empty());
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureReplay, ::testing::ValuesIn(kCaptures),
                         [](const ::testing::TestParamInfo<Capture>& info) {
                           std::string name = info.param.file;
                           name = name.substr(0, name.find('.'));
                           for (char& ch : name)
                             if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                           return name;
                         });

}  // namespace
}  // namespace tamrik::gps
