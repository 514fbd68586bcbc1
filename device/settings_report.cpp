#include "device/settings_report.h"

#include <cmath>

#include "core/numbers/number_format.h"

namespace tamrik::device {

namespace {
std::int32_t le24(std::span<const std::uint8_t> r, std::size_t at) {
  return static_cast<std::int32_t>(r[at] | (r[at + 1] << 8) | (r[at + 2] << 16));
}

// The whole part of a value, written as a plain integer.
std::string wholeText(double v) {
  return core::formatGeneral(std::trunc(v));
}
}  // namespace

std::optional<SettingsReport> decodeSettingsReport(std::span<const std::uint8_t> r) {
  if (r.size() < 22) return std::nullopt;
  SettingsReport out;
  out.outputEnabled = (r[1] & 0x01) != 0;
  out.driveIndex = r[2] > 3 ? 3 : r[2];
  out.synth.gps = le24(r, 3);
  out.synth.n31 = le24(r, 6) + 1;
  out.synth.n2_hs = r[9] + 4;
  out.synth.n2_ls = le24(r, 10) + 1;
  out.synth.n1_hs = r[13] + 4;
  out.synth.nc1_ls = le24(r, 14) + 1;
  out.synth.nc2_ls = le24(r, 17) + 1;
  out.synth.bw = r[21];
  return out;
}

std::string outputFrequencyText(std::int64_t gps, std::int64_t n31, std::int64_t n2_hs, std::int64_t n2_ls,
                                std::int64_t n1_hs, std::int64_t nc1_ls, const ui::NumberFormat& format) {
  const auto d = [](std::int64_t v) { return static_cast<double>(v); };
  return core::formatGeneral(d(gps) / d(n31) * d(n2_ls) * d(n2_hs) / d(n1_hs) / d(nc1_ls), format.decimalSeparator);
}

std::string f3Caption(std::int64_t gps, std::int64_t n31) {
  // Integer division drops the fraction. N31 is at least 1 in every settings block; a zero shows
  // as the floating-point quotient would.
  if (n31 == 0) return "F3 = " + wholeText(static_cast<double>(gps) / static_cast<double>(n31)) + " Hz ";
  return "F3 = " + std::to_string(gps / n31) + " Hz ";
}

std::string foscCaption(std::int64_t gps, std::int64_t n31, std::int64_t n2_hs, std::int64_t n2_ls,
                        const ui::NumberFormat& format) {
  // Fosc in steps of 100 kHz, cut: GPS * N2_HS * N2_LS / (N31 * 100000). The fields a unit holds
  // (24-bit GPS and N2_LS, 8-bit N2_HS) keep the product below 2^57.
  std::int64_t product = 0, divisor = 0;
  if (__builtin_mul_overflow(gps, n2_hs, &product) || __builtin_mul_overflow(product, n2_ls, &product) ||
      __builtin_mul_overflow(n31, std::int64_t{100000}, &divisor) || divisor == 0) {
    // Numbers no settings block can carry: the plain floating-point form.
    const double cut = std::trunc(static_cast<double>(gps) / static_cast<double>(n31) * static_cast<double>(n2_hs) *
                                  static_cast<double>(n2_ls) / 100000.0) / 10000.0;
    return "Fosc = " + core::formatGeneral(cut, format.decimalSeparator) + " GHz ";
  }
  const std::int64_t steps = product / divisor;  // truncates toward zero, as dropping a fraction does
  // steps / 10000 GHz in general number format: the whole gigahertz, then the decimals without
  // trailing zeros.
  const std::uint64_t magnitude = steps < 0 ? 0 - static_cast<std::uint64_t>(steps) : static_cast<std::uint64_t>(steps);
  std::string text = (steps < 0 ? "-" : "") + std::to_string(magnitude / 10000);
  if (std::uint64_t fraction = magnitude % 10000; fraction != 0) {
    std::string decimals = std::to_string(fraction);
    decimals.insert(0, 4 - decimals.size(), '0');
    while (decimals.back() == '0') decimals.pop_back();
    text += format.decimalSeparator + decimals;
  }
  return "Fosc = " + text + " GHz ";
}

}  // namespace tamrik::device
