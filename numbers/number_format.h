#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tamrik::numbers {

// General number format, the one number writer of the program: the shortest text that gives the
// value back at up to 15 significant digits, no grouping, the given decimal separator (the window
// passes the user's, which may be longer than one character; tools pass "."). Plain decimals while
// the integer part has at most 15 digits and the value is not below 1E-05; exponent form beyond
// ("1E+16", "1.5E-07"). "NaN", "Infinity" and "-Infinity" for the values that are no numbers; a
// zero of either sign is "0".
std::string formatGeneral(double value, std::string_view decimalSeparator = ".");

// Nearest integer, a value exactly halfway going to the even neighbour.
double roundHalfEven(double value);

// roundHalfEven into a 32-bit integer; std::nullopt when the value is not finite or out of range.
std::optional<std::int32_t> toInt32Nearest(double value);

// value / 10^decimals written exactly, trailing zeros dropped: scaledDecimal(460569000, 7) is
// "46.0569", scaledDecimal(-1500, 3) "-1.5".
std::string scaledDecimal(std::int64_t value, int decimals);

}  // namespace tamrik::numbers
