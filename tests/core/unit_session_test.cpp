// The core on simulated units, without any window: listing, opening by serial, reading back,
// commanding, programming a serial and reading the receiver, with every device call recorded.
#include <gtest/gtest.h>

#include "core/unit.h"
#include "platform/host_kernel.h"
#include "platform/sim/simulated_units.h"
#include "platform/testing/recording_device_backend.h"
#include "platform/testing/recording_services.h"

namespace tamrik::core {
namespace {

using numbers::Dividers;

using namespace std::chrono_literals;
using Kind = platform::testing::RecordingDeviceBackend::CallKind;

struct Bench {
  sim::VirtualClock clock;
  sim::SimulatedUnits units{clock};
  platform::testing::RecordingDeviceBackend recorder{units};
  platform::testing::RecordingClock systemClock;
  platform::HostKernel kernel{recorder, systemClock, clock.sleeper()};
  UnitServices services{recorder, recorder, kernel};

  sim::UnitId add(std::u16string serial, sim::UnitConfig config = {}) {
    config.serial = std::move(serial);
    return units.addUnit(std::move(config));
  }
  std::size_t sent(std::uint8_t code) const { return recorder.sentWithCommand(code).size(); }
};

TEST(Unit, ListsEveryUnitWithItsIdentityAndLeavesNothingOpen) {
  Bench b;
  b.add(u"A00001");
  const auto keyboard = b.units.addForeignDevice(0x046D, 0xC52B);
  sim::UnitConfig old;
  old.firmwareVersion = 0x0113;
  old.featureReportLength = 21;
  old.manufacturer = u"Tamrik \u00C5";
  b.add(u"B00002", old);
  sim::UnitConfig nameless;
  nameless.serialReadable = false;
  b.add(u"C00003", nameless);
  b.add(u"");  // a serial that reads as an empty text names no unit either

  Unit unit(b.services);
  const auto listed = unit.list();
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[0].serial, "A00001");
  EXPECT_EQ(listed[0].manufacturer, "Tamrik");
  EXPECT_EQ(listed[0].product, "Tamrik GPS Reference Clock");
  EXPECT_EQ(listed[0].firmware, "1.20");
  EXPECT_TRUE(listed[0].usable);
  EXPECT_EQ(listed[1].serial, "B00002");
  EXPECT_EQ(listed[1].manufacturer, "Tamrik \xC3\x85");
  EXPECT_EQ(listed[1].firmware, "1.13");
  EXPECT_FALSE(listed[1].usable);
  EXPECT_EQ(b.recorder.openHandles, 0);
  EXPECT_FALSE(unit.isOpen());
  EXPECT_EQ(b.recorder.count(Kind::SetFeature), 0u);  // listing commands nothing
  // Another maker's device, listed with its IDs, is never opened.
  for (const auto& call : b.recorder.calls) EXPECT_NE(call.path, b.units.unit(keyboard).path);
}

TEST(Unit, OpensByTheSerialOrTheOnlyUnitAndSaysWhyNot) {
  Bench b;
  Unit unit(b.services);
  EXPECT_EQ(unit.open(), OpenOutcome::NoUnit);
  EXPECT_EQ(unit.open("A00001"), OpenOutcome::NoUnit);
  const auto a = b.add(u"A00001");
  EXPECT_EQ(unit.open("Z99999"), OpenOutcome::NotFound);
  EXPECT_EQ(unit.open(), OpenOutcome::Opened);
  EXPECT_EQ(unit.openUnit().path, b.units.unit(a).path);
  const auto second = b.add(u"B00002");
  EXPECT_EQ(unit.open(), OpenOutcome::SeveralUnits);
  EXPECT_FALSE(unit.isOpen());
  EXPECT_EQ(unit.open("B00002"), OpenOutcome::Opened);
  EXPECT_EQ(unit.openUnit().path, b.units.unit(second).path);
  EXPECT_EQ(b.units.unit(second).openHandles, 2);  // commands and strings
  EXPECT_EQ(b.units.unit(a).openHandles, 0);
  unit.close();
  EXPECT_EQ(b.recorder.openHandles, 0);
}

TEST(Unit, ReadsBackCommandsAndReadsBackWhatItProgrammed) {
  Bench b;
  const auto id = b.add(u"A00001");
  Unit unit(b.services);
  ASSERT_EQ(unit.open("A00001"), OpenOutcome::Opened);
  const std::uint64_t epoch = unit.epoch();

  UnitReadback r = unit.readback();
  EXPECT_EQ(r.identity.serial, "A00001");
  EXPECT_EQ(r.identity.firmware, "1.20");
  ASSERT_TRUE(r.settings);
  EXPECT_EQ(*r.settings, (SettingsReport{true, 3, Dividers{2875000, 3, 11, 480, 11, 46, 46, 9}}));
  EXPECT_EQ(b.sent(10), 1u);  // firmware 1.20 is asked for its version first

  const Dividers preset{98304, 1, 10, 5400, 9, 12, 12, 9};
  EXPECT_EQ(unit.programSettings(preset), ProgramOutcome::Taken);
  EXPECT_EQ(b.sent(4), 2u);
  // The caller hears after each frame, and one that says stop after the first gets no second.
  int heard = 0;
  EXPECT_EQ(unit.programSettings(preset, [&] { return ++heard > 1; }), ProgramOutcome::Stopped);
  EXPECT_EQ(heard, 1);
  EXPECT_EQ(b.sent(4), 3u);
  EXPECT_EQ(unit.programSettings(preset, [&] { return ++heard > 1; }), ProgramOutcome::Taken);
  EXPECT_EQ(heard, 3);
  EXPECT_EQ(b.sent(4), 5u);
  EXPECT_TRUE(unit.setOutputEnabled(false));
  EXPECT_TRUE(unit.setDriveStrength(1));
  EXPECT_TRUE(unit.setBlink(true));
  EXPECT_TRUE(unit.writeRegister(0x88, 0x42));
  EXPECT_TRUE(unit.sendClockDrift(-9000));
  r = unit.readback();
  ASSERT_TRUE(r.settings);
  EXPECT_EQ(*r.settings, (SettingsReport{false, 1, preset}));
  const sim::FirmwareState f = b.units.unit(id).firmware;
  EXPECT_TRUE(f.ledBlinking);
  EXPECT_EQ(f.registers[0x88], 0x42);
  EXPECT_EQ(f.drift, -7500);
  EXPECT_EQ(unit.epoch(), epoch);  // commands neither close nor reopen

  // Gone: commands fail and say so.
  b.units.unplug(id);
  EXPECT_FALSE(unit.setOutputEnabled(true));
  EXPECT_FALSE(unit.readback().settings);
}

TEST(Unit, AUnitWithAShortFeatureReportIsNeverCommanded) {
  Bench b;
  sim::UnitConfig config;
  config.featureReportLength = 21;
  b.add(u"A00001", config);
  Unit unit(b.services);
  ASSERT_EQ(unit.open(), OpenOutcome::Opened);
  const UnitReadback r = unit.readback();
  EXPECT_FALSE(r.identity.usable);
  EXPECT_EQ(r.identity.featureReportLength, 21);
  EXPECT_FALSE(r.settings);
  EXPECT_FALSE(unit.setOutputEnabled(true));
  EXPECT_EQ(unit.programSettings(Dividers{98304, 1, 10, 5400, 9, 12, 12, 9}), ProgramOutcome::NotTaken);
  EXPECT_FALSE(unit.setNavMessageRates());
  EXPECT_EQ(unit.setSerialNumber("Q00001").sent, false);
  EXPECT_EQ(b.recorder.count(Kind::SetFeature), 0u);
  EXPECT_EQ(b.recorder.count(Kind::GetFeature), 0u);

  // A usable unit whose answer stops short of the settings' last field gives no readback.
  Bench shortAnswer;
  sim::UnitConfig stops;
  stops.featureAnswerLength = 21;
  shortAnswer.add(u"A00001", stops);
  Unit other(shortAnswer.services);
  ASSERT_EQ(other.open(), OpenOutcome::Opened);
  const UnitReadback s = other.readback();
  EXPECT_TRUE(s.identity.usable);
  EXPECT_FALSE(s.settings);
}

TEST(Unit, ProgramsASerialWithTheWindowsChecksAndFindsTheUnitUnderItAgain) {
  Bench b;
  b.add(u"A00001");
  Unit unit(b.services);
  ASSERT_EQ(unit.open(), OpenOutcome::Opened);
  for (const char* bad : {"", "Q0001", "Q000A1", " 00001"}) {
    const auto refused = unit.setSerialNumber(bad);
    EXPECT_FALSE(refused.problem.empty()) << bad;
    EXPECT_FALSE(refused.sent);
  }
  EXPECT_EQ(b.sent(0x53), 0u);
  EXPECT_TRUE(unit.isOpen());

  const auto done = unit.setSerialNumber("Q00099");
  EXPECT_TRUE(done.problem.empty());
  EXPECT_TRUE(done.sent);
  EXPECT_EQ(done.next, "Q00100");
  EXPECT_FALSE(unit.isOpen());  // it re-enumerates under the new serial
  b.clock.advance(2s);
  EXPECT_EQ(unit.open("A00001"), OpenOutcome::NotFound);
  EXPECT_EQ(unit.open("Q00099"), OpenOutcome::Opened);
}

TEST(Unit, StreamsTheReceiversMessagesUntilTheUnitGoesAway) {
  Bench b;
  const auto id = b.add(u"A00001");
  Unit unit(b.services);
  ASSERT_EQ(unit.open(), OpenOutcome::Opened);
  EXPECT_TRUE(unit.setNavMessageRates());
  EXPECT_EQ(b.units.unit(id).rate(0x01, 0x07), 1);
  EXPECT_EQ(b.units.unit(id).rate(0x01, 0x30), 2);

  struct Sink : ReceiverSink {
    int pvts = 0, svinfos = 0, clocks = 0;
    InputStatus last;
    NavPvt pvt;
    void onInputStatus(const InputStatus& s) override { last = s; }
    void onNavPvt(const NavPvt& m) override {
      ++pvts;
      pvt = m;
    }
    void onNavSvInfo(const NavSvInfo&) override { ++svinfos; }
    void onNavClock(const NavClock&) override { ++clocks; }
  } sink;
  ReceiverStream stream(sink);
  const auto end = b.clock.now() + 10s;
  while (b.clock.now() < end) {
    ASSERT_NE(unit.readReceiver(stream, 20ms), ReadOutcome::Lost);
    b.clock.advance(10ms);
  }
  EXPECT_GE(sink.pvts, 8);
  EXPECT_GE(sink.svinfos, 3);
  EXPECT_GE(sink.clocks, 3);
  EXPECT_TRUE(sink.last.gpsSignal);
  EXPECT_TRUE(sink.last.pllLock);
  EXPECT_EQ(sink.pvt.lat, sim::ReceiverConfig{}.lat);

  EXPECT_TRUE(unit.stopNavMessages());
  EXPECT_EQ(b.units.unit(id).rate(0x01, 0x07), 0);
  // As in the window, firmware 1.20 gets the fast rates only when its manufacturer string, with
  // which the window shows the version, can be read.
  b.recorder.failingStrings.insert(platform::HidString::Manufacturer);
  ASSERT_EQ(unit.open(), OpenOutcome::Opened);
  EXPECT_TRUE(unit.setNavMessageRates());
  EXPECT_EQ(b.units.unit(id).rate(0x01, 0x07), 10);
  EXPECT_EQ(b.units.unit(id).rate(0x01, 0x30), 20);
  b.units.unplug(id);
  EXPECT_EQ(unit.readReceiver(stream, 20ms), ReadOutcome::Lost);
  EXPECT_FALSE(unit.isOpen());
  EXPECT_EQ(b.recorder.openHandles, 0);
}

}  // namespace
}  // namespace tamrik::core
