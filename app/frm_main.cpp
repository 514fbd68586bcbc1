#include "app/frm_main.h"

#include "synth/planner/divider_plan.h"
#include "ui/main_window_controls.h"
#include "ui/advanced_toggle.h"
#include "ui/satellite_chart.h"

namespace tamrik {

namespace {

// Counts a handler as running for the length of a scope.
class HandlerScope {
 public:
  explicit HandlerScope(int& running) : running_(running) { ++running_; }
  ~HandlerScope() { --running_; }
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;

 private:
  int& running_;
};

}  // namespace

FrmMain::FrmMain(platform::Platform& platform, ui::NumberFormat numberFormat)
    : model_(ui::WindowModel::mainWindow()),
      state_(platform, model_, std::move(numberFormat)),
      link_(state_),
      gps_(state_, link_),
      unitSettings_(state_),
      planner_(state_, link_, unitSettings_) {
  onClick(ui::names::Advanced, [this] { ui::toggleAdvanced(model_, state_.flags.AdvancedCollapsed); });
  onClick(ui::names::SerNo, [this] { link_.SerNoClick(); });
  onClick(ui::names::FindFreq, [this] { planner_.FindFreqClick(); });
  onClick(ui::names::Factory, [this] { planner_.FactoryClick(); });
  onClick(ui::names::SetFreq, [this] { planner_.SetFreqClick(); });
  keyHandlers_[ui::names::Out1Freq] = [this](int keyAscii) { planner_.Out1FreqKeyPress(keyAscii); };
  onClick(ui::names::OUT1EN, [this] { unitSettings_.OUT1ENClick(); });
  onClick(ui::names::Enc1, [this] { unitSettings_.Enc1Click(); });
  onClick(ui::names::OUT1ID, [this] { unitSettings_.OUT1IDClick(); });
  onClick(ui::names::WriteRegister, [this] { unitSettings_.WriteRegisterClick(); });
  onClick(ui::names::SetSN, [this] { unitSettings_.SetSNClick(); });
  onClick(ui::names::Label12, [this] { gps_.Label12Click(); });
  onClick(ui::names::Label13, [this] { gps_.Label13Click(); });
  tickHandler_ = [this] { gps_.PollInputReports(); };
}

FrmMain::~FrmMain() = default;

void FrmMain::onClick(const std::string& control, std::function<void()> handler) {
  clickHandlers_[control] = std::move(handler);
}

void FrmMain::Load() {
  const HandlerScope running(handlersRunning_);
  auto& flags = state_.flags;
  state_.link.reset();
  flags.ScanDone = false;

  ui::toggleAdvanced(model_, flags.AdvancedCollapsed);
  model_.show();
  ui::buildSatelliteChart(model_);

  const auto excluded = synth::defaultExcludedReferences();
  state_.ExcludedReferences.assign(excluded.begin(), excluded.end());

  link_.Scan_USB_devices();
  link_.FindTheHid();
  link_.ReadUnitSettings();
  state_.controls.Timer.setEnabled(true);
}

void FrmMain::click(const std::string& control) {
  const HandlerScope running(handlersRunning_);
  if (unloaded_) return;
  if (auto it = clickHandlers_.find(control); it != clickHandlers_.end()) it->second();
}

void FrmMain::doubleClick(const std::string& control) {
  const HandlerScope running(handlersRunning_);
  if (unloaded_ || !model_.has(control)) return;
  const bool onChart = control == "PicSat" || model_.at(control).container == "PicSat";
  if (onChart && openSatellites_) openSatellites_();
}

void FrmMain::keyPress(const std::string& control, int keyAscii) {
  const HandlerScope running(handlersRunning_);
  if (unloaded_) return;
  if (auto it = keyHandlers_.find(control); it != keyHandlers_.end()) it->second(keyAscii);
}

void FrmMain::change(const std::string&) {
  // Edits of the boxes take effect only through the actions that read them.
}

void FrmMain::timerTick() {
  const HandlerScope running(handlersRunning_);
  if (unloaded_) return;
  if (tickHandler_) tickHandler_();
}

void FrmMain::unload() {
  const HandlerScope running(handlersRunning_);
  if (unloaded_) return;
  unloaded_ = true;
  state_.flags.Unloading = true;
  state_.flags.SearchRunning = false;  // a search that is yielding ends as if cancelled
  link_.Unload();
}

}  // namespace tamrik
