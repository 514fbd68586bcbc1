#include <gtest/gtest.h>

#include "device/device_link.h"
#include "gps/gps_monitor.h"
#include "platform/host_kernel.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_services.h"
#include "tests/gps/scripted_unit.h"
#include "tests/gps/ubx_frames.h"
#include "ui/satellite_chart.h"

namespace tamrik::gps {
namespace {

using namespace testing;
using platform::testing::HeadlessToolkit;
using platform::testing::RecordingClock;
using platform::testing::RecordingShell;
using platform::testing::VirtualSleeper;

constexpr std::uint32_t kLightRed = 0x6060FF;
constexpr std::uint32_t kLightGreen = 0xC0FFC0;

// The monitor in a window model with the satellite chart, on a scripted unit.
struct Monitor : ::testing::Test {
  ScriptedUnit unit;
  RecordingClock clock;
  VirtualSleeper sleeper;
  platform::HostKernel kernel{unit, clock, std::ref(sleeper)};
  RecordingShell shell;
  HeadlessToolkit toolkit;
  platform::Platform platform{unit, unit, kernel, shell, toolkit};
  ui::WindowModel model = makeModel();
  WindowState state{platform, model, ui::NumberFormat::point()};
  device::DeviceLink link{state};
  GpsMonitor monitor{state, link};

  static ui::WindowModel makeModel() {
    ui::WindowModel m = ui::WindowModel::mainWindow();
    ui::buildSatelliteChart(m);
    return m;
  }
  int L() const { return unit.inputReportLength; }

  // Opens the unit the way the first tick does.
  void connect() {
    monitor.PollInputReports();
    ASSERT_TRUE(state.link.Connected);
  }
  // One input report: loss count, status byte and up to L - 3 receiver bytes, zero-padded.
  Bytes report(std::uint8_t status, const Bytes& data = {}, std::uint8_t lossCount = 0) const {
    Bytes r(static_cast<std::size_t>(L()), 0);
    r[1] = lossCount;
    r[2] = status;
    std::copy_n(data.begin(), std::min(data.size(), r.size() - 3), r.begin() + 3);
    return r;
  }
  // A stream cut into flagged reports, all in one read.
  Bytes reportsOf(const Bytes& stream) const {
    Bytes read;
    const std::size_t per = static_cast<std::size_t>(L() - 3);
    for (std::size_t at = 0; at < stream.size(); at += per) {
      const Bytes r = report(0x80, Bytes(stream.begin() + static_cast<long>(at),
                                         stream.begin() + static_cast<long>(std::min(stream.size(), at + per))));
      read.insert(read.end(), r.begin(), r.end());
    }
    return read;
  }
  // Delivers frames in one tick.
  void tick(const Bytes& stream) {
    unit.reads.push_back(reportsOf(stream));
    monitor.PollInputReports();
  }
  const ui::Control& at(const std::string& name) const { return model.at(name); }
  int sh() const { return model.scaleHeight("PicSat"); }
};

TEST_F(Monitor, StatusFromFirstReportBytesFromEveryWholeFlaggedReport) {
  connect();
  const Bytes pvt = ubxFrame(0x01, 0x07, navPvtPayload({}));
  const std::size_t per = static_cast<std::size_t>(L() - 3);
  // Report 1 (flagged, no signal, no lock) and report 3 (flagged) carry a NAV-PVT between them;
  // report 2 is not flagged and its bytes would spoil the frame if they were fed; the trailing
  // partial report would complete a diagnostic message.
  ASSERT_GT(pvt.size(), per);
  Bytes read = report(0x83, Bytes(pvt.begin(), pvt.begin() + static_cast<long>(per)), 7);
  const Bytes noise = report(0x01, Bytes(13, 0xB5));
  read.insert(read.end(), noise.begin(), noise.end());
  const Bytes rest = reportsOf(Bytes(pvt.begin() + static_cast<long>(per), pvt.end()));
  read.insert(read.end(), rest.begin(), rest.end());
  const Bytes diag = report(0x80, ubxFrame(0x0A, 0x11, {1}));
  read.insert(read.end(), diag.begin(), diag.end() - 1);
  unit.reads.push_back(read);
  monitor.PollInputReports();

  EXPECT_EQ(at("Label12").text, "Position: 51.4778000, -0.0014000, 45.61");
  EXPECT_EQ(at("Label20").text, "");
  EXPECT_EQ(at("Label16").text, "Signal loss count: 7");
  EXPECT_EQ(at("LOS").text, "No GPS signal");
  EXPECT_EQ(at("LOS").backColor, kLightRed);
  EXPECT_EQ(at("LOL").text, "No PLL lock");
  EXPECT_EQ(at("LOL").backColor, kLightRed);
  EXPECT_EQ(at("Timer").interval, GpsMonitor::kReadInterval);

  unit.reads.push_back(report(0x80));
  monitor.PollInputReports();
  EXPECT_EQ(at("LOS").text, "GPS signal OK");
  EXPECT_EQ(at("LOS").backColor, kLightGreen);
  EXPECT_EQ(at("LOL").text, "PLL lock OK");
  EXPECT_EQ(at("LOL").backColor, kLightGreen);
}

TEST_F(Monitor, SilentUnitKeepsLabelsAndNeverWaitsLong) {
  connect();
  unit.reads.push_back(report(0x03, {}, 4));
  monitor.PollInputReports();
  model.setText("LOS", "marker");
  model.setText("Label16", "marker");
  monitor.PollInputReports();  // nothing queued: the read returns no report
  unit.reads.push_back(Bytes(static_cast<std::size_t>(L() - 1), 0x80));  // less than one report
  monitor.PollInputReports();
  EXPECT_EQ(at("LOS").text, "marker");
  EXPECT_EQ(at("Label16").text, "marker");
  EXPECT_TRUE(state.link.Connected);
  for (auto t : unit.readTimeouts) EXPECT_LE(t, std::chrono::milliseconds(50));
}

TEST_F(Monitor, FrameSplitAcrossReportsAndTicksIsDecodedOnce) {
  connect();
  // The unit fills every report with stream bytes, so what goes before a frame decides where the
  // report boundaries cut it. One report per tick; every cut from 1 to 12 bytes into the frame.
  const std::size_t per = static_cast<std::size_t>(L() - 3);
  for (std::size_t lead = 0; lead < per; ++lead) {
    const std::int32_t drift = lead % 2 == 0 ? 30 : 0;
    const Bytes frame = ubxFrame(0x01, 0x22, navClockPayload(drift, 100));
    ASSERT_EQ(frame.size(), 28u);
    const Bytes stream = join(Bytes(lead, 0x00), frame);
    const std::size_t sentBefore = unit.sentWith(11).size();
    for (std::size_t at = 0; at < stream.size(); at += per) {
      EXPECT_EQ(unit.sentWith(11).size(), sentBefore) << "lead " << lead;
      tick(Bytes(stream.begin() + static_cast<long>(at),
                 stream.begin() + static_cast<long>(std::min(stream.size(), at + per))));
    }
    ASSERT_EQ(unit.sentWith(11).size(), sentBefore + 1) << "lead " << lead;
    EXPECT_EQ(unit.sentWith(11).back()[2], drift);
  }
}

TEST_F(Monitor, UnplugBlackensBarsAndReconnectsWhenBack) {
  connect();
  tick(ubxFrame(0x01, 0x30, navSvInfoPayload({{5, 1, 30, 45}})));
  unit.reads.push_back(report(0x00));
  monitor.PollInputReports();
  ASSERT_EQ(at("LOL").text, "PLL lock OK");

  unit.unplug();
  const int enumerations = unit.enumerations;
  monitor.PollInputReports();
  EXPECT_FALSE(state.link.Connected);
  EXPECT_FALSE(state.flags.SettingsLoaded);
  EXPECT_GT(unit.enumerations, enumerations);  // reconnect tried in the same tick
  for (int i = 0; i < ui::kSatelliteBars; ++i) {
    const auto& bar = at(ui::barName(i));
    EXPECT_EQ(bar.height, 2);
    EXPECT_EQ(bar.top, sh() - 2);
    EXPECT_EQ(bar.left, 8 * i + 1);
    EXPECT_EQ(bar.fillColor, 0u);
    EXPECT_EQ(bar.borderColor, 0u);
  }
  EXPECT_EQ(at("LOL").backColor, kLightRed);
  EXPECT_EQ(at("LOL").text, "PLL lock OK");
  EXPECT_EQ(at("LOS").text, "GPS signal OK");
  EXPECT_EQ(at("Timer").interval, GpsMonitor::kLossInterval);

  monitor.PollInputReports();
  EXPECT_FALSE(state.link.Connected);
  unit.attached = true;
  monitor.PollInputReports();
  EXPECT_TRUE(state.link.Connected);
  EXPECT_EQ(at("Timer").interval, GpsMonitor::kLossInterval);
  unit.reads.push_back(report(0x00));
  monitor.PollInputReports();
  EXPECT_EQ(at("Timer").interval, GpsMonitor::kReadInterval);
}

TEST_F(Monitor, ReconnectRequestReopensInTheSameTick) {
  connect();
  const std::uint64_t epoch = state.linkEpoch;
  state.flags.ReconnectRequested = true;
  unit.reads.push_back(report(0x80, ubxFrame(0x0A, 0x11, {1})));
  monitor.PollInputReports();
  EXPECT_TRUE(state.link.Connected);
  EXPECT_FALSE(state.flags.ReconnectRequested);
  EXPECT_EQ(state.linkEpoch, epoch + 2);  // closed, then opened
  EXPECT_EQ(unit.openHandles(), 2);       // the new unit's two handles only
  EXPECT_EQ(at("Label20").text, "");      // the read of a lost link is not decoded
}

TEST_F(Monitor, ShortMessagesShowNoLeftovers) {
  connect();
  // A NAV-PVT whose bytes 20 to 25, read as a NAV-SVINFO block, would raise bar 0 to 40 dB-Hz.
  PvtFields f;
  f.lon = 0x1E28;
  tick(ubxFrame(0x01, 0x07, navPvtPayload(f)));
  const std::string position = at("Label12").text;
  // Then a NAV-PVT too short for its fields, and a NAV-SVINFO announcing three blocks but holding
  // one, while the payload buffer still holds the rest of the first message.
  tick(ubxFrame(0x01, 0x07, Bytes(20, 0x33)));
  Bytes sv = navSvInfoPayload({{3, 1, 60, 45}});
  sv[4] = 3;
  tick(ubxFrame(0x01, 0x30, sv));
  EXPECT_EQ(at("Label12").text, position);
  EXPECT_EQ(at("Sat(3)").height, sh());
  EXPECT_EQ(at("Sat(0)").height, 2);
}

TEST_F(Monitor, TicksDuringEventProcessingDoNotRunThePoller) {
  connect();
  int nestedTicks = 0;
  toolkit.onProcessEvents = [&] {
    ++nestedTicks;
    unit.reads.push_back(report(0x80, ubxFrame(0x0A, 0x11, {1})));
    monitor.PollInputReports();
  };
  const std::size_t readsBefore = unit.readTimeouts.size();
  tick(ubxFrame(0x01, 0x30, navSvInfoPayload({{1, 1, 30, 45}, {2, 0, 20, 45}})));
  EXPECT_EQ(nestedTicks, 3);  // after each channel and once more
  EXPECT_EQ(unit.readTimeouts.size(), readsBefore + 1);
  EXPECT_EQ(at("Sat(2)").fillColor, ui::kBarGrey);

  monitor.Label12Click();
  EXPECT_EQ(unit.readTimeouts.size(), readsBefore + 1);
  EXPECT_EQ(at("Label20").text, "");

  // Afterwards the poller runs again and takes what queued meanwhile.
  toolkit.onProcessEvents = nullptr;
  unit.reads.erase(unit.reads.begin() + 1, unit.reads.end());
  monitor.PollInputReports();
  EXPECT_EQ(at("Label20").text, "1 ");
}

TEST_F(Monitor, UnloadingStopsEverything) {
  connect();
  state.flags.Unloading = true;
  const std::size_t reads = unit.readTimeouts.size();
  monitor.PollInputReports();
  monitor.Label12Click();
  monitor.Label13Click();
  EXPECT_EQ(unit.readTimeouts.size(), reads);
  EXPECT_FALSE(state.flags.SetClockRequested);
  EXPECT_TRUE(shell.opened.empty());

  // Unloading that begins while a NAV-SVINFO lets events run ends the tick there.
  state.flags.Unloading = false;
  toolkit.onProcessEvents = [&] { state.flags.Unloading = true; };
  tick(ubxFrame(0x01, 0x30, navSvInfoPayload({{1, 1, 30, 45}, {2, 1, 30, 45}})));
  EXPECT_EQ(at("Sat(2)").height, 2);
  EXPECT_EQ(toolkit.eventRounds, 1);
}

TEST_F(Monitor, ClockSetOnlyWhenArmedAndFromWholeSecondTimeUtc) {
  connect();
  PvtFields f;
  f.nano = 2500000;
  tick(ubxFrame(0x01, 0x07, navPvtPayload(f)));
  EXPECT_TRUE(clock.requests.empty());

  monitor.Label13Click();
  EXPECT_TRUE(at("Label13").border);
  f.valid = 0x03;
  tick(ubxFrame(0x01, 0x07, navPvtPayload(f)));
  EXPECT_TRUE(clock.requests.empty());
  EXPECT_TRUE(at("Label13").border);
  f.valid = 0xF7;
  tick(ubxFrame(0x01, 0x07, navPvtPayload(f)));
  ASSERT_EQ(clock.requests.size(), 1u);
  EXPECT_EQ(clock.requests[0], (platform::SystemTime{2025, 3, 0, 7, 8, 5, 9, 2}));
  EXPECT_FALSE(at("Label13").border);
  f.nano = 999500000;  // rounds to 1000 ms: refused, nothing changes
  tick(ubxFrame(0x01, 0x07, navPvtPayload(f)));
  EXPECT_EQ(clock.requests.size(), 1u);
  EXPECT_EQ(at("Label13").text, "UTC: 2025.03.07 08:05:09");

  tick(ubxFrame(0x01, 0x21, navTimeUtcPayload(400000, 0x37)));
  tick(ubxFrame(0x01, 0x21, navTimeUtcPayload(600000, 0x37)));
  tick(ubxFrame(0x01, 0x21, navTimeUtcPayload(-500000, 0x03)));
  ASSERT_EQ(clock.requests.size(), 2u);
  EXPECT_EQ(clock.requests[1].milliseconds, 30);
}

TEST_F(Monitor, DriftSentWhenItMovesAndReadBack) {
  connect();
  const std::uint64_t readbacks = state.readbackCount;
  tick(join(ubxFrame(0x01, 0x22, navClockPayload(0, 100)), ubxFrame(0x01, 0x22, navClockPayload(15, 100))));
  EXPECT_TRUE(unit.sentWith(11).empty());
  tick(ubxFrame(0x01, 0x22, navClockPayload(30, 600)));
  EXPECT_TRUE(unit.sentWith(11).empty());
  tick(ubxFrame(0x01, 0x22, navClockPayload(30, 100)));
  ASSERT_EQ(unit.sentWith(11).size(), 1u);
  EXPECT_EQ(state.readbackCount, readbacks + 1);

  tick(ubxFrame(0x01, 0x22, navClockPayload(-100, 100)));
  tick(ubxFrame(0x01, 0x22, navClockPayload(9000, 100)));
  const auto frames = unit.sentWith(11);
  ASSERT_EQ(frames.size(), 3u);
  const Bytes expectedHead{0x00, 0x0B, 0x9C, 0xFF, 0x00};
  EXPECT_EQ(Bytes(frames[1].begin(), frames[1].begin() + 5), expectedHead);
  EXPECT_EQ(frames[2][2], 0x4C);
  EXPECT_EQ(frames[2][3], 0x1D);
  EXPECT_EQ(frames[2].size(), static_cast<std::size_t>(unit.featureReportLength));
  EXPECT_EQ(monitor.LastClockDrift(), 7500);
}

TEST_F(Monitor, MapLinkIsLocaleFreeAndOpenedByTheClick) {
  state.numberFormat = ui::NumberFormat::comma();
  connect();
  monitor.Label12Click();  // before any position: only the border flashes
  EXPECT_TRUE(shell.opened.empty());

  PvtFields f;
  f.lat = -338688000;
  f.lon = 1512093000;
  f.height = -12340;
  tick(ubxFrame(0x01, 0x07, navPvtPayload(f)));
  EXPECT_EQ(at("Label12").text, "Position: -33,8688000, 151,2093000, -12,34");
  bool borderDuringEvents = false;
  toolkit.onProcessEvents = [&] { borderDuringEvents = at("Label12").border; };
  sleeper.pauses.clear();
  monitor.Label12Click();
  ASSERT_EQ(shell.opened.size(), 1u);
  EXPECT_TRUE(shell.opened[0].ends_with("/maps/search/?api=1&query=-33.8688,151.2093"));
  EXPECT_TRUE(shell.opened[0].starts_with("https://"));
  EXPECT_TRUE(borderDuringEvents);
  EXPECT_FALSE(at("Label12").border);
  EXPECT_EQ(sleeper.pauses, (std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(50)}));
}

}  // namespace
}  // namespace tamrik::gps
