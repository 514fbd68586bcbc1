#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "ui/number_text.h"

namespace tamrik::device {

// The synthesizer settings as whole numbers, the way the unit stores them.
struct SynthSettings {
  std::int32_t gps = 0;
  std::int32_t n31 = 0;
  std::int32_t n2_hs = 0;
  std::int32_t n2_ls = 0;
  std::int32_t n1_hs = 0;
  std::int32_t nc1_ls = 0;
  std::int32_t nc2_ls = 0;
  std::int32_t bw = 0;
};

// What a get-feature request returns: output flags, drive strength and the settings block.
struct SettingsReport {
  bool outputEnabled = false;
  int driveIndex = 0;  // 0..3; larger values read as 3
  SynthSettings synth;
};

// Decodes the settings report (report ID in byte 0). Needs at least 22 bytes.
std::optional<SettingsReport> decodeSettingsReport(std::span<const std::uint8_t> report);

// The texts shown for a divider set, all from the whole numbers the unit holds or is sent:
// output = GPS / N31 * N2_LS * N2_HS / N1_HS / NC1_LS, in double precision in that order, in
// general number format;
std::string outputFrequencyText(std::int64_t gps, std::int64_t n31, std::int64_t n2_hs, std::int64_t n2_ls,
                                std::int64_t n1_hs, std::int64_t nc1_ls, const ui::NumberFormat& format);
// "F3 = " + whole part of GPS / N31 + " Hz ";
std::string f3Caption(std::int64_t gps, std::int64_t n31);
// "Fosc = " + the oscillator frequency GPS / N31 * N2_HS * N2_LS in GHz, cut (not rounded) to four
// decimals + " GHz ". Worked out in integers, so that a frequency on a 100 kHz step (4.209 GHz)
// is never shown one step below it.
std::string foscCaption(std::int64_t gps, std::int64_t n31, std::int64_t n2_hs, std::int64_t n2_ls,
                        const ui::NumberFormat& format);

}  // namespace tamrik::device
