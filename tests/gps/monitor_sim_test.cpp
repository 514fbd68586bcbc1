// The monitor on a simulated unit: with its own receiver model, or replaying a made-up byte
// stream at the receiver's line rate, so that frames are cut across reports and ticks wherever
// the unit's 62-byte reports happen to cut them.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/gps/sim_fixture.h"

namespace tamrik::gps {
namespace {

using namespace std::chrono_literals;
using namespace testing;

constexpr std::uint32_t kLightRed = 0x6060FF;
constexpr std::uint32_t kLightGreen = 0xC0FFC0;
using Status = std::pair<std::string, std::uint32_t>;  // caption, background

struct SimUnit : ::testing::Test {
  sim::VirtualClock simClock;
  sim::SimulatedUnits units{simClock};
  std::unique_ptr<SimulatedMonitor> w = std::make_unique<SimulatedMonitor>(units, simClock);
  sim::UnitId id = 0;

  void started(sim::UnitConfig config = {}) {
    id = units.addUnit(std::move(config));
    w->start();
  }
  // A unit whose receiver sends the given bytes once, from the moment it is opened.
  void replayed(const Bytes& stream) {
    sim::UnitConfig config;
    config.replay = std::make_shared<const Bytes>(stream);
    started(config);
    ASSERT_TRUE(w->runUntil([&] { return units.replayFinished(); }));
  }
  std::vector<int> driftsSent() const {
    std::vector<int> out;
    for (const auto& f : w->sent(11)) out.push_back(static_cast<std::int16_t>(f[2] | (f[3] << 8)));
    return out;
  }
  Status status(const std::string& label) const {
    return {w->text(label), w->control(label).backColor.value_or(0)};
  }
  int barHeight(int cno) const {
    const float sh = static_cast<float>(w->model.scaleHeight("PicSat"));
    return static_cast<int>(std::lround((sh - 1.0f) * static_cast<float>(cno) / 60.0f + 1.0f));
  }
};

TEST_F(SimUnit, StatusPositionTimeAndBarsFromTheReceiver) {
  started();
  w->tick();
  // Just powered: the PLL is not locked and the receiver has no signal yet (status 0x03).
  EXPECT_EQ(status("LOS"), Status("No GPS signal", kLightRed));
  EXPECT_EQ(status("LOL"), Status("No PLL lock", kLightRed));
  EXPECT_EQ(w->control("Timer").interval, window::UnitLink::kReadInterval);

  w->runFor(8s);  // status 0x80 in the reports that carry receiver bytes
  EXPECT_EQ(status("LOS"), Status("GPS signal OK", kLightGreen));
  EXPECT_EQ(status("LOL"), Status("PLL lock OK", kLightGreen));
  EXPECT_EQ(w->text("Label16"), "Signal loss count: 0");
  EXPECT_EQ(w->text("Label12"), "Position: 46.0569000, 14.5058000, 341.50");
  EXPECT_TRUE(w->text("Label13").starts_with("UTC: 2025.03.07 08:05:1")) << w->text("Label13");
  int green = 0;
  for (int i = 0; i < ui::kSatelliteBars; ++i) green += w->control(ui::barName(i)).fillColor == ui::kBarGreen;
  EXPECT_GT(green, 3);
}

TEST_F(SimUnit, FramesCutAnywhereAreDecodedOnceAndBadOnesDropped) {
  // NAV-CLOCK frames (B5 62 01 22 14 00, 20 bytes, checksum) after text and lone sync bytes of
  // changing length, and among them frames to drop: CK_B wrong, CK_A wrong, class 0xFF.
  Bytes stream;
  std::vector<int> expected;
  for (int i = 0; i < 12; ++i) {
    stream = join({stream, Bytes(static_cast<std::size_t>(i * 5 % 17), '$'), {0xB5, '$'}});
    if (i % 4 == 1) {
      Bytes bad = clockFrame(4000);
      bad.back() ^= 0x40;
      stream = join({stream, bad});
    }
    if (i % 4 == 3) {
      Bytes bad = clockFrame(-4000);
      bad[bad.size() - 2] ^= 0x01;
      stream = join({stream, bad, {0xB5, 0x62, 0xFF, 0x22, 0x14, 0x00}});
    }
    expected.push_back(i % 2 == 0 ? 30 : 0);
    stream = join({stream, clockFrame(expected.back())});
  }
  replayed(join({stream, ubx::frame(0x0A, 0x11, Bytes(0xFF, 0x01))}));  // length 0x00FF is taken
  EXPECT_EQ(driftsSent(), expected);
  EXPECT_EQ(w->text("Label20"), "255 ");
}

TEST_F(SimUnit, UnplugBlackensBarsAndReconnectsEvery250ms) {
  started();
  w->runFor(8s);
  ASSERT_EQ(w->text("LOL"), "PLL lock OK");
  ASSERT_NE(w->control("Sat(0)").height, 2);

  units.unplug(id);
  w->tick();
  EXPECT_FALSE(w->state.link.isOpen());
  EXPECT_FALSE(w->state.link.settingsLoaded());
  EXPECT_EQ(w->recorder.openHandles, 0);
  for (int i = 0; i < ui::kSatelliteBars; ++i) {
    const auto& bar = w->control(ui::barName(i));
    EXPECT_EQ(std::tie(bar.left, bar.height, bar.top, bar.fillColor, bar.borderColor),
              std::make_tuple(8 * i + 1, 2, w->model.scaleHeight("PicSat") - 2, 0u, 0u));
  }
  EXPECT_EQ(status("LOL"), Status("PLL lock OK", kLightRed));  // caption kept
  EXPECT_EQ(status("LOS"), Status("GPS signal OK", kLightGreen));
  EXPECT_EQ(w->control("Timer").interval, window::UnitLink::kLossInterval);

  // Each tick while it is away rescans and searches (two walks), 250 ms apart.
  const auto walks = w->recorder.count(platform::testing::RecordingDeviceBackend::CallKind::Enumerate);
  w->runFor(1s);
  EXPECT_EQ(w->recorder.count(platform::testing::RecordingDeviceBackend::CallKind::Enumerate), walks + 8);

  units.replug(id);
  w->tick();
  EXPECT_TRUE(w->state.link.isOpen());
  EXPECT_TRUE(w->state.link.settingsLoaded());
  w->tick();
  EXPECT_EQ(w->control("Timer").interval, window::UnitLink::kReadInterval);

  // A reconnect request closes the unit and reopens it within one tick.
  const std::uint64_t epoch = w->state.link.unit().epoch();
  w->state.link.requestReconnect();
  w->tick();
  EXPECT_TRUE(w->state.link.isOpen());
  EXPECT_FALSE(w->state.link.reconnectRequested());
  EXPECT_EQ(w->state.link.unit().epoch(), epoch + 2);
  EXPECT_EQ(w->recorder.openHandles, 2);
}

TEST_F(SimUnit, ASkyFromBeforeAnUnplugOrAReopeningIsNotCurrentUntilTheUnitSendsItsOwn) {
  started();
  w->runFor(8s);
  const auto current = [&] { return w->monitor.Sky().skyCurrent(w->monitor.utcClock().now()); };
  const auto used = [&] { return w->monitor.Sky().present(w->monitor.utcClock().now()).used; };
  ASSERT_TRUE(current());
  ASSERT_GT(used(), 0);

  // Back within a second: its reports come at once, its satellites only with its next NAV-SVINFO.
  units.unplug(id);
  w->tick();
  EXPECT_FALSE(current());
  units.replug(id);
  w->tick();
  w->tick();
  ASSERT_TRUE(w->state.link.isOpen());
  ASSERT_NE(w->monitor.Sky().present(w->monitor.utcClock().now()).pllLock, -1);
  EXPECT_FALSE(current());
  EXPECT_EQ(used(), -1);
  ASSERT_TRUE(w->runUntil(current, 10s));

  // Closed and opened again without an unplug, by a reconnect or by the user's choice of a unit:
  // the same.
  w->state.link.requestReconnect();
  w->tick();
  w->tick();
  ASSERT_TRUE(w->state.link.isOpen());
  EXPECT_FALSE(current());
  ASSERT_TRUE(w->runUntil(current, 10s));
  w->link.SerNoClick();
  w->tick();
  ASSERT_TRUE(w->state.link.isOpen());
  EXPECT_FALSE(current());
  EXPECT_EQ(used(), -1);
  EXPECT_TRUE(w->runUntil(current, 10s));
}

// The window's recording: the receiver's messages are switched on again when another program
// switched them off, and a write that fails ends it, told once, and makes its closing a failure.
TEST_F(SimUnit, ARecordingKeepsTheReceiverOnAndAFailedWriteIsToldOnce) {
  // UTC runs with the virtual time.
  struct VirtualUtc final : core::UtcClock {
    sim::VirtualClock& clock;
    explicit VirtualUtc(sim::VirtualClock& c) : clock(c) {}
    core::UtcTime now() override {
      return core::UtcTime(std::chrono::sys_days(std::chrono::year(2025) / 3 / 7)) +
             std::chrono::duration_cast<std::chrono::milliseconds>(clock.now().time_since_epoch());
    }
  } utc(simClock);
  w->monitor.setUtcClock(utc);
  started();
  const std::string path = ::testing::TempDir() + "tamrik-window-recording.ubx";
  auto recording = core::Recording::open(path, true);
  ASSERT_TRUE(recording) << recording.failure().reason;
  w->monitor.startRecording(std::move(*recording));
  w->runFor(4s);
  const auto h = units.open(units.unit(id).path, platform::OpenMode::Plain);
  for (const core::MessageRate& m : core::navMessagesOff()) {
    ASSERT_TRUE(units.setFeature(h, *core::receiverRateFrame(m.messageClass, m.messageId, 0, 65)));
  }
  units.close(h);
  ASSERT_EQ(units.unit(id).rate(core::kClassNav, core::kIdNavPvt), 0);
  w->runFor(8s);
  EXPECT_EQ(units.unit(id).rate(core::kClassNav, core::kIdNavPvt), 1);
  EXPECT_TRUE(w->monitor.stopRecording());
  EXPECT_GT(std::filesystem::file_size(path), 0u);
  std::filesystem::remove(path);

  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full to fill";
  auto full = core::Recording::open("/dev/full", true);
  ASSERT_TRUE(full) << full.failure().reason;
  w->monitor.startRecording(std::move(*full));
  w->runFor(8s);
  ASSERT_EQ(w->toolkit.notices.size(), 1u);
  EXPECT_NE(w->toolkit.notices[0].text.find("cannot write /dev/full: No space left on device"), std::string::npos)
      << w->toolkit.notices[0].text;
  EXPECT_FALSE(w->monitor.stopRecording());
  EXPECT_EQ(w->monitor.recordingError(), "cannot write /dev/full: No space left on device");
}

TEST_F(SimUnit, SilentUnitCostsAtMostTheReadTimeoutAndKeepsTheLabels) {
  started();
  w->runFor(2s);
  units.stall(id);
  w->model.setText("LOS", "marker");
  for (int i = 0; i < 20; ++i) {
    const auto before = simClock.now();
    w->tick();
    EXPECT_LE(simClock.now() - before, window::UnitLink::kReadInterval * 1ms + GpsMonitor::kFirstReportTimeout);
  }
  EXPECT_TRUE(w->state.link.isOpen());
  EXPECT_EQ(w->text("LOS"), "marker");
  units.resume(id);
  w->runFor(100ms);
  EXPECT_NE(w->text("LOS"), "marker");
}

TEST_F(SimUnit, ClockFromArmedNavPvtAndWholeSecondNavTimeUtc) {
  auto pvt = [](std::uint8_t second, std::int32_t nano, std::uint8_t valid = 0x37) {
    auto m = examplePvt();
    m.time.second = second;
    m.time.nano = nano;
    m.valid = valid;
    return ubx::navPvtFrame(m);
  };
  auto timeUtc = [](std::int32_t nano) {
    return ubx::navTimeUtcFrame({.time = {2025, 3, 7, 8, 5, 9, nano}, .valid = 0xF7});
  };
  // The first NAV-PVT comes before the click; the gap after it gives the test time to click. The
  // first one after the click rounds to 1000 ms: it sets nothing, and leaves the click's prompt.
  const Bytes stream = join({pvt(1, 0), Bytes(400, 0), pvt(2, 999600000), pvt(2, 0, 0x03), pvt(3, -200000),
                             pvt(4, 2500000), pvt(5, 3500000), pvt(6, 999500000), timeUtc(400000), timeUtc(600000),
                             timeUtc(-500000), timeUtc(500000)});
  sim::UnitConfig config;
  config.replay = std::make_shared<const Bytes>(stream);
  started(config);
  ASSERT_TRUE(w->runUntil([&] { return w->text("Label13") == "UTC: 2025.03.07 08:05:01"; }));
  w->monitor.Label13Click();
  EXPECT_TRUE(w->control("Label13").border);
  ASSERT_TRUE(w->runUntil([&] { return units.replayFinished(); }));

  std::vector<std::pair<int, int>> set;  // second, milliseconds
  for (const auto& t : w->clock.requests) set.emplace_back(t.second, t.milliseconds);
  // Nothing from the unarmed or invalid NAV-PVT; 1000 ms refused; NAV-TIMEUTC only within 0.5 ms.
  EXPECT_EQ(set, (std::vector<std::pair<int, int>>{{3, 0}, {4, 2}, {5, 4}, {9, 30}, {9, 30}}));
  const auto ask = platform::ClockPrompt::Allowed, quiet = platform::ClockPrompt::Never;
  EXPECT_EQ(w->clock.prompts, (std::vector{ask, quiet, quiet, quiet, quiet}));
  EXPECT_FALSE(w->control("Label13").border);
  EXPECT_EQ(w->text("Label13"), "UTC: 2025.03.07 08:05:06");
}

// A receiver that sends NAV-TIMEUTC and NAV-PVT every second; Label13 is clicked as the window shows
// the seconds given. Only the first setting after a click may ask the user for the right to change
// the clock; a refusal is told once per click, in words, and the border of Label13 stays on.
struct ClockClicks : SimUnit {
  void run(int seconds, const std::vector<int>& clicks, const std::function<void()>& betweenClicks = {}) {
    Bytes stream;
    for (std::uint8_t s = 1; s <= seconds; ++s) {
      auto m = examplePvt();
      m.time.second = s;
      stream = join({stream, ubx::navTimeUtcFrame({.time = {2025, 3, 7, 8, 5, s, 0}, .valid = 0xF7}),
                     ubx::navPvtFrame(m), Bytes(300, 0)});
    }
    sim::UnitConfig config;
    config.replay = std::make_shared<const Bytes>(stream);
    started(config);
    for (int s : clicks) {
      ASSERT_TRUE(w->runUntil([&] { return w->text("Label13") == "UTC: 2025.03.07 08:05:0" + std::to_string(s); }));
      if (betweenClicks && s != clicks.front()) betweenClicks();
      w->monitor.Label13Click();
    }
    ASSERT_TRUE(w->runUntil([&] { return units.replayFinished(); }));
  }
};
using platform::ClockOutcome;
constexpr auto kAsk = platform::ClockPrompt::Allowed, kQuiet = platform::ClockPrompt::Never;

TEST_F(ClockClicks, OnlyTheFirstSettingAfterAClickMayPromptAndTheBorderWaitsForSuccess) {
  w->clock.holdAnswers = true;  // the user is reading the prompt
  run(6, {1, 3});
  // Each second a NAV-TIMEUTC, which nobody asked for, then after the first click a NAV-PVT.
  EXPECT_EQ(w->clock.prompts, (std::vector{kQuiet, kQuiet, kAsk, kQuiet, kQuiet, kQuiet, kAsk, kQuiet, kQuiet,
                                           kQuiet, kQuiet}));
  EXPECT_TRUE(w->control("Label13").border);
  // The prompts' answers arrive; the NAV-TIMEUTC settings nobody asked for count for nothing.
  auto held = std::move(w->clock.held);
  for (std::size_t i = 0; i < held.size(); ++i) held[i](w->clock.prompts[i] == kAsk ? ClockOutcome::Set : ClockOutcome::NotPermitted);
  EXPECT_FALSE(w->control("Label13").border);
  EXPECT_TRUE(w->toolkit.notices.empty());
}

TEST_F(ClockClicks, ASettingTheServiceWasTooBusyForLeavesTheClicksPromptForTheNext) {
  // The service is still busy with a setting nobody asked for (a NAV-TIMEUTC's) when the click's
  // first setting comes: that setting never reached the user, so the next one may still ask.
  w->clock.outcome = ClockOutcome::Busy;
  run(3, {1});
  EXPECT_EQ(w->clock.prompts, (std::vector{kQuiet, kQuiet, kAsk, kQuiet, kAsk}));
  EXPECT_TRUE(w->control("Label13").border);
  EXPECT_TRUE(w->toolkit.notices.empty());
}

TEST_F(ClockClicks, ARefusalIsToldOnceAndTheBorderStays) {
  w->clock.outcome = ClockOutcome::AutomaticSync;
  run(6, {1, 3}, [&] { w->clock.outcome = ClockOutcome::NotPermitted; });
  EXPECT_TRUE(w->control("Label13").border);
  ASSERT_EQ(w->toolkit.notices.size(), 2u);  // one per click, each with the reason given then
  EXPECT_NE(w->toolkit.notices[0].text.find("automatic time synchronisation is on"), std::string::npos);
  EXPECT_NE(w->toolkit.notices[1].text.find("not permitted"), std::string::npos);
  EXPECT_TRUE(w->toolkit.shown.empty());  // never a modal box inside the tick
}

TEST_F(SimUnit, DriftSentOnChangeClampedAndEncodedThenReadBack) {
  replayed(join({clockFrame(0), clockFrame(15), clockFrame(30), clockFrame(30, 600), clockFrame(-100),
                 clockFrame(9000)}));
  const auto frames = w->sent(11);
  ASSERT_EQ(frames.size(), 3u);
  const std::vector<Bytes> heads{{0x00, 0x0B, 0x1E, 0x00, 0x00}, {0x00, 0x0B, 0x9C, 0xFF, 0x00},
                                 {0x00, 0x0B, 0x4C, 0x1D, 0x00}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(Bytes(frames[i].begin(), frames[i].begin() + 5), heads[i]);
    EXPECT_EQ(frames[i].size(), 65u);
    EXPECT_EQ(std::count(frames[i].begin() + 4, frames[i].end(), 0), 61);
  }
  EXPECT_EQ(w->monitor.LastClockDrift(), 7500);
  EXPECT_EQ(w->sent(8).size(), 3u * 4u);  // start-up and each command are followed by a readback
}

// The thresholds of the drift rule (fAcc below 500 ps/s, a change of more than 20 ns/s either
// way) and of the bars (a satellite above the horizon), each met and missed by one.
TEST_F(SimUnit, DriftAndBarsAtTheirThresholds) {
  ubx::NavSvInfo sv{.channels = {{.chn = 4, .flags = 1, .cno = 30, .elev = 0},
                                 {.chn = 5, .flags = 1, .cno = 30, .elev = 1},
                                 {.chn = 6, .flags = 1, .cno = 30, .elev = -1}}};
  replayed(join({clockFrame(30, 500), clockFrame(21, 499), clockFrame(41), clockFrame(42), clockFrame(22),
                 clockFrame(21), ubx::navSvInfoFrame(sv)}));
  EXPECT_EQ(driftsSent(), (std::vector<int>{21, 42, 21}));
  EXPECT_EQ(w->control("Sat(4)").height, 2);
  EXPECT_EQ(w->control("Sat(4)").fillColor, ui::kBarGrey);
  EXPECT_EQ(w->control("Sat(5)").height, barHeight(30));
  EXPECT_EQ(w->control("Sat(5)").fillColor, ui::kBarGreen);
  EXPECT_EQ(w->control("Sat(6)").height, 2);
}

TEST_F(SimUnit, MapLinkIsTheSameUnderADecimalComma) {
  w = std::make_unique<SimulatedMonitor>(units, simClock, ui::NumberFormat::comma());
  w->monitor.Label12Click();  // before any position only the border flashes
  EXPECT_TRUE(w->shell.opened.empty());
  auto m = examplePvt();
  m.lat = -338688000;
  m.lon = 1512093000;
  m.height = 58000;
  m.length = 84;
  replayed(ubx::navPvtFrame(m));
  EXPECT_EQ(w->text("Label12"), "Position: -33,8688000, 151,2093000, 58,00");

  bool borderWhileEventsRun = false;
  w->toolkit.onProcessEvents = [&] { borderWhileEventsRun = w->control("Label12").border; };
  w->pauses.clear();
  w->monitor.Label12Click();
  EXPECT_EQ(w->shell.opened, std::vector<std::string>{"https://www.google.com/maps/search/?api=1&query=-33.8688,151.2093"});
  EXPECT_TRUE(borderWhileEventsRun);
  EXPECT_FALSE(w->control("Label12").border);
  EXPECT_EQ(w->pauses, std::vector<std::chrono::milliseconds>{50ms});
}

TEST_F(SimUnit, ShortMessagesShowNoLeftoversOfEarlierOnes) {
  // A NAV-PVT whose bytes 20 to 25, read as a NAV-SVINFO channel block, would raise bar 0 to
  // 40 dB-Hz; then a NAV-PVT too short for its fields and a NAV-SVINFO that announces three
  // blocks but holds one, while the payload buffer still holds the rest of the first message.
  auto m = examplePvt();
  m.lon = 0x1E28;
  m.tAcc = 0;
  ubx::NavSvInfo sv{.channels = {{.chn = 3, .flags = 1, .cno = 60, .elev = 45}}, .numChField = 3};
  replayed(join({ubx::navPvtFrame(m), ubx::frame(0x01, 0x07, Bytes(20, 0x33)), ubx::navSvInfoFrame(sv)}));
  EXPECT_EQ(w->text("Label12"), "Position: 51.4778000, 0.0007720, 45.61");
  EXPECT_EQ(w->control("Sat(3)").height, barHeight(60));
  EXPECT_EQ(w->control("Sat(0)").height, 2);
}

TEST_F(SimUnit, TicksWhileEventsAreProcessedDoNotPollAgain) {
  int nested = 0;
  w->toolkit.onProcessEvents = [&] {
    ++nested;
    w->tick();
  };
  ubx::NavSvInfo sv{.channels = {{.chn = 1, .flags = 1, .cno = 30, .elev = 45}, {.chn = 2, .cno = 20, .elev = 45}}};
  replayed(ubx::navSvInfoFrame(sv));
  EXPECT_EQ(nested, 3);  // after each channel and once more
  EXPECT_EQ(w->control("Sat(1)").fillColor, ui::kBarGreen);
  EXPECT_EQ(w->control("Sat(2)").fillColor, ui::kBarGrey);

  const std::size_t reads = w->reads();
  w->monitor.Label12Click();
  EXPECT_EQ(nested, 4);
  EXPECT_EQ(w->reads(), reads);
  w->toolkit.onProcessEvents = nullptr;
  w->tick();
  EXPECT_EQ(w->reads(), reads + 1);
}

// A unit replaying a NAV-SVINFO with bars 1 and 2, then a drift worth reporting.
void replayTwoBars(SimUnit& t) {
  ubx::NavSvInfo sv{.channels = {{.chn = 1, .flags = 1, .cno = 30, .elev = 45}, {.chn = 2, .cno = 40, .elev = 45}}};
  sim::UnitConfig config;
  config.replay = std::make_shared<const Bytes>(join({ubx::navSvInfoFrame(sv), clockFrame(100)}));
  t.started(config);
}

// A click that arrives while a NAV-SVINFO is being drawn waits until the tick has ended: run inside
// the tick, a question it asks would hold up the monitor and the link watchdog until answered.
TEST_F(SimUnit, ClicksDuringANavSvInfoWaitForTheEndOfTheTick) {
  replayTwoBars(*this);
  std::vector<int> barsAtClick;
  w->toolkit.onProcessEvents = [&] {
    if (w->toolkit.eventRounds == 1) w->toolkit.userInput.push_back([&] {
      barsAtClick = {w->control("Sat(1)").height, w->control("Sat(2)").height};
    });
  };
  ASSERT_TRUE(w->runUntil([&] { return w->toolkit.eventRounds > 0; }));
  EXPECT_EQ(w->toolkit.eventRounds, 3);  // after each channel and once more, all events but input
  EXPECT_TRUE(barsAtClick.empty());
  w->toolkit.handleUserInput();  // the top-level event loop, the tick having returned
  EXPECT_EQ(barsAtClick, (std::vector<int>{barHeight(30), barHeight(40)}));
}

// A unit switch while a NAV-SVINFO is being drawn: the readback resets the chart, and no bar of the
// old unit's message may land on it afterwards.
TEST_F(SimUnit, AUnitSwitchInsideANavSvInfoStopsItsBars) {
  replayTwoBars(*this);
  const std::uint64_t epoch = w->state.link.unit().epoch();
  w->toolkit.onProcessEvents = [&] {
    if (w->state.link.unit().epoch() == epoch) w->link.SerNoClick();
  };
  ASSERT_TRUE(w->runUntil([&] { return w->state.link.unit().epoch() != epoch; }));
  EXPECT_EQ(w->toolkit.eventRounds, 1);
  EXPECT_EQ(w->control("Sat(2)").height, 2);
  EXPECT_TRUE(w->sent(11).empty());  // nor was the rest of the old link's read decoded
}

TEST_F(SimUnit, UnloadingStopsThePollerEvenInsideADecode) {
  ubx::NavSvInfo sv{.channels = {{.chn = 1, .flags = 1, .cno = 30, .elev = 45}, {.chn = 2, .cno = 20, .elev = 45}}};
  w->toolkit.onProcessEvents = [&] { w->state.flags.Unloading = true; };
  sim::UnitConfig config;
  config.replay = std::make_shared<const Bytes>(join({ubx::navSvInfoFrame(sv), clockFrame(100)}));
  started(config);
  ASSERT_TRUE(w->runUntil([&] { return w->state.flags.Unloading; }));
  const std::size_t reads = w->reads();
  w->runFor(2s);
  w->monitor.Label13Click();
  w->monitor.Label12Click();
  EXPECT_EQ(w->reads(), reads);
  EXPECT_EQ(w->control("Sat(1)").fillColor, ui::kBarGreen);
  EXPECT_EQ(w->control("Sat(2)").height, 2);  // the decode ended after the first channel
  EXPECT_TRUE(w->sent(11).empty());             // nor was the rest of the read decoded
  EXPECT_FALSE(w->state.flags.SetClockRequested);
  EXPECT_EQ(w->toolkit.eventRounds, 1);
}

}  // namespace
}  // namespace tamrik::gps
