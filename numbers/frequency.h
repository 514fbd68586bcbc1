#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "numbers/dividers.h"

namespace tamrik::numbers {

// A frequency worked out exactly from whole numbers: numerator / denominator Hz, kept in lowest
// terms with a positive denominator, so that equal frequencies compare equal.
class Frequency {
 public:
  // std::nullopt for a zero denominator.
  static std::optional<Frequency> ratio(std::int64_t numerator, std::int64_t denominator);

  std::int64_t numerator() const { return numerator_; }
  std::int64_t denominator() const { return denominator_; }
  // The nearest double (within one rounding of a long double quotient).
  double hz() const;
  // The whole hertz, the fraction dropped (toward zero).
  std::int64_t wholeHz() const { return numerator_ / denominator_; }

  friend bool operator==(const Frequency&, const Frequency&) = default;

 private:
  Frequency(std::int64_t n, std::int64_t d) : numerator_(n), denominator_(d) {}
  std::int64_t numerator_;
  std::int64_t denominator_;
};

// The frequencies of a divider set, exactly. std::nullopt when a divisor is zero or a product
// leaves 64 bits (no set a unit can hold comes near: its fields keep every product below 2^57).
// Output: GPS * N2_HS * N2_LS / (N31 * N1_HS * NC1_LS).
std::optional<Frequency> outputFrequency(const Dividers& d);
// The PLL's input F3: GPS / N31.
std::optional<Frequency> f3Frequency(const Dividers& d);
// The oscillator Fosc: GPS * N2_HS * N2_LS / N31.
std::optional<Frequency> oscillatorFrequency(const Dividers& d);

// The output frequency as the program shows it: GPS / N31 * N2_LS * N2_HS / N1_HS / NC1_LS in double
// arithmetic, in that order. The divider search computes and compares exactly this number, so a
// request it calls exact shows as typed.
double displayedOutputHz(const Dividers& d);

// The texts of the three frequencies.
// Output in Hz, general number format of displayedOutputHz.
std::string outputHzText(const Dividers& d, std::string_view decimalSeparator = ".");
// F3 in whole Hz, the fraction dropped. (An N31 of 0, which no settings block carries, gives the
// floating-point quotient's text.)
std::string f3HzText(const Dividers& d);
// Fosc in GHz cut (not rounded) to four decimals, trailing zeros dropped. Worked out in integers,
// so that an oscillator on a 100 kHz step (4.209 GHz) is never shown one step below it.
std::string oscillatorGhzText(const Dividers& d, std::string_view decimalSeparator = ".");

}  // namespace tamrik::numbers
