// Finding, listing, opening, switching and closing units, through simulated units.
#include <gtest/gtest.h>

#include "tests/support/simulated_window.h"

namespace tamrik {
namespace {

using testing::SimulatedWindow;
using Kind = platform::testing::RecordingDeviceBackend::CallKind;

std::vector<std::string> items(SimulatedWindow& w) { return w.control("SerNo").items; }

TEST(UnitDiscovery, NoUnitLeavesAnEmptyDisabledListAndNothingOpen) {
  SimulatedWindow w;
  w.units.addForeignDevice(0x046D, 0xC077);
  w.frm.Load();
  EXPECT_TRUE(items(w).empty());
  EXPECT_FALSE(w.control("SerNo").enabled);
  EXPECT_FALSE(w.state().link.isOpen());
  EXPECT_EQ(w.recorder.openHandles, 0);
  EXPECT_TRUE(w.recorder.featureReports.empty());
  EXPECT_TRUE(w.control("Timer").enabled);  // start-up still starts the poller
  EXPECT_EQ(w.control("Sat(31)").left, 249);
}

TEST(UnitDiscovery, OtherHidDevicesAreToldApartByTheListedIdsAndNeverOpened) {
  // Without a unit every tick scans and looks for one, 20 times a second.
  SimulatedWindow w;
  const auto keyboard = w.units.addForeignDevice(0x046D, 0xC077);
  const auto sibling = w.units.addForeignDevice(core::kVendorId, 0x2212);  // same maker
  w.frm.Load();
  w.runFor(std::chrono::seconds(1));
  // A unit is opened to read its serial for the list, then to be used with its two handles.
  const auto unit = w.addUnit(u"SIM001");
  w.runTicks(1);
  EXPECT_EQ(w.units.unit(unit).opens, 3);
  EXPECT_EQ(w.units.unit(keyboard).opens, 0);
  EXPECT_EQ(w.units.unit(sibling).opens, 0);
}

TEST(UnitDiscovery, OneUnitIsListedSelectedAndOpenedButTheListStaysDisabled) {
  SimulatedWindow w;
  w.addUnit(u"SIM001");
  w.frm.Load();
  EXPECT_EQ(items(w), std::vector<std::string>{"SIM001"});
  EXPECT_EQ(w.control("SerNo").selected, 0);
  EXPECT_FALSE(w.control("SerNo").enabled);
  EXPECT_TRUE(w.state().link.isOpen());
  EXPECT_EQ(w.recorder.openHandles, 2);  // the command handle and the overlapped one
}

TEST(UnitDiscovery, ThreeUnitsInEnumerationOrderTheLastOneOpened) {
  SimulatedWindow w;
  w.addUnit(u"A1");
  w.units.addForeignDevice(core::kVendorId, 0x2212);  // same maker, another product
  w.addUnit(u"B2");
  w.addUnit(u"C3");
  w.frm.Load();
  EXPECT_EQ(items(w), (std::vector<std::string>{"A1", "B2", "C3"}));
  EXPECT_EQ(w.control("SerNo").selected, 2);
  EXPECT_TRUE(w.control("SerNo").enabled);
  ASSERT_TRUE(w.state().link.isOpen());
  EXPECT_EQ(w.state().link.unit().openUnit().path, w.units.unit(3).path);
  // Every handle of the walk was closed again except the two of the chosen unit.
  EXPECT_EQ(w.recorder.openHandles, 2);
}

TEST(UnitDiscovery, UnitsThatCannotBeOpenedOrNamedAreLeftOut) {
  SimulatedWindow w;
  sim::UnitConfig locked;
  locked.exclusive = true;
  w.addUnit(u"LOCKED", locked);
  sim::UnitConfig nameless;
  nameless.serialReadable = false;
  w.addUnit(u"NONAME", nameless);
  w.addUnit(u"");             // a device without a serial number string
  w.addUnit(u"\u0100ABC");    // its first code unit's low byte is 0: the text is empty
  w.addUnit(u"GOOD");
  w.frm.Load();
  EXPECT_EQ(items(w), std::vector<std::string>{"GOOD"});
  EXPECT_EQ(w.recorder.openHandles, 2);

  // A unit without a serial text is never opened, not even when the list shows no text either.
  SimulatedWindow alone;
  alone.addUnit(u"");
  alone.frm.Load();
  EXPECT_FALSE(alone.state().link.isOpen());

  // With no unit to open, one that is there but held by another program is named as such.
  SimulatedWindow held;
  held.addUnit(u"LOCKED", locked);
  held.frm.Load();
  EXPECT_EQ(held.text("lblProduct"), " unit LOCKED is attached but busy: another program holds it (another program "
                                     "(simulated))");
  held.units.setExclusive(0, false);
  held.runFor(std::chrono::seconds(1));
  EXPECT_EQ(held.text("lblProduct"), " Tamrik GPS Reference Clock");
}

TEST(UnitDiscovery, SerialTextKeepsTheLowByteOfEachCodeUnit) {
  EXPECT_EQ(core::deviceText(u"ABC"), "ABC");
  EXPECT_EQ(core::deviceText(u"A\u0141C"), "AAC");         // U+0141 gives 0x41
  EXPECT_EQ(core::deviceText(u"AB\u0100CD"), "AB");        // low byte 0 ends the text
  EXPECT_EQ(core::deviceText(u"\u00E9t\u00E9"), "\xC3\xA9t\xC3\xA9");  // 8-bit characters
  EXPECT_EQ(core::deviceText(std::u16string(80, u'x')).size(), 50u);

  SimulatedWindow w;
  const auto id = w.addUnit(u"SIM001");
  w.units.useWideStrings(id);  // code units above 0xFF with the same low bytes
  w.frm.Load();
  EXPECT_EQ(items(w), std::vector<std::string>{"SIM001"});
  EXPECT_TRUE(w.state().link.isOpen());
}

TEST(UnitDiscovery, FillingTheListNeverActsAsAUnitChoice) {
  SimulatedWindow w;
  w.addUnit(u"A1");
  w.addUnit(u"B2");
  w.frm.Load();
  // Start-up scanned once and opened once: one walk each, and one readback (query and settings).
  EXPECT_EQ(w.recorder.count(Kind::Enumerate), 2u);
  EXPECT_EQ(w.recorder.count(Kind::GetFeature), 2u);
}

TEST(UnitChoice, SwitchingClosesReopensAndReadsBackWithTheTimerOffMeanwhile) {
  SimulatedWindow w;
  w.addUnit(u"A1");
  w.addUnit(u"B2");
  w.frm.Load();
  ASSERT_EQ(w.state().link.unit().openUnit().path, w.units.unit(1).path);

  std::vector<bool> timerStates;
  w.model().setObserver([&](const std::string& name) {
    if (name != "Timer") return;
    const bool enabled = w.control("Timer").enabled;
    if (timerStates.empty() || timerStates.back() != enabled) timerStates.push_back(enabled);
  });
  w.recorder.clear();
  w.model().setSelected("SerNo", 0);
  w.frm.click("SerNo");

  EXPECT_EQ(timerStates, (std::vector<bool>{false, true}));
  EXPECT_EQ(w.state().link.unit().openUnit().path, w.units.unit(0).path);
  EXPECT_TRUE(w.state().link.isOpen());
  EXPECT_FALSE(w.state().link.reconnectRequested());
  EXPECT_TRUE(w.state().link.settingsLoaded());
  EXPECT_EQ(w.control("Timer").interval, 250);
  EXPECT_EQ(w.units.unit(1).openHandles, 0);
  EXPECT_EQ(w.units.unit(0).openHandles, 2);
  EXPECT_EQ(w.recorder.count(Kind::GetFeature), 2u);
  // The list is not rebuilt by a choice.
  EXPECT_EQ(w.recorder.count(Kind::Enumerate), 1u);

  // Choosing the open unit again reopens it.
  w.recorder.clear();
  w.frm.click("SerNo");
  EXPECT_EQ(w.units.unit(0).openHandles, 2);
  EXPECT_EQ(w.recorder.count(Kind::Close), 2u);
  EXPECT_EQ(w.recorder.count(Kind::GetFeature), 2u);
}

TEST(UnitChoice, IgnoredWhileAScanIsInProgress) {
  SimulatedWindow w;
  w.addUnit(u"A1");
  w.frm.Load();
  w.state().flags.ScanDone = false;
  w.recorder.clear();
  w.frm.click("SerNo");
  EXPECT_TRUE(w.recorder.calls.empty());
}

TEST(Unload, SwitchesTheReceiverMessagesOffThenClosesBothHandles) {
  SimulatedWindow w;
  w.addUnit(u"A1");
  w.frm.Load();
  w.recorder.clear();
  w.frm.unload();

  const auto frames = w.sent(8);
  ASSERT_EQ(frames.size(), 3u);
  const std::uint8_t ids[] = {0x30, 0x22, 0x07};
  for (int i = 0; i < 3; ++i) {
    std::vector<std::uint8_t> expected(65, 0);
    const std::uint8_t head[] = {0x00, 0x08, 0x06, 0x01, 0x08, 0x00, 0x01, ids[i], 0x00};
    std::copy(std::begin(head), std::end(head), expected.begin());
    EXPECT_EQ(frames[static_cast<std::size_t>(i)], expected);
  }
  ASSERT_GE(w.recorder.calls.size(), 5u);
  EXPECT_EQ(w.recorder.calls[3].kind, Kind::Close);
  EXPECT_EQ(w.recorder.calls[4].kind, Kind::Close);
  EXPECT_EQ(w.recorder.openHandles, 0);
  EXPECT_FALSE(w.control("Timer").enabled);
  EXPECT_FALSE(w.state().flags.ScanDone);
}

TEST(Unload, SendsNothingWithoutLoadedSettings) {
  SimulatedWindow none;
  none.frm.Load();
  none.frm.unload();
  EXPECT_TRUE(none.recorder.featureReports.empty());

  SimulatedWindow w;
  w.addUnit(u"A1");
  w.frm.Load();
  w.state().link.settingsRead(false);
  w.recorder.clear();
  w.frm.unload();
  EXPECT_TRUE(w.recorder.featureReports.empty());
  EXPECT_EQ(w.recorder.openHandles, 0);
}

}  // namespace
}  // namespace tamrik
