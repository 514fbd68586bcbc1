// Frequency requests from the window: FindFreq, Enter in Out1Freq and Factory, the divider search
// with its progress bar and its endings, and what happens when the window or the unit changes while
// the search lets the window process events.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/synth_window/window_harness.h"

namespace tamrik::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

const char* const kSettingsControls[] = {"SetFreq", "Out1Freq", "NC1_LS", "NC2_LS", "N1_HS", "Fosclbl", "N2_HS",
                                         "N2_LS",   "N31",      "GPS",    "BW",     "Advanced", "Factory"};

struct Boxes {
  std::string gps, n31, n2hs, n2ls, n1hs, nc1, nc2, bw;
  friend bool operator==(const Boxes&, const Boxes&) = default;
  friend std::ostream& operator<<(std::ostream& os, const Boxes& b) {
    return os << b.gps << " " << b.n31 << " " << b.n2hs << " " << b.n2ls << " " << b.n1hs << " " << b.nc1 << " "
              << b.nc2 << " " << b.bw;
  }
};
const Boxes kUnitDefault{"2875000", "3", "11", "480", "11", "46", "46", "9"};

class FrequencyRequest : public ::testing::Test {
 protected:
  explicit FrequencyRequest(ui::NumberFormat format = ui::NumberFormat::point()) : h(std::move(format)) {}
  void SetUp() override {
    h.units.add(u"A00001");
    h.load();
    // Watch the progress bar and the panel while the search runs.
    h.model().setObserver([this](const std::string& name) {
      if (name == "Bar" && h.model().at("Bar").visible) ++barShown;
    });
  }
  Boxes boxes() {
    return {h.text("GPS"),  h.text("N31"),    h.text("N2_HS"),  h.text("N2_LS"),
            h.text("N1_HS"), h.text("NC1_LS"), h.text("NC2_LS"), h.text("BW")};
  }
  void request(const std::string& hz) {
    h.type("Out1Freq", hz);
    h.frm.click("FindFreq");
  }
  // The state every ending leaves (a refused text leaves the bar's width alone).
  void expectIdle(bool barEmptied = true) {
    const auto& m = h.model();
    EXPECT_FALSE(h.state().flags.SearchRunning);
    EXPECT_EQ(h.text("FindFreq"), "Set frequency");
    EXPECT_TRUE(m.at("FindFreq").enabled);
    EXPECT_FALSE(m.at("Bar").visible);
    if (barEmptied) {
      EXPECT_EQ(m.at("Progress").width, 0);
    }
    for (const char* c : kSettingsControls) EXPECT_TRUE(m.at(c).enabled) << c;
  }
  // Command 4 carrying the divider set shown in the boxes, twice.
  void expectProgrammed(const Bytes& block) {
    Bytes expected(65, 0);
    expected[1] = 4;
    std::copy(block.begin(), block.end(), expected.begin() + 2);
    EXPECT_EQ(h.sent(), (std::vector<Bytes>{expected, expected}));
  }

  WindowHarness h;
  int barShown = 0;
};

TEST_F(FrequencyRequest, ExactRequestsProgramTheFoundSet) {
  struct Case {
    const char* hz;
    Boxes boxes;
    Bytes block;
    const char* fosc;
  } cases[] = {
      {"12345678", {"131337", "1", "11", "4324", "11", "46", "46", "9"},
       {0x09, 0x01, 0x02, 0, 0, 0, 7, 0xE3, 0x10, 0, 7, 0x2D, 0, 0, 0x2D, 0, 0, 0, 9}, "Fosc = 6.2469 GHz "},
      {"1000000", {"184375", "1", "11", "3200", "11", "590", "590", "9"},
       {0x37, 0xD0, 0x02, 0, 0, 0, 7, 0x7F, 0x0C, 0, 7, 0x4D, 0x02, 0, 0x4D, 0x02, 0, 0, 9}, "Fosc = 6.49 GHz "},
      {"1234", {"115379", "1", "8", "7042", "11", "478856", "478856", "9"},
       {0xB3, 0xC2, 0x01, 0, 0, 0, 4, 0x81, 0x1B, 0, 7, 0x87, 0x4E, 0x07, 0x87, 0x4E, 0x07, 0, 9}, "Fosc = 6.4999 GHz "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.hz);
    h.recorder.clear();
    h.toolkit.eventRounds = 0;
    barShown = 0;
    request(c.hz);
    EXPECT_EQ(boxes(), c.boxes);
    expectProgrammed(c.block);
    EXPECT_EQ(h.text("Out1Freq"), c.hz);
    EXPECT_EQ(h.text("F3lbl"), "F3 = " + c.boxes.gps + " Hz ");
    EXPECT_EQ(h.text("Fosclbl"), c.fosc);
    EXPECT_TRUE(h.toolkit.shown.empty());
    EXPECT_EQ(barShown, 1);
    expectIdle();
    EXPECT_GE(h.toolkit.eventRounds, 1);  // the window stayed alive during the search
  }
}

TEST_F(FrequencyRequest, ProgressBarOnlyGrowsAndEveryStepYields) {
  bool goOn = true;
  synth::SearchProgress progress(h.state(), [&] { return goOn; });
  auto& m = h.model();
  m.setWidth("Bar", 28);
  m.setWidth("Progress", 0);
  std::vector<int> widths;
  h.toolkit.onProcessEvents = [&] { widths.push_back(m.at("Progress").width); };
  for (double fraction : {0.0, 0.125, 0.0625, 0.5, 0.25, 1.0}) EXPECT_TRUE(progress.progress(fraction));
  // 28 * 0.125 = 3.5 goes to 4; 28 * 0.0625 = 1.75 and 28 * 0.25 = 7 would shrink the bar.
  EXPECT_EQ(widths, (std::vector<int>{0, 4, 4, 14, 14, 28}));
  m.setWidth("Bar", 20);
  m.setWidth("Progress", 0);
  progress.progress(0.125);  // 2.5 goes to the even 2
  EXPECT_EQ(m.at("Progress").width, 2);
  goOn = false;
  EXPECT_FALSE(progress.progress(0.5));
  EXPECT_EQ(h.toolkit.eventRounds, 8);
}

TEST_F(FrequencyRequest, ClosestFrequencyIsOfferedAndProgrammedOnYes) {
  h.toolkit.answers.push_back(platform::MessageAnswer::Yes);
  request("777777777");
  ASSERT_EQ(h.toolkit.shown.size(), 1u);
  const auto& box = h.toolkit.shown[0];
  EXPECT_EQ(box.icon, platform::MessageIcon::Information);
  EXPECT_EQ(box.buttons, platform::MessageButtons::YesNo);
  EXPECT_EQ(box.title, "Cannot set exact frequency");
  EXPECT_EQ(box.text,
            "777777777 Hz is not available\r\n\r\n777777776.25 Hz is closest, off by -0.75 Hz (0.964ppb)\r\n\r\n"
            "Set output to 777777776.25 Hz?");
  EXPECT_EQ(boxes(), (Boxes{"112701", "1", "5", "11042", "4", "2", "2", "9"}));
  expectProgrammed({0x3D, 0xB8, 0x01, 0, 0, 0, 1, 0x21, 0x2B, 0, 0, 1, 0, 0, 1, 0, 0, 0, 9});
  EXPECT_EQ(h.text("Out1Freq"), "777777776.25");
  expectIdle();
}

TEST_F(FrequencyRequest, DecliningTheClosestFrequencyRestoresTheUnitsSettings) {
  h.toolkit.answers.push_back(platform::MessageAnswer::No);
  request("777777777");
  EXPECT_EQ(boxes(), kUnitDefault);
  EXPECT_TRUE(h.sentWith(4).empty());
  EXPECT_EQ(h.text("Out1Freq"), "10000000");
  expectIdle();
}

class FrequencyRequestComma : public FrequencyRequest {
 protected:
  FrequencyRequestComma() : FrequencyRequest(ui::NumberFormat::comma()) {}
};

TEST_F(FrequencyRequestComma, MessagesUseTheUsersDecimalSeparator) {
  request("777.777.777");  // grouped the user's way, shown as typed
  ASSERT_EQ(h.toolkit.shown.size(), 1u);
  EXPECT_EQ(h.toolkit.shown[0].text,
            "777.777.777 Hz is not available\r\n\r\n777777776,25 Hz is closest, off by -0,75 Hz (0,964ppb)\r\n\r\n"
            "Set output to 777777776,25 Hz?");

  request("812500001");
  ASSERT_EQ(h.toolkit.shown.size(), 2u);
  EXPECT_EQ(h.toolkit.shown[1].title, "Frequency too high");
  EXPECT_EQ(h.toolkit.shown[1].text, "Highest available frequency is 812,5 MHz");

  // "364.2" is not a number where the comma is the decimal separator.
  request("364.2");
  ASSERT_EQ(h.toolkit.shown.size(), 3u);
  EXPECT_EQ(h.toolkit.shown[2].title, "Frequency not understood");
  EXPECT_FALSE(h.state().flags.SearchRunning);
}

TEST_F(FrequencyRequest, RangeIsCheckedAfterThePresetsAndBoundsPass) {
  request("364");
  ASSERT_EQ(h.toolkit.shown.size(), 1u);
  EXPECT_EQ(h.toolkit.shown[0].icon, platform::MessageIcon::Critical);
  EXPECT_EQ(h.toolkit.shown[0].title, "Frequency too low");
  EXPECT_EQ(h.toolkit.shown[0].text, "Lowest available frequency is 365 Hz");
  request("812500001");
  ASSERT_EQ(h.toolkit.shown.size(), 2u);
  EXPECT_EQ(h.toolkit.shown[1].text, "Highest available frequency is 812.5 MHz");
  // Nothing changed, no search ran, and the next press starts a new request.
  EXPECT_EQ(boxes(), kUnitDefault);
  EXPECT_TRUE(h.sent().empty());
  EXPECT_EQ(barShown, 0);
  EXPECT_EQ(h.toolkit.eventRounds, 0);
  expectIdle();

  // Requests on the bounds are searched (cancelled here at the first step).
  for (const char* hz : {"364.2", "812500000"}) {
    SCOPED_TRACE(hz);
    h.toolkit.onProcessEvents = [&] { h.frm.click("FindFreq"); };
    const auto before = h.toolkit.shown.size();
    barShown = 0;
    request(hz);
    EXPECT_EQ(h.toolkit.shown.size(), before);
    EXPECT_EQ(barShown, 1);
    expectIdle();
  }
}

TEST_F(FrequencyRequest, TextThatIsNotAFrequencyIsRefusedBeforeAnythingChanges) {
  const int progressWidth = h.model().at("Progress").width;
  for (const char* typed : {"", "abc", "12x", "1 000", "10000000 Hz"}) {
    SCOPED_TRACE(typed);
    h.toolkit.shown.clear();
    request(typed);
    ASSERT_EQ(h.toolkit.shown.size(), 1u);
    EXPECT_EQ(h.toolkit.shown[0].icon, platform::MessageIcon::Critical);
    EXPECT_EQ(h.toolkit.shown[0].title, "Frequency not understood");
    EXPECT_EQ(h.text("Out1Freq"), typed);
    EXPECT_EQ(boxes(), kUnitDefault);
    EXPECT_TRUE(h.sent().empty());
    EXPECT_EQ(h.model().at("Progress").width, progressWidth);
    expectIdle(false);
  }
  EXPECT_EQ(barShown, 0);
}

TEST_F(FrequencyRequest, PresetsAreProgrammedWithoutASearch) {
  // Enter in Out1Freq: the preset goes to the unit and the focus stays in the box.
  h.model().setFocus("SerNo");
  h.type("Out1Freq", "25000000");
  h.frm.keyPress("Out1Freq", 13);
  EXPECT_EQ(boxes(), (Boxes{"78125", "1", "10", "7040", "10", "22", "22", "9"}));
  expectProgrammed({0x2D, 0x31, 0x01, 0, 0, 0, 6, 0x7F, 0x1B, 0, 6, 0x15, 0, 0, 0x15, 0, 0, 0, 9});
  EXPECT_EQ(h.model().focus(), "Out1Freq");
  EXPECT_EQ(barShown, 0);
  EXPECT_EQ(h.toolkit.eventRounds, 0);
  expectIdle();

  // Any other key does nothing.
  h.recorder.clear();
  h.type("Out1Freq", "26000000");
  h.frm.keyPress("Out1Freq", '5');
  EXPECT_TRUE(h.sent().empty());

  // 10000000.0 is the 10 MHz preset.
  request("10000000.0");
  EXPECT_EQ(boxes(), (Boxes{"97600", "1", "10", "6250", "5", "122", "122", "9"}));
  EXPECT_EQ(h.sentWith(4).size(), 2u);
}

TEST_F(FrequencyRequest, FactoryDefaultsRestoreDriveOutputAndTenMegahertz) {
  h.model().setSelected("Enc1", 1);
  h.model().setChecked("OUT1EN", false);
  h.frm.click("Factory");
  EXPECT_EQ(h.model().selectedText("Enc1"), "32mA");
  EXPECT_TRUE(h.model().at("OUT1EN").checked);
  EXPECT_EQ(h.text("Out1Freq"), "10000000");
  EXPECT_EQ(h.model().focus(), "Out1Freq");
  EXPECT_EQ(h.model().at("Out1Freq").selStart, 8);
  EXPECT_EQ(boxes(), (Boxes{"97600", "1", "10", "6250", "5", "122", "122", "9"}));
  // Drive strength, output on, then the 10 MHz set twice.
  const Bytes block = {0x40, 0x7D, 0x01, 0, 0, 0, 6, 0x69, 0x18, 0, 1, 0x79, 0, 0, 0x79, 0, 0, 0, 9};
  Bytes set(65, 0);
  set[1] = 4;
  std::copy(block.begin(), block.end(), set.begin() + 2);
  EXPECT_EQ(h.sent(), (std::vector<Bytes>{frame65(3, {3}), frame65(1, {3}), set, set}));
  expectIdle();
}

TEST_F(FrequencyRequest, CancelStopsTheSearchAndRestoresTheUnitsSettings) {
  int rounds = 0;
  h.toolkit.onProcessEvents = [&] {
    ++rounds;
    // While searching: locked controls, the Cancel caption, the panel shown.
    EXPECT_EQ(h.text("FindFreq"), "Cancel search");
    EXPECT_TRUE(h.model().at("FindFreq").enabled);
    EXPECT_TRUE(h.model().at("Bar").visible);
    EXPECT_TRUE(h.state().flags.SearchRunning);
    for (const char* c : kSettingsControls) EXPECT_FALSE(h.model().at(c).enabled) << c;
    EXPECT_EQ(h.text("GPS"), "");
    h.frm.click("FindFreq");
  };
  request("777777777");
  EXPECT_EQ(rounds, 1);
  EXPECT_EQ(boxes(), kUnitDefault);
  EXPECT_TRUE(h.sentWith(4).empty());
  EXPECT_TRUE(h.toolkit.shown.empty());
  expectIdle();
}

TEST_F(FrequencyRequest, ASearchNeverProgramsAUnitThatChangedUnderIt) {
  h.units.add(u"B00002");
  h.reconnect();  // lists both units and opens the one shown, B00002
  const auto otherUnit = [&] { return h.model().selectedText("SerNo") == "A00001" ? 1 : 0; };

  struct Case {
    const char* name;
    std::function<void()> during;
  } cases[] = {
      {"another unit chosen",
       [&] {
         h.model().setSelected("SerNo", otherUnit());
         h.frm.click("SerNo");
       }},
      {"unit lost and read back",
       [&] {
         h.frm.deviceLink().CloseUnit();
         h.reconnect();
       }},
      {"unit lost", [&] { h.frm.deviceLink().CloseUnit(); }},
      {"settings read back", [&] { h.frm.deviceLink().ReadUnitSettings(); }},
      {"window closed", [&] { h.frm.unload(); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    h.toolkit.onProcessEvents = nullptr;
    h.reconnect();
    h.recorder.clear();
    h.toolkit.onProcessEvents = [&] {
      if (h.toolkit.eventRounds == 1) c.during();
    };
    h.toolkit.eventRounds = 0;
    h.toolkit.answers.assign({platform::MessageAnswer::Yes});
    request("777777777");
    // Nothing programmed, no offer made; the readbacks of the new unit are all it was sent.
    EXPECT_TRUE(h.sentWith(4).empty());
    for (const auto& f : h.sent()) EXPECT_TRUE(f[1] == 10 || f[1] == 8) << int(f[1]);
    EXPECT_EQ(h.toolkit.shown.size(), 0u);
    EXPECT_FALSE(h.state().flags.SearchRunning);
    EXPECT_FALSE(h.model().at("Bar").visible);
    EXPECT_EQ(h.text("FindFreq"), "Set frequency");
    if (h.state().link.Connected) {
      EXPECT_EQ(boxes(), kUnitDefault);
      expectIdle();
    } else if (!h.state().flags.Unloading) {
      // No unit: the window shows its absence.
      EXPECT_EQ(h.text("GPS"), "");
      EXPECT_FALSE(h.model().at("SetFreq").enabled);
      EXPECT_FALSE(h.model().at("Frame3").enabled);
    }
  }
}

}  // namespace
}  // namespace tamrik::testing
