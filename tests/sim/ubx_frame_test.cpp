#include "platform/sim/ubx_frame.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/sim/simulation_options.h"
#include "tests/sim/sim_test_support.h"
#include "tests/support/captures.h"

namespace tamrik::sim {
namespace {

using ubx::get;

TEST(UbxFrame, FramingAndChecksumMatchAPublishedAcknowledge) {
  // ACK-ACK for CFG-PRT as receivers send it.
  const std::uint8_t payload[] = {0x06, 0x00};
  const std::vector<std::uint8_t> expected = {0xB5, 0x62, 0x05, 0x01, 0x02, 0x00, 0x06, 0x00, 0x0E, 0x37};
  EXPECT_EQ(ubx::frame(0x05, 0x01, payload), expected);

  // Length is little-endian and the checksum runs over class..payload only.
  const std::vector<std::uint8_t> big(300, 0xAB);
  const auto f = ubx::frame(0x01, 0x30, big);
  ASSERT_EQ(f.size(), 308u);
  EXPECT_EQ(f[4], 0x2C);
  EXPECT_EQ(f[5], 0x01);
  const auto ck = ubx::checksum(std::span<const std::uint8_t>(f).subspan(2, 304));
  EXPECT_EQ(f[306], ck.a);
  EXPECT_EQ(f[307], ck.b);
}

TEST(UbxFrame, MessageBuildersPutFieldsAtTheirOffsets) {
  ubx::NavPvt pvt;
  pvt.time = {2025, 3, 7, 8, 5, 9, -200000};
  pvt.valid = 0x07;
  pvt.lat = 514778000;
  pvt.lon = -14000;
  pvt.height = 45610;
  auto p = ubx::navPvtPayload(pvt);
  ASSERT_EQ(p.size(), 92u);
  EXPECT_EQ(get<std::uint16_t>(p, 4), 2025);
  EXPECT_EQ(p[10], 9);
  EXPECT_EQ(p[11], 0x07);
  EXPECT_EQ(get<std::int32_t>(p, 16), -200000);
  EXPECT_EQ(get<std::int32_t>(p, 24), -14000);
  EXPECT_EQ(get<std::int32_t>(p, 28), 514778000);
  EXPECT_EQ(get<std::int32_t>(p, 32), 45610);
  pvt.length = 84;  // u-blox 7
  EXPECT_EQ(ubx::navPvtFrame(pvt).size(), 92u);

  ubx::NavSvInfo sv;
  sv.channels = {{5, 12, 0x01, 7, 30, 45, 200, 0}, {6, 13, 0x00, 4, 20, -10, 90, 0}};
  p = ubx::navSvInfoPayload(sv);
  ASSERT_EQ(p.size(), 8u + 24u);
  EXPECT_EQ(p[4], 2);
  EXPECT_EQ(p[8], 5);
  EXPECT_EQ(p[12], 30);
  EXPECT_EQ(p[8 + 12 + 5], 0xF6);  // -10
  sv.numChField = 9;  // a header that claims more blocks than the message holds
  EXPECT_EQ(ubx::navSvInfoPayload(sv)[4], 9);

}

TEST(UbxFrame, UtcFieldsAndGpsTimeOfWeek) {
  const auto t = VirtualClock::defaultUtcStart();  // 2025-03-07 08:05:09.400
  const auto f = ubx::utcFields(t);
  EXPECT_EQ(f.year, 2025);
  EXPECT_EQ(f.month, 3);
  EXPECT_EQ(f.day, 7);
  EXPECT_EQ(f.hour, 8);
  EXPECT_EQ(f.minute, 5);
  EXPECT_EQ(f.second, 9);
  EXPECT_EQ(f.nano, 400000000);
  // Friday, five days into the GPS week, 18 leap seconds ahead.
  EXPECT_EQ(ubx::gpsTimeOfWeekMs(t - std::chrono::milliseconds(400)), 461127000u);
}

TEST(UbxFrame, FindFramesSkipsGarbageAndBrokenFrames) {
  const std::uint8_t one[] = {1, 2, 3};
  const auto good = ubx::frame(0x01, 0x22, one);
  std::vector<std::uint8_t> s = {'$', 'G', 'P', 0xB5, 0x00, 0xB5};
  std::vector<std::uint8_t> broken(good.begin(), good.end() - 1);
  broken.push_back(static_cast<std::uint8_t>(good.back() ^ 0xFF));  // CK_B wrong
  s.insert(s.end(), broken.begin(), broken.end());
  s.insert(s.end(), good.begin(), good.end());
  s.insert(s.end(), good.begin(), good.end() - 3);  // truncated at the end
  const auto found = ubx::findFrames(s);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].offset, 6 + broken.size());
  EXPECT_EQ(found[0].payload, std::vector<std::uint8_t>(one, one + 3));
}

// The reference scanner agrees with the frame counts recorded for the real captures.
TEST(UbxFrame, FindFramesCountsRealCaptures) {
  struct Expect {
    const char* file;
    int pvt, svinfo, clock, timeutc;
  };
  const Expect expects[] = {
      {"gpsd_navisys-gr701w.ubx", 0, 81, 80, 0},     {"gpsd_navisys-gr8013.ubx", 35, 0, 35, 0},
      {"pyubx2_pygpsdata-MIXED.ubx", 39, 39, 0, 1}, {"gpsd_ublox-8-time.ubx", 0, 9, 0, 0},
      {"gpsd_u-blox-m8t-time.ubx", 0, 0, 0, 151},
  };
  for (const auto& e : expects) {
    const auto path = tamrik::testing::capturePath(e.file);
    TAMRIK_REQUIRE_CAPTURE(path, e.file);
    const auto data = readCaptureFile(path->string());
    ASSERT_TRUE(data) << e.file;
    std::map<int, int> count;
    for (const auto& f : ubx::findFrames(*data)) {
      if (f.cls == 0x01) ++count[f.id];
    }
    EXPECT_EQ(count[0x07], e.pvt) << e.file;
    EXPECT_EQ(count[0x30], e.svinfo) << e.file;
    EXPECT_EQ(count[0x22], e.clock) << e.file;
    EXPECT_EQ(count[0x21], e.timeutc) << e.file;
  }
}

}  // namespace
}  // namespace tamrik::sim
