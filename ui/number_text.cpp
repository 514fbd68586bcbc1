#include "ui/number_text.h"

#include <charconv>
#include <cmath>

#include "numbers/decimal_text.h"
#include "numbers/number_format.h"

namespace tamrik::ui {

namespace {

std::string withSeparator(std::string text, const NumberFormat& format) {
  const auto dot = text.find('.');
  if (dot != std::string::npos) text.replace(dot, 1, format.decimalSeparator);
  return text;
}

numbers::DecimalReading readNumber(std::string_view text, const NumberFormat& format) {
  return numbers::readDecimal(text, format.decimalSeparator, format.groupSeparator);
}

}  // namespace

std::string formatFixed(double value, int decimals, const NumberFormat& format) {
  if (!std::isfinite(value)) return numbers::formatGeneral(value, format.decimalSeparator);
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return numbers::formatGeneral(value, format.decimalSeparator);
  std::string text(buf, r.ptr);
  // "-0.00" is written as "0.00", as a format pattern does for a value that rounds to zero.
  if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return withSeparator(text, format);
}

std::optional<double> parseNumber(std::string_view text, const NumberFormat& format) {
  const numbers::DecimalReading r = readNumber(text, format);
  if (r.outcome != numbers::DecimalReading::Outcome::Number) return std::nullopt;
  return r.value;
}

std::optional<double> parseNumberSaturating(std::string_view text, const NumberFormat& format) {
  using Outcome = numbers::DecimalReading::Outcome;
  const numbers::DecimalReading r = readNumber(text, format);
  if (r.outcome != Outcome::Number && r.outcome != Outcome::BeyondDouble) return std::nullopt;
  return r.value;
}

std::optional<std::int64_t> parseWholeNumber(std::string_view text, const NumberFormat& format, std::int64_t lo,
                                              std::int64_t hi) {
  const auto value = parseNumber(text, format);
  if (!value) return std::nullopt;
  const double r = numbers::roundHalfEven(*value);
  if (r < static_cast<double>(lo) || r > static_cast<double>(hi)) return std::nullopt;
  return static_cast<std::int64_t>(r);
}

}  // namespace tamrik::ui
