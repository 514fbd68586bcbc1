#pragma once
// The main window's two status lights, GPS signal and PLL lock: their captions and colours for a
// state the unit reported. The window shows them on its labels; the exporter's page shows the same.
#include <cstdint>
#include <string_view>

namespace tamrik::ui {

inline constexpr std::uint32_t kLightRed = 0x6060FF;    // 0xBBGGRR
inline constexpr std::uint32_t kLightGreen = 0xC0FFC0;  // 0xBBGGRR

struct StatusLight {
  std::string_view caption;
  std::uint32_t color = 0;
};

inline StatusLight gpsLight(bool signal) {
  return signal ? StatusLight{"GPS signal OK", kLightGreen} : StatusLight{"No GPS signal", kLightRed};
}
inline StatusLight pllLight(bool locked) {
  return locked ? StatusLight{"PLL lock OK", kLightGreen} : StatusLight{"No PLL lock", kLightRed};
}

}  // namespace tamrik::ui
