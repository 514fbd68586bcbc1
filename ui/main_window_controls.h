#pragma once
// The main window's controls, each named once: the table the layout places, the toolkits render and
// the window's logic reaches through typed handles, so that a misspelt name does not compile. The
// names are the design's, as the snapshot and the toolkits' events carry them.
#include <array>
#include <cstdint>
#include <string>

#include "ui/window_model.h"

// X(name, kind), in the layout's order of creation. The arrays Sat, CNoLine and CNoLbl are made
// from their templates Sat(0), CNoLine(0) and CNoLbl(0) (satellite_chart.h).
#define TAMRIK_MAIN_WINDOW_CONTROLS(X) \
  X(Frame1, Frame) \
  X(Frame3, Frame) \
  X(Frame4, Frame) \
  X(Frame2, Frame) \
  X(SN, TextBox) \
  X(SetSN, Button) \
  X(WriteRegister, Button) \
  X(REG, TextBox) \
  X(DATA, TextBox) \
  X(Label14, Label) \
  X(Label5, Label) \
  X(lblSerialNumber, Label) \
  X(lblProduct, Label) \
  X(Label4, Label) \
  X(lblManuf, Label) \
  X(Label2, Label) \
  X(lblVersion, Label) \
  X(Label3, Label) \
  X(SerNo, ComboBox) \
  X(Timer, Timer) \
  X(Out1Freq, TextBox) \
  X(Label1, Label) \
  X(FindFreq, Button) \
  X(Bar, PictureBox) \
  X(Progress, Shape) \
  X(Label17, Label) \
  X(Factory, Button) \
  X(Advanced, Button) \
  X(F3lbl, Label) \
  X(PicSat, PictureBox) \
  X(LOS, Label) \
  X(LOL, Label) \
  X(Label18, Label) \
  X(Enc1, ComboBox) \
  X(Label22, Label) \
  X(OUT1EN, CheckBox) \
  X(OUT1ID, Button) \
  X(Line4, Line) \
  X(GPS, TextBox) \
  X(Label23, Label) \
  X(N31, TextBox) \
  X(Label24, Label) \
  X(NC2_LS, TextBox) \
  X(N2_HS, TextBox) \
  X(Label7, Label) \
  X(N2_LS, TextBox) \
  X(Label8, Label) \
  X(Picture3, PictureBox) \
  X(N1_HS, TextBox) \
  X(Label9, Label) \
  X(NC1_LS, TextBox) \
  X(Label10, Label) \
  X(BW, TextBox) \
  X(Label15, Label) \
  X(SetFreq, Button) \
  X(Label16, Label) \
  X(Fosclbl, Label) \
  X(Line1, Line) \
  X(Label12, Label) \
  X(Label13, Label) \
  X(Label20, Label) \
  X(Label6, Label)

namespace tamrik::ui {

// The names as texts, for the layout and for routing the toolkits' events.
namespace names {
#define TAMRIK_CONTROL_NAME(name, kind) inline constexpr char name[] = #name;
TAMRIK_MAIN_WINDOW_CONTROLS(TAMRIK_CONTROL_NAME)
#undef TAMRIK_CONTROL_NAME
// The control arrays of the satellite chart.
inline constexpr char Sat[] = "Sat";
inline constexpr char CNoLine[] = "CNoLine";
inline constexpr char CNoLbl[] = "CNoLbl";
}  // namespace names

// One control of a window model, by its name: what the window's logic reads and changes of it.
class ControlHandle {
 public:
  ControlHandle(WindowModel& model, const char* name) : model_(&model), name_(name) {}

  const char* name() const { return name_; }
  const Control& get() const { return model_->at(name_); }
  const std::string& text() const { return get().text; }

  void setText(const std::string& text) { model_->setText(name_, text); }
  void setEnabled(bool enabled) { model_->setEnabled(name_, enabled); }
  void setVisible(bool visible) { model_->setVisible(name_, visible); }
  void setWidth(int twips) { model_->setWidth(name_, twips); }
  void setBackColor(std::uint32_t bgr) { model_->setBackColor(name_, bgr); }
  void setBorder(bool border) { model_->setBorder(name_, border); }
  void setTooltip(const std::string& tooltip) { model_->setTooltip(name_, tooltip); }
  void setSelStart(int position) { model_->setSelStart(name_, position); }
  // Gives this control the keyboard focus.
  void setFocus() { model_->setFocus(name_); }

 protected:
  WindowModel* model_;
  const char* name_;
};

class ComboBoxHandle : public ControlHandle {
 public:
  using ControlHandle::ControlHandle;
  int selected() const { return get().selected; }
  std::string selectedText() const { return model_->selectedText(name_); }
  void clearItems() { model_->clearItems(name_); }
  void addItem(const std::string& item) { model_->addItem(name_, item); }
  void setSelected(int index) { model_->setSelected(name_, index); }
};

class CheckBoxHandle : public ControlHandle {
 public:
  using ControlHandle::ControlHandle;
  bool checked() const { return get().checked; }
  void setChecked(bool checked) { model_->setChecked(name_, checked); }
};

class TimerHandle : public ControlHandle {
 public:
  using ControlHandle::ControlHandle;
  int interval() const { return get().interval; }
  void setInterval(int milliseconds) { model_->setInterval(name_, milliseconds); }
};

// The handle type of each kind of control.
template <ControlKind K>
struct HandleOf {
  using type = ControlHandle;
};
template <>
struct HandleOf<ControlKind::ComboBox> {
  using type = ComboBoxHandle;
};
template <>
struct HandleOf<ControlKind::CheckBox> {
  using type = CheckBoxHandle;
};
template <>
struct HandleOf<ControlKind::Timer> {
  using type = TimerHandle;
};

// Every control of the main window as a handle of its kind, and the groups the logic works on.
struct MainWindowControls {
  explicit MainWindowControls(WindowModel& m) : model(m) {}
  MainWindowControls(const MainWindowControls&) = delete;
  MainWindowControls& operator=(const MainWindowControls&) = delete;

  WindowModel& model;
#define TAMRIK_CONTROL_MEMBER(name, kind) HandleOf<ControlKind::kind>::type name{model, names::name};
  TAMRIK_MAIN_WINDOW_CONTROLS(TAMRIK_CONTROL_MEMBER)
#undef TAMRIK_CONTROL_MEMBER

  // The divider boxes, in the order of the settings block (numbers::kUpdateLimits).
  std::array<ControlHandle*, 7> dividerBoxes{&GPS, &N31, &N2_HS, &N2_LS, &N1_HS, &NC1_LS, &NC2_LS};
  // What a settings readback writes into boxes the user may be editing: the output frequency, the
  // divider boxes and BW.
  std::array<ControlHandle*, 9> readbackBoxes{&Out1Freq, &GPS, &N31, &N2_HS, &N2_LS, &N1_HS, &NC1_LS, &NC2_LS, &BW};
  // The settings controls a divider search locks, in this order.
  std::array<ControlHandle*, 13> settingsControls{&SetFreq, &Out1Freq, &NC1_LS, &NC2_LS, &N1_HS, &Fosclbl, &N2_HS,
                                                  &N2_LS,   &N31,      &GPS,    &BW,     &Advanced, &Factory};
};

// The kind of each control as the table gives it, in the table's order, for checking the table
// against the layout.
struct TableEntry {
  const char* name;
  ControlKind kind;
};
inline constexpr TableEntry kMainWindowTable[] = {
#define TAMRIK_CONTROL_ENTRY(name, kind) {names::name, ControlKind::kind},
    TAMRIK_MAIN_WINDOW_CONTROLS(TAMRIK_CONTROL_ENTRY)
#undef TAMRIK_CONTROL_ENTRY
};

}  // namespace tamrik::ui
