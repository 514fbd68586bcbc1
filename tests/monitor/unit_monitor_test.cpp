// The exporter's and watch's monitor on a simulated unit in virtual time, and the metrics written
// from what it keeps.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "core/health.h"
#include "core/protocol.h"
#include "monitor/unit_monitor.h"
#include "monitor/unit_reading.h"
#include "platform/host_kernel.h"
#include "platform/sim/fault_schedule.h"
#include "platform/sim/simulated_system_clock.h"
#include "platform/sim/simulated_units.h"
#include "tests/support/golden_file.h"

namespace tamrik::monitor {
namespace {

// The exporter's metrics as its monitor keeps them, on a simulated unit in virtual time: each
// state's losses counted and the time of its last change, and a unit whose reports stopped served
// as down, its state left out but its counters kept.
// One simulated unit under the exporter's monitor, in virtual time, with a fault schedule: its
// metrics at a moment, and the latest time of each event the health record told.
struct MonitoredUnit {
  explicit MonitoredUnit(const char* faults)
      : kernel(units, system, clock.sleeper()),
        utc(clock),
        health(utc),
        monitor(core::UnitServices{units, units, kernel}, clock, health, {std::nullopt, false}) {
    units.addUnit({});
    units.scheduleFaults(sim::parseFaultSpec(faults).events);
  }
  std::string metricsAt(std::chrono::milliseconds t) {
    while (clock.elapsed() < t) monitor.step();
    std::string text;
    monitor.inspect([&](const std::vector<UnitReading>& readings) { text = prometheusMetrics(readings, "1.2.3"); });
    return text;
  }
  static std::optional<double> value(const std::string& text, const std::string& name) {
    const std::string head = "\n" + name + "{serial=\"SIM001\"} ";
    const std::size_t at = text.find(head);
    if (at == std::string::npos) return std::nullopt;
    return std::stod(text.substr(at + head.size()));
  }

  sim::VirtualClock clock;
  sim::SimulatedUnits units{clock};
  sim::SimulatedSystemClock system;
  platform::HostKernel kernel;
  SimUtcClock utc;
  std::map<std::string, double> lastAt;  // each event's latest time, in seconds since 1970
  core::Health health;
  // Set before the monitor comes, as watch sets it: the monitor tells it every event first.
  bool listening = (health.setListener([this](const core::UnitHealth&, const core::HealthEvent& e) {
    lastAt[std::string(core::healthEventName(e.kind))] = unixSeconds(e.at);
  }), true);
  UnitMonitor monitor;
};

// Each unit's sky and last hour, fed as the Satellites window feeds its own: the satellites while
// they come, a sample each second, the health record's events (told to the listener set before the
// monitor too), and after an unplug a sky that is no longer current and seconds whose state is
// unknown, never the last one seen.
TEST(UnitMonitor, KeepsEachUnitsSkyAndLastHourWithItsEvents) {
  MonitoredUnit run("signal-loss:SIM001@6000,unplug:SIM001@10000");
  auto skyAt = [&](std::chrono::milliseconds t, auto&& look) {
    while (run.clock.elapsed() < t) run.monitor.step();
    run.monitor.inspect([&](const std::vector<UnitReading>& readings) {
      ASSERT_EQ(readings.size(), 1u);
      ASSERT_TRUE(readings[0].sky);
      look(*readings[0].sky, run.utc.now());
    });
  };
  auto kinds = [](const core::SkyRecord& sky) {
    std::set<core::HealthEventKind> k;
    for (const core::SkyEvent& e : sky.history().events()) k.insert(e.kind);
    return k;
  };
  skyAt(std::chrono::milliseconds(8000), [&](const core::SkyRecord& sky, core::UtcTime now) {
    EXPECT_TRUE(sky.skyCurrent(now));
    EXPECT_FALSE(sky.sky().empty());
    EXPECT_GE(sky.history().count(), 7);
    EXPECT_EQ(sky.history().at(sky.history().count() - 1).gpsSignal, 0);
    EXPECT_GT(sky.history().at(sky.history().count() - 1).used, -1);
    EXPECT_TRUE(kinds(sky).count(core::HealthEventKind::GpsSignalLost));
  });
  EXPECT_TRUE(run.lastAt.count("gps_signal_lost"));
  skyAt(std::chrono::milliseconds(13000), [&](const core::SkyRecord& sky, core::UtcTime now) {
    EXPECT_FALSE(sky.skyCurrent(now));
    const core::SkySample& last = sky.history().at(sky.history().count() - 1);
    EXPECT_EQ(last.used, -1);
    EXPECT_EQ(last.gpsSignal, -1);
    EXPECT_EQ(last.pllLock, -1);
    EXPECT_TRUE(kinds(sky).count(core::HealthEventKind::Disconnected));
  });
  EXPECT_TRUE(run.lastAt.count("unit_disconnected"));
}

TEST(UnitMonitor, MetricsCountEachLossTimeEachChangeAndLeaveOutAStateThatIsNotCurrent) {
  MonitoredUnit run("pll-unlock:SIM001@8000,pll-lock:SIM001@9000,stall:SIM001@14000");
  auto metricsAt = [&](std::chrono::seconds t) { return run.metricsAt(t); };
  const auto value = &MonitoredUnit::value;
  auto& lastAt = run.lastAt;

  const std::string locked = metricsAt(std::chrono::seconds(12));
  ASSERT_TRUE(lastAt.count("pll_lock_regained") && lastAt.count("gps_signal_regained") && lastAt.count("fix_regained"))
      << locked;
  EXPECT_EQ(value(locked, "tamrik_up"), 1.0);
  EXPECT_EQ(value(locked, "tamrik_pll_lock"), 1.0);
  EXPECT_EQ(value(locked, "tamrik_pll_lock_losses_total"), 1.0);
  EXPECT_NEAR(value(locked, "tamrik_pll_lock_last_change_timestamp_seconds").value_or(0), lastAt["pll_lock_regained"], 0.002);
  EXPECT_EQ(value(locked, "tamrik_gps_signal"), 1.0);
  EXPECT_EQ(value(locked, "tamrik_gps_signal_losses_total"), 0.0);
  EXPECT_NEAR(value(locked, "tamrik_gps_signal_last_change_timestamp_seconds").value_or(0), lastAt["gps_signal_regained"], 0.002);
  EXPECT_EQ(value(locked, "tamrik_receiver_fix"), 1.0);
  EXPECT_EQ(value(locked, "tamrik_receiver_fix_losses_total"), 0.0);
  EXPECT_NEAR(value(locked, "tamrik_receiver_fix_last_change_timestamp_seconds").value_or(0), lastAt["fix_regained"], 0.002);
  EXPECT_EQ(value(locked, "tamrik_unit_connected"), 1.0);
  EXPECT_EQ(value(locked, "tamrik_unit_disconnects_total"), 0.0);
  EXPECT_NE(locked.find("# TYPE tamrik_pll_lock_losses_total counter\n"), std::string::npos);

  // Reports stopped at 14 s: down, though attached; no lock, signal, fix or satellites as they were.
  const std::string stalled = metricsAt(std::chrono::seconds(16));
  ASSERT_TRUE(lastAt.count("reports_stopped")) << stalled;
  EXPECT_EQ(value(stalled, "tamrik_up"), 0.0);
  EXPECT_EQ(value(stalled, "tamrik_unit_connected"), 1.0);
  EXPECT_LT(value(stalled, "tamrik_last_report_timestamp_seconds").value_or(1e12), lastAt["reports_stopped"] - 0.9);
  for (const char* gone : {"tamrik_pll_lock", "tamrik_pll_lock_last_change_timestamp_seconds", "tamrik_gps_signal",
                           "tamrik_unit_signal_losses", "tamrik_receiver_fix", "tamrik_satellites",
                           "tamrik_receiver_time_accuracy_seconds"}) {
    EXPECT_FALSE(value(stalled, gone)) << gone;
  }
  EXPECT_EQ(stalled.find("tamrik_constellation_satellites{"), std::string::npos);
  EXPECT_EQ(value(stalled, "tamrik_pll_lock_losses_total"), 1.0);
}

// A receiver that falls silent while the unit's reports go on (every receiver byte lost): the
// fix, position and satellites stay until the silence limit and are gone after it, while the unit
// stays up. Served after it, they would be stale values passed off as current.
TEST(UnitMonitor, ASilentReceiversStateGoesAtTheLimitWhileTheUnitStaysUp) {
  MonitoredUnit run("drop:SIM001@14000=1");
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(UnitMonitor::kReceiverSilenceLimit);
  const std::vector<const char*> receiverFamilies = {
      "tamrik_receiver_fix", "tamrik_position_latitude_degrees", "tamrik_satellites",
      "tamrik_receiver_time_accuracy_seconds", "tamrik_receiver_frequency_accuracy_ratio",
      "tamrik_receiver_clock_bias_seconds", "tamrik_receiver_clock_drift_ratio",
      "tamrik_receiver_pvt_time_accuracy_seconds", "tamrik_receiver_fix_type", "tamrik_receiver_position_dop",
      "tamrik_receiver_pvt_satellites_used"};
  // The last NAV messages came in the epoch before 14 s, so they count until after 13 s + limit.
  const std::string before = run.metricsAt(std::chrono::milliseconds(13000) + limit - std::chrono::milliseconds(500));
  EXPECT_EQ(MonitoredUnit::value(before, "tamrik_up"), 1.0);
  // NAV-CLOCK's estimates in seconds and as a fraction: the simulated receiver's 10 to 40 ns and
  // 150 to 1600 ps/s with a signal.
  EXPECT_NEAR(MonitoredUnit::value(before, "tamrik_receiver_time_accuracy_seconds").value_or(0), 25e-9, 15e-9);
  EXPECT_NEAR(MonitoredUnit::value(before, "tamrik_receiver_frequency_accuracy_ratio").value_or(0), 875e-12, 725e-12);
  // Its drift wanders around -180 ns/s, its bias within the millisecond it steps by; NAV-PVT's
  // 3D fix on 12 to 40 ns, a DOP of 1.32 and the satellites it uses.
  EXPECT_NEAR(MonitoredUnit::value(before, "tamrik_receiver_clock_drift_ratio").value_or(0), -180e-9, 120e-9);
  EXPECT_LE(std::abs(MonitoredUnit::value(before, "tamrik_receiver_clock_bias_seconds").value_or(1)), 1e-3);
  EXPECT_NEAR(MonitoredUnit::value(before, "tamrik_receiver_pvt_time_accuracy_seconds").value_or(0), 26e-9, 14e-9);
  EXPECT_EQ(MonitoredUnit::value(before, "tamrik_receiver_fix_type"), 3.0);
  EXPECT_EQ(MonitoredUnit::value(before, "tamrik_receiver_position_dop"), 1.32);
  EXPECT_GE(MonitoredUnit::value(before, "tamrik_receiver_pvt_satellites_used").value_or(0), 4.0);
  EXPECT_NE(before.find("\ntamrikctl_build_info{version=\"1.2.3\"} 1\n"), std::string::npos) << before;
  for (const char* family : receiverFamilies) EXPECT_TRUE(MonitoredUnit::value(before, family)) << family << "\n" << before;
  const std::string after = run.metricsAt(std::chrono::milliseconds(14000) + limit + std::chrono::milliseconds(500));
  EXPECT_EQ(MonitoredUnit::value(after, "tamrik_up"), 1.0);
  EXPECT_EQ(MonitoredUnit::value(after, "tamrik_pll_lock"), 1.0);
  for (const char* family : receiverFamilies) EXPECT_FALSE(MonitoredUnit::value(after, family)) << family;
}

// Each NAV message keeps only its own values current. A receiver that sends NAV-CLOCK and
// NAV-TIMEUTC alone (another program switched the others off): the clock's values stay, UTC comes
// from NAV-TIMEUTC, and the fix, position, satellites and NAV-PVT's values go at the limit. Once
// NAV-TIMEUTC stops too, so does the receiver's time.
TEST(UnitMonitor, EachNavMessageKeepsOnlyItsOwnValuesCurrent) {
  MonitoredUnit run("");
  (void)run.metricsAt(std::chrono::seconds(12));
  const auto rate = [&](std::uint8_t id, std::uint8_t r) {
    const auto h = run.units.open(run.units.unit(0).path, platform::OpenMode::Plain);
    ASSERT_TRUE(run.units.setFeature(h, *core::receiverRateFrame(core::kClassNav, id, r, 65)));
    run.units.close(h);
  };
  rate(core::kIdNavPvt, 0);
  rate(core::kIdNavSvInfo, 0);
  rate(core::kIdNavTimeUtc, 1);
  const auto limit = std::chrono::duration_cast<std::chrono::milliseconds>(UnitMonitor::kReceiverSilenceLimit);
  const std::string after = run.metricsAt(std::chrono::seconds(13) + limit + std::chrono::seconds(1));
  EXPECT_EQ(MonitoredUnit::value(after, "tamrik_up"), 1.0);
  for (const char* kept : {"tamrik_receiver_time_accuracy_seconds", "tamrik_receiver_frequency_accuracy_ratio",
                           "tamrik_receiver_clock_bias_seconds", "tamrik_receiver_clock_drift_ratio"}) {
    EXPECT_TRUE(MonitoredUnit::value(after, kept)) << kept << "\n" << after;
  }
  // The receiver's UTC, a whole second of the virtual clock's within the last one.
  const double now = unixSeconds(run.utc.now());
  EXPECT_NEAR(MonitoredUnit::value(after, "tamrik_receiver_time_seconds").value_or(0), now - 0.5, 0.6) << after;
  for (const char* gone : {"tamrik_receiver_fix", "tamrik_position_latitude_degrees", "tamrik_satellites",
                           "tamrik_receiver_fix_last_change_timestamp_seconds", "tamrik_receiver_fix_type",
                           "tamrik_receiver_pvt_time_accuracy_seconds", "tamrik_receiver_position_dop",
                           "tamrik_receiver_pvt_satellites_used"}) {
    EXPECT_FALSE(MonitoredUnit::value(after, gone)) << gone;
  }
  rate(core::kIdNavTimeUtc, 0);
  const std::string later = run.metricsAt(std::chrono::seconds(13) + 2 * limit + std::chrono::seconds(2));
  EXPECT_FALSE(MonitoredUnit::value(later, "tamrik_receiver_time_seconds")) << later;
  EXPECT_TRUE(MonitoredUnit::value(later, "tamrik_receiver_clock_bias_seconds"));
}

// One reading with everything set, written whole and pinned in tests/golden/data/metrics.prom
// (every family's name, type, help, order and value); then what each kind of staleness leaves out.
TEST(Metrics, AWholeReadingIsPinnedAndEachStaleStateLeavesOutExactlyItsOwnFamilies) {
  using namespace std::chrono;
  const core::UtcTime t0{milliseconds(1741334710000)};
  core::UnitHealth health;
  health.serial = "Q00001";
  health.connected = true;
  health.connectionChanged = t0 - hours(2);
  health.disconnects = 1;
  health.reporting = true;
  health.gpsSignalLosses = 3;
  const auto good = [](core::UtcTime since, std::uint64_t losses) {
    core::StateHistory h;
    h.known = h.good = h.sinceExact = true;
    h.since = since;
    h.losses = losses;
    return h;
  };
  health.gpsSignal = good(t0 - minutes(30), 3);
  health.pllLock = good(t0 - minutes(29), 2);
  health.fix = good(t0 - minutes(28), 1);
  UnitReading r;
  r.identity.serial = "Q00001";
  r.identity.manufacturer = "Maker \"A\"";
  r.identity.product = "Clock";
  r.identity.firmware = "1.31";
  r.settings = core::SettingsReport{true, 3, {2875000, 3, 11, 480, 11, 46, 46, 5}};
  r.receiver.status = core::InputStatus{7, true, true};
  core::NavPvt pvt;
  pvt.year = 2025, pvt.month = 3, pvt.day = 7, pvt.hour = 8, pvt.minute = 5, pvt.second = 10;
  pvt.valid = 0x07, pvt.fixType = 3, pvt.flags = 0x01, pvt.numSV = 2;
  pvt.lat = 460569000, pvt.lon = -145058000, pvt.height = 341500;
  r.receiver.pvt = pvt;
  pvt.tAcc = 21, pvt.pDOP = 132;
  r.receiver.pvt = pvt;
  // A satellite the receiver does not hear and one of no known constellation count as much as the
  // others; a repeated one (a confused receiver) once; one without a position (the receiver's -91)
  // has no elevation.
  r.receiver.satellites = std::vector<Satellite>{{3, core::Constellation::Gps, 120, 44, 41, true, 0},
                                                 {70, core::Constellation::Glonass, 300, 12, 0, false, 1},
                                                 {3, core::Constellation::Gps, 120, 44, 41, true, 0},
                                                 {250, core::Constellation::Other, 10, 5, 18, false, 2},
                                                 {193, core::Constellation::Qzss, 0, -91, 23, false, 3}};
  core::NavClock clock;
  clock.tAcc = 25, clock.fAcc = 480, clock.clkB = -123456, clock.clkD = -181;
  r.receiver.clock = clock;
  core::NavTimeUtc timeUtc;
  timeUtc.year = 2025, timeUtc.month = 3, timeUtc.day = 7, timeUtc.hour = 8, timeUtc.minute = 5, timeUtc.second = 11;
  timeUtc.valid = 0x07;
  r.receiver.timeUtc = timeUtc;
  r.lastReport = t0;
  r.up = true;
  r.health = &health;
  const std::string whole = prometheusMetrics(std::span(&r, 1), "1.2.3");
  tamrik::testing::checkGoldenFile(std::string(TAMRIK_SOURCE_DIR) + "/tests/golden/data/metrics.prom", whole);
  // Every total is the sum of its parts: the satellites of each constellation, and the series of
  // each satellite.
  const auto sumOf = [&](const std::string& family) {
    double sum = 0;
    std::istringstream in(whole);
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(family + "{", 0) == 0) sum += std::stod(line.substr(line.rfind(' ') + 1));
    }
    return sum;
  };
  const auto countOf = [&](const std::string& family) {
    int n = 0;
    std::istringstream in(whole);
    for (std::string line; std::getline(in, line);) n += line.rfind(family + "{", 0) == 0;
    return n;
  };
  EXPECT_EQ(sumOf("tamrik_satellites"), 4);
  EXPECT_EQ(sumOf("tamrik_constellation_satellites"), 4);
  EXPECT_EQ(countOf("tamrik_satellite_cno_dbhz"), 4);
  EXPECT_EQ(countOf("tamrik_satellite_elevation_degrees"), 3);  // not the one without a position
  EXPECT_EQ(sumOf("tamrik_satellites_used"), 1);
  EXPECT_EQ(sumOf("tamrik_constellation_satellites_used"), 1);
  EXPECT_EQ(sumOf("tamrik_satellite_used"), 1);

  const auto families = [](const UnitReading& reading) {
    std::set<std::string> names;
    std::istringstream in(prometheusMetrics(std::span(&reading, 1), "1.2.3"));
    for (std::string line; std::getline(in, line);) {
      if (line.rfind("# TYPE ", 0) == 0) names.insert(line.substr(7, line.find(' ', 7) - 7));
    }
    return names;
  };
  const auto left = [&](const UnitReading& stale) {
    std::set<std::string> gone;
    const std::set<std::string> still = families(stale);
    for (const std::string& name : families(r)) {
      if (!still.count(name)) gone.insert(name);
    }
    return gone;
  };
  // Without a current NAV-PVT, UTC comes from NAV-TIMEUTC: a second later than the NAV-PVT's.
  UnitReading noNav = r;
  noNav.receiverCurrent = false;
  const std::set<std::string> navFamilies = {
      "tamrik_receiver_fix", "tamrik_receiver_fix_last_change_timestamp_seconds", "tamrik_position_latitude_degrees",
      "tamrik_position_longitude_degrees", "tamrik_position_height_meters", "tamrik_receiver_pvt_time_accuracy_seconds",
      "tamrik_receiver_fix_type", "tamrik_receiver_position_dop", "tamrik_receiver_pvt_satellites_used",
      "tamrik_satellites", "tamrik_satellites_used", "tamrik_constellation_satellites",
      "tamrik_constellation_satellites_used", "tamrik_satellite_cno_dbhz", "tamrik_satellite_elevation_degrees",
      "tamrik_satellite_used"};
  EXPECT_EQ(left(noNav), navFamilies);
  const auto receiverTime = [](const UnitReading& reading) {
    const std::string text = prometheusMetrics(std::span(&reading, 1), "1.2.3");
    const std::string head = "\ntamrik_receiver_time_seconds{serial=\"Q00001\"} ";
    const std::size_t at = text.find(head);
    return at == std::string::npos ? std::nullopt : std::optional(std::stod(text.substr(at + head.size())));
  };
  EXPECT_EQ(receiverTime(r), 1741334710.0);
  EXPECT_EQ(receiverTime(noNav), 1741334711.0);
  UnitReading noTimeUtc = r;
  noTimeUtc.receiverTimeUtcCurrent = false;
  EXPECT_EQ(left(noTimeUtc), std::set<std::string>{});
  UnitReading neither = noNav;
  neither.receiverTimeUtcCurrent = false;
  std::set<std::string> neitherFamilies = navFamilies;
  neitherFamilies.insert("tamrik_receiver_time_seconds");
  EXPECT_EQ(left(neither), neitherFamilies);
  UnitReading noClock = r;
  noClock.receiverClockCurrent = false;
  EXPECT_EQ(left(noClock), (std::set<std::string>{"tamrik_receiver_time_accuracy_seconds",
                                                 "tamrik_receiver_frequency_accuracy_ratio",
                                                 "tamrik_receiver_clock_bias_seconds", "tamrik_receiver_clock_drift_ratio"}));
  UnitReading down = r;
  down.up = false;
  const std::set<std::string> downFamilies = families(down);
  EXPECT_EQ(downFamilies, (std::set<std::string>{"tamrikctl_build_info", "tamrik_up", "tamrik_unit_info", "tamrik_last_report_timestamp_seconds",
                                                 "tamrik_unit_connected",
                                                 "tamrik_unit_connected_last_change_timestamp_seconds",
                                                 "tamrik_unit_disconnects_total", "tamrik_gps_signal_losses_total",
                                                 "tamrik_pll_lock_losses_total", "tamrik_receiver_fix_losses_total"}));
}

}  // namespace
}  // namespace tamrik::monitor
