// Reading a unit's identity and settings back into the window.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "numbers/frequency.h"
#include "readback/settings_captions.h"
#include "tests/support/simulated_window.h"
#include "ui/satellite_chart.h"

namespace tamrik {
namespace {

using testing::SimulatedWindow;
using Kind = platform::testing::RecordingDeviceBackend::CallKind;

TEST(SettingsReadback, ShowsIdentityAndTheFactorySettings) {
  SimulatedWindow w;
  sim::UnitConfig config;
  config.manufacturer = u"<b>Tamrik</b> & Co";
  w.addUnit(u"SIM001", config);
  w.frm.Load();
  EXPECT_EQ(w.text("lblManuf"), " <b>Tamrik</b> & Co");  // shown as it came, as plain text
  EXPECT_EQ(w.text("lblProduct"), " Tamrik GPS Reference Clock");
  EXPECT_EQ(w.text("lblVersion"), " 1.20");
  EXPECT_EQ(w.text("GPS"), "2875000");
  EXPECT_EQ(w.text("N31"), "3");
  EXPECT_EQ(w.text("N2_HS"), "11");
  EXPECT_EQ(w.text("N2_LS"), "480");
  EXPECT_EQ(w.text("N1_HS"), "11");
  EXPECT_EQ(w.text("NC1_LS"), "46");
  EXPECT_EQ(w.text("NC2_LS"), "46");
  EXPECT_EQ(w.text("Out1Freq"), "10000000");
  EXPECT_EQ(w.text("F3lbl"), "F3 = 958333 Hz ");
  EXPECT_EQ(w.text("Fosclbl"), "Fosc = 5.06 GHz ");
  EXPECT_EQ(w.model().focus(), "Out1Freq");
  EXPECT_EQ(w.control("Out1Freq").selStart, 8);
  EXPECT_TRUE(w.control("OUT1EN").checked);
  EXPECT_EQ(w.model().selectedText("Enc1"), "32mA");
  EXPECT_EQ(w.control("Enc1").items, (std::vector<std::string>{"8mA", "16mA", "24mA", "32mA"}));
  for (const char* name : {"Enc1", "OUT1ID", "OUT1EN", "Out1Freq", "FindFreq", "SetFreq", "Advanced", "Frame3"}) {
    EXPECT_TRUE(w.control(name).enabled) << name;
  }
  EXPECT_TRUE(w.state().link.settingsLoaded());
}

// The readback's device traffic, step by step: identity strings on the overlapped handle, the
// query and both settings reads on the command handle, each after its own pause, then the three
// receiver rates. A unit before firmware 1.14 gets no query and no pause for it.
TEST(SettingsReadback, TalksToTheUnitInItsStepsOnTheRightHandles) {
  const std::vector<std::string> identity = {"pause 5", "manufacturer overlapped", "pause 5", "product overlapped",
                                             "pause 5", "serial overlapped", "pause 2"};
  const std::vector<std::string> settings = {"pause 5", "get command", "set 8 command", "set 8 command",
                                             "set 8 command"};
  const std::vector<std::string> query = {"set 10 command", "pause 2", "get command"};
  for (const std::uint16_t version : {std::uint16_t{0x0113}, std::uint16_t{0x0120}}) {
    SCOPED_TRACE(version);
    SimulatedWindow w;
    sim::UnitConfig config;
    config.firmwareVersion = version;
    w.addUnit(u"SIM001", config);
    w.frm.Load();
    // The unit's handles, as the opening made them: the one for commands, then the overlapped one
    // for the strings.
    std::vector<platform::DeviceHandle> opened;
    for (const auto& call : w.recorder.calls) {
      if (call.kind == Kind::Open && platform::isValidHandle(call.handle)) opened.push_back(call.handle);
      if (call.kind == Kind::Close) std::erase(opened, call.handle);
    }
    ASSERT_EQ(opened.size(), 2u);
    const platform::DeviceHandle commandHandle = opened[0], stringHandle = opened[1];
    w.recorder.clear();
    w.frm.deviceLink().ReadUnitSettings();

    const char* const kStrings[] = {"manufacturer", "product", "serial"};  // in HidString's order
    std::vector<std::string> log;
    for (const auto& call : w.recorder.calls) {
      const std::string on = call.handle == commandHandle  ? " command"
                             : call.handle == stringHandle ? " overlapped"
                                                           : " other";
      switch (call.kind) {
        case Kind::Pause: log.push_back("pause " + std::to_string(call.detail)); break;
        case Kind::String: log.push_back(kStrings[call.detail] + on); break;
        case Kind::SetFeature: log.push_back("set " + std::to_string(call.detail) + on); break;
        case Kind::GetFeature: log.push_back("get" + on); break;
        default: log.push_back("other call" + on); break;
      }
    }
    std::vector<std::string> expected = identity;
    if (version >= 0x0114) expected.insert(expected.end(), query.begin(), query.end());
    expected.insert(expected.end(), settings.begin(), settings.end());
    EXPECT_EQ(log, expected);
  }
}

// A unit whose manufacturer string cannot be read shows no version and gets the slow receiver
// rates, even with the firmware that would get the fast ones; the other texts still show.
TEST(SettingsReadback, AFailedManufacturerReadLeavesTheVersionUnknown) {
  SimulatedWindow w;
  sim::UnitConfig config;
  config.firmwareVersion = 0x0120;
  w.addUnit(u"SIM001", config);
  w.recorder.failingStrings.insert(platform::HidString::Manufacturer);
  w.frm.Load();
  EXPECT_EQ(w.text("lblManuf"), "");
  EXPECT_EQ(w.text("lblVersion"), "");
  EXPECT_EQ(w.text("lblProduct"), " Tamrik GPS Reference Clock");
  EXPECT_EQ(w.text("GPS"), "2875000");
  std::vector<std::uint8_t> rates;
  for (const auto& frame : w.sent(8)) rates.push_back(frame[8]);
  EXPECT_EQ(rates, (std::vector<std::uint8_t>{20, 20, 10}));
}

// Every readback stands all 32 bars as 2-pixel stubs in their places, whatever was drawn before.
TEST(SettingsReadback, StandsEveryBarAsAStub) {
  SimulatedWindow w;
  w.addUnit(u"SIM001");
  w.frm.Load();
  auto& m = w.model();
  for (int i = 0; i < ui::kSatelliteBars; ++i) {
    const std::string bar = ui::barName(i);
    m.setLeft(bar, 300 - i);
    m.setWidth(bar, 1);
    m.setVisible(bar, false);
    m.setHeight(bar, 40 + i);
    m.setTop(bar, 3);
  }
  w.frm.deviceLink().ReadUnitSettings();
  const int sh = m.scaleHeight("PicSat");
  for (int i = 0; i < ui::kSatelliteBars; ++i) {
    const auto& bar = w.control(ui::barName(i));
    EXPECT_EQ(std::tie(bar.left, bar.width, bar.visible, bar.height, bar.top),
              std::make_tuple(8 * i + 1, 7, true, 2, sh - 2))
        << i;
  }
}

TEST(SettingsReadback, NumbersFollowTheUsersDecimalSeparator) {
  SimulatedWindow w(ui::NumberFormat::comma());
  w.addUnit(u"SIM001");
  w.frm.Load();
  EXPECT_EQ(w.text("Fosclbl"), "Fosc = 5,06 GHz ");
  EXPECT_EQ(w.text("Out1Freq"), "10000000");
  // A fractional output frequency is written with a decimal comma.
  EXPECT_EQ(numbers::outputHzText({2875000, 3, 11, 480, 11, 47, 47, 9}, ","), "9787234,04255319");
  EXPECT_EQ(readback::foscCaption({51234567, 1, 100, 1, 4, 2, 2, 9}, ui::NumberFormat::point()), "Fosc = 5.1234 GHz ");
}

TEST(SettingsReadback, FirmwareDecidesTheQueryAndTheReceiverRates) {
  struct Case {
    std::uint16_t version;
    bool query;
    std::uint8_t svinfo, clock, pvt;
    const char* text;
  };
  const Case cases[] = {{0x0113, false, 20, 20, 10, " 1.13"},
                        {0x0114, true, 20, 20, 10, " 1.14"},
                        {0x0120, true, 2, 2, 1, " 1.20"},
                        {0x0121, true, 20, 20, 10, " 1.21"},
                        {0x010A, false, 20, 20, 10, " 1.A"},
                        {0x0105, false, 20, 20, 10, " 1.5"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    SimulatedWindow w;
    sim::UnitConfig config;
    config.firmwareVersion = c.version;
    w.addUnit(u"SIM001", config);
    w.frm.Load();
    EXPECT_EQ(w.text("lblVersion"), c.text);
    const auto queries = w.sent(10);
    ASSERT_EQ(queries.size(), c.query ? 1u : 0u);
    if (c.query) {
      EXPECT_EQ(queries[0][2], 4);
    }
    const auto rates = w.sent(8);
    ASSERT_EQ(rates.size(), 3u);
    EXPECT_EQ(rates[0][7], 0x30);
    EXPECT_EQ(rates[0][8], c.svinfo);
    EXPECT_EQ(rates[1][7], 0x22);
    EXPECT_EQ(rates[1][8], c.clock);
    EXPECT_EQ(rates[2][7], 0x07);
    EXPECT_EQ(rates[2][8], c.pvt);
    for (const auto& frame : rates) {
      EXPECT_EQ(frame.size(), 65u);
      EXPECT_TRUE(std::all_of(frame.begin() + 9, frame.end(), [](std::uint8_t b) { return b == 0; }));
    }
  }
}

TEST(SettingsReadback, NeverSendsTheOutputCommandsItsFillingTriggers) {
  SimulatedWindow w;
  w.addUnit(u"SIM001");
  w.frm.Load();
  for (std::uint8_t code : {1, 2, 3, 4, 5}) EXPECT_TRUE(w.sent(code).empty()) << int(code);
  EXPECT_FALSE(w.state().flags.BlinkOn);
}

TEST(SettingsReadback, WithoutAUnitClearsAndDisablesWithoutAnyDeviceCall) {
  SimulatedWindow w;
  w.frm.Load();
  w.model().setText("BW", "7");
  w.recorder.clear();
  w.frm.deviceLink().ReadUnitSettings();
  EXPECT_TRUE(w.recorder.calls.empty());
  EXPECT_EQ(w.text("BW"), "7");  // kept
  for (const char* name : {"Enc1", "OUT1ID", "OUT1EN", "Out1Freq", "FindFreq", "SetFreq", "Advanced", "Frame3"}) {
    EXPECT_FALSE(w.control(name).enabled) << name;
  }
  EXPECT_FALSE(w.state().link.settingsLoaded());
}

TEST(SettingsReadback, AnAnswerTooShortForTheSettingsIsAFailedRead) {
  // 21 bytes end just before BW; 22 carry every field.
  for (const int delivered : {21, 22}) {
    SCOPED_TRACE(delivered);
    SimulatedWindow w;
    sim::UnitConfig config;
    config.featureAnswerLength = delivered;
    w.addUnit(u"SIM001", config);
    w.model().setText("BW", "7");
    w.frm.Load();
    ASSERT_TRUE(w.state().link.isOpen());
    const bool good = delivered == 22;
    EXPECT_EQ(w.text("GPS"), good ? "2875000" : "");
    EXPECT_EQ(w.text("Out1Freq"), good ? "10000000" : "");
    EXPECT_EQ(w.text("BW"), good ? "9" : "7");  // a failed read leaves BW as it was
    EXPECT_EQ(w.control("OUT1EN").checked, good);
    EXPECT_TRUE(w.state().link.settingsLoaded());  // either way
  }
}

TEST(SettingsReadback, AfterADriftCommandWhatTheUserIsDoingStays) {
  SimulatedWindow w;
  w.addUnit(u"SIM001");
  w.frm.Load();
  w.frm.click("OUT1ID");  // the LED blinks
  // The user is typing a frequency and has changed a divider; the caret is in N2_LS.
  w.model().setText("Out1Freq", "1234");
  w.model().setText("N2_LS", "48");
  w.model().setFocus("N2_LS");
  w.model().setSelStart("N2_LS", 1);
  // Meanwhile the unit's N31 has changed.
  sim::DividerSet unit = w.units.unit(0).firmware.settings;
  unit.n31 = 2;
  std::vector<std::uint8_t> frame(65, 0);
  frame[1] = 4;
  std::ranges::copy(sim::encodeSettingsBlock(unit), frame.begin() + 2);
  const platform::DeviceHandle h = w.units.open(w.units.unit(0).path, platform::OpenMode::Plain);
  ASSERT_TRUE(w.units.setFeature(h, frame));
  w.units.close(h);

  for (int drift = 0; drift < 2; ++drift) {
    w.frm.gpsMonitor().SendReceiverClockDrift();
    EXPECT_EQ(w.text("Out1Freq"), "1234");
    EXPECT_EQ(w.text("N2_LS"), "48");
    EXPECT_EQ(w.text("N31"), "2");  // untouched boxes show the unit
    EXPECT_EQ(w.text("F3lbl"), "F3 = 1437500 Hz ");
    EXPECT_EQ(w.model().focus(), "N2_LS");
    EXPECT_EQ(w.control("N2_LS").selStart, 1);
    EXPECT_TRUE(w.state().flags.BlinkOn);
    EXPECT_TRUE(w.state().link.settingsLoaded());
  }
  EXPECT_EQ(w.sent(11).size(), 2u);

  // A drift readback that cannot read the unit shows that as any readback does, but for the boxes
  // the user changed: the identity text it could not get and the settings are gone.
  w.recorder.failingStrings.insert(platform::HidString::Manufacturer);
  w.units.setFeatureReportLength(0, 16);  // answers too short to hold the settings
  w.frm.gpsMonitor().SendReceiverClockDrift();
  EXPECT_EQ(w.text("lblManuf"), "");
  EXPECT_EQ(w.text("lblVersion"), "");
  EXPECT_EQ(w.text("N31"), "");
  EXPECT_FALSE(w.control("OUT1EN").checked);
  EXPECT_EQ(w.text("N2_LS"), "48");
  EXPECT_EQ(w.text("Out1Freq"), "1234");
  w.recorder.failingStrings.clear();
  w.units.setFeatureReportLength(0, 65);

  // Once another opening of a unit came between, a drift readback rewrites everything.
  w.state().link.close();
  w.frm.deviceLink().FindTheHid();
  w.frm.gpsMonitor().SendReceiverClockDrift();
  EXPECT_EQ(w.text("N2_LS"), "480");
  EXPECT_EQ(w.text("Out1Freq"), "15000000");
  EXPECT_EQ(w.model().focus(), "Out1Freq");
  EXPECT_FALSE(w.state().flags.BlinkOn);
}

TEST(SettingsReadback, AUnitWithAShortFeatureReportIsShownAsUnusableAndNeverCommanded) {
  SimulatedWindow w;
  sim::UnitConfig config;
  config.featureReportLength = 16;
  w.addUnit(u"SHORT", config);
  w.frm.Load();
  EXPECT_TRUE(w.state().link.isOpen());
  EXPECT_FALSE(w.state().link.settingsLoaded());
  EXPECT_NE(w.text("lblVersion").find("not usable"), std::string::npos);
  EXPECT_EQ(w.text("GPS"), "");
  EXPECT_FALSE(w.control("Out1Freq").enabled);
  EXPECT_EQ(w.recorder.count(Kind::GetFeature), 0u);
  EXPECT_TRUE(w.recorder.featureReports.empty());
  // Commands that only need a connection are refused as well.
  EXPECT_FALSE(w.state().link.unit().sendClockDrift(30));
  EXPECT_FALSE(w.state().link.unit().writeRegister(0, 0));
  EXPECT_TRUE(w.recorder.featureReports.empty());
}

}  // namespace
}  // namespace tamrik
