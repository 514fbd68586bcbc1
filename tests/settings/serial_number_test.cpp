// Programming a serial number: the frame, the next serial prepared in SN, the unit closed for the
// poll to reconnect, and refusals of texts that cannot be programmed.
#include <gtest/gtest.h>

#include "gps/gps_monitor.h"
#include "tests/support/simulated_window.h"
#include "tests/synth_window/window_harness.h"

namespace tamrik::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

class SerialNumber : public ::testing::Test {
 protected:
  void SetUp() override {
    h.units.add(u"A00001");
    h.load();
  }
  void program(const std::string& sn) {
    h.type("SN", sn);
    h.frm.click("SetSN");
  }
  WindowHarness h;
};

TEST_F(SerialNumber, SendsSixCharactersAndClosesTheUnit) {
  h.model().setInterval("Timer", 10);
  program("Q00099");
  EXPECT_EQ(h.sent(), (std::vector<Bytes>{frame65(0x53, {0x4E, 0x51, 0x30, 0x30, 0x30, 0x39, 0x39})}));
  EXPECT_EQ(h.text("SN"), "Q00100");
  EXPECT_FALSE(h.state().link.Connected);
  EXPECT_FALSE(h.state().flags.SettingsLoaded);
  EXPECT_EQ(h.model().at("Timer").interval, 250);
  EXPECT_EQ(h.recorder.openHandles, 0);
  EXPECT_TRUE(h.toolkit.shown.empty());
}

TEST_F(SerialNumber, AdvancesTheNumberPartWithAtLeastFiveDigits) {
  const struct {
    const char* typed;
    Bytes sent;  // frame bytes 3 to 8
    const char* next;
  } cases[] = {
      {"Q99999", {'Q', '9', '9', '9', '9', '9'}, "Q100000"},
      {"Q100000", {'Q', '1', '0', '0', '0', '0'}, "Q10001"},  // only six characters count
      {"Z00000", {'Z', '0', '0', '0', '0', '0'}, "Z00001"},
      {"\xC3\x84" "00041", {0xC4, '0', '0', '0', '4', '1'}, "\xC3\x84" "00042"},  // Ä, one byte on the unit
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed);
    h.reconnect();
    h.recorder.clear();
    program(c.typed);
    Bytes payload{0x4E};
    payload.insert(payload.end(), c.sent.begin(), c.sent.end());
    EXPECT_EQ(h.sent(), (std::vector<Bytes>{frame65(0x53, payload)}));
    EXPECT_EQ(h.text("SN"), c.next);
  }
}

TEST_F(SerialNumber, AFailedSendStillAdvancesAndCloses) {
  ++h.units.units[0].generation;  // the unit's handles went stale: every request fails
  program("Q00007");
  EXPECT_EQ(h.recorder.featureReports.size(), 1u);
  EXPECT_EQ(h.text("SN"), "Q00008");
  EXPECT_FALSE(h.state().link.Connected);
  EXPECT_EQ(h.model().at("Timer").interval, 250);
}

TEST_F(SerialNumber, RefusesTextsThatCannotBeProgrammed) {
  for (const char* typed : {"", "Q0001", "Q12a45", "Q 0001", "Q-0001", " 00001", "\xE2\x82\xAC" "00001", "QQ0001"}) {
    SCOPED_TRACE(typed);
    h.toolkit.shown.clear();
    program(typed);
    ASSERT_EQ(h.toolkit.shown.size(), 1u);
    EXPECT_EQ(h.toolkit.shown[0].icon, platform::MessageIcon::Critical);
    EXPECT_EQ(h.text("SN"), typed);
    EXPECT_TRUE(h.state().link.Connected);
  }
  EXPECT_TRUE(h.sent().empty());
}

TEST_F(SerialNumber, NeedsAnOpenUnitButNotItsSettings) {
  h.state().flags.SettingsLoaded = false;
  program("Q00001");
  EXPECT_EQ(h.sentWith(0x53).size(), 1u);

  // No unit: nothing sent, SN kept.
  h.recorder.clear();
  program("Q00005");
  EXPECT_TRUE(h.sent().empty());
  EXPECT_EQ(h.text("SN"), "Q00005");
}

// Against a simulated unit: the unit re-enumerates under its new serial and the poll reconnects the
// window to it without any other action.
TEST(SerialNumberOnSimulatedUnit, WindowReconnectsUnderTheNewSerial) {
  SimulatedWindow w;
  const sim::UnitId unit = w.addUnit(u"SIM001");
  w.frm.Load();
  gps::GpsMonitor poller(w.state(), w.frm.deviceLink());
  auto tick = [&] {
    w.simClock.advance(std::chrono::milliseconds(w.control("Timer").interval));
    poller.PollInputReports();
  };
  for (int i = 0; i < 5; ++i) tick();
  ASSERT_EQ(w.model().selectedText("SerNo"), "SIM001");

  w.model().setText("SN", "Q00042");
  w.frm.click("SetSN");
  EXPECT_EQ(w.text("SN"), "Q00043");
  EXPECT_FALSE(w.state().link.Connected);

  for (int i = 0; i < 40 && !(w.state().link.Connected && w.state().flags.SettingsLoaded); ++i) tick();
  EXPECT_EQ(sim::lowBytes(w.units.unit(unit).serial), "Q00042");
  EXPECT_TRUE(w.state().link.Connected);
  EXPECT_TRUE(w.state().flags.SettingsLoaded);
  EXPECT_EQ(w.control("SerNo").items, (std::vector<std::string>{"Q00042"}));
  EXPECT_EQ(w.model().selectedText("SerNo"), "Q00042");
  EXPECT_EQ(w.text("GPS"), "2875000");  // read back from the unit
  EXPECT_GE(w.units.unit(unit).attachments, 2);

  // Commands reach the unit again.
  w.frm.click("OUT1ID");
  EXPECT_EQ(w.sent(2).size(), 1u);
}

}  // namespace
}  // namespace tamrik::testing
