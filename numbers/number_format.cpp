#include "numbers/number_format.h"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace tamrik::numbers {

namespace {

std::string writeGeneral(double value, int precision) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, precision);
  return std::string(buf, r.ptr);
}

}  // namespace

double roundHalfEven(double value) {
  if (!std::isfinite(value)) return value;
  const double floor = std::floor(value);
  const double diff = value - floor;
  if (diff < 0.5) return floor;
  if (diff > 0.5) return floor + 1.0;
  return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

std::optional<std::int32_t> toInt32Nearest(double value) {
  const double r = roundHalfEven(value);
  if (!std::isfinite(r) || r < -2147483648.0 || r > 2147483647.0) return std::nullopt;
  return static_cast<std::int32_t>(r);
}

std::string formatGeneral(double value, std::string_view decimalSeparator) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0) return "0";
  // The fewest significant digits, up to 15, that give back the value as written at 15 digits.
  // charconv is used throughout because it ignores the process locale, which Qt sets from the user's.
  const std::string full = writeGeneral(value, 15);
  double target = 0;
  std::from_chars(full.data(), full.data() + full.size(), target);
  int digits = 15;
  for (int precision = 1; precision < 15; ++precision) {
    const std::string shorter = writeGeneral(value, precision);
    double back = 0;
    std::from_chars(shorter.data(), shorter.data() + shorter.size(), back);
    if (back == target) {
      digits = precision;
      break;
    }
  }
  // Plain decimal notation while the integer part has at most 15 digits and the value is not
  // tiny; exponent notation ("1E+16", "1.5E-07") otherwise.
  const int exponent = static_cast<int>(std::floor(std::log10(std::fabs(target))));
  std::string text;
  if (exponent >= 15 || exponent < -5) {
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, target, std::chars_format::scientific, digits - 1);
    text.assign(buf, r.ptr);
    const auto e = text.find('e');
    text[e] = 'E';
    // Exponent with a sign and at least two digits.
    std::string mantissa = text.substr(0, e), power = text.substr(e + 1);
    const char sign = power[0] == '-' ? '-' : '+';
    if (power[0] == '-' || power[0] == '+') power.erase(0, 1);
    if (power.size() < 2) power.insert(0, "0");
    text = mantissa + "E" + sign + power;
  } else {
    const int decimals = std::max(0, digits - 1 - exponent);
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, target, std::chars_format::fixed, decimals);
    text.assign(buf, r.ptr);
    if (text.find('.') != std::string::npos) {
      while (text.back() == '0') text.pop_back();
      if (text.back() == '.') text.pop_back();
    }
  }
  if (const auto dot = text.find('.'); dot != std::string::npos) text.replace(dot, 1, decimalSeparator);
  return text;
}

std::string scaledDecimal(std::int64_t value, int decimals) {
  // The magnitude as an unsigned number, so that the most negative value has one too.
  const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  std::string text = (value < 0 ? "-" : "") + std::to_string(magnitude / scale);
  if (decimals > 0) {
    std::string fraction = std::to_string(magnitude % scale);
    fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    if (!fraction.empty()) text += "." + fraction;
  }
  return text;
}

}  // namespace tamrik::numbers
