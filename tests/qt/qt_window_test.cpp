// The Qt rendering of the window model, under Qt's offscreen platform: no display needed.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTextDocumentFragment>
#include <cstdlib>

#include "app/frm_main.h"
#include "platform/host_kernel.h"
#include "platform/qt/qt_toolkit.h"
#include "platform/routing_device_backend.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_services.h"
#include "platform/sim/fault_schedule.h"
#include "tests/support/simulated_window.h"
#include "tests/support/window_without_units.h"

namespace tamrik {
namespace {

QApplication& application() {
  static int argc = 1;
  static char name[] = "qt_window_tests";
  static char* argv[] = {name, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Kept until the process ends: tearing Qt down from a static destructor crashes in Qt itself.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// A window with no unit attached, rendered by Qt.
struct RenderedWindow : testing::WindowWithoutUnits {
  QApplication& app = application();  // before the window: widgets need the application object
  platform::qt::QtWindow window{frm.model(), frm};

  RenderedWindow() { frm.Load(); }
  template <typename W>
  W* widget(const char* name) {
    return qobject_cast<W*>(window.widgetFor(name));
  }
};

TEST(QtWindow, OpensNarrowAndTheToggleResizesIt) {
  RenderedWindow w;
  const double tpp = w.frm.model().twipsPerPixelX();
  EXPECT_TRUE(w.window.isVisible());
  EXPECT_EQ(w.window.windowTitle(), "Tamrik Configuration");
  EXPECT_EQ(w.window.width(), static_cast<int>(std::lround((4770 - 30) / tpp)));
  EXPECT_EQ(w.widget<QPushButton>("Advanced")->text(), "Advanced  >>>");
  w.frm.click("Advanced");
  EXPECT_EQ(w.window.width(), static_cast<int>(std::lround((9450 - 30) / tpp)));
  EXPECT_EQ(w.widget<QPushButton>("Advanced")->text(), "Advanced  <<<");
}

TEST(QtWindow, ControlsSitWhereTheLayoutPutsThem) {
  RenderedWindow w;
  const auto& m = w.frm.model();
  const double tpp = m.twipsPerPixelX();
  for (const char* name : {"Frame1", "Frame3", "Out1Freq", "FindFreq", "LOS", "LOL", "GPS", "SetFreq", "Label13"}) {
    SCOPED_TRACE(name);
    const auto& c = m.at(name);
    QWidget* widget = w.window.widgetFor(name);
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget->x(), static_cast<int>(std::lround(c.left / tpp)));
    EXPECT_EQ(widget->y(), static_cast<int>(std::lround(c.top / tpp)));
    EXPECT_EQ(widget->width(), static_cast<int>(std::lround(c.width / tpp)));
    const auto* parent = c.container.empty() ? static_cast<QWidget*>(&w.window) : w.window.widgetFor(c.container);
    EXPECT_EQ(widget->parentWidget(), parent);
  }
  // The chart: bars and scale in PicSat's pixels, inside its 2-pixel border.
  EXPECT_EQ(w.window.widgetFor("Sat(3)")->x(), 8 * 3 + 1 + 2);
  EXPECT_EQ(w.window.widgetFor("Sat(3)")->height(), 2);
  EXPECT_FALSE(w.window.widgetFor("Bar")->isVisibleTo(&w.window));

  // A frame cuts its controls off at its border: the identity boxes, wider than "Hardware details"
  // leaves them, end inside its right border; a control well inside is not cut.
  const QWidget* frame = w.window.widgetFor("Frame1");
  for (const char* box : {"lblManuf", "lblProduct", "lblVersion"}) {
    SCOPED_TRACE(box);
    const QWidget* widget = w.window.widgetFor(box);
    ASSERT_GT(widget->geometry().right(), frame->width() - 3);
    EXPECT_EQ(widget->mask().boundingRect().translated(widget->pos()).right(), frame->width() - 3);
  }
  EXPECT_TRUE(w.window.widgetFor("SerNo")->mask().isEmpty());
}

TEST(QtWindow, TextsAreShownAsPlainTextNeverAsMarkup) {
  RenderedWindow w;
  w.frm.model().setText("lblManuf", " <b>Maker</b> &amp;");
  auto* label = w.widget<QLabel>("lblManuf");
  EXPECT_EQ(label->textFormat(), Qt::PlainText);
  EXPECT_EQ(label->text(), " <b>Maker</b> &amp;");
  w.frm.model().addItem("SerNo", "<i>SN</i>");
  w.frm.model().setSelected("SerNo", 0);
  EXPECT_EQ(w.widget<QComboBox>("SerNo")->currentText(), "<i>SN</i>");
  // Tooltips too: a short one as it is, a long one as rich text (to wrap) that shows its markup.
  EXPECT_EQ(w.window.widgetFor("Label12")->toolTip(), "Click to open in Google maps");
  const std::string longTip = "<b>since</b> " + std::string(80, 'x') + " & more";
  w.frm.model().setTooltip("LOS", longTip);
  EXPECT_EQ(QTextDocumentFragment::fromHtml(w.window.widgetFor("LOS")->toolTip()).toPlainText().toStdString(), longTip);
}

TEST(QtWindow, ModelChangesReachTheWidgets) {
  RenderedWindow w;
  auto& m = w.frm.model();
  m.setBackColor("LOS", 0x6060FF);
  EXPECT_EQ(w.widget<QLabel>("LOS")->palette().color(QPalette::Window), QColor(0xFF, 0x60, 0x60));
  m.setChecked("OUT1EN", true);
  EXPECT_TRUE(w.widget<QCheckBox>("OUT1EN")->isChecked());
  m.setVisible("Bar", true);
  EXPECT_TRUE(w.window.widgetFor("Bar")->isVisibleTo(&w.window));
  m.setEnabled("Timer", true);
  m.setInterval("Timer", 10);
}

TEST(QtWindow, TypingAndClicksReachTheModel) {
  RenderedWindow w;
  auto& m = w.frm.model();
  m.setEnabled("Frame3", true);  // no unit: the frame was disabled by start-up
  m.setEnabled("Out1Freq", true);
  auto* edit = w.widget<QLineEdit>("Out1Freq");
  QTest::keyClicks(edit, "12345");
  EXPECT_EQ(m.at("Out1Freq").text, "12345");
  EXPECT_EQ(m.at("Out1Freq").selStart, 5);
  // A change from the logic does not come back as an edit, and keeps the caret where it is told.
  m.setText("Out1Freq", "10000000");
  m.setSelStart("Out1Freq", 999);
  EXPECT_EQ(edit->text(), "10000000");
  EXPECT_EQ(edit->cursorPosition(), 8);
}

TEST(QtWindow, EveryControlIsNamedForScreenReaders) {
  RenderedWindow w;
  auto& m = w.frm.model();
  m.setText("lblProduct", "Tamrik GPS Reference Clock");
  auto name = [&](const std::string& control) {
    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(w.window.widgetFor(control));
    return a ? a->text(QAccessible::Name) : QString();
  };
  for (const auto& control : m.order()) {
    if (w.window.widgetFor(control)) {
      EXPECT_FALSE(name(control).isEmpty()) << control;
    }
  }
  EXPECT_EQ(name("Out1Freq"), "Output, Hz");
  EXPECT_EQ(name("SerNo"), "Serial number");
  EXPECT_EQ(name("Label5"), "Device name");
  EXPECT_EQ(name("lblProduct"), "Device name: Tamrik GPS Reference Clock");  // a value is read with its meaning
  EXPECT_EQ(name("Sat(4)"), "Satellite channel 4");
  const auto description = QAccessible::queryAccessibleInterface(w.window.widgetFor("Label12"))->text(QAccessible::Description);
  EXPECT_EQ(description, "Click to open in Google maps");
}

TEST(QtWindow, CaptionsFitTheirBoxesAndNothingCoversThem) {
  RenderedWindow w;
  auto& m = w.frm.model();
  auto fits = [&](const std::string& control) {
    QWidget* widget = w.window.widgetFor(control);
    EXPECT_LE(widget->sizeHint().width(), widget->width()) << control << " clips \"" << m.at(control).text << "\"";
  };
  for (const auto& control : m.order()) {
    const auto& c = m.at(control);
    const bool captioned = c.kind == ui::ControlKind::Label || c.kind == ui::ControlKind::Button ||
                           c.kind == ui::ControlKind::CheckBox;
    if (captioned && !c.text.empty() && c.container != "PicSat") fits(control);
  }
  m.setText("FindFreq", "Cancel search");
  fits("FindFreq");
  w.frm.click("Advanced");
  fits("Advanced");

  // The empty label at the window's corner lies beneath the first frame and its caption.
  QWidget* frame = w.window.widgetFor("Frame1");
  EXPECT_EQ(w.window.childAt(frame->geometry().topLeft() + QPoint(12, 6)), frame);
}

// The controls Tab visits from the focused one until it comes back.
std::vector<std::string> tabCycle(RenderedWindow& w) {
  std::vector<std::string> visited;
  for (QWidget* f = w.window.focusWidget(); f && visited.size() < 80; f = w.window.focusWidget()) {
    if (!visited.empty() && visited.front() == f->objectName().toStdString()) break;
    visited.push_back(f->objectName().toStdString());
    QTest::keyClick(f, Qt::Key_Tab);
  }
  return visited;
}

// Tab follows the tab indices over the controls the user can see: none below the window, none in
// the Advanced frame while the window is narrow.
TEST(QtWindow, TabFollowsTheTabIndicesOverTheControlsInSight) {
  RenderedWindow w;
  w.window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w.window));
  QWidget* focused = QApplication::focusWidget();  // no unit: nothing in sight takes input
  EXPECT_TRUE(focused == nullptr || focused == &w.window) << (focused ? focused->objectName().toStdString() : "");

  auto& m = w.frm.model();
  for (const auto& control : m.order()) m.setEnabled(control, true);
  w.frm.click("Advanced");  // wide
  m.setFocus("Out1Freq");
  EXPECT_EQ(tabCycle(w), (std::vector<std::string>{"Out1Freq", "FindFreq", "Factory", "Advanced", "SerNo", "Enc1",
                                                   "OUT1EN", "NC2_LS", "GPS", "N31", "N2_HS", "N2_LS", "N1_HS",
                                                   "NC1_LS", "BW", "SetFreq", "OUT1ID"}));
  w.window.widgetFor("BW")->setFocus();
  w.frm.click("Advanced");  // narrow: the focus moves on from the box now out of sight
  EXPECT_EQ(tabCycle(w), (std::vector<std::string>{"Out1Freq", "FindFreq", "Factory", "Advanced", "SerNo"}));
}

TEST(QtWindow, ChartScaleNumbersStandClearOfTheirLines) {
  RenderedWindow w;
  QWidget* chart = w.window.widgetFor("PicSat");
  const QImage image = chart->grab().toImage();
  const QRect number = w.window.widgetFor("CNoLbl(2)")->geometry();  // "30", centred on its line
  const QColor lineColour(0xE0, 0xE0, 0xE0);
  const int lineY = number.top() + 4;
  EXPECT_EQ(image.pixelColor(number.left() - 3, lineY), lineColour);  // the line runs up to the number
  for (int x = number.left(); x < std::min(number.right(), image.width() - 3); ++x) {
    EXPECT_NE(image.pixelColor(x, lineY), lineColour) << "line through the number at x=" << x;
  }
}


// A night on a simulated unit, in virtual time from 22:00 UTC, rendered by Qt: the fault schedule
// loses the GPS signal, unlocks the PLL, flickers the signal between two reports, stalls the
// reports, unplugs the unit and brings it back, and the status lights' tooltips follow it, with
// the durations running on while nothing happens.
struct RenderedNight : testing::SimulatedWindow {
  static sim::UtcTime evening() { return sim::UtcTime{std::chrono::sys_days{std::chrono::March / 7 / 2025} + std::chrono::hours(22)}; }

  QApplication& app = application();
  platform::qt::QtWindow window{frm.model(), frm};
  std::vector<std::string> heard;  // the events as a listener of the record is told them

  RenderedNight() : SimulatedWindow(ui::NumberFormat::point(), evening()) {
    addUnit(u"SIM001");
    const auto faults = sim::parseFaultSpec(
        "signal-loss:SIM001@4200000, signal:SIM001@4241000,"        // 23:10:00 for 41 s
        "pll-unlock:SIM001@9000000, pll-lock:SIM001@9120000,"       // 00:30:00, back from 00:32:00
        "signal-flicker:SIM001@11700000=2,"                         // 01:15:00, twice between reports
        "stall:SIM001@12600000, resume:SIM001@12630000,"            // 01:30:00 for 30 s
        "unplug:SIM001@14400000, replug:SIM001@18000000");          // 02:00:00 to 03:00:00
    EXPECT_EQ(faults.error, "");
    units.scheduleFaults(faults.events);
    state().health.subscribe([this](const window::WindowHealthEvent& e) { heard.push_back(std::string(core::healthEventName(e.event.kind))); });
    frm.Load();
    runFor(std::chrono::seconds(5));
  }

  // Lets the night run to h:m:s UTC (the next day before 22:00). The window's timer ticks through
  // the last minute; time jumps over what lies before it, so the test passes to each change of the
  // schedule shortly after it.
  void passTo(int h, int m, int s) {
    using namespace std::chrono;
    const auto target = evening() - hours(22) + hours(h < 22 ? h + 24 : h) + minutes(m) + seconds(s);
    const auto now = simClock.utcAt(simClock.now());
    if (target - now > 1min) simClock.advance(target - now - 1min);
    runFor(duration_cast<milliseconds>(target - simClock.utcAt(simClock.now())));
  }
  // The light's tooltip as Qt shows it (a long one as rich text, to wrap).
  std::string tip(const char* light) {
    const QString shown = window.widgetFor(light)->toolTip();
    const std::string text = QTextDocumentFragment::fromHtml(shown).toPlainText().toStdString();
    EXPECT_EQ(text, model().at(light).tooltip);
    return text;
  }
};

TEST(QtWindow, TooltipsFollowAScriptedNight) {
  RenderedNight w;
  const std::string none = "no losses since the program started";
  const std::string gpsLoss = "1 loss since the program started, the last at 23:10:00 UTC for 41 s";
  const std::string flicker = "3 losses since the program started, the last shortly before 01:15:00 UTC";
  const std::string pllLoss = "1 loss since the program started, the last at 00:30:00 UTC for 2 min";
  // The PLL locks once the unit has started; the receiver finds the signal a few seconds later.
  w.passTo(22, 2, 0);
  EXPECT_EQ(w.tip("LOS"), "GPS signal OK since 22:00:05 UTC (1 min 54 s); " + none);
  EXPECT_EQ(w.tip("LOL"), "PLL locked since 22:00:00 UTC (1 min 59 s); " + none);

  w.passTo(23, 10, 1);
  EXPECT_EQ(w.tip("LOS"), "No GPS signal since 23:10:00 UTC (0 s); 1 loss since the program started, the last at 23:10:00 UTC");
  w.passTo(23, 10, 42);
  EXPECT_EQ(w.tip("LOS"), "GPS signal OK since 23:10:41 UTC (0 s); " + gpsLoss);
  w.passTo(23, 40, 0);
  EXPECT_EQ(w.tip("LOS"), "GPS signal OK since 23:10:41 UTC (29 min 18 s); " + gpsLoss);
  EXPECT_EQ(w.tip("LOL"), "PLL locked since 22:00:00 UTC (1 h 39 min); " + none);

  w.passTo(0, 30, 1);
  EXPECT_EQ(w.tip("LOL"), "No PLL lock since 00:30:00 UTC (0 s); 1 loss since the program started, the last at 00:30:00 UTC");
  w.passTo(0, 32, 1);
  w.passTo(1, 0, 0);
  EXPECT_EQ(w.tip("LOL"), "PLL locked since 00:32:00 UTC (27 min 59 s); " + pllLoss);

  // Two losses the flag never showed: only the unit's counter saw them.
  w.passTo(1, 15, 1);
  EXPECT_EQ(w.tip("LOS"), "GPS signal OK since 23:10:41 UTC (2 h 4 min); " + flicker);
  EXPECT_EQ(w.text("Label16"), "Signal loss count: 3");

  // Reports stop: the lights keep the last state, and the tooltips say that it is not the present.
  w.passTo(1, 30, 20);
  const std::string silent = "No report from the unit since 01:30:00 UTC (20 s); the lights show its last known state: ";
  EXPECT_EQ(w.tip("LOS"), silent + "GPS signal OK since 23:10:41 UTC (2 h 19 min); " + flicker);
  EXPECT_EQ(w.tip("LOL"), silent + "PLL locked since 00:32:00 UTC (57 min 59 s); " + pllLoss);
  w.passTo(1, 30, 31);
  EXPECT_EQ(w.tip("LOL"), "PLL locked since 00:32:00 UTC (58 min 30 s); " + pllLoss);

  // Unplugged: the lights keep their captions (LOL turns red), the tooltips tell since when the
  // unit is away, and that time runs on.
  w.passTo(2, 0, 1);
  const std::string away = "The unit has been away since 02:00:00 UTC (1 s); the lights show its last known state: ";
  EXPECT_EQ(w.tip("LOS"), away + "GPS signal OK since 23:10:41 UTC (2 h 49 min); " + flicker);
  EXPECT_EQ(w.tip("LOL"), away + "PLL locked since 00:32:00 UTC (1 h 27 min); " + pllLoss);
  EXPECT_EQ(w.text("LOS"), "GPS signal OK");
  EXPECT_EQ(w.text("LOL"), "PLL lock OK");
  EXPECT_EQ(w.control("LOL").backColor, 0x6060FFu);
  w.passTo(2, 59, 59);
  EXPECT_EQ(w.tip("LOL"), "The unit has been away since 02:00:00 UTC (59 min 58 s); the lights show its last known state: "
                          "PLL locked since 00:32:00 UTC (1 h 27 min); " + pllLoss);

  // Back after a power cycle: its count starts again, which is no loss; the PLL's start is none.
  w.passTo(3, 0, 1);
  EXPECT_EQ(w.tip("LOS"), "No GPS signal since at least 03:00:00 UTC (0 s); " + flicker);
  w.passTo(3, 0, 30);
  // The Satellites window's last hour marks the unit's events at their times: here those since 02:00:30.
  std::vector<std::string> marked;
  for (const core::SkyEvent& e : w.frm.gpsMonitor().Sky().history().events()) {
    EXPECT_GE(e.at, w.state().health.now() - std::chrono::hours(1));
    marked.push_back(std::string(core::healthEventName(e.kind)));
  }
  EXPECT_EQ(marked, (std::vector<std::string>{"unit_connected", "pll_lock_regained", "gps_signal_regained", "fix_regained"}));
  w.passTo(6, 0, 0);
  EXPECT_EQ(w.tip("LOS"), "GPS signal OK since 03:00:05 UTC (2 h 59 min); " + flicker);
  EXPECT_EQ(w.tip("LOL"), "PLL locked since 03:00:00 UTC (2 h 59 min); " + pllLoss);

  // The record's events, as a listener heard them and as the record keeps them.
  const std::vector<std::string> night = {
      "state", "pll_lock_regained", "gps_signal_regained", "fix_regained",                  // start-up
      "gps_signal_lost", "fix_lost", "gps_signal_regained", "fix_regained",                 // 23:10
      "pll_lock_lost", "pll_lock_regained", "gps_signal_losses_counted",                    // 00:30, 01:15
      "reports_stopped", "reports_resumed", "unit_disconnected", "unit_connected",          // 01:30, 02:00, 03:00
      "pll_lock_regained", "gps_signal_regained", "fix_regained"};
  EXPECT_EQ(w.heard, night);
  std::vector<std::string> kept;
  for (const window::WindowHealthEvent& e : w.state().health.events()) {
    EXPECT_EQ(e.serial, "SIM001");
    kept.push_back(std::string(core::healthEventName(e.event.kind)));
  }
  EXPECT_EQ(kept, night);
}

}  // namespace
}  // namespace tamrik
