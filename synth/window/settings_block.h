#pragma once
#include <array>
#include <cstdint>
#include <optional>

namespace tamrik::synth {

// The divider set as the numbers the settings boxes hold (a box may hold a fraction).
struct DividerSettings {
  double gps = 0, n31 = 0, n2_hs = 0, n2_ls = 0, n1_hs = 0, nc1_ls = 0, nc2_ls = 0, bw = 0;
};

inline constexpr std::size_t kSettingsBlockSize = 19;
using SettingsBlockBytes = std::array<std::uint8_t, kSettingsBlockSize>;

// The 19 bytes the unit stores for its synthesizer, as command 4 carries them from frame byte 2:
//   0-2 GPS, 3-5 N31-1, 6 N2_HS-4, 7-9 N2_LS-1, 10 N1_HS-4, 11-13 NC1_LS-1, 14-16 NC2_LS-1,
//   17 reserved (0), 18 BW.
// Each field is the nearest integer (halves to even) of the value less its offset, cut to its
// low 24 or 8 bits, least significant byte first. std::nullopt when a field cannot be encoded at
// all: a value beyond a 32-bit integer, or BW not from 0 to 255 once rounded.
std::optional<SettingsBlockBytes> SettingsBlock(const DividerSettings& d);

}  // namespace tamrik::synth
