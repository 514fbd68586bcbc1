#include <gtest/gtest.h>

#include "gps/ubx_messages.h"
#include "tests/gps/ubx_frames.h"
#include "ui/satellite_chart.h"

namespace tamrik::gps {
namespace {

using testing::Bytes;
using testing::PvtFields;

TEST(NavPvtText, PositionFollowsTheLocaleAndTimeDoesNot) {
  const auto pvt = ReadNavPvt(testing::navPvtPayload({}));
  ASSERT_TRUE(pvt);
  EXPECT_EQ(PositionText(*pvt, ui::NumberFormat::point()), "Position: 51.4778000, -0.0014000, 45.61");
  EXPECT_EQ(PositionText(*pvt, ui::NumberFormat::comma()), "Position: 51,4778000, -0,0014000, 45,61");
  EXPECT_EQ(UtcText(*pvt), "UTC: 2025.03.07 08:05:09");
}

TEST(NavPvtText, TimeNeedsDateTimeAndResolvedBitsOnly) {
  PvtFields f;
  f.valid = 0x03;
  EXPECT_EQ(UtcText(*ReadNavPvt(testing::navPvtPayload(f))), "UTC: unknown");
  f.valid = 0xF7;  // what u-blox 8 receivers send: reserved high bits set
  EXPECT_EQ(UtcText(*ReadNavPvt(testing::navPvtPayload(f))), "UTC: 2025.03.07 08:05:09");
}

TEST(NavPvtText, ShortMessagesAreRefused) {
  // The height ends at byte 36; both real lengths (84 and 92) are taken.
  EXPECT_FALSE(ReadNavPvt(testing::navPvtPayload({}, 35)));
  EXPECT_TRUE(ReadNavPvt(testing::navPvtPayload({}, 36)));
  EXPECT_TRUE(ReadNavPvt(testing::navPvtPayload({}, 84)));
  EXPECT_FALSE(ReadNavClock(Bytes(19)));
  EXPECT_FALSE(ReadNavTimeUtc(Bytes(19)));
  EXPECT_FALSE(NavSvInfo::read(Bytes(7)));
}

TEST(MapLink, CoordinatesAreExactAndLocaleFree) {
  EXPECT_EQ(MapLinkFor(-338688000, 1512093000),
            "https://www.google.com/maps/search/?api=1&query=-33.8688,151.2093");
  EXPECT_EQ(LinkCoordinate(0), "0");
  EXPECT_EQ(LinkCoordinate(1), "0.0000001");
  EXPECT_EQ(LinkCoordinate(-14000), "-0.0014");
  EXPECT_EQ(LinkCoordinate(-2147483647 - 1), "-214.7483648");
}

TEST(NavSvInfo, OnlyBlocksTheLengthHoldsAreRead) {
  Bytes p = testing::navSvInfoPayload({{1, 1, 30, 45}, {2, 1, 30, 45}, {3, 1, 30, 45}});
  p[4] = 200;  // numCh claims far more blocks than the message carries
  auto info = NavSvInfo::read(p);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->channels(), 3);
  p.resize(p.size() - 1);  // the third block is cut short
  EXPECT_EQ(NavSvInfo::read(p)->channels(), 2);
  p[4] = 1;
  EXPECT_EQ(NavSvInfo::read(p)->channels(), 1);
}

TEST(NavSvInfo, BarRules) {
  const auto green = BarFor({5, 0x01, 30, 45});
  ASSERT_TRUE(green);
  EXPECT_EQ(green->chn, 5);
  EXPECT_EQ(green->cno, 30);
  EXPECT_EQ(green->color, ui::kBarGreen);
  EXPECT_EQ(BarFor({5, 0x00, 30, 45})->color, ui::kBarGrey);
  EXPECT_EQ(BarFor({5, 0x0D, 0, 45})->color, ui::kBarGrey);  // used but no signal
  EXPECT_FALSE(BarFor({5, 1, 30, 0}));
  EXPECT_FALSE(BarFor({5, 1, 30, -10}));
  EXPECT_FALSE(BarFor({5, 1, 30, -91}));  // "unknown" on u-blox 7/8
  EXPECT_FALSE(BarFor({5, 1, 30, static_cast<std::int8_t>(0x80)}));
  EXPECT_FALSE(BarFor({32, 1, 30, 45}));
  EXPECT_FALSE(BarFor({255, 1, 0, 13}));  // satellite without a channel
  EXPECT_TRUE(BarFor({31, 1, 30, 1}));
}

TEST(Diagnostics, CaptionsAndShortMessages) {
  const Bytes p{0x1A, 0x00, 0xFF, 0x0B, 0xFB, 0xFF, 0xFF, 0xFF, 0x99};
  EXPECT_EQ(DiagnosticText(0x02, 0x52, p), "9  1A 0 FF B -5");
  EXPECT_FALSE(DiagnosticText(0x02, 0x52, Bytes(7)));
  EXPECT_EQ(DiagnosticText(0x0A, 0x11, Bytes(3)), "3 ");
  EXPECT_EQ(DiagnosticText(0x0A, 0x1B, Bytes(300)), "300 ");
  Bytes mon(21);
  for (std::size_t i = 0; i < mon.size(); ++i) mon[i] = static_cast<std::uint8_t>(i * 12);
  EXPECT_EQ(DiagnosticText(0x0A, 0x1E, mon), "  0 C 18 24 30 3C 48 54 60 6C 78 84 90 9C A8 B4 C0 CC D8 E4 F0");
  EXPECT_FALSE(DiagnosticText(0x0A, 0x1E, Bytes(20)));
  EXPECT_FALSE(DiagnosticText(0x0A, 0x09, Bytes(60)));
}

TEST(ClockSetting, NavPvtMillisecondsRoundHalfToEven) {
  auto ms = [](std::int32_t nano) {
    PvtFields f;
    f.nano = nano;
    return ClockFromNavPvt(*ReadNavPvt(testing::navPvtPayload(f))).milliseconds;
  };
  EXPECT_EQ(ms(-200000), 0);
  EXPECT_EQ(ms(-1000869), 0);
  EXPECT_EQ(ms(2500000), 2);
  EXPECT_EQ(ms(3500000), 4);
  EXPECT_EQ(ms(999499999), 999);
  EXPECT_EQ(ms(999500000), 1000);  // out of range: the clock service refuses it
  const auto t = ClockFromNavPvt(*ReadNavPvt(testing::navPvtPayload({})));
  EXPECT_EQ(t, (platform::SystemTime{2025, 3, 0, 7, 8, 5, 9, 0}));
}

TEST(ClockSetting, NavTimeUtcOnlyNearWholeSeconds) {
  auto at = [](std::int32_t nano, std::uint8_t valid) { return ClockFromNavTimeUtc(*ReadNavTimeUtc(testing::navTimeUtcPayload(nano, valid))); };
  EXPECT_EQ(at(400000, 0x04), (platform::SystemTime{2025, 3, 0, 7, 8, 5, 9, 30}));
  EXPECT_TRUE(at(-500000, 0xF7));
  EXPECT_TRUE(at(499999, 0x37));
  EXPECT_FALSE(at(500000, 0x07));
  EXPECT_FALSE(at(600000, 0x07));
  EXPECT_FALSE(at(-500001, 0x07));
  EXPECT_FALSE(at(2147483647, 0x07));
  EXPECT_FALSE(at(0, 0x03));
}

TEST(DriftReport, ThresholdClampAndEncoding) {
  EXPECT_FALSE(DriftWorthSending({15, 100}, 0));
  EXPECT_FALSE(DriftWorthSending({-20, 100}, 0));
  EXPECT_TRUE(DriftWorthSending({30, 100}, 0));
  EXPECT_TRUE(DriftWorthSending({-21, 499}, 0));
  EXPECT_FALSE(DriftWorthSending({30, 500}, 0));
  EXPECT_FALSE(DriftWorthSending({30, 0xFFFFFFFFu}, 0));  // an accuracy this poor is no estimate
  EXPECT_TRUE(DriftWorthSending({7600, 100}, 7500));      // beyond the clamp it is sent every time
  EXPECT_TRUE(DriftWorthSending({-2147483647 - 1, 100}, 2147483647));

  EXPECT_EQ(EncodeDrift(ClampDrift(-100)), (std::array<std::uint8_t, 2>{0x9C, 0xFF}));
  EXPECT_EQ(EncodeDrift(ClampDrift(9000)), (std::array<std::uint8_t, 2>{0x4C, 0x1D}));
  EXPECT_EQ(EncodeDrift(ClampDrift(-9000)), (std::array<std::uint8_t, 2>{0xB4, 0xE2}));
}

}  // namespace
}  // namespace tamrik::gps
