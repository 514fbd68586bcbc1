#pragma once
#include <array>
#include <cstdint>

namespace tamrik::numbers {

// The synthesizer's divider set as whole numbers: the reference GPS (Hz) divided by N31 feeds the
// PLL, whose oscillator runs at GPS / N31 * N2_HS * N2_LS; the output is that divided by N1_HS and
// NC1_LS (NC2_LS drives the second output). BW selects the loop bandwidth. This is the one divider
// struct of the program: the settings report, the settings block, the divider search and the
// window all speak it.
struct Dividers {
  std::int32_t gps = 0;
  std::int32_t n31 = 0;
  std::int32_t n2_hs = 0;
  std::int32_t n2_ls = 0;
  std::int32_t n1_hs = 0;
  std::int32_t nc1_ls = 0;
  std::int32_t nc2_ls = 0;
  std::int32_t bw = 0;

  friend bool operator==(const Dividers&, const Dividers&) = default;
};

// The ranges an Update brings the dividers into before it programs them, in the order GPS, N31,
// N2_HS, N2_LS, N1_HS, NC1_LS, NC2_LS. A value below the minimum takes the minimum, one above the
// maximum the maximum, and an odd value of a divider that must be even drops to the even number
// below. `fallback` is the unit's factory value, taken for a value that is not a number at all.
struct DividerLimit {
  std::int32_t Dividers::*field;
  std::int32_t fallback;
  std::int32_t minimum;
  std::int32_t maximum;
  bool even;
};
// NC1_LS has a floor of 1 only so that the value stays defined: an Update refuses a value below 1
// before it brings the others into range.
inline constexpr std::array<DividerLimit, 7> kUpdateLimits = {{
    {&Dividers::gps, 2875000, 1, 10000000, false},
    {&Dividers::n31, 3, 1, 524288, false},
    {&Dividers::n2_hs, 11, 4, 11, false},
    {&Dividers::n2_ls, 480, 2, 1048576, true},
    {&Dividers::n1_hs, 11, 4, 11, false},
    {&Dividers::nc1_ls, 46, 1, 1048576, false},
    {&Dividers::nc2_ls, 46, 2, 1048576, true},
}};

// One whole number brought into a limit's range.
constexpr std::int32_t withinLimit(const DividerLimit& limit, std::int64_t value) {
  std::int64_t v = value < limit.minimum ? limit.minimum : (value > limit.maximum ? limit.maximum : value);
  if (limit.even) v -= v % 2;
  return static_cast<std::int32_t>(v);
}

// The divider set an Update programs for d: NC2_LS takes NC1_LS's value, then every divider is
// brought into its range; BW is kept.
constexpr Dividers forUpdate(Dividers d) {
  d.nc2_ls = d.nc1_ls;
  for (const DividerLimit& limit : kUpdateLimits) d.*limit.field = withinLimit(limit, d.*limit.field);
  return d;
}

}  // namespace tamrik::numbers
