#include <gtest/gtest.h>

#include "core/protocol.h"
#include "gps/ubx_messages.h"
#include "tests/gps/sim_fixture.h"
#include "ui/satellite_chart.h"

namespace tamrik::gps {
namespace {

using testing::Bytes;

TEST(Decoders, TimeValidityAndDiagnosticCaptions) {
  auto utc = [](std::uint8_t valid) {
    auto m = testing::examplePvt();
    m.valid = valid;
    return UtcText(core::readNavPvt(testing::ubx::navPvtPayload(m)).value());
  };
  EXPECT_EQ(utc(0xF7), "UTC: 2025.03.07 08:05:09");  // u-blox 8 sets the reserved bits
  EXPECT_EQ(utc(0x03), "UTC: unknown");
  EXPECT_EQ(utc(0xFB), "UTC: unknown");

  EXPECT_EQ(DiagnosticText(0x02, 0x52, Bytes{0x1A, 0x00, 0xFF, 0x0B, 0xFB, 0xFF, 0xFF, 0xFF, 0x99}), "9  1A 0 FF B -5");
  EXPECT_EQ(DiagnosticText(0x0A, 0x11, Bytes(3)), "3 ");
  EXPECT_EQ(DiagnosticText(0x0A, 0x1B, Bytes(300)), "300 ");
  Bytes mon(21);
  for (std::size_t i = 0; i < mon.size(); ++i) mon[i] = static_cast<std::uint8_t>(i * 12);
  EXPECT_EQ(DiagnosticText(0x0A, 0x1E, mon), "  0 C 18 24 30 3C 48 54 60 6C 78 84 90 9C A8 B4 C0 CC D8 E4 F0");
  // Too short for the bytes the caption shows: ignored.
  EXPECT_FALSE(DiagnosticText(0x02, 0x52, Bytes(7)));
  EXPECT_FALSE(DiagnosticText(0x0A, 0x1E, Bytes(20)));
}

// The height is written from its whole millimetres: a value ending in 5 mm rounds away from zero,
// as a decimal pattern does, never down through the binary error of height / 1000.
TEST(Decoders, PositionTextRoundsHeightsFromWholeMillimetres) {
  auto position = [](std::int32_t lat, std::int32_t lon, std::int32_t height, const ui::NumberFormat& f) {
    return PositionText(NavPvt{.lon = lon, .lat = lat, .height = height}, f);
  };
  EXPECT_EQ(position(1, -1, -26255, ui::NumberFormat::comma()), "Position: 0,0000001, -0,0000001, -26,26");
  EXPECT_EQ(position(0, 0, -4, ui::NumberFormat::point()), "Position: 0.0000000, 0.0000000, 0.00");
  EXPECT_EQ(position(-2147483647 - 1, 2147483647, -2147483647 - 1, ui::NumberFormat::point()),
            "Position: -214.7483648, 214.7483647, -2147483.65");
  for (std::int32_t mm = 0; mm < 100000; ++mm) {  // 26254 is 26.25, 26255 is 26.26
    const std::int32_t cm = (mm + 5) / 10;
    const std::string tail = std::to_string(cm / 100) + (cm % 100 < 10 ? ".0" : ".") + std::to_string(cm % 100);
    ASSERT_TRUE(position(0, 0, mm, ui::NumberFormat::point()).ends_with(" " + tail)) << mm;
  }
}

TEST(Decoders, EdgeValues) {
  EXPECT_EQ(BarFor({5, 0x0D, 0, 45})->color, ui::kBarGrey);  // used, but no signal
  EXPECT_FALSE(BarFor({32, 1, 30, 45}));
  EXPECT_FALSE(BarFor({5, 1, 30, -128}));
  EXPECT_EQ(LinkCoordinate(1), "0.0000001");  // never in exponent form
  EXPECT_EQ(LinkCoordinate(-2147483647 - 1), "-214.7483648");
  EXPECT_FALSE(ClockFromNavTimeUtc({.nano = 2147483647, .valid = 0x04}));
  EXPECT_FALSE(DriftWorthSending({30, 0xFFFFFFFFu}, 0));  // an accuracy this poor is no estimate
  EXPECT_TRUE(DriftWorthSending({-2147483647 - 1, 100}, 2147483647));
  EXPECT_EQ(core::encodeDrift(core::clampDrift(-9000)), (std::array<std::uint8_t, 2>{0xB4, 0xE2}));
}

}  // namespace
}  // namespace tamrik::gps
