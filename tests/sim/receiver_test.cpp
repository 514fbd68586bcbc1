#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "platform/sim/simulated_units.h"
#include "tests/sim/sim_test_support.h"

namespace tamrik::sim {
namespace {

using namespace std::chrono_literals;
using testing::Capture;
using testing::framesOf;
using testing::poll;
using testing::rateFrame;
using ubx::get;

class ReceiverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    id = units.addUnit({});
    h = units.open(units.unit(id).path, platform::OpenMode::Plain);
  }
  void switchOn(std::uint8_t svinfo, std::uint8_t clk, std::uint8_t pvt) {
    ASSERT_TRUE(units.setFeature(h, rateFrame(0x30, svinfo)));
    ASSERT_TRUE(units.setFeature(h, rateFrame(0x22, clk)));
    ASSERT_TRUE(units.setFeature(h, rateFrame(0x07, pvt)));
  }

  VirtualClock clock;
  SimulatedUnits units{clock};
  UnitId id = 0;
  platform::DeviceHandle h = platform::kInvalidHandle;
};

TEST_F(ReceiverTest, SendsNoNavigationMessagesUntilSwitchedOn) {
  const Capture c = poll(units, clock, h, 3s);
  EXPECT_FALSE(c.reports.empty());
  EXPECT_TRUE(c.stream.empty());
}

TEST_F(ReceiverTest, RatesFollowThePassThroughCommandsAndAreAcknowledged) {
  clock.advance(6s);  // past the search at power-up
  switchOn(2, 2, 1);
  auto v = units.unit(id);
  EXPECT_EQ(v.rate(0x01, 0x30), 2);
  EXPECT_EQ(v.rate(0x01, 0x22), 2);
  EXPECT_EQ(v.rate(0x01, 0x07), 1);
  EXPECT_EQ(v.firmware.passThrough.size(), 3u);

  const Capture c = poll(units, clock, h, 20s);
  EXPECT_EQ(framesOf(c.stream, 0x05, 0x01).size(), 3u);  // ACK-ACK for each CFG-MSG
  const auto pvt = framesOf(c.stream, 0x01, 0x07);
  const auto clk = framesOf(c.stream, 0x01, 0x22);
  const auto sv = framesOf(c.stream, 0x01, 0x30);
  EXPECT_GE(pvt.size(), 19u);
  EXPECT_LE(pvt.size(), 20u);
  EXPECT_GE(clk.size(), 9u);
  EXPECT_LE(clk.size(), 10u);
  EXPECT_GE(sv.size(), 9u);
  EXPECT_LE(sv.size(), 10u);
  EXPECT_TRUE(framesOf(c.stream, 0x01, 0x21).empty());
  // Up to the last whole frame, the stream holds good frames and the zeros that pad a report
  // sent while the receiver was quiet, nothing else.
  const auto frames = ubx::findFrames(c.stream);
  ASSERT_FALSE(frames.empty());
  std::size_t pos = 0;
  for (const auto& f : frames) {
    EXPECT_TRUE(std::all_of(c.stream.begin() + static_cast<std::ptrdiff_t>(pos),
                            c.stream.begin() + static_cast<std::ptrdiff_t>(f.offset), [](auto b) { return b == 0; }));
    pos = f.offset + f.payload.size() + 8;
  }

  // Consecutive NAV-PVT carry consecutive whole UTC seconds.
  for (std::size_t i = 1; i < pvt.size(); ++i) {
    EXPECT_EQ(get<std::uint32_t>(pvt[i].payload, 0) - get<std::uint32_t>(pvt[i - 1].payload, 0), 1000u);
  }

  // Rate 0 switches a message off; NAV-TIMEUTC can be switched on although the program never does.
  ASSERT_TRUE(units.setFeature(h, rateFrame(0x07, 0)));
  ASSERT_TRUE(units.setFeature(h, rateFrame(0x21, 1)));
  const Capture after = poll(units, clock, h, 5s);
  EXPECT_TRUE(framesOf(after.stream, 0x01, 0x07).empty());
  EXPECT_GE(framesOf(after.stream, 0x01, 0x21).size(), 4u);
  EXPECT_GE(framesOf(after.stream, 0x01, 0x22).size(), 2u);
}

TEST_F(ReceiverTest, NavPvtCarriesTheClockUtcAndAFixAfterTheSearch) {
  switchOn(0, 0, 1);
  const Capture c = poll(units, clock, h, 10s);
  const auto pvt = framesOf(c.stream, 0x01, 0x07);
  ASSERT_GE(pvt.size(), 9u);
  int searching = 0;
  for (const auto& f : pvt) {
    ASSERT_EQ(f.payload.size(), 92u);
    const auto& p = f.payload;
    EXPECT_EQ(get<std::uint16_t>(p, 4), 2025);
    EXPECT_EQ(p[6], 3);
    EXPECT_EQ(p[7], 7);
    EXPECT_EQ(p[8], 8);
    EXPECT_EQ(p[9], 5);
    EXPECT_LT(std::abs(get<std::int32_t>(p, 16)), 500000);  // at whole seconds
    if (p[11] == 0) {
      ++searching;
      EXPECT_EQ(p[20], 0);  // no fix
      EXPECT_EQ(get<std::int32_t>(p, 28), 0);
    } else {
      EXPECT_EQ(p[11], 0x37);
      EXPECT_EQ(p[20], 3);
      EXPECT_EQ(get<std::int32_t>(p, 28), 460569000);
      EXPECT_EQ(get<std::int32_t>(p, 24), 145058000);
    }
  }
  // Virtual UTC starts at 08:05:09.4; the search lasts 5 s.
  EXPECT_EQ(pvt.front().payload[10], 10);
  EXPECT_GE(searching, 4);
  EXPECT_LE(searching, 5);
  EXPECT_NE(pvt.back().payload[11], 0);

  // The status flag tells the same story: no signal at first, signal later.
  EXPECT_EQ(c.reports.front()[2] & 0x01, 0x01);
  EXPECT_EQ(c.reports.back()[2] & 0x01, 0x00);
}

TEST_F(ReceiverTest, SatellitesMoveAndSomeAreUsed) {
  clock.advance(6s);
  switchOn(1, 0, 0);
  const Capture c = poll(units, clock, h, 120s);
  const auto sv = framesOf(c.stream, 0x01, 0x30);
  ASSERT_GE(sv.size(), 100u);
  std::set<int> cnoSeen;
  std::set<int> elevSeen;
  for (const auto& f : sv) {
    ASSERT_EQ(f.payload[4], 12);
    ASSERT_EQ(f.payload.size(), 8u + 12u * 12u);
    int used = 0;
    int below = 0;
    for (int i = 0; i < 12; ++i) {
      const auto* b = f.payload.data() + 8 + 12 * i;
      EXPECT_EQ(b[0], i);
      used += b[2] & 1;
      below += static_cast<std::int8_t>(b[5]) < 0;
      if (static_cast<std::int8_t>(b[5]) < 0) {
        EXPECT_EQ(b[4], 0);
      }
      EXPECT_LE(b[4], 60);
      if (i == 0) {
        cnoSeen.insert(b[4]);
        elevSeen.insert(b[5]);
      }
    }
    EXPECT_GE(used, 4);
    EXPECT_LT(used, 12);
    EXPECT_EQ(below, 1);
  }
  EXPECT_GE(cnoSeen.size(), 3u);
  EXPECT_GE(elevSeen.size(), 2u);
}

TEST_F(ReceiverTest, ClockDriftWandersPastTheReportingThreshold) {
  clock.advance(6s);
  switchOn(0, 1, 0);
  const Capture c = poll(units, clock, h, 300s);
  const auto clk = framesOf(c.stream, 0x01, 0x22);
  ASSERT_GE(clk.size(), 290u);
  int jumps = 0;
  int accurate = 0;
  std::int32_t reported = get<std::int32_t>(clk.front().payload, 8);
  for (const auto& f : clk) {
    const auto d = get<std::int32_t>(f.payload, 8);
    const auto fAcc = static_cast<std::int32_t>(get<std::uint32_t>(f.payload, 16));
    EXPECT_LT(std::abs(d), 1000);
    if (fAcc < 500) {
      ++accurate;
      // What the program does with it: pass on a drift that moved by more than 20 ns/s.
      if (std::abs(d - reported) > 20) {
        ++jumps;
        reported = d;
      }
    }
  }
  EXPECT_GE(accurate, static_cast<int>(clk.size() * 3 / 4));
  EXPECT_GE(jumps, 4);
  EXPECT_LE(jumps, 150);
}

}  // namespace
}  // namespace tamrik::sim
