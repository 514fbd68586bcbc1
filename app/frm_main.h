#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "readback/device_link.h"
#include "gps/gps_monitor.h"
#include "platform/platform.h"
#include "settings/unit_settings.h"
#include "synth/window/frequency_planner.h"
#include "ui/window_events.h"
#include "ui/window_model.h"
#include "window/window_state.h"

namespace tamrik {

// The main window: owns the controls, the window-level state and every subsystem, runs start-up
// and routes the toolkit's events to the subsystem that handles them.
class FrmMain final : public ui::WindowEvents {
 public:
  FrmMain(platform::Platform& platform, ui::NumberFormat numberFormat);
  ~FrmMain() override;
  FrmMain(const FrmMain&) = delete;
  FrmMain& operator=(const FrmMain&) = delete;

  // Start-up: narrow window, chart, excluded references, find and read the unit, start the timer.
  void Load();

  void click(const std::string& control) override;
  // A double click on the satellite chart (PicSat) opens the Satellites window.
  void doubleClick(const std::string& control) override;
  void keyPress(const std::string& control, int keyAscii) override;
  void change(const std::string& control) override;
  void timerTick() override;
  void unload() override;

  // True while none of the window's handlers is running. Called from the top of the event loop,
  // it tells that no tick, search or question is waiting further up the stack: everything a tick
  // has read has been decoded and shown.
  bool idle() const { return handlersRunning_ == 0; }

  // Opens the Satellites window (or brings it to the front); the program that renders the window
  // gives it, as only it can make a second window.
  void setSatellitesOpener(std::function<void()> opener) { openSatellites_ = std::move(opener); }

  ui::WindowModel& model() { return model_; }
  window::WindowState& state() { return state_; }
  readback::DeviceLink& deviceLink() { return link_; }
  gps::GpsMonitor& gpsMonitor() { return gps_; }
  synth::FrequencyPlanner& planner() { return planner_; }
  settings::UnitSettings& unitSettings() { return unitSettings_; }
  const std::vector<std::int32_t>& excludedReferences() const { return state_.ExcludedReferences; }

 private:
  void onClick(const std::string& control, std::function<void()> handler);

  ui::WindowModel model_;
  window::WindowState state_;
  readback::DeviceLink link_;
  gps::GpsMonitor gps_;
  settings::UnitSettings unitSettings_;
  synth::FrequencyPlanner planner_;
  std::map<std::string, std::function<void()>> clickHandlers_;
  std::map<std::string, std::function<void(int)>> keyHandlers_;
  std::function<void()> tickHandler_;
  std::function<void()> openSatellites_;
  bool unloaded_ = false;
  int handlersRunning_ = 0;  // start-up and event handlers in progress, nested ones included
};

}  // namespace tamrik
