#include "ui/number_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "numbers/number_format.h"

namespace tamrik::ui {

namespace {

std::string withSeparator(std::string text, const NumberFormat& format) {
  const auto dot = text.find('.');
  if (dot != std::string::npos) text.replace(dot, 1, format.decimalSeparator);
  return text;
}

// A group separator is taken only between digit groups of three ("12,345,678"), so that a text
// written with the other locale's decimal separator ("364.2" where "," is the decimal) is refused
// instead of being read as a different number.
bool isGroupSeparatorAt(std::string_view text, std::size_t i, const NumberFormat& format) {
  const std::string& sep = format.groupSeparator;
  if (sep.empty() || sep == format.decimalSeparator || !text.substr(i).starts_with(sep)) return false;
  const std::size_t start = i + sep.size();
  if (start + 3 > text.size()) return false;
  for (std::size_t k = start; k < start + 3; ++k) {
    if (text[k] < '0' || text[k] > '9') return false;
  }
  return start + 3 == text.size() || text[start + 3] < '0' || text[start + 3] > '9';
}

}  // namespace

std::string formatFixed(double value, int decimals, const NumberFormat& format) {
  if (!std::isfinite(value)) return core::formatGeneral(value, format.decimalSeparator);
  char buf[400];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (r.ec != std::errc()) return core::formatGeneral(value, format.decimalSeparator);
  std::string text(buf, r.ptr);
  // "-0.00" is written as "0.00", as a format pattern does for a value that rounds to zero.
  if (text[0] == '-' && text.find_first_not_of("-0.") == std::string::npos) text.erase(0, 1);
  return withSeparator(text, format);
}

namespace {

// A number that from_chars found out of a double's range: true when its magnitude is too large,
// false when it is too small. plain is the number in the C locale: an optional sign, digits with an
// optional point, an optional exponent.
bool beyondLargestDouble(std::string_view plain) {
  std::size_t i = 0;
  if (i < plain.size() && (plain[i] == '+' || plain[i] == '-')) ++i;
  // The power of ten of the first digit that is not 0.
  long long wholeDigits = 0, leading = 0, position = 0;
  bool seenPoint = false, found = false;
  for (; i < plain.size() && plain[i] != 'e'; ++i) {
    if (plain[i] == '.') {
      seenPoint = true;
      continue;
    }
    if (!seenPoint) ++wholeDigits;
    if (!found && plain[i] != '0') {
      found = true;
      leading = position;
    }
    ++position;
  }
  if (!found) return false;  // zero is never out of range
  long long exponent = 0;
  if (i < plain.size()) {
    ++i;
    const bool negative = i < plain.size() && plain[i] == '-';
    if (i < plain.size() && (plain[i] == '+' || plain[i] == '-')) ++i;
    constexpr long long kFarBeyond = 1'000'000'000'000LL;  // any larger exponent says the same
    for (; i < plain.size(); ++i) exponent = std::min(exponent * 10 + (plain[i] - '0'), kFarBeyond);
    if (negative) exponent = -exponent;
  }
  return wholeDigits - 1 - leading + exponent >= 0;
}

// What a text says: a finite number, a number beyond a double's range, or no number at all.
enum class Reading { Number, BeyondDouble, NotANumber };

Reading readNumber(std::string_view text, const NumberFormat& format, double& value) {
  auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return Reading::NotANumber;

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
    } else if (isGroupSeparatorAt(text, i, format) && lastWasDigit) {
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
  if (!digitsBefore && !digitsAfter) return Reading::NotANumber;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::string exponent = "e";
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) exponent += text[j++];
    bool expDigits = false;
    while (j < text.size() && text[j] >= '0' && text[j] <= '9') {
      exponent += text[j++];
      expDigits = true;
    }
    if (!expDigits) return Reading::NotANumber;
    plain += exponent;
    i = j;
  }
  if (i != text.size()) return Reading::NotANumber;
  // from_chars takes no leading '+'.
  std::string_view digits = plain;
  if (digits.front() == '+') digits.remove_prefix(1);
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (r.ptr != digits.data() + digits.size()) return Reading::NotANumber;
  if (r.ec == std::errc::result_out_of_range) {
    const bool large = beyondLargestDouble(plain);
    const double sign = plain.front() == '-' ? -1.0 : 1.0;
    value = large ? sign * std::numeric_limits<double>::infinity() : sign * 0.0;
    return Reading::BeyondDouble;
  }
  if (r.ec != std::errc() || !std::isfinite(value)) return Reading::NotANumber;
  return Reading::Number;
}

}  // namespace

std::optional<double> parseNumber(std::string_view text, const NumberFormat& format) {
  double value = 0;
  if (readNumber(text, format, value) != Reading::Number) return std::nullopt;
  return value;
}

std::optional<double> parseNumberSaturating(std::string_view text, const NumberFormat& format) {
  double value = 0;
  if (readNumber(text, format, value) == Reading::NotANumber) return std::nullopt;
  return value;
}

std::optional<std::int64_t> parseWholeNumber(std::string_view text, const NumberFormat& format, std::int64_t lo,
                                              std::int64_t hi) {
  const auto value = parseNumber(text, format);
  if (!value) return std::nullopt;
  const double r = core::roundHalfEven(*value);
  if (r < static_cast<double>(lo) || r > static_cast<double>(hi)) return std::nullopt;
  return static_cast<std::int64_t>(r);
}

}  // namespace tamrik::ui
