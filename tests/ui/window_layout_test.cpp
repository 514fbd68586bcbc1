#include <gtest/gtest.h>

#include <set>

#include "ui/advanced_toggle.h"
#include "ui/main_window_controls.h"
#include "ui/satellite_chart.h"
#include "ui/window_model.h"

namespace tamrik::ui {
namespace {

struct Expected {
  const char* name;
  ControlKind kind;
  const char* container;
  const char* text;
  int left, top, width, height, tab;
};

// The designed layout, control by control.
const Expected kLayout[] = {
    {"Frame1", ControlKind::Frame, "", "Hardware details", 120, 120, 4455, 1935, 7},
    {"Frame3", ControlKind::Frame, "", "Settings", 120, 2160, 4455, 2115, 16},
    {"Frame4", ControlKind::Frame, "", "Status", 120, 4365, 4455, 1950, 51},
    {"Frame2", ControlKind::Frame, "", "Advanced", 4800, 120, 4455, 6195, 24},
    {"SetSN", ControlKind::Button, "", "Set S/N", 2400, 8040, 1815, 375, 47},
    {"WriteRegister", ControlKind::Button, "", "Register write", 1800, 12600, 1815, 315, 21},
    {"REG", ControlKind::TextBox, "", "", 120, 12600, 730, 330, 19},
    {"DATA", ControlKind::TextBox, "", "", 960, 12600, 730, 330, 20},
    {"Label5", ControlKind::Label, "Frame1", "Device name", 130, 360, 1215, 285, 10},
    {"lblProduct", ControlKind::Label, "Frame1", "", 1680, 360, 3300, 330, 13},
    {"lblManuf", ControlKind::Label, "Frame1", "", 1680, 720, 3300, 330, 12},
    {"lblVersion", ControlKind::Label, "Frame1", "", 1680, 1080, 3300, 330, 14},
    {"Label3", ControlKind::Label, "Frame1", "Serial number", 130, 1440, 1455, 285, 8},
    {"SerNo", ControlKind::ComboBox, "Frame1", "", 1680, 1395, 2475, 360, 4},
    {"Out1Freq", ControlKind::TextBox, "Frame3", "", 240, 405, 1800, 360, 0},
    {"Label1", ControlKind::Label, "Frame3", "Output, Hz", 2160, 450, 1335, 405, 17},
    {"FindFreq", ControlKind::Button, "Frame3", "Set frequency", 240, 900, 1800, 375, 1},
    {"Bar", ControlKind::PictureBox, "Frame3", "", 2355, 900, 1800, 375, 22},
    {"Label17", ControlKind::Label, "Bar", "Searching...", 0, 30, 1695, 375, 57},
    {"Factory", ControlKind::Button, "Frame3", "Factory defaults", 240, 1440, 1800, 375, 2},
    {"Advanced", ControlKind::Button, "Frame3", "Advanced  >>>", 2355, 1440, 1800, 375, 3},
    {"F3lbl", ControlKind::Label, "Frame3", "", 120, 8640, 2415, 315, 23},
    {"PicSat", ControlKind::PictureBox, "Frame4", "", 240, 360, 3912, 945, 53},
    {"LOS", ControlKind::Label, "Frame4", "No GPS signal", 480, 1440, 1500, 315, 56},
    {"LOL", ControlKind::Label, "Frame4", "No PLL lock", 2355, 1440, 1500, 315, 55},
    {"Enc1", ControlKind::ComboBox, "Frame2", "", 240, 400, 1335, 360, 5},
    {"OUT1EN", ControlKind::CheckBox, "Frame2", "Enable output", 240, 975, 1935, 315, 6},
    {"OUT1ID", ControlKind::Button, "Frame2", "Blink LED", 2730, 945, 1515, 360, 58},
    {"GPS", ControlKind::TextBox, "Frame2", "", 240, 1980, 1335, 360, 38},
    {"N31", ControlKind::TextBox, "Frame2", "", 240, 2385, 1335, 360, 39},
    {"NC2_LS", ControlKind::TextBox, "Frame2", "", 2880, 2580, 1335, 315, 29},
    {"N2_HS", ControlKind::TextBox, "Frame2", "", 240, 2775, 1335, 360, 40},
    {"N2_LS", ControlKind::TextBox, "Frame2", "", 240, 3180, 1335, 360, 41},
    {"N1_HS", ControlKind::TextBox, "Frame2", "", 240, 3585, 1335, 360, 42},
    {"NC1_LS", ControlKind::TextBox, "Frame2", "", 240, 3975, 1335, 360, 43},
    {"BW", ControlKind::TextBox, "Frame2", "", 240, 4380, 1335, 360, 44},
    {"SetFreq", ControlKind::Button, "Frame2", "Update", 2700, 4365, 1500, 360, 45},
    {"Label12", ControlKind::Label, "Frame2", "GPS coordinates", 240, 5280, 3975, 255, 49},
    {"Label13", ControlKind::Label, "Frame2", "UTC time", 240, 5640, 3975, 255, 50},
    {"Label20", ControlKind::Label, "Frame2", "", 240, 8040, 2410, 320, 26},
    {"SN", ControlKind::TextBox, "", "Q00001", 360, 8040, 1695, 375, 48},
    {"Label14", ControlKind::Label, "", "", 0, 0, 1935, 315, 18},
    {"lblSerialNumber", ControlKind::Label, "Frame1", "", 1680, 360, 3300, 330, 15},
    {"Label4", ControlKind::Label, "Frame1", "Made by", 130, 720, 2055, 285, 9},
    {"Label2", ControlKind::Label, "Frame1", "Firmware version", 130, 1080, 1695, 285, 11},
    {"Progress", ControlKind::Shape, "Bar", "", 0, 0, 615, 350, -1},
    {"Label18", ControlKind::Label, "Frame4", "", 120, 8640, 2415, 315, 52},
    {"Label22", ControlKind::Label, "Frame2", "Output drive strength", 1680, 450, 1935, 300, 27},
    {"Label23", ControlKind::Label, "Frame2", "GPS reference, Hz", 1680, 2025, 2655, 300, 28},
    {"Label24", ControlKind::Label, "Frame2", "N31", 1680, 2430, 1935, 300, 34},
    {"Label7", ControlKind::Label, "Frame2", "N2_HS", 1680, 2835, 1935, 300, 33},
    {"Label8", ControlKind::Label, "Frame2", "N2_LS", 1680, 3225, 1935, 300, 32},
    {"Picture3", ControlKind::PictureBox, "Frame2", "", 3600, 3480, 435, 555, 46},
    {"Label9", ControlKind::Label, "Frame2", "N1_HS", 1680, 3630, 1935, 300, 31},
    {"Label10", ControlKind::Label, "Frame2", "NC1_LS", 1680, 4035, 1935, 300, 30},
    {"Label15", ControlKind::Label, "Frame2", "BW", 1680, 4425, 1935, 300, 35},
    {"Label16", ControlKind::Label, "Frame2", "", 1800, 4680, 2415, 255, 36},
    {"Fosclbl", ControlKind::Label, "Frame2", "", 1800, 4800, 2535, 315, 37},
    {"Label6", ControlKind::Label, "Frame2", "", 120, 8640, 2415, 315, 25},
};

TEST(MainWindowLayout, EveryControlHasItsKindContainerTextPositionAndTab) {
  const WindowModel m = WindowModel::mainWindow();
  for (const auto& e : kLayout) {
    SCOPED_TRACE(e.name);
    ASSERT_TRUE(m.has(e.name));
    const Control& c = m.at(e.name);
    EXPECT_EQ(c.kind, e.kind);
    EXPECT_EQ(c.container, e.container);
    EXPECT_EQ(c.text, e.text);
    EXPECT_EQ(c.left, e.left);
    EXPECT_EQ(c.top, e.top);
    EXPECT_EQ(c.width, e.width);
    EXPECT_EQ(c.height, e.height);
    EXPECT_EQ(c.tabIndex, e.tab);
  }
  EXPECT_EQ(m.window().caption, "Tamrik Configuration");
  // The lines and the chart templates.
  const Control& line4 = m.at("Line4");
  EXPECT_EQ(std::vector<int>({line4.x1, line4.y1, line4.x2, line4.y2}), std::vector<int>({240, 1590, 4200, 1590}));
  const Control& line1 = m.at("Line1");
  EXPECT_EQ(std::vector<int>({line1.x1, line1.y1, line1.x2, line1.y2}), std::vector<int>({240, 5100, 4200, 5100}));
  EXPECT_EQ(m.at("CNoLbl(0)").font.family, "Small Fonts");
  EXPECT_EQ(m.at("CNoLbl(0)").font.pointSize, 6);
  EXPECT_EQ(m.at("lblSerialNumber").font.family, "Arial");
  EXPECT_TRUE(m.at("lblSerialNumber").font.cyrillic);
  for (const char* name : {"Sat(0)", "CNoLine(0)", "CNoLbl(0)"}) EXPECT_EQ(m.at(name).container, "PicSat") << name;
}

// The control table the logic's handles come from is the layout: the same controls, of the same
// kinds, in the order of creation (the chart's array templates aside).
TEST(MainWindowLayout, TheControlTableIsTheLayout) {
  const WindowModel m = WindowModel::mainWindow();
  std::vector<std::string> laidOut;
  for (const std::string& name : m.order()) {
    if (name.find('(') == std::string::npos) laidOut.push_back(name);
  }
  ASSERT_EQ(laidOut.size(), std::size(kMainWindowTable));
  for (std::size_t i = 0; i < laidOut.size(); ++i) {
    EXPECT_EQ(laidOut[i], kMainWindowTable[i].name);
    EXPECT_EQ(m.at(laidOut[i]).kind, kMainWindowTable[i].kind) << laidOut[i];
  }
  WindowModel model = WindowModel::mainWindow();
  MainWindowControls c(model);
  c.OUT1EN.setChecked(true);
  EXPECT_TRUE(model.at("OUT1EN").checked);
  for (const ControlHandle* box : c.dividerBoxes) EXPECT_EQ(model.at(box->name()).kind, ControlKind::TextBox);
}

TEST(MainWindowLayout, TabIndicesAreUniqueAndContainersExist) {
  const WindowModel m = WindowModel::mainWindow();
  std::set<int> tabs;
  for (const auto& name : m.order()) {
    const Control& c = m.at(name);
    if (!c.container.empty()) {
      EXPECT_TRUE(m.has(c.container)) << name;
    }
    if (c.tabIndex >= 0) {
      EXPECT_TRUE(tabs.insert(c.tabIndex).second) << name << " repeats tab " << c.tabIndex;
    }
  }
}

TEST(MainWindowLayout, ServiceControlsLieOutOfSight) {
  const WindowModel m = WindowModel::mainWindow();
  // Below the 6375-twip client area, or below the visible height of their frame.
  for (const char* name : {"SN", "SetSN", "WriteRegister", "REG", "DATA"}) {
    EXPECT_GE(m.at(name).top, 6375) << name;
  }
  for (const char* name : {"F3lbl", "Label18", "Label20", "Label6"}) {
    const Control& c = m.at(name);
    EXPECT_GE(c.top, m.at(c.container).height) << name;
  }
  for (const char* name : {"Bar", "Picture3", "Label16", "Fosclbl"}) EXPECT_FALSE(m.at(name).visible) << name;
  EXPECT_FALSE(m.at("Timer").enabled);
  EXPECT_EQ(m.at("Timer").interval, 50);
}

TEST(MainWindowLayout, StatusColoursAndTooltips) {
  const WindowModel m = WindowModel::mainWindow();
  EXPECT_EQ(m.at("LOS").backColor, 0xC0FFC0u);
  EXPECT_EQ(m.at("LOL").backColor, 0x8080FFu);
  EXPECT_EQ(m.at("Sat(0)").fillColor, 0x808080u);
  EXPECT_EQ(m.at("CNoLine(0)").borderColor, 0xE0E0E0u);
  EXPECT_EQ(m.at("CNoLbl(0)").foreColor, 0x404040u);
  EXPECT_EQ(m.at("Label12").tooltip, "Click to open in Google maps");
  EXPECT_EQ(m.at("Label13").tooltip, "Click to set your local computer time from GPS");
  EXPECT_EQ(m.at("OUT1ID").tooltip, "Blink front LED of this unit");
  EXPECT_EQ(m.at("PicSat").tooltip, "Satellites signal to noise ratio, dB");
}

TEST(MainWindowLayout, EveryControlHasAnAccessibleNameAndBoxesTakeTheLabelBesideThem) {
  WindowModel m = WindowModel::mainWindow();
  buildSatelliteChart(m);
  for (const auto& name : m.order()) EXPECT_FALSE(m.at(name).accessibleName.empty()) << name;
  EXPECT_EQ(m.at("Sat(17)").accessibleName, "Satellite channel 17");

  // "Beside": a visible caption in the same container, on the box's left or right, whose height
  // spans the box's middle.
  auto labelBeside = [&](const Control& box) -> const Control* {
    const int middle = box.top + box.height / 2;
    for (const auto& name : m.order()) {
      const Control& l = m.at(name);
      if (l.kind != ControlKind::Label || !l.visible || l.text.empty() || l.container != box.container) continue;
      const bool side = l.left >= box.left + box.width || l.left + l.width <= box.left;
      if (side && l.top <= middle && middle <= l.top + l.height) return &l;
    }
    return nullptr;
  };
  std::set<std::string> labelled;
  for (const auto& name : m.order()) {
    const Control& c = m.at(name);
    if (c.kind != ControlKind::TextBox && c.kind != ControlKind::ComboBox) continue;
    if (const Control* label = labelBeside(c)) {
      EXPECT_EQ(c.accessibleName, label->text) << name;
      labelled.insert(name);
    }
  }
  EXPECT_EQ(labelled, (std::set<std::string>{"SerNo", "Out1Freq", "Enc1", "GPS", "N31", "N2_HS", "N2_LS", "N1_HS",
                                             "NC1_LS", "BW"}));
}

TEST(AdvancedToggle, NarrowsThenWidensThenNarrows) {
  WindowModel m = WindowModel::mainWindow();
  bool collapsed = false;
  toggleAdvanced(m, collapsed);
  EXPECT_TRUE(collapsed);
  EXPECT_EQ(m.window().widthTwips, 4770);
  EXPECT_EQ(m.at("Advanced").text, "Advanced  >>>");
  toggleAdvanced(m, collapsed);
  EXPECT_FALSE(collapsed);
  EXPECT_EQ(m.window().widthTwips, 9450);
  EXPECT_EQ(m.at("Advanced").text, "Advanced  <<<");
  toggleAdvanced(m, collapsed);
  EXPECT_EQ(m.window().widthTwips, 4770);
  EXPECT_EQ(m.window().heightTwips, 6750);  // the height never changes
}

TEST(WindowModel, NotifiesOnlyRealChangesAndGuardsIndices) {
  WindowModel m = WindowModel::mainWindow();
  std::vector<std::string> seen;
  m.setObserver([&](const std::string& n) { seen.push_back(n); });
  m.setText("Out1Freq", "123");
  m.setText("Out1Freq", "123");
  EXPECT_EQ(seen, std::vector<std::string>{"Out1Freq"});
  m.setSelected("Enc1", 2);  // no items: ignored
  EXPECT_EQ(m.at("Enc1").selected, -1);
  m.addItem("Enc1", "8mA");
  m.setSelected("Enc1", 0);
  EXPECT_EQ(m.selectedText("Enc1"), "8mA");
  m.setSelStart("Out1Freq", 999);
  EXPECT_EQ(m.at("Out1Freq").selStart, 3);
  EXPECT_THROW((void)m.at("NoSuchControl"), std::out_of_range);
}

TEST(WindowModel, ArrayElementsAreInvisibleCopiesOfTheTemplate) {
  WindowModel m = WindowModel::mainWindow();
  const Control& copy = m.loadArrayElement("Sat", 7);
  EXPECT_EQ(copy.name, "Sat(7)");
  EXPECT_EQ(copy.container, "PicSat");
  EXPECT_FALSE(copy.visible);
  EXPECT_EQ(copy.fillColor, 0x808080u);
  EXPECT_THROW(m.loadArrayElement("Sat", 7), std::invalid_argument);
}

}  // namespace
}  // namespace tamrik::ui
