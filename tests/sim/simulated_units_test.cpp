#include "platform/sim/simulated_units.h"

#include <gtest/gtest.h>

#include <set>

#include "platform/sim/simulation_options.h"
#include "tests/sim/sim_test_support.h"
#include "tests/support/captures.h"

namespace tamrik::sim {
namespace {

using namespace std::chrono_literals;
using platform::HidString;
using platform::OpenMode;
using testing::Capture;
using testing::framesOf;
using testing::poll;
using testing::rateFrame;

UnitConfig unitWithSerial(std::u16string serial) {
  UnitConfig c;
  c.serial = std::move(serial);
  return c;
}

class UnitsTest : public ::testing::Test {
 protected:
  platform::DeviceHandle openUnit(UnitId id) { return units.open(units.unit(id).path, OpenMode::Plain); }
  VirtualClock clock;
  SimulatedUnits units{clock};
};

TEST_F(UnitsTest, EnumerationListsEveryDeviceWithUniquePathsAndHandles) {
  const auto a = units.addUnit(unitWithSerial(u"SIM001"));
  units.addForeignDevice(0x046D, 0xC31C);
  units.addForeignDevice(0x1DD2, 0x2212);  // the right vendor, another product
  const auto b = units.addUnit(unitWithSerial(u"SIM002"));
  const auto paths = units.hidInterfacePaths();
  ASSERT_EQ(paths.size(), 4u);
  EXPECT_EQ(std::set<std::string>(paths.begin(), paths.end()).size(), 4u);
  EXPECT_EQ(paths[0], units.unit(a).path);
  EXPECT_EQ(paths[3], units.unit(b).path);
  EXPECT_EQ(paths[0].rfind("sim:SIM001#", 0), 0u);

  // Handles are never given out twice, not even after a close.
  std::set<platform::DeviceHandle> seen;
  for (const auto& p : paths) {
    const auto h = units.open(p, OpenMode::Plain);
    EXPECT_TRUE(seen.insert(h).second);
    EXPECT_TRUE(units.close(h));
    EXPECT_FALSE(units.close(h));
  }
  const auto again = units.open(paths[0], OpenMode::Overlapped);
  EXPECT_FALSE(seen.contains(again));
  EXPECT_EQ(units.attributes(units.open(paths[2], OpenMode::Plain))->productId, 0x2212);

  const auto attr = units.attributes(again);
  EXPECT_EQ(attr->vendorId, 0x1DD2);
  EXPECT_EQ(attr->productId, 0x2211);
  EXPECT_EQ(attr->versionNumber, 0x0120);
  EXPECT_EQ(units.capabilities(again)->inputReportLength, 65);
  EXPECT_EQ(units.capabilities(again)->featureReportLength, 65);
}

TEST_F(UnitsTest, StringsAreUtf16AndTheSerialCanFail) {
  const auto id = units.addUnit(unitWithSerial(u"SIM001"));
  const auto h = openUnit(id);
  EXPECT_EQ(units.string(h, HidString::SerialNumber, 100), u"SIM001");
  EXPECT_EQ(units.string(h, HidString::Manufacturer, 100), u"Tamrik");
  EXPECT_EQ(units.string(h, HidString::SerialNumber, 6), u"SIM");  // at most maxBytes / 2 code units

  units.useWideStrings(id);
  const auto serial = units.string(h, HidString::SerialNumber, 100);
  ASSERT_TRUE(serial);
  EXPECT_EQ(lowBytes(*serial), "SIM001");
  EXPECT_TRUE(std::all_of(serial->begin(), serial->end(), [](char16_t c) { return c > 0xFF; }));
  const auto maker = units.string(h, HidString::Manufacturer, 100);
  EXPECT_TRUE(std::any_of(maker->begin(), maker->end(), [](char16_t c) { return c > 0xFF; }));

  units.setSerialReadable(id, false);
  EXPECT_FALSE(units.string(h, HidString::SerialNumber, 100));
  EXPECT_TRUE(units.string(h, HidString::Product, 100));
}

TEST_F(UnitsTest, ReportsFollowTheLayoutAndCadence) {
  UnitConfig c;
  c.inputReportLength = 16;
  const auto id = units.addUnit(c);
  const auto h = openUnit(id);
  ASSERT_TRUE(units.setFeature(h, rateFrame(0x07, 1)));
  const Capture cap = poll(units, clock, h, 3s);
  // One report every 8 ms.
  EXPECT_GE(cap.reports.size(), 370u);
  EXPECT_LE(cap.reports.size(), 376u);
  int flagged = 0;
  for (const auto& r : cap.reports) {
    ASSERT_EQ(r.size(), 16u);
    EXPECT_EQ(r[0], 0);
    EXPECT_EQ(r[2] & 0x7C, 0);  // only bits 0, 1 and 7 are used
    if (r[2] & 0x80) {
      ++flagged;
    } else {
      EXPECT_TRUE(std::all_of(r.begin() + 3, r.end(), [](auto b) { return b == 0; }));
    }
  }
  // Three NAV-PVT of 100 bytes and an ACK in 13-byte pieces.
  EXPECT_GE(flagged, 3 * 100 / 13);
  EXPECT_GE(framesOf(cap.stream, 0x01, 0x07).size(), 2u);
  // At power-up the PLL locks after a moment and there is no signal yet.
  EXPECT_EQ(cap.reports.front()[2] & 0x03, 0x03);
  EXPECT_EQ(cap.reports.back()[2] & 0x03, 0x01);
}

TEST_F(UnitsTest, ReadsHonourTheirTimeout) {
  const auto id = units.addUnit({});
  const auto h = openUnit(id);
  std::vector<std::uint8_t> buffer(34000);

  // Nothing queued: the read waits for the next report only, in virtual time.
  (void)units.readInputReports(h, buffer, 100ms);
  auto before = clock.now();
  auto r = units.readInputReports(h, buffer, 1000ms);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 65u);
  EXPECT_LE(clock.now() - before, 8ms);

  // Reports queued while nobody read come back together, as many as fit.
  clock.advance(80ms);
  before = clock.now();
  r = units.readInputReports(h, std::span<std::uint8_t>(buffer).first(65 * 4 + 10), 1000ms);
  EXPECT_EQ(r.bytes, 65u * 4);
  EXPECT_EQ(clock.now(), before);
  r = units.readInputReports(h, buffer, 0ms);
  EXPECT_EQ(r.bytes, 65u * 6);
  EXPECT_EQ(units.readInputReports(h, std::span<std::uint8_t>(buffer).first(64), 10ms).bytes, 0u);

  // A stalled unit: every read takes its whole timeout and returns nothing, yet stays ok.
  units.stall(id);
  before = clock.now();
  r = units.readInputReports(h, buffer, 250ms);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(clock.now() - before, 250ms);
  units.resume(id);
  EXPECT_EQ(units.readInputReports(h, buffer, 250ms).bytes, 65u);

  // An unplugged unit fails at once, even with a long timeout.
  units.unplug(id);
  before = clock.now();
  EXPECT_FALSE(units.readInputReports(h, buffer, 5000ms).ok);
  EXPECT_EQ(clock.now(), before);
  EXPECT_FALSE(units.readInputReports(12345, buffer, 10ms).ok);
}

TEST_F(UnitsTest, UnreadReportsAreBoundedOldestFirst) {
  const auto id = units.addUnit({});
  const auto h = openUnit(id);
  clock.advance(10s);
  std::vector<std::uint8_t> buffer(65 * 1000);
  const auto r = units.readInputReports(h, buffer, 10ms);
  EXPECT_EQ(r.bytes, 65u * 128);
  // The newest survived: by now the PLL is locked.
  EXPECT_EQ(buffer[2] & 0x02, 0);
  EXPECT_GT(units.unit(id).reportsDropped, 0u);
}

// Reads wait by asking the clock to let time pass, which is where the program's real clock
// sleeps: once per report they wait for, never in a loop of short waits, and never past their
// timeout. Checked on a virtual clock that notes each wait.
TEST(SimulatedReads, WaitThroughTheClockUntilTheReportOrTheTimeout) {
  class NotingClock final : public SimClock {
   public:
    SteadyTime now() override { return inner.now(); }
    void waitUntil(SteadyTime t) override {
      waits.push_back(std::chrono::duration_cast<std::chrono::microseconds>(t - inner.now()));
      inner.waitUntil(t);
    }
    UtcTime utcAt(SteadyTime t) override { return inner.utcAt(t); }
    VirtualClock inner;
    std::vector<std::chrono::microseconds> waits;
  } clock;
  SimulatedUnits live(clock);
  const auto id = live.addUnit({});
  const auto h = live.open(live.unit(id).path, OpenMode::Plain);
  std::vector<std::uint8_t> buffer(34000);
  (void)live.readInputReports(h, buffer, 500ms);  // takes what queued while opening

  clock.waits.clear();
  auto r = live.readInputReports(h, buffer, 500ms);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 65u);
  ASSERT_EQ(clock.waits.size(), 1u);
  EXPECT_GT(clock.waits[0], 0us);
  EXPECT_LE(clock.waits[0], 8000us);

  live.stall(id);
  clock.waits.clear();
  const auto before = clock.now();
  r = live.readInputReports(h, buffer, 60ms);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.bytes, 0u);
  EXPECT_EQ(clock.waits, std::vector<std::chrono::microseconds>{60000us});
  EXPECT_EQ(clock.now() - before, 60ms);
}

TEST_F(UnitsTest, UnplugAndReplugGiveANewPathAndKillOldHandles) {
  const auto a = units.addUnit(unitWithSerial(u"SIM001"));
  units.addUnit(unitWithSerial(u"SIM002"));
  const auto h = openUnit(a);
  const std::string oldPath = units.unit(a).path;
  ASSERT_TRUE(units.setFeature(h, testing::commandFrame(2, {1})));
  ASSERT_TRUE(units.setFeature(h, rateFrame(0x07, 1)));

  units.unplug(a);
  EXPECT_EQ(units.hidInterfacePaths().size(), 1u);
  std::vector<std::uint8_t> f(65, 0);
  EXPECT_FALSE(units.getFeature(h, f));
  EXPECT_FALSE(units.setFeature(h, testing::commandFrame(1, {0})));
  EXPECT_EQ(units.open(oldPath, OpenMode::Plain), platform::kInvalidHandle);
  EXPECT_TRUE(units.close(h));

  clock.advance(2s);
  units.replug(a);
  const auto v = units.unit(a);
  EXPECT_TRUE(v.attached);
  EXPECT_NE(v.path, oldPath);
  EXPECT_EQ(v.attachments, 2);
  EXPECT_FALSE(v.firmware.ledBlinking);       // a power cycle
  EXPECT_EQ(v.rate(0x01, 0x07), 0);           // the receiver forgot its rates
  EXPECT_FALSE(v.gpsSignal);                  // and searches again
  EXPECT_EQ(units.hidInterfacePaths().size(), 2u);

  units.replug(a, u"NEW001");
  EXPECT_EQ(units.unit(a).serial, u"NEW001");
  EXPECT_EQ(units.unit(a).path.rfind("sim:NEW001#", 0), 0u);
}

TEST_F(UnitsTest, CorruptionAndDropBreakFramesWithoutStoppingTheStream) {
  const auto id = units.addUnit({});
  const auto h = openUnit(id);
  clock.advance(6s);
  ASSERT_TRUE(units.setFeature(h, rateFrame(0x07, 1)));
  ASSERT_TRUE(units.setFeature(h, rateFrame(0x22, 1)));
  const Capture clean = poll(units, clock, h, 30s);
  units.setCorruption(id, 0.01, 0.0);
  const Capture flipped = poll(units, clock, h, 30s);
  units.setCorruption(id, 0.0, 0.01);
  const Capture dropped = poll(units, clock, h, 30s);
  const auto count = [](const Capture& c) { return ubx::findFrames(c.stream).size(); };
  EXPECT_GE(count(clean), 59u);
  EXPECT_LT(count(flipped), count(clean) * 3 / 4);
  EXPECT_GT(count(flipped), count(clean) / 10);
  EXPECT_LT(count(dropped), count(clean) * 3 / 4);
  EXPECT_LT(dropped.stream.size(), clean.stream.size());
}

TEST_F(UnitsTest, ScheduledFaultsFireAtTheirTimes) {
  SimulationOptions o;
  o.unitCount = 2;
  o.faults = parseFaultSpec("unplug:SIM001@3000,replug:SIM001@5000,stall:SIM002@2000,"
                            "serial-change:SIM002@6000=Q00042,exclusive:Q00042@6100")
                 .events;
  auto built = buildSimulation(o, clock);
  ASSERT_TRUE(built) << built.reason();
  SimulatedUnits& u = **built;
  const auto h2 = u.open(u.unit(1).path, OpenMode::Plain);
  std::vector<std::uint8_t> buffer(34000);

  clock.advance(1999ms);
  EXPECT_GT(u.readInputReports(h2, buffer, 0ms).bytes, 0u);
  clock.advance(2ms);
  (void)u.readInputReports(h2, buffer, 0ms);  // what came before the stall
  EXPECT_EQ(u.readInputReports(h2, buffer, 100ms).bytes, 0u);
  EXPECT_EQ(u.hidInterfacePaths().size(), 2u);

  clock.advance(1000ms);
  EXPECT_EQ(u.hidInterfacePaths().size(), 1u);
  EXPECT_FALSE(u.unit(0).attached);
  clock.advance(2000ms);
  EXPECT_TRUE(u.unit(0).attached);
  EXPECT_EQ(u.unit(0).attachments, 2);

  clock.advance(1000ms);
  EXPECT_FALSE(u.unit(1).attached);
  clock.advance(1600ms);
  const auto v = u.unit(1);
  EXPECT_TRUE(v.attached);
  EXPECT_EQ(v.serial, u"Q00042");
  EXPECT_TRUE(v.config.exclusive);
  EXPECT_EQ(u.open(v.path, OpenMode::Plain), platform::kInvalidHandle);
}

// The faults a health watch is tried on: the unit's loss count moves as a real unit's does, and
// the PLL loses its lock and takes it again, each shown in the status byte of the reports.
TEST_F(UnitsTest, SignalAndLockFaultsShowInTheReportsAsOnARealUnit) {
  SimulationOptions o;
  o.unitCount = 1;
  o.faults = parseFaultSpec("signal-loss:SIM001@6000,signal:SIM001@7000,signal-flicker:SIM001@8000=254,"
                            "pll-unlock:SIM001@9000,pll-lock:SIM001@10000,replug:SIM001@11000")
                 .events;
  auto built = buildSimulation(o, clock);
  ASSERT_TRUE(built) << built.reason();
  SimulatedUnits& u = **built;
  auto h = u.open(u.unit(0).path, OpenMode::Plain);
  std::vector<std::uint8_t> buffer(65);
  // The first report from `at` on: its loss count and status byte.
  auto statusAt = [&](std::chrono::milliseconds at) {
    clock.advance(at - std::chrono::duration_cast<std::chrono::milliseconds>(clock.elapsed()));
    while (u.readInputReports(h, buffer, 0ms).bytes > 0) {
    }
    EXPECT_EQ(u.readInputReports(h, buffer, 20ms).bytes, 65u);
    return std::pair<int, int>{buffer[1], buffer[2] & 0x03};
  };
  EXPECT_EQ(statusAt(5500ms), std::pair(0, 0));       // signal and lock after the start-up
  EXPECT_EQ(statusAt(6500ms), std::pair(1, 0x01));    // lost and counted
  EXPECT_EQ(statusAt(7500ms), std::pair(1, 0));
  EXPECT_EQ(statusAt(8500ms), std::pair(255, 0));     // 254 short ones the flag never showed
  EXPECT_EQ(statusAt(9100ms), std::pair(255, 0x02));  // no PLL lock
  EXPECT_EQ(statusAt(10100ms), std::pair(255, 0x02)); // locking again takes its relock time
  EXPECT_EQ(statusAt(10500ms), std::pair(255, 0));
  // A power cycle clears the count; the receiver and the PLL start again.
  clock.advance(600ms);
  h = u.open(u.unit(0).path, OpenMode::Plain);
  EXPECT_EQ(statusAt(11200ms), std::pair(0, 0x03));
}

TEST_F(UnitsTest, ScheduledActionsTakeEffectAtTheirOwnTimeWhenTheClockJumpsPast) {
  const auto id = units.addUnit({});
  const auto h = openUnit(id);
  units.schedule(6000ms, [&] { units.setGpsSignal(id, false); });
  clock.advance(6500ms);
  std::vector<std::uint8_t> buffer(34000);
  const auto r = units.readInputReports(h, buffer, 0ms);
  ASSERT_EQ(r.bytes, 65u * 128);
  // The newest 128 reports, one every 8 ms, end at 6496 ms. The report due at 6000 ms still goes
  // out before the action; the one at 6008 ms is the first to count the loss.
  for (std::size_t i = 0; i < 128; ++i) {
    const bool after = 5480 + 8 * i > 6000;
    EXPECT_EQ(buffer[i * 65 + 1], after ? 1 : 0) << i;
    EXPECT_EQ(buffer[i * 65 + 2] & 0x01, after ? 1 : 0) << i;
  }
}

// --- replay -------------------------------------------------------------------------------------

std::shared_ptr<const std::vector<std::uint8_t>> loadCapture(const std::string& name) {
  const auto path = tamrik::testing::capturePath(name);
  if (!path) return nullptr;
  auto data = readCaptureFile(path->string());
  return data ? std::make_shared<const std::vector<std::uint8_t>>(std::move(*data)) : nullptr;
}

TEST_F(UnitsTest, PacedReplayDeliversTheCaptureByteForByte) {
  auto data = loadCapture("pyubx2_pygpsdata-MIXED.ubx");
  TAMRIK_REQUIRE_CAPTURE(data, "pyubx2_pygpsdata-MIXED.ubx");
  UnitConfig c;
  c.replay = data;
  c.receiver.startupWithoutSignal = 0ms;
  const auto id = units.addUnit(c);
  clock.advance(5s);  // before the first open nothing is played
  EXPECT_EQ(units.unit(id).replayPosition, 0u);
  const auto h = openUnit(id);
  EXPECT_FALSE(units.replayFinished());

  // 9600 baud: 960 bytes a second.
  const auto seconds = data->size() / 960;
  Capture cap;
  poll(units, clock, h, std::chrono::seconds(seconds - 1), cap);
  EXPECT_FALSE(units.replayFinished());
  poll(units, clock, h, 3s, cap);
  EXPECT_TRUE(units.replayFinished());
  ASSERT_GE(cap.stream.size(), data->size());
  EXPECT_TRUE(std::equal(data->begin(), data->end(), cap.stream.begin()));
  EXPECT_TRUE(std::all_of(cap.stream.begin() + static_cast<std::ptrdiff_t>(data->size()), cap.stream.end(),
                          [](auto b) { return b == 0; }));
  EXPECT_LT(cap.stream.size() - data->size(), 62u);
  EXPECT_EQ(cap.reports.back()[2] & 0x01, 0);  // a replaying unit has its signal from the start
}

TEST_F(UnitsTest, FastReplayFillsEveryRead) {
  auto data = loadCapture("gpsd_u-blox-m8t-time.ubx");
  TAMRIK_REQUIRE_CAPTURE(data, "gpsd_u-blox-m8t-time.ubx");
  UnitConfig c;
  c.replay = data;
  c.replayFast = true;
  const auto id = units.addUnit(c);
  units.addUnit(unitWithSerial(u"SIM002"));
  const auto h = openUnit(id);
  std::vector<std::uint8_t> buffer(34000);
  std::vector<std::uint8_t> stream;
  const auto start = clock.now();
  int reads = 0;
  while (!units.replayFinished()) {
    const auto r = units.readInputReports(h, buffer, 100ms);
    ASSERT_TRUE(r.ok);
    ++reads;
    if (stream.size() + 62 * 523 <= data->size()) {
      EXPECT_EQ(r.bytes, 65u * 523);  // every read full
    }
    for (std::size_t at = 0; at < r.bytes; at += 65) {
      ASSERT_NE(buffer[at + 2] & 0x80, 0);
      stream.insert(stream.end(), buffer.begin() + static_cast<std::ptrdiff_t>(at + 3),
                    buffer.begin() + static_cast<std::ptrdiff_t>(at + 65));
    }
    ASSERT_LT(reads, 10);
  }
  EXPECT_EQ(clock.now(), start);  // no waiting at all
  EXPECT_TRUE(std::equal(data->begin(), data->end(), stream.begin()));
  EXPECT_EQ(framesOf(stream, 0x01, 0x21).size(), 151u);
  // Afterwards the unit goes on with plain status reports.
  const auto r = units.readInputReports(h, buffer, 100ms);
  EXPECT_GT(r.bytes, 0u);
  EXPECT_EQ(buffer[2] & 0x80, 0);
}

}  // namespace
}  // namespace tamrik::sim
