#include "synth/window/frequency_planner.h"

#include <algorithm>
#include <array>

#include "numbers/frequency.h"
#include "numbers/number_format.h"
#include "core/protocol.h"
#include "readback/settings_captions.h"
#include "ui/number_text.h"

namespace tamrik::synth {

namespace {

using platform::MessageAnswer;
using platform::MessageBoxRequest;
using platform::MessageButtons;
using platform::MessageIcon;

constexpr int kKeyEnter = 13;
constexpr const char* kIdleCaption = "Set frequency";
constexpr const char* kSearchCaption = "Cancel search";
constexpr const char* kBandwidth = "9";

// The planner writes its texts with a single-character decimal separator; this one stands in for
// the user's separator, which may be longer, and is replaced afterwards.
constexpr char kSeparatorMark = '\x1F';
std::string withUserSeparator(const std::string& text, const ui::NumberFormat& format) {
  std::string out;
  for (const char ch : text) {
    if (ch == kSeparatorMark) {
      out += format.decimalSeparator;
    } else {
      out += ch;
    }
  }
  return out;
}

}  // namespace

SearchProgress::SearchProgress(window::WindowState& state, std::function<bool()> mayGoOn)
    : s_(state), mayGoOn_(std::move(mayGoOn)) {}

bool SearchProgress::progress(double fraction) {
  auto& c = s_.controls;
  const double wanted = numbers::roundHalfEven(c.Bar.get().width * fraction);
  const int width = static_cast<int>(std::clamp(wanted, -32768.0, 32767.0));
  if (width > c.Progress.get().width) c.Progress.setWidth(width);
  s_.platform.toolkit.processPendingEvents();
  return mayGoOn_();
}

FrequencyPlanner::FrequencyPlanner(window::WindowState& state, readback::DeviceLink& link, settings::UnitSettings& unitSettings)
    : s_(state), link_(link), unitSettings_(unitSettings) {}

void FrequencyPlanner::showError(const std::string& title, const std::string& text) {
  s_.platform.toolkit.messageBox(MessageBoxRequest{MessageIcon::Critical, MessageButtons::Ok, title, text});
}

// ---- Frequency request ----

void FrequencyPlanner::FindFreqClick() {
  if (s_.flags.SearchRunning) {
    // Arrives while the search lets the window process events; the search stops at its next step.
    s_.flags.SearchRunning = false;
    return;
  }
  s_.flags.SearchRunning = true;
  SearchDividers();
  s_.controls.FindFreq.setEnabled(true);
}

void FrequencyPlanner::Out1FreqKeyPress(int keyAscii) {
  if (keyAscii != kKeyEnter) return;
  FindFreqClick();
  s_.controls.Out1Freq.setFocus();
}

void FrequencyPlanner::FactoryClick() {
  auto& c = s_.controls;
  c.Enc1.setSelected(core::kFactoryDriveIndex);
  unitSettings_.Enc1Click();
  c.OUT1EN.setChecked(core::kFactoryOutputEnabled);
  unitSettings_.OUT1ENClick();
  c.Out1Freq.setText(std::to_string(core::kFactoryOutputHz));
  FindFreqClick();
  c.Out1Freq.setFocus();
  c.Out1Freq.setSelStart(999);
}

void FrequencyPlanner::EnableSettingsControls(bool enabled) {
  for (ui::ControlHandle* control : s_.controls.settingsControls) control->setEnabled(enabled);
}

// ---- Divider search ----

FrequencyPlanner::Stop FrequencyPlanner::stopReason(const SearchStart& start) const {
  if (s_.flags.Unloading || s_.link.unit().epoch() != start.linkEpoch || s_.readbackCount != start.readbackCount)
    return Stop::Foreign;
  if (!s_.flags.SearchRunning) return Stop::Cancelled;
  return Stop::None;
}

void FrequencyPlanner::SearchDividers() {
  auto& c = s_.controls;
  const std::string requestText = c.Out1Freq.text();
  // A number beyond a double's range reads as infinity or zero, and is refused as too high or too
  // low like any other number out of the unit's range.
  const std::optional<double> request = ui::parseNumberSaturating(requestText, s_.numberFormat);
  if (!request) {
    const bool blank = requestText.find_first_not_of(" \t") == std::string::npos;
    showError("Frequency not understood",
              (blank ? std::string() : "\"" + requestText + "\" is not a number. ") +
                  "Type the output frequency in Hz, for example 10000000.");
    s_.flags.SearchRunning = false;
    return;
  }
  const double f = *request;

  if (const auto preset = presetFor(f)) {
    writePreset(*preset);
    EnableSettingsControls(true);
    c.FindFreq.setEnabled(true);
    c.FindFreq.setText(kIdleCaption);
    c.Progress.setWidth(0);
    SetFreqClick();
    c.Bar.setVisible(false);
    s_.flags.SearchRunning = false;
    return;
  }

  c.Progress.setWidth(0);
  if (const auto refusal = rangeRefusal(f)) {
    const Refusal r = refusalFor(*refusal, kSeparatorMark);
    showError(r.title, withUserSeparator(r.text, s_.numberFormat));
    s_.flags.SearchRunning = false;
    return;
  }

  // Set-up: the progress panel, the controls locked, the button turned into Cancel, the boxes empty.
  c.Bar.setVisible(true);
  c.BW.setText(kBandwidth);
  EnableSettingsControls(false);
  c.FindFreq.setEnabled(true);
  c.FindFreq.setText(kSearchCaption);
  for (ui::ControlHandle* box : c.dividerBoxes) box->setText("");
  c.Fosclbl.setText("");

  const SearchStart start{s_.link.unit().epoch(), s_.readbackCount};
  SearchProgress observer(s_, [&] { return stopReason(start) == Stop::None; });
  const PlanResult result = synth::SearchDividers(f, s_.ExcludedReferences, &observer);

  // The planner may have finished on the step at which the user cancelled or the unit changed:
  // the flags decide, so that nothing reaches a unit the search was not started for.
  if (const Stop why = stopReason(start); why != Stop::None) {
    cancelledEnding(why);
    return;
  }
  switch (result.outcome) {
    case PlanOutcome::Exact:
      writeResult(result.dividers);
      exactEnding();
      return;
    case PlanOutcome::Closest:
      writeResult(result.dividers);
      closestEnding(requestText, result, start);
      return;
    default:
      cancelledEnding(Stop::Cancelled);
      return;
  }
}

void FrequencyPlanner::writePreset(const DividerSet& d) {
  auto& c = s_.controls;
  c.GPS.setText(std::to_string(d.gps));
  c.N31.setText(std::to_string(d.n31));
  c.N2_HS.setText(std::to_string(d.n2_hs));
  c.N2_LS.setText(std::to_string(d.n2_ls));
  c.N1_HS.setText(std::to_string(d.n1_hs));
  c.NC1_LS.setText(std::to_string(d.nc1_ls));
  c.NC2_LS.setText(c.NC1_LS.text());
  c.BW.setText(kBandwidth);
}

void FrequencyPlanner::writeResult(const DividerSet& d) {
  auto& c = s_.controls;
  c.NC1_LS.setText(std::to_string(d.nc1_ls));
  c.NC2_LS.setText(std::to_string(d.nc2_ls));
  c.N1_HS.setText(std::to_string(d.n1_hs));
  c.F3lbl.setText(std::to_string(d.gps));
  c.N2_HS.setText(std::to_string(d.n2_hs));
  c.N2_LS.setText(std::to_string(d.n2_ls));
  c.N31.setText("1");
  c.GPS.setText(std::to_string(d.gps));
}

void FrequencyPlanner::exactEnding() {
  auto& c = s_.controls;
  EnableSettingsControls(true);
  c.FindFreq.setEnabled(true);
  c.FindFreq.setText(kIdleCaption);
  c.Progress.setWidth(0);
  SetFreqClick();
  c.Bar.setVisible(false);
  s_.flags.SearchRunning = false;
}

void FrequencyPlanner::closestEnding(const std::string& requestText, const PlanResult& result,
                                     const SearchStart& start) {
  auto& c = s_.controls;
  c.Bar.setVisible(false);
  const ClosestOffer offer = closestOfferFor(requestText, result, kSeparatorMark);
  const MessageAnswer answer = s_.platform.toolkit.messageBox(MessageBoxRequest{
      MessageIcon::Information, MessageButtons::YesNo, offer.title, withUserSeparator(offer.text, s_.numberFormat)});
  // A toolkit may keep its timer running under a modal box, so the unit may have changed meanwhile.
  if (stopReason(start) == Stop::Foreign) {
    cancelledEnding(Stop::Foreign);
    return;
  }
  if (answer == MessageAnswer::Yes) {
    SetFreqClick();
  } else {
    link_.ReadUnitSettings();
  }
  EnableSettingsControls(true);
  c.FindFreq.setEnabled(true);
  c.FindFreq.setText(kIdleCaption);
  c.Progress.setWidth(0);
  s_.flags.SearchRunning = false;
  c.Bar.setVisible(false);
}

void FrequencyPlanner::cancelledEnding(Stop why) {
  auto& c = s_.controls;
  c.Bar.setVisible(false);
  c.FindFreq.setEnabled(false);
  EnableSettingsControls(true);
  c.FindFreq.setText(kIdleCaption);
  if (why == Stop::Cancelled) {
    link_.ReadUnitSettings();
  } else if (!s_.flags.Unloading && !s_.link.isOpen()) {
    // The unit went away under the search: show its absence. This reads and sends nothing. When
    // another unit was opened, its readback has already filled the boxes and is left alone.
    link_.ReadUnitSettings();
  }
  c.Progress.setWidth(0);
  c.FindFreq.setEnabled(true);
  s_.flags.SearchRunning = false;
}

// ---- Update action ----

static_assert(std::tuple_size_v<decltype(ui::MainWindowControls::dividerBoxes)> == numbers::kUpdateLimits.size(),
              "a divider box for each limit");

numbers::Dividers FrequencyPlanner::ClampDividerSettings() {
  auto& c = s_.controls;
  numbers::Dividers d;
  for (std::size_t i = 0; i < numbers::kUpdateLimits.size(); ++i) {
    const numbers::DividerLimit& limit = numbers::kUpdateLimits[i];
    ui::ControlHandle& box = *c.dividerBoxes[i];
    // Whole numbers first, so that the range and the even rule hold for the number that is sent. A
    // text that is not a number takes the unit's factory value.
    const std::optional<double> typed = ui::parseNumberSaturating(box.text(), s_.numberFormat);
    const double v = std::clamp(typed ? numbers::roundHalfEven(*typed) : limit.fallback,
                                static_cast<double>(limit.minimum), static_cast<double>(limit.maximum));
    const std::int32_t n = numbers::withinLimit(limit, static_cast<std::int64_t>(v));
    box.setText(std::to_string(n));
    d.*limit.field = n;
  }
  return d;
}

std::optional<std::int32_t> FrequencyPlanner::checkUpdateInput() {
  const auto& c = s_.controls;
  const auto bw = ui::parseWholeNumber(c.BW.text(), s_.numberFormat, 0, 255);
  if (!bw) {
    showError("Cannot update", "BW must be a whole number from 0 to 255. Nothing was sent to the unit.");
    return std::nullopt;
  }
  if (const auto nc1 = ui::parseNumberSaturating(c.NC1_LS.text(), s_.numberFormat);
      nc1 && numbers::roundHalfEven(*nc1) < 1) {
    showError("Cannot update", "NC1_LS must be at least 1. Nothing was sent to the unit.");
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*bw);
}

void FrequencyPlanner::showSettings(const numbers::Dividers& d) {
  auto& c = s_.controls;
  c.Out1Freq.setText(numbers::outputHzText(d, s_.numberFormat.decimalSeparator));
  c.F3lbl.setText(readback::f3Caption(d));
  c.Fosclbl.setText(readback::foscCaption(d, s_.numberFormat));
}

void FrequencyPlanner::SetFreqClick() {
  if (!s_.link.settingsLoaded()) return;
  const std::optional<std::int32_t> bw = checkUpdateInput();
  if (!bw) return;
  auto& c = s_.controls;
  c.NC2_LS.setText(c.NC1_LS.text());
  numbers::Dividers d = ClampDividerSettings();
  d.bw = *bw;
  c.BW.setText(std::to_string(d.bw));

  // The displays show the whole numbers sent, after each of the two frames.
  const core::ProgramOutcome outcome = s_.link.unit().programSettings(d, [&] {
    showSettings(d);
    return s_.link.settingsLoaded();
  });
  if (outcome == core::ProgramOutcome::NotTaken) reportNotTaken();
}

void FrequencyPlanner::reportNotTaken() {
  // Neither frame reached the unit: the window must not look programmed. Show what the unit holds,
  // then say so, and why the sending failed.
  const std::string cause = s_.link.unit().lastError();
  link_.ReadUnitSettings();
  const bool readBack = !s_.controls.GPS.text().empty();
  showError("Update failed",
            "The unit did not take the new settings: sending them to it failed" +
                (cause.empty() ? std::string() : " (" + cause + ")") + ".\r\n\r\n" +
                (readBack ? "The window shows the settings the unit holds."
                          : "Its settings could not be read back either; check that it is still connected."));
}

}  // namespace tamrik::synth
