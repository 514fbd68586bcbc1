// The Qt rendering of the window model, under Qt's offscreen platform: no display needed.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstdlib>

#include "app/frm_main.h"
#include "platform/host_kernel.h"
#include "platform/qt/qt_toolkit.h"
#include "platform/routing_device_backend.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_services.h"

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
struct RenderedWindow {
  QApplication& app = application();  // first: widgets need the application object
  platform::RoutingDeviceBackend noDevices{{}};
  platform::testing::RecordingClock clock;
  platform::testing::VirtualSleeper sleeper;
  platform::HostKernel kernel{noDevices, clock, std::ref(sleeper)};
  platform::testing::RecordingShell shell;
  platform::testing::HeadlessToolkit toolkit;
  platform::Platform platform{noDevices, noDevices, kernel, shell, toolkit};
  FrmMain frm{platform, ui::NumberFormat::point()};
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

}  // namespace
}  // namespace tamrik
