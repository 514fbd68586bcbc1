#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "window/window_state.h"

namespace tamrik::readback {

// What a settings readback may rewrite.
enum class Readback {
  // The whole window, focus and caret and the blink state included.
  Full,
  // After a clock-drift command, which leaves the unit's settings as they were: on the unit the last
  // readback showed, the boxes whose text the user has changed since that readback wrote them keep
  // it, and the focus, the caret and the blink state stay. With another unit it is a full readback.
  AfterDrift,
};

// The window's side of finding, opening and reading back units: the unit list in SerNo, the unit
// chosen there, and the identity and settings controls. The unit and the connection to it are
// WindowState::link's; this class only shows them.
class DeviceLink {
 public:
  explicit DeviceLink(window::WindowState& state);

  // Rebuilds the unit list in SerNo.
  void Scan_USB_devices();
  // Opens the unit whose serial text is shown in SerNo; true when one was opened.
  bool FindTheHid();
  // Brings the window in line with the open unit, or with the absence of one.
  void ReadUnitSettings(Readback kind = Readback::Full);
  // The user chose an entry of SerNo.
  void SerNoClick();
  // No unit is open: lists the units again, opens the one chosen in SerNo and reads it back.
  void Reconnect();
  // The window is being unloaded: receiver messages off, timer off, unit closed.
  void Unload();

 private:
  window::WindowState& s_;
  // What the last readback wrote into each box, and the opening of the unit it read (unset when
  // it read none).
  std::map<std::string, std::string> shownTexts_;
  std::optional<std::uint64_t> shownEpoch_;
};

}  // namespace tamrik::readback
