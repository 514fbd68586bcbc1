#include "numbers/decimal_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace tamrik::numbers {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

// A group separator is taken only between digit groups of three ("12,345,678"), so that a text
// written with the other locale's decimal separator ("364.2" where "," is the decimal) is refused
// instead of being read as a different number.
bool isGroupSeparatorAt(std::string_view text, std::size_t i, std::string_view sep, std::string_view decimal) {
  if (sep.empty() || sep == decimal || !text.substr(i).starts_with(sep)) return false;
  const std::size_t start = i + sep.size();
  if (start + 3 > text.size()) return false;
  for (std::size_t k = start; k < start + 3; ++k) {
    if (!isDigit(text[k])) return false;
  }
  return start + 3 == text.size() || !isDigit(text[start + 3]);
}

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

}  // namespace

DecimalReading readDecimal(std::string_view text, std::string_view decimalSeparator, std::string_view groupSeparator) {
  using Outcome = DecimalReading::Outcome;
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return {Outcome::Empty, 0.0, {}};

  std::string plain;  // the number rewritten in the C locale
  std::size_t i = 0;
  if (text[i] == '+' || text[i] == '-') plain += text[i++];
  bool digitsBefore = false;
  bool lastWasDigit = false;
  while (i < text.size()) {
    if (isDigit(text[i])) {
      plain += text[i++];
      digitsBefore = lastWasDigit = true;
    } else if (lastWasDigit && isGroupSeparatorAt(text, i, groupSeparator, decimalSeparator)) {
      i += groupSeparator.size();
      lastWasDigit = false;
    } else {
      break;
    }
  }
  bool digitsAfter = false;
  if (i < text.size() && text.substr(i).starts_with(decimalSeparator)) {
    i += decimalSeparator.size();
    plain += '.';
    while (i < text.size() && isDigit(text[i])) {
      plain += text[i++];
      digitsAfter = true;
    }
  }
  if (!digitsBefore && !digitsAfter) return {Outcome::NotANumber, 0.0, {}};
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-')) ++j;
    const std::size_t digits = j;
    while (j < text.size() && isDigit(text[j])) ++j;
    if (j > digits) {
      plain += 'e';
      plain += text.substr(i + 1, j - i - 1);
      i = j;
    }
  }
  if (i != text.size()) return {Outcome::Trailing, 0.0, text.substr(i)};

  // from_chars takes no leading '+'.
  std::string_view number = plain;
  if (number.front() == '+') number.remove_prefix(1);
  double value = 0.0;
  const auto r = std::from_chars(number.data(), number.data() + number.size(), value);
  if (r.ptr != number.data() + number.size()) return {Outcome::NotANumber, 0.0, {}};
  if (r.ec == std::errc::result_out_of_range) {
    const double sign = plain.front() == '-' ? -1.0 : 1.0;
    const double far = beyondLargestDouble(plain) ? std::numeric_limits<double>::infinity() : 0.0;
    return {Outcome::BeyondDouble, sign * far, {}};
  }
  if (r.ec != std::errc() || !std::isfinite(value)) return {Outcome::NotANumber, 0.0, {}};
  return {Outcome::Number, value, {}};
}

}  // namespace tamrik::numbers
