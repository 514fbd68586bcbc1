#include "synth/window/frequency_planner.h"

#include <algorithm>
#include <array>

#include "numbers/frequency.h"
#include "numbers/number_format.h"
#include "core/protocol.h"
#include "device/settings_captions.h"
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

// Locked while a search runs, in this order.
constexpr std::array<const char*, 13> kSettingsControls = {
    "SetFreq", "Out1Freq", "NC1_LS", "NC2_LS", "N1_HS", "Fosclbl", "N2_HS",
    "N2_LS",   "N31",      "GPS",    "BW",     "Advanced", "Factory"};

// The divider boxes, in the order of core::kUpdateLimits.
constexpr std::array<const char*, core::kUpdateLimits.size()> kDividerBoxes = {"GPS",   "N31",    "N2_HS", "N2_LS",
                                                                              "N1_HS", "NC1_LS", "NC2_LS"};

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

SearchProgress::SearchProgress(WindowState& state, std::function<bool()> mayGoOn)
    : s_(state), mayGoOn_(std::move(mayGoOn)) {}

bool SearchProgress::progress(double fraction) {
  auto& m = s_.model;
  const double wanted = core::roundHalfEven(m.at("Bar").width * fraction);
  const int width = static_cast<int>(std::clamp(wanted, -32768.0, 32767.0));
  if (width > m.at("Progress").width) m.setWidth("Progress", width);
  s_.platform.toolkit.processPendingEvents();
  return mayGoOn_();
}

FrequencyPlanner::FrequencyPlanner(WindowState& state, device::DeviceLink& link, settings::UnitSettings& unitSettings)
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
  s_.model.setEnabled("FindFreq", true);
}

void FrequencyPlanner::Out1FreqKeyPress(int keyAscii) {
  if (keyAscii != kKeyEnter) return;
  FindFreqClick();
  s_.model.setFocus("Out1Freq");
}

void FrequencyPlanner::FactoryClick() {
  auto& m = s_.model;
  m.setSelected("Enc1", 3);  // "32mA"
  unitSettings_.Enc1Click();
  m.setChecked("OUT1EN", true);
  unitSettings_.OUT1ENClick();
  m.setText("Out1Freq", "10000000");
  FindFreqClick();
  m.setFocus("Out1Freq");
  m.setSelStart("Out1Freq", 999);
}

void FrequencyPlanner::EnableSettingsControls(bool enabled) {
  for (const char* control : kSettingsControls) s_.model.setEnabled(control, enabled);
}

// ---- Divider search ----

FrequencyPlanner::Stop FrequencyPlanner::stopReason(const SearchStart& start) const {
  if (s_.flags.Unloading || s_.link.unit().epoch() != start.linkEpoch || s_.readbackCount != start.readbackCount)
    return Stop::Foreign;
  if (!s_.flags.SearchRunning) return Stop::Cancelled;
  return Stop::None;
}

void FrequencyPlanner::SearchDividers() {
  auto& m = s_.model;
  const std::string requestText = m.at("Out1Freq").text;
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
    m.setEnabled("FindFreq", true);
    m.setText("FindFreq", kIdleCaption);
    m.setWidth("Progress", 0);
    SetFreqClick();
    m.setVisible("Bar", false);
    s_.flags.SearchRunning = false;
    return;
  }

  m.setWidth("Progress", 0);
  if (const auto refusal = rangeRefusal(f)) {
    const Refusal r = refusalFor(*refusal, kSeparatorMark);
    showError(r.title, withUserSeparator(r.text, s_.numberFormat));
    s_.flags.SearchRunning = false;
    return;
  }

  // Set-up: the progress panel, the controls locked, the button turned into Cancel, the boxes empty.
  m.setVisible("Bar", true);
  m.setText("BW", kBandwidth);
  EnableSettingsControls(false);
  m.setEnabled("FindFreq", true);
  m.setText("FindFreq", kSearchCaption);
  for (const char* box : {"NC1_LS", "NC2_LS", "N1_HS", "Fosclbl", "N2_HS", "N2_LS", "N31", "GPS"}) m.setText(box, "");

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
  auto& m = s_.model;
  m.setText("GPS", std::to_string(d.gps));
  m.setText("N31", std::to_string(d.n31));
  m.setText("N2_HS", std::to_string(d.n2_hs));
  m.setText("N2_LS", std::to_string(d.n2_ls));
  m.setText("N1_HS", std::to_string(d.n1_hs));
  m.setText("NC1_LS", std::to_string(d.nc1_ls));
  m.setText("NC2_LS", m.at("NC1_LS").text);
  m.setText("BW", kBandwidth);
}

void FrequencyPlanner::writeResult(const DividerSet& d) {
  auto& m = s_.model;
  m.setText("NC1_LS", std::to_string(d.nc1_ls));
  m.setText("NC2_LS", std::to_string(d.nc2_ls));
  m.setText("N1_HS", std::to_string(d.n1_hs));
  m.setText("F3lbl", std::to_string(d.gps));
  m.setText("N2_HS", std::to_string(d.n2_hs));
  m.setText("N2_LS", std::to_string(d.n2_ls));
  m.setText("N31", "1");
  m.setText("GPS", std::to_string(d.gps));
}

void FrequencyPlanner::exactEnding() {
  auto& m = s_.model;
  EnableSettingsControls(true);
  m.setEnabled("FindFreq", true);
  m.setText("FindFreq", kIdleCaption);
  m.setWidth("Progress", 0);
  SetFreqClick();
  m.setVisible("Bar", false);
  s_.flags.SearchRunning = false;
}

void FrequencyPlanner::closestEnding(const std::string& requestText, const PlanResult& result,
                                     const SearchStart& start) {
  auto& m = s_.model;
  m.setVisible("Bar", false);
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
  m.setEnabled("FindFreq", true);
  m.setText("FindFreq", kIdleCaption);
  m.setWidth("Progress", 0);
  s_.flags.SearchRunning = false;
  m.setVisible("Bar", false);
}

void FrequencyPlanner::cancelledEnding(Stop why) {
  auto& m = s_.model;
  m.setVisible("Bar", false);
  m.setEnabled("FindFreq", false);
  EnableSettingsControls(true);
  m.setText("FindFreq", kIdleCaption);
  if (why == Stop::Cancelled) {
    link_.ReadUnitSettings();
  } else if (!s_.flags.Unloading && !s_.link.isOpen()) {
    // The unit went away under the search: show its absence. This reads and sends nothing. When
    // another unit was opened, its readback has already filled the boxes and is left alone.
    link_.ReadUnitSettings();
  }
  m.setWidth("Progress", 0);
  m.setEnabled("FindFreq", true);
  s_.flags.SearchRunning = false;
}

// ---- Update action ----

core::Dividers FrequencyPlanner::ClampDividerSettings() {
  auto& m = s_.model;
  core::Dividers d;
  for (std::size_t i = 0; i < core::kUpdateLimits.size(); ++i) {
    const core::DividerLimit& limit = core::kUpdateLimits[i];
    const char* box = kDividerBoxes[i];
    // Whole numbers first, so that the range and the even rule hold for the number that is sent. A
    // text that is not a number takes the unit's factory value.
    const std::optional<double> typed = ui::parseNumberSaturating(m.at(box).text, s_.numberFormat);
    const double v = std::clamp(typed ? core::roundHalfEven(*typed) : limit.fallback,
                                static_cast<double>(limit.minimum), static_cast<double>(limit.maximum));
    const std::int32_t n = core::withinLimit(limit, static_cast<std::int64_t>(v));
    m.setText(box, std::to_string(n));
    d.*limit.field = n;
  }
  return d;
}

std::optional<std::int32_t> FrequencyPlanner::checkUpdateInput() {
  const auto& m = s_.model;
  const auto bw = ui::parseWholeNumber(m.at("BW").text, s_.numberFormat, 0, 255);
  if (!bw) {
    showError("Cannot update", "BW must be a whole number from 0 to 255. Nothing was sent to the unit.");
    return std::nullopt;
  }
  if (const auto nc1 = ui::parseNumberSaturating(m.at("NC1_LS").text, s_.numberFormat);
      nc1 && core::roundHalfEven(*nc1) < 1) {
    showError("Cannot update", "NC1_LS must be at least 1. Nothing was sent to the unit.");
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*bw);
}

void FrequencyPlanner::showSettings(const core::Dividers& d) {
  auto& m = s_.model;
  m.setText("Out1Freq", core::outputHzText(d, s_.numberFormat.decimalSeparator));
  m.setText("F3lbl", device::f3Caption(d));
  m.setText("Fosclbl", device::foscCaption(d, s_.numberFormat));
}

void FrequencyPlanner::SetFreqClick() {
  if (!s_.link.settingsLoaded()) return;
  const std::optional<std::int32_t> bw = checkUpdateInput();
  if (!bw) return;
  auto& m = s_.model;
  m.setText("NC2_LS", m.at("NC1_LS").text);
  core::Dividers d = ClampDividerSettings();
  d.bw = *bw;
  m.setText("BW", std::to_string(d.bw));

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
  const bool readBack = !s_.model.at("GPS").text.empty();
  showError("Update failed",
            "The unit did not take the new settings: sending them to it failed" +
                (cause.empty() ? std::string() : " (" + cause + ")") + ".\r\n\r\n" +
                (readBack ? "The window shows the settings the unit holds."
                          : "Its settings could not be read back either; check that it is still connected."));
}

}  // namespace tamrik::synth
