#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tamrik::ui {

// How the user's locale writes numbers. Both separators are UTF-8 text.
struct NumberFormat {
  std::string decimalSeparator = ".";
  std::string groupSeparator = ",";

  static NumberFormat point() { return {".", ","}; }
  static NumberFormat comma() { return {",", "."}; }
};

// Numbers are written in general number format with numbers::formatGeneral, passing the user's
// decimal separator.

// A fixed number of decimals, as the pattern "0.0000000" writes it, with the locale's separator.
std::string formatFixed(double value, int decimals, const NumberFormat& format);

// Reads a whole text as a number in the user's format (numbers::readDecimal): optional blanks around it, an optional sign,
// digits with optional group separators between them, an optional fraction after the decimal
// separator and an optional exponent. Anything else (empty text, letters, trailing characters)
// gives std::nullopt.
std::optional<double> parseNumber(std::string_view text, const NumberFormat& format);

// As parseNumber, but a number written correctly whose magnitude lies beyond what a double holds is
// read as the double at that end: +-infinity when it is too large ("1e400") and a zero of its sign
// when it is too small ("1e-400"). std::nullopt only for a text that is not a number.
std::optional<double> parseNumberSaturating(std::string_view text, const NumberFormat& format);

// Reads a whole number from lo to hi written in the user's format; a fraction goes to the nearest
// integer, halves to even. std::nullopt when the text is not a number or lies outside the range.
std::optional<std::int64_t> parseWholeNumber(std::string_view text, const NumberFormat& format, std::int64_t lo,
                                              std::int64_t hi);

}  // namespace tamrik::ui
