#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/sim/sim_clock.h"

namespace tamrik::sim {

inline constexpr std::uint16_t kTamrikVendorId = 0x1DD2;
inline constexpr std::uint16_t kTamrikProductId = 0x2211;

// Command codes of the feature-report frame (byte 1).
namespace command {
inline constexpr std::uint8_t kOutputEnable = 1;
inline constexpr std::uint8_t kLedBlink = 2;
inline constexpr std::uint8_t kDriveStrength = 3;
inline constexpr std::uint8_t kSynthSettings = 4;
inline constexpr std::uint8_t kRegisterWrite = 5;
inline constexpr std::uint8_t kReceiverPassThrough = 8;
inline constexpr std::uint8_t kQuery = 10;
inline constexpr std::uint8_t kClockDrift = 11;
inline constexpr std::uint8_t kSerialNumber = 0x53;  // 'S', followed by 'N' and six characters
}  // namespace command

// The synthesizer's divider set as whole numbers (not the offset values the block carries).
struct DividerSet {
  std::uint32_t gps = 2875000;
  std::uint32_t n31 = 3;
  std::uint32_t n2Hs = 11;
  std::uint32_t n2Ls = 480;
  std::uint32_t n1Hs = 11;
  std::uint32_t nc1Ls = 46;
  std::uint32_t nc2Ls = 46;
  std::uint8_t reserved = 0;
  std::uint8_t bw = 9;

  double f3() const { return static_cast<double>(gps) / n31; }
  double fosc() const { return f3() * n2Hs * n2Ls; }
  // The PLL can lock only with the oscillator at 4.2 to 6.5 GHz and the phase detector at 2 kHz
  // to 2 MHz.
  bool workable() const;

  friend bool operator==(const DividerSet&, const DividerSet&) = default;
};

inline constexpr std::size_t kSettingsBlockLength = 19;
// 24-bit fields little-endian; dividers carry their offsets (N31 - 1, N2_HS - 4, ...).
std::array<std::uint8_t, kSettingsBlockLength> encodeSettingsBlock(const DividerSet& s);
DividerSet decodeSettingsBlock(std::span<const std::uint8_t, kSettingsBlockLength> block);

// A message handed on to the receiver by the pass-through command.
struct PassThroughMessage {
  std::uint8_t cls = 0;
  std::uint8_t id = 0;
  std::vector<std::uint8_t> payload;
};

// What the firmware keeps in its non-volatile memory over a power cycle (the serial number, kept
// too, is part of the unit's USB identity and lives with it).
struct NonVolatileSettings {
  DividerSet settings;
  std::uint8_t outputFlags = 3;
  std::uint8_t driveIndex = 3;

  friend bool operator==(const NonVolatileSettings&, const NonVolatileSettings&) = default;
};

// What the unit's firmware holds. The synthesizer settings, output, drive strength and serial
// number survive a power cycle; the LED blinking, the query and the PLL lock do not.
struct FirmwareState {
  DividerSet settings;
  std::uint8_t outputFlags = 3;  // as command 1 last set it; bit 0: clock output on
  std::uint8_t driveIndex = 3;   // as command 3 last set it, not limited
  bool ledBlinking = false;
  std::array<std::uint8_t, 256> registers{};
  std::optional<std::int16_t> drift;  // last value of command 11
  std::optional<std::uint8_t> pendingQuery;
  std::vector<std::vector<std::uint8_t>> commands;  // every accepted set-feature report, as received
  std::vector<PassThroughMessage> passThrough;
  int featureReads = 0;
};

// The unit's command interpreter and its settings report.
class FirmwareModel {
 public:
  FirmwareModel(std::uint16_t firmwareVersion, std::chrono::milliseconds relockDelay,
                std::chrono::milliseconds pllStartup);

  struct Effects {
    std::optional<PassThroughMessage> toReceiver;
    std::optional<std::u16string> newSerial;  // the unit re-enumerates under it
  };
  // Applies one set-feature report (byte 0 report ID, byte 1 command code). Unknown codes and
  // payloads that do not fit into the report are ignored; the report is recorded either way.
  Effects apply(std::span<const std::uint8_t> report, SteadyTime now);

  // The get-feature answer, `length` bytes: the answer to a pending query once, else the settings
  // report (byte 1 output flags, byte 2 drive index, bytes 3..21 the settings block).
  std::vector<std::uint8_t> featureReport(std::size_t length);

  // Power-up: the PLL locks after its start-up time (if the stored settings allow it).
  void powerOn(SteadyTime now);
  // What a power cycle keeps, and putting it back as a unit does from its memory (before powerOn).
  NonVolatileSettings nonVolatile() const { return {state_.settings, state_.outputFlags, state_.driveIndex}; }
  void restore(const NonVolatileSettings& kept);
  bool pllLocked(SteadyTime t) const;
  // A fault in the loop: the PLL loses its lock until told otherwise, then locks again after its
  // relock time (for settings it can follow).
  void setLockLost(bool lost, SteadyTime now);

  void setFirmwareVersion(std::uint16_t v) { version_ = v; }
  std::uint16_t firmwareVersion() const { return version_; }
  const FirmwareState& state() const { return state_; }

 private:
  std::uint16_t version_;
  std::chrono::milliseconds relockDelay_;
  std::chrono::milliseconds pllStartup_;
  FirmwareState state_;
  std::optional<SteadyTime> lockAt_;  // none: the PLL cannot lock with the current settings
  bool lockLost_ = false;             // setLockLost: unlocked whatever lockAt_ says
};

}  // namespace tamrik::sim
