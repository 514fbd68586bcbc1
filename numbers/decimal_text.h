#pragma once
#include <string_view>

namespace tamrik::numbers {

// What a text says as a decimal number.
struct DecimalReading {
  enum class Outcome {
    Number,        // value is the double nearest to the number written
    BeyondDouble,  // written correctly, but beyond a double: value is +-infinity when the number is
                   // too large and a zero of its sign when it is too small
    Empty,         // nothing but blanks
    NotANumber,    // no digits where the number should start
    Trailing,      // a number with rest after it
  };
  Outcome outcome = Outcome::Empty;
  double value = 0.0;
  std::string_view rest;  // Trailing: what follows the number, up to the blanks at the end
};

// The program's one decimal reader, for the window's number boxes and tamrikctl's arguments alike.
// Reads a whole text: optional blanks (space, tab) around it, an optional sign, digits with the
// group separator between digit groups of three, an optional fraction after the decimal separator
// and an optional exponent (e or E, an optional sign, digits). An exponent without digits is not
// one: "1e" is 1 with "e" after it. The separators are UTF-8 text; an empty group separator, or one
// equal to the decimal separator, is never taken. Whether a number beyond a double is taken, and
// how a refusal is worded, is the caller's.
DecimalReading readDecimal(std::string_view text, std::string_view decimalSeparator = ".",
                           std::string_view groupSeparator = {});

}  // namespace tamrik::numbers
