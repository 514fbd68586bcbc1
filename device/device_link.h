#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "window/window_state.h"

namespace tamrik::device {

// The smallest feature report that can carry the settings report (bytes 0 to 21).
inline constexpr int kMinimumFeatureReportLength = 22;

// What a settings readback may rewrite.
enum class Readback {
  // The whole window, focus and caret and the blink state included.
  Full,
  // After a clock-drift command, which leaves the unit's settings as they were: on the unit the last
  // readback showed, the boxes whose text the user has changed since that readback wrote them keep
  // it, and the focus, the caret and the blink state stay. With another unit it is a full readback.
  AfterDrift,
};

// Finding, opening, reading back and closing units; framing and sending commands.
class DeviceLink {
 public:
  explicit DeviceLink(WindowState& state);

  // Rebuilds the unit list in SerNo.
  void Scan_USB_devices();
  // Opens the unit whose serial text is shown in SerNo; true when one was opened.
  bool FindTheHid();
  void ReadHidCapabilities();
  void PrepareReadOverlapped();
  // Brings the window in line with the open unit, or with the absence of one.
  void ReadUnitSettings(Readback kind = Readback::Full);
  // The user chose an entry of SerNo.
  void SerNoClick();
  // The window is being unloaded: receiver messages off, timer off, unit closed.
  void Unload();

  // Sets the output rate of one receiver message through the unit (command 8, UBX CFG-MSG).
  void SetReceiverMessageRate(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate);

  // A zero-filled command frame of FeatureReportLength bytes with the command code in byte 1.
  std::vector<std::uint8_t> CommandFrame(std::uint8_t code) const;
  // Sends a frame as a feature report on CommandHandle and stores the result in LastResult. Frames
  // are never sent to a unit whose feature report cannot carry the settings report.
  bool SendFrame(std::span<const std::uint8_t> frame);

  // Closes both handles of the open unit and marks it closed (Connected false, LastResult set).
  void CloseUnit();

  // True when a unit is open and its feature report is long enough to be commanded.
  bool UnitUsable() const;

  // The serial-number text of a device: the low byte of each UTF-16 code unit up to the first
  // code unit whose low byte is zero, at most 50 characters.
  static std::string SerialText(const std::u16string& units);
  // Firmware version text: major in decimal, a dot, minor in upper-case hexadecimal.
  static std::string VersionText(std::uint16_t version);

 private:
  WindowState& s_;
  // What the last readback wrote into each box, and the opening of the unit it read (unset when
  // it read none).
  std::map<std::string, std::string> shownTexts_;
  std::optional<std::uint64_t> shownEpoch_;
};

}  // namespace tamrik::device
