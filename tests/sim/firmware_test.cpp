#include <gtest/gtest.h>

#include "platform/sim/firmware_model.h"
#include "platform/sim/simulated_units.h"
#include "tests/sim/sim_test_support.h"

namespace tamrik::sim {
namespace {

using namespace std::chrono_literals;
using testing::commandFrame;

class FirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    id = units.addUnit({});
    h = openUnit();
  }
  platform::DeviceHandle openUnit() { return units.open(units.unit(id).path, platform::OpenMode::Plain); }
  std::vector<std::uint8_t> feature() {
    std::vector<std::uint8_t> r(65, 0);
    EXPECT_TRUE(units.getFeature(h, r));
    return r;
  }
  bool send(const std::vector<std::uint8_t>& f) { return units.setFeature(h, f); }
  // Status byte of the newest input report.
  std::uint8_t status() {
    std::vector<std::uint8_t> b(34000);
    const auto r = units.readInputReports(h, b, 100ms);
    EXPECT_GE(r.bytes, 65u);
    return b[r.bytes - 65 + 2];
  }

  VirtualClock clock;
  SimulatedUnits units{clock};
  UnitId id = 0;
  platform::DeviceHandle h = platform::kInvalidHandle;
};

TEST_F(FirmwareTest, PowerUpSettingsReportCarriesTheTenMegahertzSet) {
  const auto r = feature();
  const std::vector<std::uint8_t> expected = {0x00, 0x03, 0x03,                    // output on, 32 mA
                                              0x78, 0xDE, 0x2B, 0x02, 0x00, 0x00,  // 2875000, N31 3
                                              0x07, 0xDF, 0x01, 0x00, 0x07,        // N2_HS 11, N2_LS 480, N1_HS 11
                                              0x2D, 0x00, 0x00, 0x2D, 0x00, 0x00,  // NC1_LS 46, NC2_LS 46
                                              0x00, 0x09};                         // reserved, BW 9
  EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.begin() + 22), expected);
  EXPECT_TRUE(std::all_of(r.begin() + 22, r.end(), [](std::uint8_t b) { return b == 0; }));
  EXPECT_TRUE(DividerSet{}.workable());
}

TEST_F(FirmwareTest, SingleValueCommandsChangeTheirState) {
  EXPECT_TRUE(send(commandFrame(1, {0})));
  EXPECT_TRUE(send(commandFrame(2, {1})));
  EXPECT_TRUE(send(commandFrame(3, {9})));
  EXPECT_TRUE(send(commandFrame(5, {0x88, 0x40})));
  EXPECT_TRUE(send(commandFrame(11, {0x9C, 0xFF, 0})));
  EXPECT_TRUE(send(commandFrame(0x42, {1, 2, 3})));  // unknown: ignored
  auto v = units.unit(id);
  EXPECT_EQ(v.firmware.outputFlags, 0);
  EXPECT_TRUE(v.firmware.ledBlinking);
  EXPECT_EQ(v.firmware.driveIndex, 9);
  EXPECT_EQ(v.firmware.registers[0x88], 0x40);
  EXPECT_EQ(v.firmware.drift, -100);
  EXPECT_EQ(v.firmware.commands.size(), 6u);
  EXPECT_EQ(v.firmware.settings, DividerSet{});
  const auto r = feature();
  EXPECT_EQ(r[1], 0);
  EXPECT_EQ(r[2], 9);  // stored as sent; the reader limits it

  send(commandFrame(1, {3}));
  send(commandFrame(2, {0}));
  v = units.unit(id);
  EXPECT_EQ(v.firmware.outputFlags, 3);
  EXPECT_FALSE(v.firmware.ledBlinking);
}

TEST_F(FirmwareTest, RefusesReportsOfTheWrongLengthOrReportId) {
  EXPECT_FALSE(send(commandFrame(1, {0}, 64)));
  EXPECT_FALSE(send(commandFrame(1, {0}, 66)));
  auto f = commandFrame(1, {0});
  f[0] = 1;
  EXPECT_FALSE(send(f));
  std::vector<std::uint8_t> small(64, 0);
  EXPECT_FALSE(units.getFeature(h, small));
  EXPECT_EQ(units.unit(id).firmware.outputFlags, 3);
  EXPECT_TRUE(units.unit(id).firmware.commands.empty());
}

TEST_F(FirmwareTest, WorkableSettingsRelockAfterAMoment) {
  clock.advance(1s);
  EXPECT_EQ(status() & 0x02, 0);

  // 49.152 MHz preset: 98304 Hz x 10 x 5400 = 5.308 GHz.
  DividerSet s{98304, 1, 10, 5400, 9, 12, 12, 0, 9};
  const auto block = encodeSettingsBlock(s);
  auto f = commandFrame(4, std::vector<std::uint8_t>(block.begin(), block.end()));
  ASSERT_TRUE(send(f));
  EXPECT_EQ(units.unit(id).firmware.settings, s);
  EXPECT_FALSE(units.unit(id).pllLocked);
  EXPECT_NE(status() & 0x02, 0);
  clock.advance(300ms);
  EXPECT_TRUE(units.unit(id).pllLocked);
  EXPECT_EQ(status() & 0x02, 0);
  const auto r = feature();
  EXPECT_TRUE(std::equal(block.begin(), block.end(), r.begin() + 3));
}

TEST_F(FirmwareTest, UnworkableSettingsStayUnlocked) {
  clock.advance(1s);
  // Oscillator at 958333 x 11 x 100 = 1.05 GHz, far below the VCO range.
  DividerSet low;
  low.n2Ls = 100;
  EXPECT_FALSE(low.workable());
  // Phase detector at 2875000 / 2000 = 1437 Hz, below 2 kHz.
  DividerSet slow;
  slow.n31 = 2000;
  slow.n2Ls = 400000;
  EXPECT_FALSE(slow.workable());

  for (const auto& s : {low, slow}) {
    const auto block = encodeSettingsBlock(s);
    ASSERT_TRUE(send(commandFrame(4, std::vector<std::uint8_t>(block.begin(), block.end()))));
    clock.advance(10s);
    EXPECT_FALSE(units.unit(id).pllLocked);
  }
  const auto good = encodeSettingsBlock(DividerSet{});
  send(commandFrame(4, std::vector<std::uint8_t>(good.begin(), good.end())));
  clock.advance(1s);
  EXPECT_TRUE(units.unit(id).pllLocked);
}

TEST_F(FirmwareTest, QueryIsAnsweredByTheNextFeatureReadOnly) {
  ASSERT_TRUE(send(commandFrame(10, {4})));
  auto r = feature();
  EXPECT_EQ(r[1], 0x20);
  EXPECT_EQ(r[2], 0x01);
  EXPECT_EQ(r[3], 0);
  r = feature();
  EXPECT_EQ(r[3], 0x78);  // the settings report again

  units.setFirmwareVersion(id, 0x0113);  // before the query existed
  send(commandFrame(10, {4}));
  EXPECT_EQ(feature()[3], 0x78);
}

TEST_F(FirmwareTest, SerialNumberCommandReenumeratesUnderTheNewSerial) {
  const std::string oldPath = units.unit(id).path;
  const auto other = openUnit();
  auto f = commandFrame(0x53, {'N', 'Q', '0', '0', '0', '9', '9'});
  send(commandFrame(1, {0}));
  ASSERT_TRUE(send(f));

  EXPECT_TRUE(units.hidInterfacePaths().empty());
  std::vector<std::uint8_t> buf(65, 0);
  EXPECT_FALSE(units.readInputReports(h, buf, 10ms).ok);
  EXPECT_FALSE(units.getFeature(other, buf));
  EXPECT_FALSE(units.attributes(h));

  clock.advance(1400ms);
  EXPECT_TRUE(units.hidInterfacePaths().empty());
  clock.advance(200ms);
  const auto paths = units.hidInterfacePaths();
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_NE(paths[0], oldPath);
  EXPECT_FALSE(units.readInputReports(h, buf, 10ms).ok);  // old handles stay dead

  const auto again = units.open(paths[0], platform::OpenMode::Plain);
  EXPECT_EQ(units.string(again, platform::HidString::SerialNumber, 100), u"Q00099");
  EXPECT_TRUE(units.getFeature(again, buf));
  EXPECT_EQ(buf[1], 0);  // settings survive the re-enumeration
  EXPECT_EQ(units.findBySerial(u"Q00099"), id);
}

TEST_F(FirmwareTest, ShortFeatureReportTruncatesTheSettingsAndCannotCarryCommandFour) {
  units.setFeatureReportLength(id, 16);
  EXPECT_EQ(units.capabilities(h)->featureReportLength, 16);
  std::vector<std::uint8_t> r(16, 0);
  ASSERT_TRUE(units.getFeature(h, r));
  EXPECT_EQ(r[3], 0x78);
  EXPECT_FALSE(send(commandFrame(1, {0})));  // 65 bytes: refused
  EXPECT_TRUE(send(commandFrame(1, {0}, 16)));
  DividerSet s;
  s.gps = 3000000;
  const auto block = encodeSettingsBlock(s);
  auto f = commandFrame(4, std::vector<std::uint8_t>(block.begin(), block.begin() + 14), 16);
  EXPECT_TRUE(send(f));
  EXPECT_EQ(units.unit(id).firmware.settings, DividerSet{});
  EXPECT_EQ(units.unit(id).firmware.outputFlags, 0);
}

}  // namespace
}  // namespace tamrik::sim
