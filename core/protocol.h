#pragma once
// What a Tamrik unit understands and sends, in one place: its USB identity and strings, the
// command frames of its feature reports, the settings report and block, the serial-number and
// clock-drift encodings, the input reports that carry the receiver's bytes, and the receiver
// messages the program switches on. Pure functions over bytes; nothing here talks to a device.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "numbers/dividers.h"

namespace tamrik::core {

// ---- USB identity and strings ----

inline constexpr std::uint16_t kVendorId = 0x1DD2;
inline constexpr std::uint16_t kProductId = 0x2211;
constexpr bool isUnitId(std::uint16_t vendorId, std::uint16_t productId) {
  return vendorId == kVendorId && productId == kProductId;
}

// Device strings (manufacturer, product, serial number) are asked for 100 bytes at a time.
inline constexpr std::size_t kStringRequestBytes = 100;

// A device string as text: the low byte of each UTF-16 code unit up to the first code unit whose
// low byte is zero, at most 50 characters, each byte a Latin-1 character written as UTF-8. The text
// is the unit's own; it is shown, never interpreted.
std::string deviceText(const std::u16string& units);

// The firmware version (the USB device release number) as text: major in decimal, a dot, minor in
// upper-case hexadecimal ("1.20", "2.A").
std::string firmwareText(std::uint16_t version);

// Firmware from this version on answers the version query (command 10) with its next get-feature.
inline constexpr std::uint16_t kFirmwareWithVersionQuery = 0x0114;
// Firmware of this version takes the receiver's messages at the fast rates (navMessageRates).
inline constexpr std::uint16_t kFirmwareWithFastRates = 0x0120;

// ---- Feature reports: commands ----

// The smallest feature report (report ID byte included) that carries the settings report, bytes
// 0 to 21. A unit with a shorter one is shown but never read or commanded: it is not usable.
inline constexpr int kMinimumFeatureReportLength = 22;

enum class Command : std::uint8_t {
  OutputEnable = 1,         // byte 2: 3 on, 0 off
  Blink = 2,                // byte 2: 1 start, 0 stop the front LED's blinking
  DriveStrength = 3,        // byte 2: index into kDriveStrengths
  SynthSettings = 4,        // bytes 2 to 20: the settings block
  RegisterWrite = 5,        // byte 2 register, byte 3 data
  ReceiverPassThrough = 8,  // bytes 2 on: a UBX message (class, id, length, payload) for the receiver
  Query = 10,               // byte 2: what the next get-feature answers instead of the settings report
  ClockDrift = 11,          // bytes 2 and 3: the receiver's clock drift in ns/s, 16-bit, low byte first
  SerialNumber = 0x53,      // 'S', byte 2 'N', bytes 3 to 8 the serial's six characters
};

using Frame = std::vector<std::uint8_t>;

// A command frame: `length` bytes (the unit's feature report length), zero-filled, byte 0 the report
// ID 0, byte 1 the command code. The payload starts at byte 2.
Frame commandFrame(Command code, std::size_t length);

// The frames of each command for a feature report of `length` bytes; std::nullopt when a frame of
// that length cannot carry the command's payload.
std::optional<Frame> outputEnableFrame(bool enabled, std::size_t length);
std::optional<Frame> blinkFrame(bool on, std::size_t length);
std::optional<Frame> driveStrengthFrame(std::uint8_t index, std::size_t length);
std::optional<Frame> registerWriteFrame(std::uint8_t reg, std::uint8_t data, std::size_t length);
// Command 4 with the settings block of d; also std::nullopt when d cannot be encoded (BW not 0 to 255).
std::optional<Frame> settingsFrame(const numbers::Dividers& d, std::size_t length);
// Command 10 asking for `what` in the next get-feature answer: kQueryVersion, the firmware version.
inline constexpr std::uint8_t kQueryVersion = 4;
std::optional<Frame> queryFrame(std::uint8_t what, std::size_t length);
// Command 11 with a drift already clamped (clampDrift).
std::optional<Frame> clockDriftFrame(std::int32_t clampedDrift, std::size_t length);
// Command 8 carrying UBX CFG-MSG: the output rate of one receiver message on the receiver's port 0
// (every `rate`-th navigation solution; 0 switches it off), the other five ports 0.
std::optional<Frame> receiverRateFrame(std::uint8_t messageClass, std::uint8_t messageId, std::uint8_t rate,
                                       std::size_t length);
// Command 8 carrying a UBX message of that class and id without a payload: a poll, which the
// receiver answers with the message asked for (MON-VER, MON-HW, CFG-PRT of its port, ...).
std::optional<Frame> receiverPollFrame(std::uint8_t messageClass, std::uint8_t messageId, std::size_t length);

// The drive strengths of command 3, by index.
inline constexpr std::array<const char*, 4> kDriveStrengths = {"8mA", "16mA", "24mA", "32mA"};

// What "Factory defaults" restores: drive strength 32mA, output on, 10 MHz.
inline constexpr std::uint8_t kFactoryDriveIndex = 3;  // "32mA"
inline constexpr bool kFactoryOutputEnabled = true;
inline constexpr std::uint32_t kFactoryOutputHz = 10000000;
// The index of a drive-strength text exactly as listed, or nothing.
std::optional<std::uint8_t> driveIndexOf(std::string_view text);

// ---- Serial number ----

// The six characters a serial number is programmed with, as the unit stores them, and the serial
// that follows it. Built only from a text of exactly six characters whose first character fits in
// one byte (Latin-1, printable, not a blank) and whose characters 2 to 6 are digits.
struct SerialNumberPlan {
  std::array<std::uint8_t, 6> bytes{};  // frame bytes 3 to 8
  std::string next;                     // the first character, then the number part plus one
};
// The plan for a serial text (UTF-8), or the reason it cannot be programmed, as one sentence.
struct SerialNumberCheck {
  std::optional<SerialNumberPlan> plan;
  std::string problem;  // set when plan is empty
};
SerialNumberCheck planSerialNumber(std::string_view text);
std::optional<Frame> serialNumberFrame(const SerialNumberPlan& plan, std::size_t length);

// ---- Feature reports: the settings report and block ----

// What a get-feature request returns: output flags, drive strength and the settings block.
struct SettingsReport {
  bool outputEnabled = false;
  int driveIndex = 0;  // 0..3; larger values read as 3
  numbers::Dividers dividers;

  friend bool operator==(const SettingsReport&, const SettingsReport&) = default;
};
// Decodes the settings report (report ID in byte 0): byte 1 bit 0 output on, byte 2 drive index,
// bytes 3 to 21 the settings block. Needs at least 22 bytes.
std::optional<SettingsReport> decodeSettingsReport(std::span<const std::uint8_t> report);

// The 19 bytes the unit stores for its synthesizer, as command 4 carries them from frame byte 2 and
// the settings report from byte 3:
//   0-2 GPS, 3-5 N31-1, 6 N2_HS-4, 7-9 N2_LS-1, 10 N1_HS-4, 11-13 NC1_LS-1, 14-16 NC2_LS-1,
//   17 reserved (0), 18 BW.
// Each field is the value less its offset, cut to its low 24 or 8 bits, least significant byte first.
inline constexpr std::size_t kSettingsBlockSize = 19;
using SettingsBlock = std::array<std::uint8_t, kSettingsBlockSize>;
// std::nullopt when BW is not from 0 to 255.
std::optional<SettingsBlock> encodeSettingsBlock(const numbers::Dividers& d);
numbers::Dividers decodeSettingsBlock(std::span<const std::uint8_t, kSettingsBlockSize> block);

// ---- Clock drift ----

// Clamped to the range the unit takes, -7500 to 7500 ns/s.
std::int32_t clampDrift(std::int32_t drift);
// The 16-bit two's-complement bytes, low first, of a clamped drift.
std::array<std::uint8_t, 2> encodeDrift(std::int32_t clampedDrift);

// ---- Input reports ----

// An input report of the unit: byte 0 the report ID, byte 1 the signal loss count, byte 2 the
// status flags, bytes 3 to the end receiver bytes when the report is flagged as carrying them.
inline constexpr std::size_t kReportHeader = 3;
inline constexpr std::uint8_t kNoGpsSignal = 0x01;
inline constexpr std::uint8_t kNoPllLock = 0x02;
inline constexpr std::uint8_t kCarriesReceiverBytes = 0x80;

// The unit's state as an input report tells it.
struct InputStatus {
  std::uint8_t lossCount = 0;  // how often the GPS signal was lost
  bool gpsSignal = false;
  bool pllLock = false;

  friend bool operator==(const InputStatus&, const InputStatus&) = default;
};
// Nothing for a report too short for the status bytes.
std::optional<InputStatus> inputStatus(std::span<const std::uint8_t> report);

// The whole reports of reportLength bytes in the first n bytes of a read; a trailing partial
// report does not count, and a length too short for the status bytes gives none.
std::size_t wholeReports(std::size_t n, int reportLength);
// The receiver bytes of one whole report: all of bytes 3 onwards when it is flagged, else none.
std::span<const std::uint8_t> receiverBytes(std::span<const std::uint8_t> report);

// ---- Receiver messages ----

// The output rate of one receiver message.
struct MessageRate {
  std::uint8_t messageClass = 0;
  std::uint8_t messageId = 0;
  std::uint8_t rate = 0;
  friend bool operator==(const MessageRate&, const MessageRate&) = default;
};
// The receiver messages the program reads, NAV-SVINFO, NAV-CLOCK and NAV-PVT in this order, at the
// rates for the unit's firmware: every 2nd, 2nd and every solution with firmware 1.20, every 20th,
// 20th and 10th with any other firmware or when the version is not known.
std::array<MessageRate, 3> navMessageRates(std::optional<std::uint16_t> firmware);
// The same three messages switched off.
std::array<MessageRate, 3> navMessagesOff();

}  // namespace tamrik::core
