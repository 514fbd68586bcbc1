#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "window/window_state.h"
#include "device/device_link.h"

namespace tamrik::settings {

// The six characters a serial number is programmed with, as the unit stores them, and the serial
// that follows it. Built only from a text of exactly six characters whose first character fits
// in one byte and whose characters 2 to 6 are digits.
struct SerialNumberPlan {
  std::array<std::uint8_t, 6> bytes{};  // frame bytes 3 to 8
  std::string next;                     // the first character, then the number part plus one
};
// The plan for a serial text (UTF-8), or the reason it cannot be programmed.
struct SerialNumberCheck {
  std::optional<SerialNumberPlan> plan;
  std::string problem;  // set when plan is empty
};
SerialNumberCheck planSerialNumber(std::string_view text);

// The commands that act on the unit directly, one value each: output enable, drive strength and
// LED blink, and the service functions raw register write and serial-number programming.
class UnitSettings {
 public:
  UnitSettings(WindowState& state, device::DeviceLink& link);
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
  // Button SetSN: programs the serial in SN, advances SN and closes the unit for the poll to
  // reconnect it under its new serial.
  void SetSNClick();

 private:
  bool mayCommand() const;
  void sendValue(std::uint8_t command, std::uint8_t value);
  void showError(const std::string& title, const std::string& text);

  WindowState& s_;
  device::DeviceLink& link_;
};

}  // namespace tamrik::settings
