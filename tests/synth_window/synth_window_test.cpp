// The frequency planner in the window, on simulated units: the Update action's frames, frequency
// requests and their endings, and searches whose window or unit changes while they yield.
#include <gtest/gtest.h>

#include <map>

#include "gps/gps_monitor.h"
#include "tests/support/simulated_window.h"

namespace tamrik::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Answer = platform::MessageAnswer;
using Texts = std::vector<std::string>;

const char* const kBoxes[] = {"GPS", "N31", "N2_HS", "N2_LS", "N1_HS", "NC1_LS", "NC2_LS", "BW"};
const char* const kLocked[] = {"SetFreq", "Out1Freq", "NC1_LS", "NC2_LS", "N1_HS", "Fosclbl", "N2_HS",
                               "N2_LS",   "N31",      "GPS",    "BW",     "Advanced", "Factory"};
const Texts kUnitSet = {"2875000", "3", "11", "480", "11", "46", "46", "9"};
// Command 4 with the unit's set: 2875000, 3, 11, 480, 11, 46, 46, BW 9.
const Bytes kUnitBlock = {0x78, 0xDE, 0x2B, 2, 0, 0, 7, 0xDF, 1, 0, 7, 0x2D, 0, 0, 0x2D, 0, 0, 0, 9};

Bytes command4(const Bytes& block) {
  Bytes f(65, 0);
  f[1] = 4;
  std::copy(block.begin(), block.end(), f.begin() + 2);
  return f;
}

struct Window : SimulatedWindow {
  explicit Window(ui::NumberFormat f = ui::NumberFormat::point()) : SimulatedWindow(std::move(f)) {
    unit = addUnit(u"A00001");
    frm.Load();
    recorder.clear();
    model().setObserver([this](const std::string& n) { barShown += n == "Bar" && control("Bar").visible; });
  }
  Texts boxes() {
    Texts t;
    for (const char* b : kBoxes) t.push_back(text(b));
    return t;
  }
  void type(const std::map<std::string, std::string>& texts) {
    for (const auto& [box, t] : texts) model().setText(box, t);
  }
  void request(const std::string& hz) {
    model().setText("Out1Freq", hz);
    frm.click("FindFreq");
  }
  // What every ending leaves.
  void expectIdle() {
    EXPECT_FALSE(state().flags.SearchRunning);
    EXPECT_EQ(text("FindFreq"), "Set frequency");
    EXPECT_TRUE(control("FindFreq").enabled);
    EXPECT_FALSE(control("Bar").visible);
    EXPECT_EQ(control("Progress").width, 0);
    for (const char* c : kLocked) EXPECT_TRUE(control(c).enabled) << c;
  }
  sim::UnitId unit;
  int barShown = 0;
};

TEST(UpdateAction, RepairsTheBoxesAndSendsTheSameFrameTwice) {
  const struct {
    std::map<std::string, std::string> typed, after;
    std::map<std::size_t, std::uint8_t> block;  // changes to the unit's block
    const char* out1Freq = "10000000";           // what the numbers sent make
  } cases[] = {
      {{}, {{"NC2_LS", "46"}}, {}},
      {{{"N31", "abc"}}, {{"N31", "3"}}, {}},
      {{{"GPS", "12000000"}}, {{"GPS", "10000000"}}, {{0, 0x80}, {1, 0x96}, {2, 0x98}}, "34782608.6956522"},
      {{{"N2_LS", "481"}}, {{"N2_LS", "480"}}, {}},
      // Fractions are rounded (halves to even) before the range and the even rule, and written back.
      {{{"N2_LS", "481.5"}}, {{"N2_LS", "482"}}, {{7, 0xE1}}, "10041666.6666667"},
      {{{"N2_LS", "2.6"}}, {{"N2_LS", "2"}}, {{7, 1}, {8, 0}}, "41666.6666666667"},
      {{{"NC1_LS", "47.5"}}, {{"NC1_LS", "48"}, {"NC2_LS", "48"}}, {{11, 0x2F}, {14, 0x2F}}, "9583333.33333333"},
      {{{"GPS", "2875000.5"}, {"N2_HS", "10.5"}, {"N1_HS", "10.5"}, {"BW", "9.4"}},
       {{"GPS", "2875000"}, {"N2_HS", "10"}, {"N1_HS", "10"}, {"BW", "9"}},
       {{6, 6}, {10, 6}}},
      // Beyond a double: the largest and the smallest values allowed.
      {{{"GPS", "1e400"}, {"N2_LS", "1e-400"}}, {{"GPS", "10000000"}, {"N2_LS", "2"}},
       {{0, 0x80}, {1, 0x96}, {2, 0x98}, {7, 1}, {8, 0}}, "144927.536231884"},
      {{{"NC1_LS", "47"}, {"NC2_LS", "9"}}, {{"NC1_LS", "47"}, {"NC2_LS", "46"}}, {{11, 0x2E}}, "9787234.04255319"},
      {{{"N2_HS", "11"}, {"N1_HS", "4"}}, {}, {{6, 7}, {10, 0}}, "27500000"},
      {{{"N2_HS", "12"}, {"N1_HS", "3"}, {"NC1_LS", "1"}}, {{"N2_HS", "11"}, {"N1_HS", "4"}, {"NC2_LS", "2"}},
       {{6, 7}, {10, 0}, {11, 0}, {14, 1}}, "1265000000"},
      {{{"NC1_LS", "0.6"}}, {{"NC1_LS", "1"}, {"NC2_LS", "2"}}, {{11, 0}, {14, 1}}, "460000000"},
  };
  Window w;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.typed.empty() ? "unit's set" : c.typed.begin()->first + "=" + c.typed.begin()->second);
    w.recorder.clear();
    for (std::size_t i = 0; i < kUnitSet.size(); ++i) w.model().setText(kBoxes[i], kUnitSet[i]);
    w.type(c.typed);
    w.frm.click("SetFreq");
    Bytes block = kUnitBlock;
    for (const auto& [at, v] : c.block) block[at] = v;
    EXPECT_EQ(w.sent(4), (std::vector<Bytes>{command4(block), command4(block)}));
    EXPECT_EQ(w.recorder.featureReports.size(), 2u);
    for (const auto& [box, t] : c.after) EXPECT_EQ(w.text(box), t) << box;
    EXPECT_EQ(w.text("Out1Freq"), c.out1Freq);
  }
  EXPECT_TRUE(w.toolkit.shown.empty());
}

TEST(UpdateAction, ShowsWhatWasSentAndRefusesWhatCannotBe) {
  Window w;
  w.model().setText("Out1Freq", "");
  w.frm.click("SetFreq");
  EXPECT_EQ(w.text("Out1Freq"), "10000000");
  EXPECT_EQ(w.text("F3lbl"), "F3 = 958333 Hz ");
  EXPECT_EQ(w.text("Fosclbl"), "Fosc = 5.06 GHz ");
  w.type({{"GPS", "465769"}, {"N31", "1"}, {"N2_LS", "1000"}});  // Fosc 5123459000 Hz: cut, not rounded
  w.frm.click("SetFreq");
  EXPECT_EQ(w.text("Fosclbl"), "Fosc = 5.1234 GHz ");

  // BW not a byte, NC1_LS below 1: a message, nothing repaired, nothing sent.
  for (const auto& [box, typed] : std::map<std::string, std::string>{{"BW", "256"}, {"NC1_LS", "0"}}) {
    w.recorder.clear();
    w.type({{box, typed}, {"N31", "abc"}});
    w.frm.click("SetFreq");
    EXPECT_TRUE(w.recorder.featureReports.empty());
    ASSERT_FALSE(w.toolkit.shown.empty());
    EXPECT_NE(w.toolkit.shown.back().text.find(box), std::string::npos);
    EXPECT_EQ(w.text("N31"), "abc");
    w.type({{box, box == "BW" ? "9" : "46"}});
  }
  // Settings not read back, or no unit: nothing at all.
  w.state().link.settingsRead(false);
  w.frm.click("SetFreq");
  w.units.unplug(w.unit);
  w.frm.click("SerNo");
  w.type({{"N31", "abc"}});
  w.frm.click("SetFreq");
  EXPECT_TRUE(w.recorder.featureReports.empty());
  EXPECT_EQ(w.text("N31"), "abc");
  EXPECT_EQ(w.toolkit.shown.size(), 2u);
}

TEST(UpdateAction, OscillatorOnAHundredKilohertzStepIsShownOnIt) {
  // 2875000 / 9 * 6 * 2196 is exactly 4.209 GHz; in binary floating point it lands just below.
  // The Update action and the readback of what the unit then holds both show the step.
  Window w;
  w.type({{"GPS", "2875000"}, {"N31", "9"}, {"N2_HS", "6"}, {"N2_LS", "2196"}});
  w.frm.click("SetFreq");
  EXPECT_EQ(w.text("F3lbl"), "F3 = 319444 Hz ");
  EXPECT_EQ(w.text("Fosclbl"), "Fosc = 4.209 GHz ");
  w.model().setText("Fosclbl", "");
  w.frm.deviceLink().ReadUnitSettings();
  EXPECT_EQ(w.text("N2_LS"), "2196");
  EXPECT_EQ(w.text("Fosclbl"), "Fosc = 4.209 GHz ");
}

TEST(UpdateAction, SettingsTheUnitDidNotTakeAreNotShownAsProgrammed) {
  {
    // The unit took the first frame and then stopped taking any: one frame is enough.
    Window w;
    w.recorder.observer = [&](const platform::testing::RecordingDeviceBackend::Call& call, const auto&) {
      if (call.kind == platform::testing::RecordingDeviceBackend::CallKind::SetFeature && call.detail == 4) {
        w.units.setFeatureReportLength(w.unit, 64);
      }
    };
    w.type({{"N2_LS", "500"}});
    w.frm.click("SetFreq");
    EXPECT_EQ(w.sent(4).size(), 2u);
    EXPECT_TRUE(w.toolkit.shown.empty());
    EXPECT_EQ(w.units.unit(w.unit).firmware.settings.n2Ls, 500);
    EXPECT_EQ(w.text("N2_LS"), "500");
  }
  Window w;
  // The unit now takes only 64-byte feature reports, so both frames fail; it still answers reads.
  w.units.setFeatureReportLength(w.unit, 64);
  w.type({{"N2_LS", "500"}});
  w.frm.click("SetFreq");
  EXPECT_EQ(w.sent(4).size(), 2u);
  ASSERT_EQ(w.toolkit.shown.size(), 1u);
  EXPECT_EQ(w.toolkit.shown[0].icon, platform::MessageIcon::Critical);
  EXPECT_EQ(w.toolkit.shown[0].title, "Update failed");
  EXPECT_EQ(w.toolkit.shown[0].text,
            "The unit did not take the new settings: sending them to it failed (sending a command: Invalid "
            "argument).\r\n\r\n"
            "The window shows the settings the unit holds.");
  EXPECT_EQ(w.boxes(), kUnitSet);
  EXPECT_EQ(w.text("Out1Freq"), "10000000");
  EXPECT_EQ(w.units.unit(w.unit).firmware.settings.n2Ls, 480);

  // A preset request ends the same way, once, and leaves the window idle.
  w.request("25000000");
  EXPECT_EQ(w.toolkit.shown.size(), 2u);
  EXPECT_EQ(w.boxes(), kUnitSet);
  w.expectIdle();

  // A unit gone without the window noticing yet: nothing can be read back either.
  w.units.unplug(w.unit);
  w.frm.click("SetFreq");
  ASSERT_EQ(w.toolkit.shown.size(), 3u);
  EXPECT_NE(w.toolkit.shown[2].text.find("could not be read back"), std::string::npos);
  EXPECT_EQ(w.text("GPS"), "");
  EXPECT_EQ(w.text("Out1Freq"), "");
}

TEST(FrequencyRequest, ExactAndPresetRequestsProgramTheUnit) {
  const struct {
    const char* hz;
    Texts boxes;
    const char* fosc;
  } cases[] = {
      {"12345678", {"131337", "1", "11", "4324", "11", "46", "46", "9"}, "Fosc = 6.2469 GHz "},
      {"1000000", {"184375", "1", "11", "3200", "11", "590", "590", "9"}, "Fosc = 6.49 GHz "},
      {"1234", {"115379", "1", "8", "7042", "11", "478856", "478856", "9"}, "Fosc = 6.4999 GHz "},
      {"10000000.0", {"97600", "1", "10", "6250", "5", "122", "122", "9"}, "Fosc = 6.1 GHz "},
  };
  Window w;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hz);
    w.recorder.clear();
    w.request(c.hz);
    EXPECT_EQ(w.boxes(), c.boxes);
    const auto frames = w.sent(4);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0], frames[1]);
    const auto& s = w.units.unit(w.unit).firmware.settings;
    EXPECT_EQ((Texts{std::to_string(s.gps), std::to_string(s.n31), std::to_string(s.n2Hs), std::to_string(s.n2Ls),
                     std::to_string(s.n1Hs), std::to_string(s.nc1Ls), std::to_string(s.nc2Ls), std::to_string(s.bw)}),
              c.boxes);
    EXPECT_EQ(w.text("F3lbl"), "F3 = " + c.boxes[0] + " Hz ");
    EXPECT_EQ(w.text("Fosclbl"), c.fosc);
    w.expectIdle();
  }
  EXPECT_EQ(w.barShown, 3);  // the preset was not searched
  EXPECT_TRUE(w.toolkit.shown.empty());

  // Enter in Out1Freq requests the typed frequency and leaves the focus there; other keys do nothing.
  w.model().setText("Out1Freq", "25000000");
  w.frm.keyPress("Out1Freq", '5');
  EXPECT_EQ(w.text("GPS"), "97600");
  w.model().setFocus("SerNo");
  w.frm.keyPress("Out1Freq", 13);
  EXPECT_EQ(w.boxes(), (Texts{"78125", "1", "10", "7040", "10", "22", "22", "9"}));
  EXPECT_EQ(w.model().focus(), "Out1Freq");
}

TEST(FrequencyRequest, ClosestFrequencyIsOfferedWithYesAndNo) {
  Window w;
  w.toolkit.answers = {Answer::No, Answer::Yes};
  w.request("777777777");
  EXPECT_EQ(w.boxes(), kUnitSet);  // declined: the unit's settings back
  EXPECT_TRUE(w.sent(4).empty());
  w.expectIdle();

  w.request("777777777");
  ASSERT_EQ(w.toolkit.shown.size(), 2u);
  const auto& box = w.toolkit.shown[1];
  EXPECT_EQ(box.icon, platform::MessageIcon::Information);
  EXPECT_EQ(box.buttons, platform::MessageButtons::YesNo);
  EXPECT_EQ(box.title, "Cannot set exact frequency");
  EXPECT_EQ(box.text,
            "777777777 Hz is not available\r\n\r\n777777776.25 Hz is closest, off by -0.75 Hz (0.964ppb)\r\n\r\n"
            "Set output to 777777776.25 Hz?");
  EXPECT_EQ(w.boxes(), (Texts{"112701", "1", "5", "11042", "4", "2", "2", "9"}));
  const Bytes block = {0x3D, 0xB8, 0x01, 0, 0, 0, 1, 0x21, 0x2B, 0, 0, 1, 0, 0, 1, 0, 0, 0, 9};
  EXPECT_EQ(w.sent(4), (std::vector<Bytes>{command4(block), command4(block)}));
  EXPECT_EQ(w.text("Out1Freq"), "777777776.25");
  w.expectIdle();
}

TEST(FrequencyRequest, TheDriftReportWaitsWhileTheQuestionIsOpen) {
  // The receiver keeps reporting its clock drift while the user reads the question; the report's
  // readback must neither replace the offer nor void the answer.
  Window w;
  w.toolkit.whileShown = [&] { w.runFor(std::chrono::seconds(10)); };
  w.toolkit.answers = {Answer::Yes};
  w.request("777777777");
  EXPECT_TRUE(w.sent(11).empty());
  EXPECT_EQ(w.boxes(), (Texts{"112701", "1", "5", "11042", "4", "2", "2", "9"}));
  const Bytes block = {0x3D, 0xB8, 0x01, 0, 0, 0, 1, 0x21, 0x2B, 0, 0, 1, 0, 0, 1, 0, 0, 0, 9};
  EXPECT_EQ(w.sent(4), (std::vector<Bytes>{command4(block), command4(block)}));
  w.expectIdle();
  w.runFor(std::chrono::seconds(2));
  EXPECT_EQ(w.sent(11).size(), 1u);  // sent with the first NAV-CLOCK after the answer
}

TEST(FrequencyRequest, TextsUseTheUsersDecimalSeparator) {
  Window w(ui::NumberFormat::comma());
  w.request("777.777.777");  // grouped the user's way and shown as typed
  w.request("812500001");
  w.request("364.2");  // not a number where the comma is the decimal separator
  ASSERT_EQ(w.toolkit.shown.size(), 3u);
  EXPECT_EQ(w.toolkit.shown[0].text,
            "777.777.777 Hz is not available\r\n\r\n777777776,25 Hz is closest, off by -0,75 Hz (0,964ppb)\r\n\r\n"
            "Set output to 777777776,25 Hz?");
  EXPECT_EQ(w.toolkit.shown[1].text, "Highest available frequency is 812,5 MHz");
  EXPECT_EQ(w.toolkit.shown[2].title, "Frequency not understood");
  EXPECT_EQ(w.text("Fosclbl"), "Fosc = 5,06 GHz ");
}

TEST(FrequencyRequest, RefusedRequestsChangeNothing) {
  Window w;
  const std::pair<const char*, const char*> refused[] = {
      {"364", "Lowest available frequency is 365 Hz"}, {"812500001", "Highest available frequency is 812.5 MHz"},
      {"", nullptr}, {"abc", nullptr}, {"12x", nullptr}, {"10000000 Hz", nullptr},
      // Beyond a double: refused as tamrikctl refuses them, not as texts that are no number.
      {"1e400", "Highest available frequency is 812.5 MHz"}, {"-1e400", "Lowest available frequency is 365 Hz"},
      {"1e-400", "Lowest available frequency is 365 Hz"}};
  for (const auto& [typed, message] : refused) {
    SCOPED_TRACE(typed);
    w.request(typed);
    ASSERT_FALSE(w.toolkit.shown.empty());
    EXPECT_EQ(w.toolkit.shown.back().icon, platform::MessageIcon::Critical);
    if (message) {
      EXPECT_EQ(w.toolkit.shown.back().text, message);
    }
    EXPECT_EQ(w.text("Out1Freq"), typed);
    EXPECT_EQ(w.boxes(), kUnitSet);
    EXPECT_FALSE(w.state().flags.SearchRunning);
    EXPECT_EQ(w.text("FindFreq"), "Set frequency");
  }
  EXPECT_TRUE(w.recorder.featureReports.empty());
  EXPECT_EQ(w.barShown, 0);

  // The bounds themselves are searched (cancelled here at the first step).
  w.toolkit.onProcessEvents = [&] { w.frm.click("FindFreq"); };
  for (const char* hz : {"364.2", "812500000"}) w.request(hz);
  EXPECT_EQ(w.barShown, 2);
  EXPECT_EQ(w.toolkit.shown.size(), std::size(refused));
}

TEST(FrequencyRequest, FactoryDefaults) {
  Window w;
  w.model().setSelected("Enc1", 1);
  w.model().setChecked("OUT1EN", false);
  w.frm.click("Factory");
  EXPECT_EQ(w.model().selectedText("Enc1"), "32mA");
  EXPECT_TRUE(w.control("OUT1EN").checked);
  EXPECT_EQ(w.text("Out1Freq"), "10000000");
  EXPECT_EQ(w.model().focus(), "Out1Freq");
  EXPECT_EQ(w.control("Out1Freq").selStart, 8);
  const Bytes block = {0x40, 0x7D, 0x01, 0, 0, 0, 6, 0x69, 0x18, 0, 1, 0x79, 0, 0, 0x79, 0, 0, 0, 9};
  Bytes drive(65, 0), output(65, 0);
  drive[1] = 3, drive[2] = 3, output[1] = 1, output[2] = 3;
  std::vector<Bytes> sent;
  for (const auto& r : w.recorder.featureReports) sent.push_back(r.bytes);
  EXPECT_EQ(sent, (std::vector<Bytes>{drive, output, command4(block), command4(block)}));
  w.expectIdle();
}

TEST(FrequencyRequest, CancelRestoresTheUnitsSettings) {
  Window w;
  w.toolkit.onProcessEvents = [&] {
    EXPECT_EQ(w.text("FindFreq"), "Cancel search");
    EXPECT_TRUE(w.control("Bar").visible);
    for (const char* c : kLocked) EXPECT_FALSE(w.control(c).enabled) << c;
    w.frm.click("FindFreq");
  };
  w.request("777777777");
  EXPECT_EQ(w.toolkit.eventRounds, 1);
  EXPECT_EQ(w.boxes(), kUnitSet);
  EXPECT_TRUE(w.sent(4).empty());
  EXPECT_TRUE(w.toolkit.shown.empty());
  w.expectIdle();
}

TEST(FrequencyRequest, NothingReachesAUnitThatChangedDuringTheSearch) {
  Window w;
  const sim::UnitId other = w.addUnit(u"B00002");
  gps::GpsMonitor poller(w.state(), w.frm.deviceLink());
  sim::UnitId open = w.unit;
  const std::pair<const char*, std::function<void()>> cases[] = {
      {"another unit chosen",
       [&] {
         w.model().setSelected("SerNo", 1);
         w.frm.click("SerNo");
       }},
      {"unit lost, the other one read back",
       [&] {
         w.units.unplug(open);
         poller.PollInputReports();
       }},
      {"unit lost, none left",
       [&] {
         w.units.unplug(w.unit);
         w.units.unplug(other);
         poller.PollInputReports();
       }},
      {"settings read back", [&] { w.frm.deviceLink().ReadUnitSettings(); }},
      {"window closed", [&] { w.frm.unload(); }},
  };
  for (const auto& [name, during] : cases) {
    SCOPED_TRACE(name);
    w.units.replug(w.unit);
    w.units.replug(other);
    w.frm.deviceLink().Scan_USB_devices();
    w.model().setSelected("SerNo", 0);
    w.frm.click("SerNo");
    open = *w.units.findBySerial(sim::toUtf16(w.model().selectedText("SerNo")));
    w.recorder.clear();
    w.toolkit.eventRounds = 0;
    w.toolkit.onProcessEvents = [&] {
      if (w.toolkit.eventRounds == 1) during();
    };
    w.toolkit.answers = {Answer::Yes};
    w.request("777777777");
    w.toolkit.onProcessEvents = nullptr;
    // No divider set and no offer; what a unit received came from its own readback.
    for (const auto& r : w.recorder.featureReports) EXPECT_TRUE(r.bytes[1] == 10 || r.bytes[1] == 8);
    EXPECT_TRUE(w.toolkit.shown.empty());
    EXPECT_FALSE(w.state().flags.SearchRunning);
    EXPECT_FALSE(w.control("Bar").visible);
    if (w.state().link.isOpen()) {
      EXPECT_EQ(w.boxes(), kUnitSet);
      w.expectIdle();
    } else if (!w.state().flags.Unloading) {
      EXPECT_EQ(w.text("GPS"), "");  // no unit: the window shows its absence
      EXPECT_FALSE(w.control("Frame3").enabled);
    }
  }
}

TEST(FrequencyRequest, ProgressBarOnlyGrowsAndEveryStepYields) {
  Window w;
  bool goOn = true;
  synth::SearchProgress progress(w.state(), [&] { return goOn; });
  w.model().setWidth("Bar", 28);
  w.model().setWidth("Progress", 0);
  std::vector<int> widths;
  w.toolkit.onProcessEvents = [&] { widths.push_back(w.control("Progress").width); };
  for (double fraction : {0.0, 0.125, 0.0625, 0.5, 0.25, 1.0}) EXPECT_TRUE(progress.progress(fraction));
  EXPECT_EQ(widths, (std::vector<int>{0, 4, 4, 14, 14, 28}));  // 28 * 0.125 = 3.5 goes to 4
  w.model().setWidth("Bar", 20);
  w.model().setWidth("Progress", 0);
  goOn = false;
  EXPECT_FALSE(progress.progress(0.125));
  EXPECT_EQ(w.control("Progress").width, 2);  // 2.5 goes to the even 2
}

}  // namespace
}  // namespace tamrik::testing
