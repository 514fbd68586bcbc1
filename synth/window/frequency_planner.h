#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "numbers/dividers.h"
#include "readback/device_link.h"
#include "settings/unit_settings.h"
#include "synth/planner/divider_plan.h"
#include "window/window_state.h"

namespace tamrik::synth {

// The planner's observer in the window: shows the search's progress on the bar (the width of Bar
// times the fraction done, rounded; the bar only ever grows), lets the window process its pending
// events, and tells the search to stop once mayGoOn says so.
class SearchProgress final : public SearchObserver {
 public:
  SearchProgress(window::WindowState& state, std::function<bool()> mayGoOn);
  bool progress(double fraction) override;

 private:
  window::WindowState& s_;
  std::function<bool()> mayGoOn_;
};

// The frequency planner's window side: the output frequency request (FindFreq, Enter in Out1Freq,
// Factory), the divider search with its progress bar and endings, and the Update action (SetFreq)
// that programs the divider set held in the settings boxes.
class FrequencyPlanner {
 public:
  // Factory defaults sets the drive strength and the output through the unit settings' own actions,
  // as the user's change of those controls would.
  FrequencyPlanner(window::WindowState& state, readback::DeviceLink& link, settings::UnitSettings& unitSettings);
  FrequencyPlanner(const FrequencyPlanner&) = delete;
  FrequencyPlanner& operator=(const FrequencyPlanner&) = delete;

  // Click on FindFreq: starts a request, or asks the running search to stop.
  void FindFreqClick();
  // Key press in Out1Freq: Enter (13) requests the typed frequency; the focus stays in the box.
  void Out1FreqKeyPress(int keyAscii);
  // Click on Factory: 32mA, output on, 10 MHz, caret after the text.
  void FactoryClick();
  // Click on SetFreq (Update): clamps the boxes and sends the divider set twice with command 4.
  void SetFreqClick();

  // Turns the text of Out1Freq into a divider set and programs it; ends with SearchRunning false.
  void SearchDividers();
  // Enables or disables the thirteen settings controls, one after the other.
  void EnableSettingsControls(bool enabled);
  // Brings GPS and the six divider boxes into the synthesizer's ranges (numbers::kUpdateLimits), in
  // place: each box's number is rounded to a whole number, clamped, made even where the divider
  // must be, and written back. Returns those whole numbers (BW is left 0).
  numbers::Dividers ClampDividerSettings();

 private:
  struct SearchStart {
    std::uint64_t linkEpoch;
    std::uint64_t readbackCount;
  };
  // Why a search must stop without finishing: nothing when it may go on.
  enum class Stop { None, Cancelled, Foreign };
  Stop stopReason(const SearchStart& start) const;

  void writePreset(const DividerSet& d);
  void writeResult(const DividerSet& d);
  void exactEnding();
  void closestEnding(const std::string& requestText, const PlanResult& result, const SearchStart& start);
  void cancelledEnding(Stop why);
  // BW as a whole number from 0 to 255, or nothing after a message when the boxes cannot be sent.
  std::optional<std::int32_t> checkUpdateInput();
  // Out1Freq, F3lbl and Fosclbl for a divider set.
  void showSettings(const numbers::Dividers& d);
  // Both command-4 frames failed: reads the unit back and tells the user.
  void reportNotTaken();
  void showError(const std::string& title, const std::string& text);

  window::WindowState& s_;
  readback::DeviceLink& link_;
  settings::UnitSettings& unitSettings_;
};

}  // namespace tamrik::synth
