// The unit settings commands on a simulated unit: output enable, drive strength, LED blink, raw
// register write and serial-number programming, their frames and their gates.
#include <gtest/gtest.h>

#include "gps/gps_monitor.h"
#include "tests/support/simulated_window.h"

namespace tamrik::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frame(std::uint8_t code, Bytes payload) {
  Bytes f(65, 0);
  f[1] = code;
  std::copy(payload.begin(), payload.end(), f.begin() + 2);
  return f;
}

struct Window : SimulatedWindow {
  Window() {
    unit = addUnit(u"A00001");
    frm.Load();
    recorder.clear();
  }
  std::vector<Bytes> all() const {
    std::vector<Bytes> out;
    for (const auto& r : recorder.featureReports) out.push_back(r.bytes);
    return out;
  }
  void click(const std::string& control, const std::string& boxText = {}, const std::string& box = {}) {
    if (!box.empty()) model().setText(box, boxText);
    frm.click(control);
  }
  sim::UnitId unit;
};

TEST(OutputControls, SendTheirValueAndBlinkStartsAfreshAfterAReadback) {
  Window w;
  w.model().setChecked("OUT1EN", false);
  w.click("OUT1EN");
  w.model().setChecked("OUT1EN", true);
  w.click("OUT1EN");
  w.model().setSelected("Enc1", 2);  // "24mA"
  w.click("Enc1");
  for (int i = 0; i < 3; ++i) w.click("OUT1ID");
  w.click("SerNo");  // reopens and reads back, which forgets the blinking
  w.click("OUT1ID");
  EXPECT_EQ(w.all(), (std::vector<Bytes>{frame(1, {0}), frame(1, {3}), frame(3, {2}), frame(2, {1}), frame(2, {0}),
                                         frame(2, {1}), frame(10, {4}), frame(8, {6, 1, 8, 0, 1, 0x30, 2}),
                                         frame(8, {6, 1, 8, 0, 1, 0x22, 2}), frame(8, {6, 1, 8, 0, 1, 0x07, 1}),
                                         frame(2, {1})}));
  EXPECT_TRUE(w.units.unit(w.unit).firmware.ledBlinking);
}

TEST(OutputControls, GatesSendNothing) {
  Window w;
  w.model().setText("REG", "1");
  w.model().setText("DATA", "2");
  w.state().flags.ScanDone = false;  // the unit list is being rebuilt: only the drive strength waits
  w.click("Enc1");
  EXPECT_TRUE(w.all().empty());
  w.state().flags.ScanDone = true;

  w.state().link.settingsRead(false);  // a readback in progress: only the serial number goes
  for (const char* c : {"OUT1EN", "Enc1", "OUT1ID", "WriteRegister"}) w.click(c);
  EXPECT_TRUE(w.all().empty());
  EXPECT_FALSE(w.state().flags.BlinkOn);

  // The same clicks once the settings are loaded do send: the gate, not the set-up, held them.
  w.state().link.settingsRead(true);
  for (const char* c : {"OUT1EN", "Enc1", "OUT1ID", "WriteRegister"}) w.click(c);
  EXPECT_EQ(w.all(), (std::vector<Bytes>{frame(1, {3}), frame(3, {3}), frame(2, {1}), frame(5, {1, 2})}));

  w.units.unplug(w.unit);
  w.click("SerNo");  // no unit any more
  w.recorder.clear();
  for (const char* c : {"OUT1EN", "Enc1", "OUT1ID", "WriteRegister", "SetSN"}) w.click(c);
  EXPECT_TRUE(w.all().empty());
  EXPECT_FALSE(w.state().flags.BlinkOn);
  EXPECT_EQ(w.text("SN"), "Q00001");
  EXPECT_TRUE(w.toolkit.shown.empty());
}

TEST(RegisterWrite, SendsBytesAndRefusesWhatIsNotOne) {
  Window w;
  for (const auto& [reg, data] : {std::pair{"136", "64"}, {"0", "255"}, {" 12.5", "3.5"}}) {
    w.model().setText("REG", reg);
    w.click("WriteRegister", data, "DATA");
  }
  EXPECT_EQ(w.all(), (std::vector<Bytes>{frame(5, {0x88, 0x40}), frame(5, {0, 0xFF}), frame(5, {12, 4})}));
  EXPECT_EQ(w.units.unit(w.unit).firmware.registers[136], 0x40);

  w.recorder.clear();
  for (const auto& [reg, data] : {std::pair{"", "1"}, {"abc", "1"}, {"256", "1"}, {"-1", "1"}, {"1", "255.5"}}) {
    w.model().setText("REG", reg);
    w.click("WriteRegister", data, "DATA");
    EXPECT_EQ(w.text("REG"), reg);
  }
  EXPECT_TRUE(w.all().empty());
  ASSERT_EQ(w.toolkit.shown.size(), 5u);
  EXPECT_EQ(w.toolkit.shown[0].icon, platform::MessageIcon::Critical);
  EXPECT_NE(w.toolkit.shown[4].text.find("DATA must be a whole number from 0 to 255"), std::string::npos);
}

TEST(SerialNumber, RefusesTextsThatCannotBeProgrammed) {
  Window w;
  for (const char* sn : {"", "Q0001", "Q12a45", "Q 0001", "Q-0001", " 00001", "\xE2\x82\xAC" "00001",
                         "Q0000\xC3\x84",  // six characters, the last a letter of two bytes
                         // Seven characters: a unit keeps six, so these would repeat Q00001 and Q10000.
                         "Q00001 ", "Q00001\xC3\x84", "Q000010", "Q100000"}) {
    w.click("SetSN", sn, "SN");
    EXPECT_EQ(w.text("SN"), sn);
  }
  EXPECT_TRUE(w.all().empty());
  ASSERT_EQ(w.toolkit.shown.size(), 12u);
  EXPECT_EQ(w.toolkit.shown[7].text,
            "Characters 2 to 6 of the serial number must be digits, for example Q00001. Nothing was sent to the unit.");
  EXPECT_EQ(w.toolkit.shown[8].text,
            "The serial number has more than six characters; it must have exactly six, for example Q00001. "
            "Nothing was sent to the unit.");
  EXPECT_EQ(w.toolkit.shown[11].text,
            "The number part of the serial number has run past 99999, and a unit keeps only six characters. "
            "Start a new series with another first character, for example R00001. Nothing was sent to the unit.");
  EXPECT_TRUE(w.state().link.isOpen());
}

// The unit takes the serial, re-enumerates under it, and the poll reconnects the window to it.
TEST(SerialNumber, ProgramsTheUnitWhichComesBackUnderTheNewSerial) {
  Window w;
  gps::GpsMonitor poller(w.state(), w.frm.deviceLink());
  auto reconnect = [&] {
    for (int i = 0; i < 40 && !w.state().link.settingsLoaded(); ++i) {
      w.simClock.advance(std::chrono::milliseconds(w.control("Timer").interval));
      poller.PollInputReports();
    }
  };
  w.model().setInterval("Timer", 10);
  w.state().link.settingsRead(false);  // not needed for this command
  w.click("SetSN", "Q00099", "SN");
  EXPECT_EQ(w.all(), (std::vector<Bytes>{frame(0x53, {0x4E, 0x51, 0x30, 0x30, 0x30, 0x39, 0x39})}));
  EXPECT_EQ(w.text("SN"), "Q00100");
  EXPECT_FALSE(w.state().link.isOpen());
  EXPECT_EQ(w.control("Timer").interval, 250);
  EXPECT_EQ(w.recorder.openHandles, 0);
  reconnect();
  EXPECT_TRUE(w.state().link.isOpen());
  EXPECT_EQ(w.control("SerNo").items, (std::vector<std::string>{"Q00099"}));
  EXPECT_EQ(w.text("GPS"), "2875000");

  // 99999 + 1 keeps six digits, and the next click refuses them rather than send Q10000 again.
  w.click("SetSN", "Q99999", "SN");
  EXPECT_EQ(w.text("SN"), "Q100000");
  reconnect();
  w.click("SetSN");
  EXPECT_EQ(w.text("SN"), "Q100000");
  ASSERT_EQ(w.toolkit.shown.size(), 1u);
  EXPECT_NE(w.toolkit.shown[0].text.find("run past 99999"), std::string::npos);
  EXPECT_TRUE(w.state().link.isOpen());
  w.click("SetSN", "\xC3\x84" "00041", "SN");  // Ä is one byte on the unit
  reconnect();
  EXPECT_EQ(w.text("SN"), "\xC3\x84" "00042");
  const auto sent = w.sent(0x53);
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(Bytes(sent[1].begin() + 3, sent[1].begin() + 9), (Bytes{'Q', '9', '9', '9', '9', '9'}));
  EXPECT_EQ(Bytes(sent[2].begin() + 3, sent[2].begin() + 9), (Bytes{0xC4, '0', '0', '0', '4', '1'}));
  EXPECT_EQ(w.model().selectedText("SerNo"), "\xC3\x84" "00041");
}

}  // namespace
}  // namespace tamrik::testing
