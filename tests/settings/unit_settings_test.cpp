// Output enable, drive strength, LED blink and raw register write: the frames, and the gates that
// keep them from a unit that is absent, not read back yet or being listed.
#include <gtest/gtest.h>

#include "tests/synth_window/window_harness.h"

namespace tamrik::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class UnitSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    h.units.add(u"A00001");
    h.load();
  }
  void clickAll() {
    for (const char* c : {"OUT1EN", "Enc1", "OUT1ID", "WriteRegister"}) h.frm.click(c);
  }
  WindowHarness h;
};

TEST_F(UnitSettingsTest, ReadbackSendsNoneOfTheOutputCommands) {
  h.reconnect();
  for (std::uint8_t code : {1, 2, 3, 5}) EXPECT_TRUE(h.sentWith(code).empty()) << int(code);
}

TEST_F(UnitSettingsTest, OutputControlsSendTheirValue) {
  auto& m = h.model();
  m.setChecked("OUT1EN", true);
  h.frm.click("OUT1EN");
  m.setChecked("OUT1EN", false);
  h.frm.click("OUT1EN");
  m.setSelected("Enc1", 2);  // "24mA"
  h.frm.click("Enc1");
  m.setSelected("Enc1", 3);
  h.frm.click("Enc1");
  EXPECT_EQ(h.sent(), (std::vector<Bytes>{frame65(1, {3}), frame65(1, {0}), frame65(3, {2}), frame65(3, {3})}));
}

TEST_F(UnitSettingsTest, BlinkAlternatesAndStartsAfreshAfterEveryReadback) {
  for (int i = 0; i < 3; ++i) h.frm.click("OUT1ID");
  EXPECT_TRUE(h.state().flags.BlinkOn);
  h.reconnect();  // the last click started blinking; a readback forgets it
  h.frm.click("OUT1ID");
  EXPECT_EQ(h.sentWith(2), (std::vector<Bytes>{frame65(2, {1}), frame65(2, {0}), frame65(2, {1}), frame65(2, {1})}));
}

TEST_F(UnitSettingsTest, RegisterWriteSendsRegisterAndData) {
  const struct {
    const char *reg, *data;
    Bytes payload;
  } cases[] = {{"136", "64", {0x88, 0x40}}, {"0", "255", {0x00, 0xFF}}, {" 12.5 ", "3.5", {12, 4}}};
  for (const auto& c : cases) {
    h.recorder.clear();
    h.type("REG", c.reg);
    h.type("DATA", c.data);
    h.frm.click("WriteRegister");
    EXPECT_EQ(h.sent(), (std::vector<Bytes>{frame65(5, c.payload)})) << c.reg << "/" << c.data;
    EXPECT_EQ(h.text("REG"), c.reg);  // left as typed
  }
  EXPECT_TRUE(h.toolkit.shown.empty());
}

TEST_F(UnitSettingsTest, RegisterWriteRefusesWhatIsNotAByte) {
  const std::pair<const char*, const char*> refused[] = {
      {"", "1"}, {"abc", "1"}, {"256", "1"}, {"-1", "1"}, {"1", ""}, {"1", "0x10"}, {"1", "255.5"}, {"1", "300"}};
  for (const auto& [reg, data] : refused) {
    h.toolkit.shown.clear();
    h.type("REG", reg);
    h.type("DATA", data);
    h.frm.click("WriteRegister");
    ASSERT_EQ(h.toolkit.shown.size(), 1u) << reg << "/" << data;
    EXPECT_EQ(h.toolkit.shown[0].icon, platform::MessageIcon::Critical);
    EXPECT_NE(h.toolkit.shown[0].text.find("0 to 255"), std::string::npos);
  }
  EXPECT_TRUE(h.sent().empty());
}

TEST_F(UnitSettingsTest, GatesSendNothing) {
  h.type("REG", "1");
  h.type("DATA", "2");

  // Settings not read back (a readback in progress).
  h.state().flags.SettingsLoaded = false;
  clickAll();
  EXPECT_FALSE(h.state().flags.BlinkOn);
  h.state().flags.SettingsLoaded = true;

  // The unit list being rebuilt: only the drive strength waits for it.
  h.state().flags.ScanDone = false;
  h.frm.click("Enc1");
  EXPECT_TRUE(h.sent().empty());
  h.frm.click("OUT1EN");
  EXPECT_EQ(h.sent().size(), 1u);
  h.state().flags.ScanDone = true;
  h.recorder.clear();

  // No unit.
  h.units.unplug(0);
  h.reconnect();
  h.recorder.clear();
  clickAll();
  EXPECT_TRUE(h.sent().empty());
  EXPECT_FALSE(h.state().flags.BlinkOn);
  EXPECT_TRUE(h.toolkit.shown.empty());

  // A blink state is kept while a click is refused.
  h.units.units[0].attached = true;
  h.reconnect();
  h.frm.click("OUT1ID");
  h.state().flags.SettingsLoaded = false;
  h.frm.click("OUT1ID");
  EXPECT_TRUE(h.state().flags.BlinkOn);
}

}  // namespace
}  // namespace tamrik::testing
