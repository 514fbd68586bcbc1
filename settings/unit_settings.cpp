#include "settings/unit_settings.h"

#include "core/protocol.h"
#include "ui/number_text.h"

namespace tamrik::settings {

UnitSettings::UnitSettings(window::WindowState& state) : s_(state) {}

bool UnitSettings::mayCommand() const { return s_.link.settingsLoaded(); }

void UnitSettings::showError(const std::string& title, const std::string& text) {
  s_.platform.toolkit.messageBox(
      platform::MessageBoxRequest{platform::MessageIcon::Critical, platform::MessageButtons::Ok, title, text});
}

void UnitSettings::OUT1ENClick() {
  if (!mayCommand()) return;
  s_.link.unit().setOutputEnabled(s_.controls.OUT1EN.checked());
}

void UnitSettings::Enc1Click() {
  if (!mayCommand() || !s_.flags.ScanDone) return;
  const int index = s_.controls.Enc1.selected();
  if (index < 0) return;  // no entry chosen
  s_.link.unit().setDriveStrength(static_cast<std::uint8_t>(index & 0xFF));
}

void UnitSettings::OUT1IDClick() {
  if (!mayCommand()) return;
  const bool start = !s_.flags.BlinkOn;
  s_.flags.BlinkOn = start;
  s_.link.unit().setBlink(start);
}

void UnitSettings::WriteRegisterClick() {
  if (!mayCommand()) return;
  const auto& c = s_.controls;
  const auto reg = ui::parseWholeNumber(c.REG.text(), s_.numberFormat, 0, 255);
  const auto data = ui::parseWholeNumber(c.DATA.text(), s_.numberFormat, 0, 255);
  if (!reg || !data) {
    showError("Register write", std::string(!reg ? "REG" : "DATA") +
                                    " must be a whole number from 0 to 255. Nothing was sent to the unit.");
    return;
  }
  s_.link.unit().writeRegister(static_cast<std::uint8_t>(*reg), static_cast<std::uint8_t>(*data));
}

void UnitSettings::SetSNClick() {
  // Serial programming needs an open unit, not its settings. A unit whose feature report cannot
  // carry a command frame is not commanded at all.
  core::Unit& unit = s_.link.unit();
  if (!unit.usable()) return;
  auto& c = s_.controls;
  const core::Unit::SerialResult result = unit.setSerialNumber(c.SN.text());
  if (!result.problem.empty()) {
    showError("Set S/N", result.problem + " Nothing was sent to the unit.");
    return;
  }
  // Whatever the send gave: the next serial ready, the unit closed so that the poll finds it again
  // under the serial it now reports.
  c.SN.setText(result.next);
  s_.link.unitReenumerates();
}

}  // namespace tamrik::settings
