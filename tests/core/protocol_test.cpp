// The unit's protocol as bytes: every command frame, the settings block against the simulated
// unit's own independent encoder and decoder, and the input reports.
#include <gtest/gtest.h>

#include <random>

#include "core/protocol.h"
#include "platform/sim/firmware_model.h"

namespace tamrik::core {
namespace {

using numbers::Dividers;

using Bytes = std::vector<std::uint8_t>;

// The first n bytes of a frame; the rest must be zeros.
Bytes head(const std::optional<Frame>& frame, std::size_t n) {
  EXPECT_TRUE(frame);
  if (!frame) return {};
  EXPECT_EQ(frame->size(), 65u);
  for (std::size_t i = n; i < frame->size(); ++i) EXPECT_EQ((*frame)[i], 0) << "byte " << i;
  return Bytes(frame->begin(), frame->begin() + static_cast<std::ptrdiff_t>(n));
}

TEST(CommandFrames, EachCommandsBytesAndTheShortestReportThatCarriesThem) {
  EXPECT_EQ(head(outputEnableFrame(true, 65), 3), (Bytes{0, 1, 3}));
  EXPECT_EQ(head(outputEnableFrame(false, 65), 3), (Bytes{0, 1, 0}));
  EXPECT_EQ(head(blinkFrame(true, 65), 3), (Bytes{0, 2, 1}));
  EXPECT_EQ(head(driveStrengthFrame(3, 65), 3), (Bytes{0, 3, 3}));
  EXPECT_EQ(head(registerWriteFrame(0x88, 0xFF, 65), 4), (Bytes{0, 5, 0x88, 0xFF}));
  EXPECT_EQ(head(queryFrame(kQueryVersion, 65), 3), (Bytes{0, 10, 4}));
  EXPECT_EQ(head(clockDriftFrame(clampDrift(-9000), 65), 4), (Bytes{0, 11, 0xB4, 0xE2}));
  EXPECT_EQ(head(clockDriftFrame(clampDrift(9000), 65), 4), (Bytes{0, 11, 0x4C, 0x1D}));
  EXPECT_EQ(head(receiverRateFrame(0x01, 0x30, 20, 65), 9), (Bytes{0, 8, 0x06, 0x01, 8, 0, 0x01, 0x30, 20}));
  const auto plan = planSerialNumber("Q00099").plan;
  ASSERT_TRUE(plan);
  EXPECT_EQ(plan->next, "Q00100");
  EXPECT_EQ(head(serialNumberFrame(*plan, 65), 9), (Bytes{0, 0x53, 'N', 'Q', '0', '0', '0', '9', '9'}));
  // Command 4 with the unit's factory set: 2875000, 3, 11, 480, 11, 46, 46, BW 9.
  EXPECT_EQ(head(settingsFrame(Dividers{2875000, 3, 11, 480, 11, 46, 46, 9}, 65), 21),
            (Bytes{0, 4, 0x78, 0xDE, 0x2B, 2, 0, 0, 7, 0xDF, 1, 0, 7, 0x2D, 0, 0, 0x2D, 0, 0, 0, 9}));

  // A feature report too short for the payload gets no frame at all.
  EXPECT_FALSE(outputEnableFrame(true, 2));
  EXPECT_TRUE(outputEnableFrame(true, 3));
  EXPECT_FALSE(registerWriteFrame(1, 2, 3));
  EXPECT_FALSE(receiverRateFrame(1, 7, 1, 13));
  EXPECT_TRUE(receiverRateFrame(1, 7, 1, 14));
  EXPECT_FALSE(settingsFrame(Dividers{2875000, 3, 11, 480, 11, 46, 46, 9}, 20));
  EXPECT_TRUE(settingsFrame(Dividers{2875000, 3, 11, 480, 11, 46, 46, 9}, 21));
  // A BW the block cannot carry.
  EXPECT_FALSE(settingsFrame(Dividers{2875000, 3, 11, 480, 11, 46, 46, 256}, 65));
  EXPECT_FALSE(settingsFrame(Dividers{2875000, 3, 11, 480, 11, 46, 46, -1}, 65));
}

TEST(SettingsReport, DecodesTheFieldsWithTheirOffsets) {
  std::vector<std::uint8_t> r(65, 0);
  const std::uint8_t bytes[] = {0x00, 0xFE, 0x09, 0x78, 0xDE, 0x2B, 0x02, 0x00, 0x00, 0x07, 0xDF,
                                0x01, 0x00, 0x07, 0x2D, 0x00, 0x00, 0x2D, 0x00, 0x00, 0xAA, 0x09};
  std::copy(std::begin(bytes), std::end(bytes), r.begin());
  const auto s = decodeSettingsReport(r);
  ASSERT_TRUE(s);
  EXPECT_FALSE(s->outputEnabled);  // only bit 0 of byte 1 counts
  EXPECT_EQ(s->driveIndex, 3);     // 9 is taken as 3
  EXPECT_EQ(s->dividers, (Dividers{2875000, 3, 11, 480, 11, 46, 46, 9}));
  EXPECT_FALSE(decodeSettingsReport(std::span(r).first(21)));
}

TEST(SettingsBlock, KeepsTheLowBitsOfEachFieldLessItsOffset) {
  const auto b = encodeSettingsBlock(Dividers{16777218, 3, 4, 3, 260, 1, 0, 254});
  ASSERT_TRUE(b);
  EXPECT_EQ(Bytes(b->begin(), b->end()), (Bytes{2, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0, 0xFE}));
  EXPECT_FALSE(encodeSettingsBlock(Dividers{1, 1, 4, 2, 4, 2, 2, 256}));
}

// The simulated unit keeps its own encoder and decoder of the settings block, written separately, as
// a second opinion: both must read and write every block the same way.
TEST(SettingsBlock, AgreesWithTheSimulatedUnitsOwnCodingInBothDirections) {
  auto simOf = [](const Dividers& d) {
    return sim::DividerSet{static_cast<std::uint32_t>(d.gps),   static_cast<std::uint32_t>(d.n31),
                           static_cast<std::uint32_t>(d.n2_hs), static_cast<std::uint32_t>(d.n2_ls),
                           static_cast<std::uint32_t>(d.n1_hs), static_cast<std::uint32_t>(d.nc1_ls),
                           static_cast<std::uint32_t>(d.nc2_ls), 0, static_cast<std::uint8_t>(d.bw)};
  };
  std::mt19937 random(13);
  for (int i = 0; i < 20000; ++i) {
    SettingsBlock block{};
    for (auto& b : block) b = static_cast<std::uint8_t>(random());
    block[17] = 0;  // reserved
    const Dividers ours = decodeSettingsBlock(block);
    const sim::DividerSet theirs = sim::decodeSettingsBlock(block);
    ASSERT_EQ(simOf(ours), theirs) << "block " << i;
    ASSERT_EQ(encodeSettingsBlock(ours), sim::encodeSettingsBlock(theirs)) << "block " << i;
    ASSERT_EQ(encodeSettingsBlock(ours), block);
  }
  // The settings report the simulated firmware answers reads as the set it holds.
  sim::FirmwareModel firmware(0x0120, std::chrono::milliseconds(250), std::chrono::milliseconds(400));
  const Dividers preset{98304, 1, 10, 5400, 9, 12, 12, 9};
  firmware.apply(*settingsFrame(preset, 65), {});
  firmware.apply(*driveStrengthFrame(1, 65), {});
  firmware.apply(*outputEnableFrame(false, 65), {});
  EXPECT_EQ(decodeSettingsReport(firmware.featureReport(65)), (SettingsReport{false, 1, preset}));
  EXPECT_FALSE(decodeSettingsReport(firmware.featureReport(21)));
}

TEST(InputReports, StatusAndTheReceiverBytesOfFlaggedWholeReports) {
  // Three 6-byte reports and 5 bytes of a fourth; the second is not flagged.
  const Bytes read{0, 9, 0x83, 1, 2, 3, 0, 9, 0x00, 4, 5, 6, 0, 9, 0x80, 7, 8, 9, 0, 9, 0x80, 10, 11};
  ASSERT_EQ(wholeReports(read.size(), 6), 3u);
  EXPECT_EQ(inputStatus(std::span(read).first(6)), (InputStatus{9, false, false}));
  EXPECT_EQ(inputStatus(std::span(read).subspan(12, 6)), (InputStatus{9, true, true}));
  EXPECT_FALSE(inputStatus(std::span(read).first(2)));
  Bytes fed;
  for (std::size_t j = 0; j < 3; ++j) {
    for (std::uint8_t b : receiverBytes(std::span(read).subspan(j * 6, 6))) fed.push_back(b);
  }
  EXPECT_EQ(fed, (Bytes{1, 2, 3, 7, 8, 9}));
  EXPECT_EQ(wholeReports(read.size(), 2), 0u);  // too short for the status bytes
  EXPECT_EQ(wholeReports(read.size(), 0), 0u);
}

TEST(UnitTexts, DeviceStringsFirmwareAndDriveStrengths) {
  // Low byte of each code unit, Latin-1 as UTF-8, up to a zero low byte, at most 50 characters.
  EXPECT_EQ(deviceText(u"A\u01E9\u0100B"), "A\xC3\xA9");
  EXPECT_EQ(deviceText(std::u16string(60, u'x')), std::string(50, 'x'));
  EXPECT_EQ(firmwareText(0x0120), "1.20");
  EXPECT_EQ(firmwareText(0x020A), "2.A");
  EXPECT_EQ(driveIndexOf("24mA"), 2);
  EXPECT_FALSE(driveIndexOf("24 mA"));
  EXPECT_EQ(navMessageRates(0x0120)[2], (MessageRate{0x01, 0x07, 1}));
  EXPECT_EQ(navMessageRates(std::nullopt)[0], (MessageRate{0x01, 0x30, 20}));
  EXPECT_EQ(navMessageRates(0x0119)[1], (MessageRate{0x01, 0x22, 20}));
}

}  // namespace
}  // namespace tamrik::core
