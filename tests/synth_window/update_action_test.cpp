// The Update action (SetFreq): clamping of the boxes, the settings block, the two command-4 frames
// and the display refresh.
#include <gtest/gtest.h>

#include "synth/window/settings_block.h"
#include "tests/synth_window/window_harness.h"

namespace tamrik::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Command 4 carrying the default set: 2875000, 3, 11, 480, 11, 46, 46, BW 9.
const Bytes kDefaultBlock = {0x78, 0xDE, 0x2B, 0x02, 0x00, 0x00, 0x07, 0xDF, 0x01, 0x00,
                             0x07, 0x2D, 0x00, 0x00, 0x2D, 0x00, 0x00, 0x00, 0x09};

TEST(SettingsBlock, EncodesEveryFieldLittleEndianWithItsOffset) {
  const auto block = synth::SettingsBlock({2875000, 3, 11, 480, 11, 46, 46, 9});
  ASSERT_TRUE(block);
  EXPECT_EQ(Bytes(block->begin(), block->end()), kDefaultBlock);

  // Halves go to the even neighbour; 24-bit fields keep their low 24 bits, 8-bit fields their low 8.
  const auto odd = synth::SettingsBlock({16777217.5, 2.5, 4, 3.5, 4 + 256, 1, 0, 254.5});
  ASSERT_TRUE(odd);
  EXPECT_EQ(Bytes(odd->begin(), odd->end()),
            (Bytes{0x02, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF,
                   0xFF, 0x00, 0xFE}));
}

TEST(SettingsBlock, RefusesWhatCannotBeEncoded) {
  EXPECT_FALSE(synth::SettingsBlock({2875000, 3, 11, 480, 11, 46, 46, 256}));
  EXPECT_FALSE(synth::SettingsBlock({2875000, 3, 11, 480, 11, 46, 46, 255.5}));
  EXPECT_FALSE(synth::SettingsBlock({2875000, 3, 11, 480, 11, 46, 46, -1}));
  EXPECT_FALSE(synth::SettingsBlock({3e9, 3, 11, 480, 11, 46, 46, 9}));
  EXPECT_TRUE(synth::SettingsBlock({2875000, 3, 11, 480, 11, 46, 46, 255.4}));
}

class UpdateAction : public ::testing::Test {
 protected:
  void SetUp() override {
    h.units.add(u"A00001");
    h.load();
  }
  void setBoxes(std::map<std::string, std::string> boxes) {
    for (const auto& [box, text] : boxes) h.type(box, text);
  }
  WindowHarness h;
};

struct UpdateCase {
  const char* name;
  std::map<std::string, std::string> typed;
  std::map<std::string, std::string> boxesAfter;
  std::map<std::size_t, std::uint8_t> blockChanges;  // block byte -> value, over the default block
};

TEST_F(UpdateAction, RepairsTheBoxesAndSendsTheSameFrameTwice) {
  const UpdateCase cases[] = {
      {"default set", {}, {{"NC2_LS", "46"}}, {}},
      {"letters in N31", {{"N31", "abc"}}, {{"N31", "3"}}, {}},
      {"empty N31", {{"N31", ""}}, {{"N31", "3"}}, {}},
      {"GPS above range", {{"GPS", "12000000"}}, {{"GPS", "10000000"}}, {{0, 0x80}, {1, 0x96}, {2, 0x98}}},
      {"GPS below range", {{"GPS", "0"}}, {{"GPS", "1"}}, {{0, 0x01}, {1, 0x00}, {2, 0x00}}},
      {"odd N2_LS", {{"N2_LS", "481"}}, {{"N2_LS", "480"}}, {}},
      {"N2_LS below range", {{"N2_LS", "1"}}, {{"N2_LS", "2"}}, {{7, 0x01}, {8, 0x00}, {9, 0x00}}},
      {"odd NC1_LS", {{"NC1_LS", "47"}, {"NC2_LS", "8"}}, {{"NC1_LS", "47"}, {"NC2_LS", "46"}}, {{11, 0x2E}}},
      {"NC1_LS 1 stays, NC2_LS goes to 2", {{"NC1_LS", "1"}}, {{"NC1_LS", "1"}, {"NC2_LS", "2"}},
       {{11, 0x00}, {14, 0x01}}},
      {"HS dividers 11 and 4", {{"N2_HS", "11"}, {"N1_HS", "4"}}, {{"N1_HS", "4"}}, {{6, 7}, {10, 0}}},
      {"HS dividers out of range", {{"N2_HS", "12"}, {"N1_HS", "3"}}, {{"N2_HS", "11"}, {"N1_HS", "4"}},
       {{6, 7}, {10, 0}}},
      {"N31 above range", {{"N31", "600000"}}, {{"N31", "524288"}}, {{3, 0xFF}, {4, 0xFF}, {5, 0x07}}},
  };
  for (const UpdateCase& c : cases) {
    SCOPED_TRACE(c.name);
    h.reconnect();  // back to the unit's default set
    h.recorder.clear();
    setBoxes(c.typed);
    h.frm.click("SetFreq");

    Bytes block = kDefaultBlock;
    for (const auto& [at, value] : c.blockChanges) block[at] = value;
    Bytes expected(65, 0);
    expected[1] = 4;
    std::copy(block.begin(), block.end(), expected.begin() + 2);
    ASSERT_EQ(h.sent().size(), 2u);
    EXPECT_EQ(h.sent()[0], expected);
    EXPECT_EQ(h.sent()[1], expected);
    for (const auto& [box, text] : c.boxesAfter) EXPECT_EQ(h.text(box), text) << box;
  }
}

TEST_F(UpdateAction, RefreshesTheDisplaysFromTheBoxes) {
  h.type("Out1Freq", "");
  h.frm.click("SetFreq");
  EXPECT_EQ(h.text("Out1Freq"), "10000000");
  EXPECT_EQ(h.text("F3lbl"), "F3 = 958333 Hz ");
  EXPECT_EQ(h.text("Fosclbl"), "Fosc = 5.06 GHz ");

  // 465768.799 * 11 * 1000 = 5123456789 Hz: cut, not rounded, to four decimals.
  setBoxes({{"GPS", "465768.799"}, {"N31", "1"}, {"N2_HS", "11"}, {"N2_LS", "1000"}});
  h.frm.click("SetFreq");
  EXPECT_EQ(h.text("Fosclbl"), "Fosc = 5.1234 GHz ");
}

TEST(UpdateActionLocale, WritesTheUsersDecimalSeparator) {
  WindowHarness h(ui::NumberFormat::comma());
  h.units.add(u"A00001");
  h.load();
  h.frm.click("SetFreq");
  EXPECT_EQ(h.text("Fosclbl"), "Fosc = 5,06 GHz ");
  // A box with a fraction written the user's way is read, made even and written back that way.
  h.type("N2_LS", "481,5");
  h.frm.click("SetFreq");
  EXPECT_EQ(h.text("N2_LS"), "481,5");  // 481.5 goes to 482, which is even: nothing to take off
  h.type("N2_LS", "480,5");
  h.frm.click("SetFreq");
  EXPECT_EQ(h.text("N2_LS"), "480,5");
  h.type("N2_LS", "482,7");
  h.frm.click("SetFreq");
  EXPECT_EQ(h.text("N2_LS"), "481,7");  // 482.7 goes to 483, odd: one less
}

TEST_F(UpdateAction, RefusesABandwidthOrOutputDividerItCannotSend) {
  const std::map<std::string, std::string> refused[] = {
      {{"BW", "abc"}}, {{"BW", ""}}, {{"BW", "256"}}, {{"BW", "-1"}}, {{"NC1_LS", "0"}}, {{"NC1_LS", "-4"}},
  };
  for (const auto& typed : refused) {
    SCOPED_TRACE(typed.begin()->first + "=" + typed.begin()->second);
    h.reconnect();
    h.recorder.clear();
    h.toolkit.shown.clear();
    setBoxes(typed);
    h.type("N31", "abc");
    h.type("NC2_LS", "7");
    h.frm.click("SetFreq");
    EXPECT_TRUE(h.sent().empty());
    ASSERT_EQ(h.toolkit.shown.size(), 1u);
    EXPECT_EQ(h.toolkit.shown[0].icon, platform::MessageIcon::Critical);
    EXPECT_NE(h.toolkit.shown[0].text.find(typed.begin()->first), std::string::npos);
    // Nothing changed: no box repaired, no copy into NC2_LS, no display refreshed.
    EXPECT_EQ(h.text("N31"), "abc");
    EXPECT_EQ(h.text("NC2_LS"), "7");
    EXPECT_EQ(h.text(typed.begin()->first), typed.begin()->second);
  }
}

TEST_F(UpdateAction, SendsNothingWithoutALoadedUnit) {
  h.type("N31", "abc");
  h.state().flags.SettingsLoaded = false;  // a readback in progress
  h.frm.click("SetFreq");
  EXPECT_TRUE(h.sent().empty());
  EXPECT_EQ(h.text("N31"), "abc");

  h.units.unplug(0);
  h.reconnect();
  h.type("N31", "abc");
  h.frm.click("SetFreq");
  EXPECT_TRUE(h.sent().empty());
  EXPECT_EQ(h.text("N31"), "abc");
  EXPECT_TRUE(h.toolkit.shown.empty());
}

}  // namespace
}  // namespace tamrik::testing
