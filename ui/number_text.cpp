#include "ui/number_text.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tamrik::ui {

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

namespace {

std::string withSeparator(std::string text, const NumberFormat& format) {
  const auto dot = text.find('.');
  if (dot != std::string::npos) text.replace(dot, 1, format.decimalSeparator);
  return text;
}

std::string writeGeneral(double value, int precision) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, precision);
  return std::string(buf, r.ptr);
}

}  // namespace

std::string formatGeneral(double value, const NumberFormat& format) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0) return "0";
  // The shortest precision up to 15 digits that reads back as the value written at 15 digits.
  // charconv is used throughout because it ignores the process locale, which Qt sets from the user's.
  const std::string full = writeGeneral(value, 15);
  double target = 0;
  std::from_chars(full.data(), full.data() + full.size(), target);
  std::string text = full;
  for (int precision = 1; precision < 15; ++precision) {
    std::string shorter = writeGeneral(value, precision);
    double back = 0;
    std::from_chars(shorter.data(), shorter.data() + shorter.size(), back);
    if (back == target) {
      text = std::move(shorter);
      break;
    }
  }
  // Exponent form as "1E+16" / "1E-05".
  if (const auto e = text.find('e'); e != std::string::npos) text[e] = 'E';
  return withSeparator(text, format);
}

std::string formatFixed(double value, int decimals, const NumberFormat& format) {
  if (!std::isfinite(value)) return formatGeneral(value, format);
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return formatGeneral(value, format);
  std::string text(buf, r.ptr);
  // "-0.00" is written as "0.00", as a format pattern does for a value that rounds to zero.
  if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return withSeparator(text, format);
}

std::optional<double> parseNumber(std::string_view text, const NumberFormat& format) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return std::nullopt;

  std::string plain;  // the number rewritten in the C locale
  std::size_t i = 0;
  if (text[i] == '+' || text[i] == '-') plain += text[i++];
  bool digitsBefore = false;
  bool lastWasDigit = false;
  while (i < text.size()) {
    const char c = text[i];
    if (c >= '0' && c <= '9') {
      plain += c;
      digitsBefore = lastWasDigit = true;
      ++i;
    } else if (!format.groupSeparator.empty() && lastWasDigit && text.substr(i).starts_with(format.groupSeparator) &&
               i + format.groupSeparator.size() < text.size() && text[i + format.groupSeparator.size()] >= '0' &&
               text[i + format.groupSeparator.size()] <= '9' && format.groupSeparator != format.decimalSeparator) {
      i += format.groupSeparator.size();
      lastWasDigit = false;
    } else {
      break;
    }
  }
  bool digitsAfter = false;
  if (i < text.size() && text.substr(i).starts_with(format.decimalSeparator)) {
    i += format.decimalSeparator.size();
    plain += '.';
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      plain += text[i++];
      digitsAfter = true;
    }
  }
  if (!digitsBefore && !digitsAfter) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::string exponent = "e";
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent += text[j++];
    bool expDigits = false;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
      exponent += text[j++];
      expDigits = true;
    }
    if (!expDigits) return std::nullopt;
    plain += exponent;
    i = j;
  }
  if (i != text.size()) return std::nullopt;
  // from_chars takes no leading '+'.
  std::string_view digits = plain;
  if (digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (r.ec != std::errc() || r.ptr != digits.data() + digits.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<std::int64_t> parseWholeNumber(std::string_view text, const NumberFormat& format, std::int64_t lo,
                                              std::int64_t hi) {
  const auto value = parseNumber(text, format);
  if (!value) return std::nullopt;
  const double r = roundHalfEven(*value);
  if (r < static_cast<double>(lo) || r > static_cast<double>(hi)) return std::nullopt;
  return static_cast<std::int64_t>(r);
}

}  // namespace tamrik::ui
