#include "device/settings_report.h"

#include <cmath>

namespace tamrik::device {

namespace {
std::int32_t le24(std::span<const std::uint8_t> r, std::size_t at) {
  return static_cast<std::int32_t>(r[at] | (r[at + 1] << 8) | (r[at + 2] << 16));
}

// The whole part of a value, written as a plain integer.
std::string wholeText(double v) {
  return ui::formatGeneral(std::trunc(v), ui::NumberFormat::point());
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

std::string outputFrequencyText(double gps, double n31, double n2_hs, double n2_ls, double n1_hs, double nc1_ls,
                                const ui::NumberFormat& format) {
  return ui::formatGeneral(gps / n31 * n2_ls * n2_hs / n1_hs / nc1_ls, format);
}

std::string f3Caption(double gps, double n31) { return "F3 = " + wholeText(gps / n31) + " Hz "; }

std::string foscCaption(double gps, double n31, double n2_hs, double n2_ls, const ui::NumberFormat& format) {
  const double cut = std::trunc(gps / n31 * n2_hs * n2_ls / 100000.0) / 10000.0;
  return "Fosc = " + ui::formatGeneral(cut, format) + " GHz ";
}

}  // namespace tamrik::device
