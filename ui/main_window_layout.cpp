// The design-time layout of the main window: every control with its container, caption, position
// (twips inside its container; pixels inside the satellite chart), colours, font, tab order and
// accessible name.
#include "ui/main_window_controls.h"
#include "ui/window_model.h"

#include <utility>

namespace tamrik::ui {

namespace {

constexpr std::uint32_t kStatusGreen = 0xC0FFC0;
constexpr std::uint32_t kLolDesignRed = 0x8080FF;

Control make(const char* name, ControlKind kind, const char* container, const char* text, int left, int top, int width,
             int height, int tab) {
  Control c;
  c.name = name;
  c.kind = kind;
  c.container = container;
  c.text = text;
  c.left = left;
  c.top = top;
  c.width = width;
  c.height = height;
  c.tabIndex = tab;
  return c;
}

Control identityLabel(const char* name, int top, int tab) {
  Control c = make(name, ControlKind::Label, names::Frame1, "", 1680, top, 3300, 330, tab);
  c.systemBackColor = SystemColor::WindowBackground;
  c.systemForeColor = SystemColor::WindowText;
  return c;
}

Control arial(Control c, bool cyrillic) {
  c.font = Font{"Arial", 9.75, cyrillic};
  return c;
}

Control hidden(Control c) {
  c.visible = false;
  return c;
}

Control line(const char* name, const char* container, int x1, int y1, int x2, int y2) {
  Control c = make(name, ControlKind::Line, container, "", 0, 0, 0, 0, -1);
  c.x1 = x1;
  c.y1 = y1;
  c.x2 = x2;
  c.y2 = y2;
  return c;
}

}  // namespace

WindowModel WindowModel::mainWindow() {
  using K = ControlKind;
  WindowModel m;
  m.window_.caption = "Tamrik Configuration";
  m.window_.widthTwips = 9450;   // the design width; start-up narrows it
  m.window_.heightTwips = 6750;  // 6375 of client area, the caption and the borders

  // Frames of the left column and the advanced column.
  m.add(make(names::Frame1, K::Frame, "", "Hardware details", 120, 120, 4455, 1935, 7));
  m.add(make(names::Frame3, K::Frame, "", "Settings", 120, 2160, 4455, 2115, 16));
  m.add(make(names::Frame4, K::Frame, "", "Status", 120, 4365, 4455, 1950, 51));
  m.add(make(names::Frame2, K::Frame, "", "Advanced", 4800, 120, 4455, 6195, 24));

  // Service controls, placed below the client area.
  m.add(make(names::SN, K::TextBox, "", "Q00001", 360, 8040, 1695, 375, 48));
  m.add(make(names::SetSN, K::Button, "", "Set S/N", 2400, 8040, 1815, 375, 47));
  m.add(make(names::WriteRegister, K::Button, "", "Register write", 1800, 12600, 1815, 315, 21));
  m.add(make(names::REG, K::TextBox, "", "", 120, 12600, 730, 330, 19));
  m.add(make(names::DATA, K::TextBox, "", "", 960, 12600, 730, 330, 20));
  m.add(make(names::Label14, K::Label, "", "", 0, 0, 1935, 315, 18));

  // "Hardware details". The empty serial-number label lies under the product label it overlaps.
  m.add(make(names::Label5, K::Label, names::Frame1, "Device name", 130, 360, 1215, 285, 10));
  m.add(arial(identityLabel(names::lblSerialNumber, 360, 15), true));
  m.add(identityLabel(names::lblProduct, 360, 13));
  m.add(make(names::Label4, K::Label, names::Frame1, "Made by", 130, 720, 2055, 285, 9));
  m.add(identityLabel(names::lblManuf, 720, 12));
  m.add(make(names::Label2, K::Label, names::Frame1, "Firmware version", 130, 1080, 1695, 285, 11));
  m.add(identityLabel(names::lblVersion, 1080, 14));
  m.add(make(names::Label3, K::Label, names::Frame1, "Serial number", 130, 1440, 1455, 285, 8));
  m.add(make(names::SerNo, K::ComboBox, names::Frame1, "", 1680, 1395, 2475, 360, 4));

  Control timer = make(names::Timer, K::Timer, "", "", 0, 0, 0, 0, -1);
  timer.enabled = false;
  timer.interval = 50;
  m.add(timer);

  // "Settings".
  m.add(make(names::Out1Freq, K::TextBox, names::Frame3, "", 240, 405, 1800, 360, 0));
  m.add(make(names::Label1, K::Label, names::Frame3, "Output, Hz", 2160, 450, 1335, 405, 17));
  m.add(make(names::FindFreq, K::Button, names::Frame3, "Set frequency", 240, 900, 1800, 375, 1));
  m.add(hidden(make(names::Bar, K::PictureBox, names::Frame3, "", 2355, 900, 1800, 375, 22)));
  Control progress = make(names::Progress, K::Shape, names::Bar, "", 0, 0, 615, 350, -1);
  progress.backColor = 0xC0C0C0;
  progress.fillColor = 0xC0C0C0;
  progress.borderColor = 0xC0C0C0;
  progress.solidFill = true;
  m.add(progress);
  m.add(make(names::Label17, K::Label, names::Bar, "Searching...", 0, 30, 1695, 375, 57));
  m.add(make(names::Factory, K::Button, names::Frame3, "Factory defaults", 240, 1440, 1800, 375, 2));
  m.add(make(names::Advanced, K::Button, names::Frame3, "Advanced  >>>", 2355, 1440, 1800, 375, 3));
  m.add(arial(make(names::F3lbl, K::Label, names::Frame3, "", 120, 8640, 2415, 315, 23), true));

  // "Status" with the satellite chart. Inside PicSat positions are pixels (15 twips each at design).
  Control picSat = make(names::PicSat, K::PictureBox, names::Frame4, "", 240, 360, 3912, 945, 53);
  picSat.tooltip = "Satellites signal to noise ratio, dB";
  picSat.pixelScale = true;
  picSat.backColor = 0xFFFFFF;
  m.add(picSat);
  Control sat = make("Sat(0)", K::Shape, names::PicSat, "", 8, 8, 4, 25, -1);
  sat.solidFill = true;
  sat.fillColor = 0x808080;
  sat.borderColor = 0x808080;
  m.add(sat);
  Control scaleLine = line("CNoLine(0)", names::PicSat, 0, 40, 256, 40);
  scaleLine.borderColor = 0xE0E0E0;
  m.add(scaleLine);
  Control scaleLabel = make("CNoLbl(0)", K::Label, names::PicSat, "20", 247, 8, 17, 8, 54);
  scaleLabel.font = Font{"Small Fonts", 6, false};
  scaleLabel.foreColor = 0x404040;
  m.add(scaleLabel);
  Control los = make(names::LOS, K::Label, names::Frame4, "No GPS signal", 480, 1440, 1500, 315, 56);
  los.backColor = kStatusGreen;
  los.foreColor = 0x000000;
  m.add(los);
  Control lol = make(names::LOL, K::Label, names::Frame4, "No PLL lock", 2355, 1440, 1500, 315, 55);
  lol.backColor = kLolDesignRed;
  lol.foreColor = 0x000000;
  m.add(lol);
  m.add(arial(make(names::Label18, K::Label, names::Frame4, "", 120, 8640, 2415, 315, 52), false));

  // "Advanced".
  m.add(make(names::Enc1, K::ComboBox, names::Frame2, "", 240, 400, 1335, 360, 5));
  m.add(make(names::Label22, K::Label, names::Frame2, "Output drive strength", 1680, 450, 1935, 300, 27));
  m.add(make(names::OUT1EN, K::CheckBox, names::Frame2, "Enable output", 240, 975, 1935, 315, 6));
  Control blink = make(names::OUT1ID, K::Button, names::Frame2, "Blink LED", 2730, 945, 1515, 360, 58);
  blink.tooltip = "Blink front LED of this unit";
  m.add(blink);
  Control line4 = line(names::Line4, names::Frame2, 240, 1590, 4200, 1590);
  line4.systemForeColor = SystemColor::ApplicationWorkspace;
  m.add(line4);
  m.add(make(names::GPS, K::TextBox, names::Frame2, "", 240, 1980, 1335, 360, 38));
  m.add(make(names::Label23, K::Label, names::Frame2, "GPS reference, Hz", 1680, 2025, 2655, 300, 28));
  m.add(make(names::N31, K::TextBox, names::Frame2, "", 240, 2385, 1335, 360, 39));
  m.add(make(names::Label24, K::Label, names::Frame2, "N31", 1680, 2430, 1935, 300, 34));
  m.add(arial(make(names::NC2_LS, K::TextBox, names::Frame2, "", 2880, 2580, 1335, 315, 29), false));
  m.add(make(names::N2_HS, K::TextBox, names::Frame2, "", 240, 2775, 1335, 360, 40));
  m.add(make(names::Label7, K::Label, names::Frame2, "N2_HS", 1680, 2835, 1935, 300, 33));
  m.add(make(names::N2_LS, K::TextBox, names::Frame2, "", 240, 3180, 1335, 360, 41));
  m.add(make(names::Label8, K::Label, names::Frame2, "N2_LS", 1680, 3225, 1935, 300, 32));
  m.add(hidden(make(names::Picture3, K::PictureBox, names::Frame2, "", 3600, 3480, 435, 555, 46)));
  m.add(make(names::N1_HS, K::TextBox, names::Frame2, "", 240, 3585, 1335, 360, 42));
  m.add(make(names::Label9, K::Label, names::Frame2, "N1_HS", 1680, 3630, 1935, 300, 31));
  m.add(make(names::NC1_LS, K::TextBox, names::Frame2, "", 240, 3975, 1335, 360, 43));
  m.add(make(names::Label10, K::Label, names::Frame2, "NC1_LS", 1680, 4035, 1935, 300, 30));
  m.add(make(names::BW, K::TextBox, names::Frame2, "", 240, 4380, 1335, 360, 44));
  m.add(make(names::Label15, K::Label, names::Frame2, "BW", 1680, 4425, 1935, 300, 35));
  m.add(make(names::SetFreq, K::Button, names::Frame2, "Update", 2700, 4365, 1500, 360, 45));
  m.add(hidden(make(names::Label16, K::Label, names::Frame2, "", 1800, 4680, 2415, 255, 36)));
  m.add(hidden(make(names::Fosclbl, K::Label, names::Frame2, "", 1800, 4800, 2535, 315, 37)));
  Control line1 = line(names::Line1, names::Frame2, 240, 5100, 4200, 5100);
  line1.systemForeColor = SystemColor::ApplicationWorkspace;
  m.add(line1);
  Control position = make(names::Label12, K::Label, names::Frame2, "GPS coordinates", 240, 5280, 3975, 255, 49);
  position.tooltip = "Click to open in Google maps";
  m.add(position);
  Control utc = make(names::Label13, K::Label, names::Frame2, "UTC time", 240, 5640, 3975, 255, 50);
  utc.tooltip = "Click to set your local computer time from GPS";
  m.add(utc);
  m.add(arial(make(names::Label20, K::Label, names::Frame2, "", 240, 8040, 2410, 320, 26), true));
  m.add(arial(make(names::Label6, K::Label, names::Frame2, "", 120, 8640, 2415, 315, 25), false));

  // Accessible names. Text and combo boxes are named by the label beside them; a label that shows a
  // value is named by what it shows (a toolkit adds the value itself).
  static const std::pair<const char*, const char*> kAccessibleNames[] = {
      {names::Frame1, "Hardware details"},
      {names::Frame3, "Settings"},
      {names::Frame4, "Status"},
      {names::Frame2, "Advanced"},
      {names::SN, "Serial number to program"},
      {names::SetSN, "Set serial number"},
      {names::WriteRegister, "Register write"},
      {names::REG, "Register number"},
      {names::DATA, "Register data"},
      {names::Label14, "Spare label"},
      {names::Label5, "Device name"},
      {names::lblSerialNumber, "Unit serial number"},
      {names::lblProduct, "Device name"},
      {names::Label4, "Made by"},
      {names::lblManuf, "Made by"},
      {names::Label2, "Firmware version"},
      {names::lblVersion, "Firmware version"},
      {names::Label3, "Serial number"},
      {names::SerNo, "Serial number"},
      {names::Timer, "Poll timer"},
      {names::Out1Freq, "Output, Hz"},
      {names::Label1, "Output, Hz"},
      {names::FindFreq, "Set frequency or cancel search"},
      {names::Bar, "Search progress"},
      {names::Progress, "Search progress bar"},
      {names::Label17, "Search status"},
      {names::Factory, "Factory defaults"},
      {names::Advanced, "Show or hide advanced settings"},
      {names::F3lbl, "Phase detector frequency"},
      {names::PicSat, "Satellite signal chart"},
      {"Sat(0)", "Satellite channel 0"},
      {"CNoLine(0)", "Signal scale line"},
      {"CNoLbl(0)", "Signal scale, dB"},
      {names::LOS, "GPS signal"},
      {names::LOL, "PLL lock"},
      {names::Label18, "Spare label"},
      {names::Enc1, "Output drive strength"},
      {names::Label22, "Output drive strength"},
      {names::OUT1EN, "Enable output"},
      {names::OUT1ID, "Blink LED"},
      {names::Line4, "Separator"},
      {names::GPS, "GPS reference, Hz"},
      {names::Label23, "GPS reference, Hz"},
      {names::N31, "N31"},
      {names::Label24, "N31"},
      {names::NC2_LS, "NC2_LS"},
      {names::N2_HS, "N2_HS"},
      {names::Label7, "N2_HS"},
      {names::N2_LS, "N2_LS"},
      {names::Label8, "N2_LS"},
      {names::Picture3, "Spare picture"},
      {names::N1_HS, "N1_HS"},
      {names::Label9, "N1_HS"},
      {names::NC1_LS, "NC1_LS"},
      {names::Label10, "NC1_LS"},
      {names::BW, "BW"},
      {names::Label15, "BW"},
      {names::SetFreq, "Update"},
      {names::Label16, "Signal loss count"},
      {names::Fosclbl, "Oscillator frequency"},
      {names::Line1, "Separator"},
      {names::Label12, "GPS coordinates"},
      {names::Label13, "UTC time"},
      {names::Label20, "Receiver diagnostics"},
      {names::Label6, "Spare label"},
  };
  for (const auto& [control, accessibleName] : kAccessibleNames) m.get(control).accessibleName = accessibleName;

  return m;
}

}  // namespace tamrik::ui
