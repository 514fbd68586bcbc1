#pragma once
#include <cstdint>
#include <string>

#include "window/window_state.h"

namespace tamrik::settings {

// The commands that act on the unit directly, one value each: output enable, drive strength and
// LED blink, and the service functions raw register write and serial-number programming.
class UnitSettings {
 public:
  explicit UnitSettings(window::WindowState& state);
  UnitSettings(const UnitSettings&) = delete;
  UnitSettings& operator=(const UnitSettings&) = delete;

  // Check box OUT1EN: command 1, 3 when ticked, 0 when cleared.
  void OUT1ENClick();
  // Combo box Enc1: command 3 with the selected drive strength index.
  void Enc1Click();
  // Button OUT1ID: command 2, starting and stopping the front LED's blinking in turn.
  void OUT1IDClick();
  // Button WriteRegister: command 5 with the numbers in REG and DATA.
  void WriteRegisterClick();
  // Button SetSN: programs the serial in SN (checked as core::planSerialNumber checks it), advances
  // SN and closes the unit for the poll to reconnect it under its new serial.
  void SetSNClick();

 private:
  bool mayCommand() const;
  void showError(const std::string& title, const std::string& text);

  window::WindowState& s_;
};

}  // namespace tamrik::settings
