// The units' health over time: the unit's loss counter as a running total, the events of a night
// with every kind of trouble, and the status lights' tooltips that follow it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/health.h"
#include "core/health_text.h"

namespace tamrik::core {
namespace {

using namespace std::chrono_literals;

class ManualClock final : public UtcClock {
 public:
  UtcTime now() override { return t; }
  UtcTime t = std::chrono::sys_days(std::chrono::year(2025) / 3 / 7) + 21h;
};

InputStatus report(std::uint8_t count, bool signal, bool lock) { return {count, signal, lock}; }

TEST(HealthCounter, TheUnitsCountRunsOnThroughItsWrapAndRestartsAtAPowerCycleWithoutAFault) {
  EXPECT_EQ(countedLosses(254, 1), 3u);
  EXPECT_EQ(countedLosses(7, 7), 0u);
  EXPECT_EQ(countedLosses(0, 255), 255u);

  ManualClock clock;
  Health health(clock);
  health.connected("A");
  health.inputStatus("A", report(250, true, true));  // the count the program finds is no loss of its watch
  health.inputStatus("A", report(254, true, true));
  health.inputStatus("A", report(1, true, true));
  EXPECT_EQ(health.unit("A")->gpsSignalLosses, 7u);

  // Unplugged and back with a lower count: a power cycle, which adds nothing; then it counts anew.
  health.disconnected("A");
  health.connected("A");
  health.inputStatus("A", report(0, false, false));
  health.inputStatus("A", report(2, false, false));
  EXPECT_EQ(health.unit("A")->gpsSignalLosses, 9u);

  // Back with a higher count: it kept counting while the program could not read it.
  health.disconnected("A");
  health.connected("A");
  health.inputStatus("A", report(5, true, true));
  EXPECT_EQ(health.unit("A")->gpsSignalLosses, 12u);
  EXPECT_EQ(health.unit("A")->disconnects, 2u);
}

TEST(HealthNight, EventsAndTooltipsFollowTheNightAsItWent) {
  ManualClock clock;
  Health health(clock);
  std::vector<std::string> events;
  health.setListener([&](const UnitHealth&, const HealthEvent& e) {
    std::string line = std::string(healthEventName(e.kind));
    if (e.lasted) line += " " + durationText(*e.lasted) + (e.lastedExact ? "" : "+");
    if (e.counted) line += " counted " + std::to_string(e.counted);
    events.push_back(line);
  });
  auto at = [&](std::chrono::hours h, std::chrono::minutes m, std::chrono::seconds s = 0s) {
    clock.t = std::chrono::sys_days(std::chrono::year(2025) / 3 / (h < 12h ? 8 : 7)) + h + m + s;
  };
  auto gps = [&] { return gpsLightTooltip(health.unit("Q1"), clock.now()); };
  auto pll = [&] { return pllLightTooltip(health.unit("Q1"), clock.now()); };

  EXPECT_EQ(pll(), "No report from the unit yet");
  at(21h, 0min);
  health.connected("Q1");
  health.inputStatus("Q1", report(7, true, true));
  at(21h, 30min);
  EXPECT_EQ(pll(), "PLL locked since at least 21:00:00 UTC (30 min); no losses since the program started");

  at(22h, 10min);
  health.inputStatus("Q1", report(7, true, false));
  at(22h, 10min, 41s);
  health.inputStatus("Q1", report(7, true, true));
  at(23h, 30min);
  health.inputStatus("Q1", report(8, false, true));
  at(23h, 30min, 20s);
  EXPECT_EQ(gps(), "No GPS signal since 23:30:00 UTC (20 s); 1 loss since the program started, the last at 23:30:00 UTC");
  at(23h, 31min, 5s);
  health.inputStatus("Q1", report(8, true, true));
  // Two losses too short for the flag, between two reports: only the unit's counter saw them.
  at(1h, 0min);
  health.inputStatus("Q1", report(10, true, true));
  at(1h, 22min, 11s);
  health.inputStatus("Q1", report(10, true, true));
  EXPECT_EQ(pll(), "PLL locked since 22:10:41 UTC (3 h 11 min); 1 loss since the program started, the last at "
                   "22:10:00 UTC for 41 s");
  EXPECT_EQ(gps(), "GPS signal OK since 23:31:05 UTC (1 h 51 min); 3 losses since the program started, the last "
                   "shortly before 01:00:00 UTC");

  // Unplugged: the lights keep what the unit said last, and the tooltips say so.
  at(2h, 0min);
  health.disconnected("Q1");
  at(2h, 5min);
  EXPECT_EQ(pll(), "The unit has been away since 02:00:00 UTC (5 min); the lights show its last known state: PLL "
                   "locked since 22:10:41 UTC (3 h 49 min); 1 loss since the program started, the last at 22:10:00 "
                   "UTC for 41 s");
  // Back after a power cycle: the PLL and the receiver start again; neither start is a loss.
  at(2h, 6min);
  health.connected("Q1");
  health.inputStatus("Q1", report(0, false, false));
  at(2h, 6min, 1s);
  health.inputStatus("Q1", report(0, false, true));
  at(2h, 6min, 30s);
  health.inputStatus("Q1", report(0, true, true));
  at(3h, 0min);
  health.inputStatus("Q1", report(0, true, true));
  EXPECT_EQ(gps(), "GPS signal OK since 02:06:30 UTC (53 min 30 s); 3 losses since the program started, the last "
                   "shortly before 01:00:00 UTC");

  // The reports stop while the unit stays attached: not current any more, said once.
  at(3h, 0min, 2s);
  health.check();
  health.check();
  EXPECT_FALSE(health.unit("Q1")->current());
  EXPECT_EQ(pll(), "No report from the unit since 03:00:00 UTC (2 s); the lights show its last known state: PLL "
                   "locked since 02:06:01 UTC (53 min 59 s); 1 loss since the program started, the last at "
                   "22:10:00 UTC for 41 s");
  at(3h, 0min, 9s);
  health.inputStatus("Q1", report(0, true, true));

  const std::vector<std::string> expected = {
      "state",
      "pll_lock_lost 1 h 10 min+",
      "pll_lock_regained 41 s",
      "gps_signal_lost 2 h 30 min+ counted 1",
      "gps_signal_regained 1 min 5 s",
      "gps_signal_losses_counted counted 2",
      "unit_disconnected 5 h",
      "unit_connected 6 min",
      "pll_lock_regained 1 s+",
      "gps_signal_regained 30 s+",
      "reports_stopped",
      "reports_resumed 9 s",
  };
  EXPECT_EQ(events, expected);
  const UnitHealth& u = *health.unit("Q1");
  EXPECT_EQ(u.gpsSignalLosses, 3u);
  EXPECT_EQ(u.pllLock.losses, 1u);
  EXPECT_EQ(u.disconnects, 1u);
  // A day later the times carry their date.
  EXPECT_EQ(utcTimeText(u.pllLock.since, u.pllLock.since + 25h), "2025-03-08 02:06:01 UTC");
}

TEST(HealthFix, TheReceiversFixIsLostAndRegainedAndSatellitesBelongToTheirConstellations) {
  ManualClock clock;
  Health health(clock);
  std::vector<HealthEventKind> kinds;
  health.setListener([&](const UnitHealth&, const HealthEvent& e) { kinds.push_back(e.kind); });
  health.connected("Q1");
  NavPvt pvt;
  pvt.fixType = 3;
  pvt.flags = 1;
  health.navPvt("Q1", pvt);  // the first one is the fix as found, no event
  pvt.fixType = 0;
  clock.t += 10s;
  health.navPvt("Q1", pvt);
  pvt.fixType = 5;  // time only counts as a fix
  clock.t += 3s;
  health.navPvt("Q1", pvt);
  EXPECT_EQ(kinds, (std::vector{HealthEventKind::FixLost, HealthEventKind::FixRegained}));
  EXPECT_EQ(health.unit("Q1")->fix.losses, 1u);
  EXPECT_EQ(*health.unit("Q1")->fix.lastLossLasted, 3s);
  // One rule for the fix everywhere: watch's, the exporter's and status's position agree.
  for (const std::uint8_t type : {0, 1, 2, 3, 4, 5, 6}) {
    pvt.fixType = type;
    pvt.flags = 1;
    EXPECT_EQ(pvt.fixGood(), type >= 2 && type <= 5) << int{type};
    EXPECT_EQ(pvt.hasPosition(), pvt.fixGood()) << int{type};
    pvt.flags = 0;
    EXPECT_FALSE(pvt.fixGood()) << int{type};
  }

  EXPECT_EQ(constellationOf(5), Constellation::Gps);
  EXPECT_EQ(constellationOf(70), Constellation::Glonass);
  EXPECT_EQ(constellationOf(40), Constellation::BeiDou);
  EXPECT_EQ(constellationOf(120), Constellation::Sbas);
  EXPECT_EQ(constellationOf(215), Constellation::Galileo);
  EXPECT_EQ(constellationOf(0), Constellation::Other);

  // A unit pulled out and plugged in again: its receiver's fix is unknown until the unit sends its
  // first NAV-PVT, whatever it was before; then it is that message's.
  pvt.fixType = 3;
  pvt.flags = 1;
  health.navPvt("Q1", pvt);
  ASSERT_TRUE(health.unit("Q1")->fix.known && health.unit("Q1")->fix.good);
  health.disconnected("Q1");
  clock.t += 2s;
  health.connected("Q1");
  EXPECT_FALSE(health.unit("Q1")->fix.known);
  pvt.fixType = 0;
  health.navPvt("Q1", pvt);
  EXPECT_TRUE(health.unit("Q1")->fix.known);
  EXPECT_FALSE(health.unit("Q1")->fix.good);
}

}  // namespace
}  // namespace tamrik::core
