#include "numbers/frequency.h"

#include <cmath>
#include <limits>
#include <numeric>

#include "numbers/number_format.h"

namespace tamrik::numbers {

namespace {

// a * b * c, or nothing when it leaves 64 bits.
std::optional<std::int64_t> product(std::int64_t a, std::int64_t b, std::int64_t c = 1) {
  std::int64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out) || __builtin_mul_overflow(out, c, &out)) return std::nullopt;
  return out;
}

std::optional<Frequency> fraction(std::optional<std::int64_t> numerator, std::optional<std::int64_t> denominator) {
  if (!numerator || !denominator) return std::nullopt;
  return Frequency::ratio(*numerator, *denominator);
}

}  // namespace

std::optional<Frequency> Frequency::ratio(std::int64_t numerator, std::int64_t denominator) {
  // The most negative value has no positive counterpart to normalise the sign with.
  constexpr std::int64_t kLowest = std::numeric_limits<std::int64_t>::min();
  if (denominator == 0 || numerator == kLowest || denominator == kLowest) return std::nullopt;
  const std::int64_t g = std::gcd(numerator, denominator);
  numerator /= g;
  denominator /= g;
  if (denominator < 0) {
    numerator = -numerator;
    denominator = -denominator;
  }
  return Frequency(numerator, denominator);
}

double Frequency::hz() const {
  return static_cast<double>(static_cast<long double>(numerator_) / static_cast<long double>(denominator_));
}

std::optional<Frequency> outputFrequency(const Dividers& d) {
  return fraction(product(d.gps, d.n2_hs, d.n2_ls), product(d.n31, d.n1_hs, d.nc1_ls));
}

std::optional<Frequency> f3Frequency(const Dividers& d) { return Frequency::ratio(d.gps, d.n31); }

std::optional<Frequency> oscillatorFrequency(const Dividers& d) {
  return fraction(product(d.gps, d.n2_hs, d.n2_ls), std::int64_t{d.n31});
}

double displayedOutputHz(const Dividers& d) {
  const auto v = [](std::int32_t x) { return static_cast<double>(x); };
  return v(d.gps) / v(d.n31) * v(d.n2_ls) * v(d.n2_hs) / v(d.n1_hs) / v(d.nc1_ls);
}

std::string outputHzText(const Dividers& d, std::string_view decimalSeparator) {
  return formatGeneral(displayedOutputHz(d), decimalSeparator);
}

std::string f3HzText(const Dividers& d) {
  if (d.n31 == 0) return formatGeneral(std::trunc(static_cast<double>(d.gps) / static_cast<double>(d.n31)));
  return std::to_string(std::int64_t{d.gps} / d.n31);
}

std::string oscillatorGhzText(const Dividers& d, std::string_view decimalSeparator) {
  // Fosc in steps of 100 kHz, cut: GPS * N2_HS * N2_LS / (N31 * 100000).
  const auto numerator = product(d.gps, d.n2_hs, d.n2_ls);
  const auto divisor = product(d.n31, 100000);
  if (!numerator || !divisor || *divisor == 0) {
    // Numbers no settings block can carry: the plain floating-point form.
    const double cut = std::trunc(static_cast<double>(d.gps) / static_cast<double>(d.n31) *
                                  static_cast<double>(d.n2_hs) * static_cast<double>(d.n2_ls) / 100000.0) /
                       10000.0;
    return formatGeneral(cut, decimalSeparator);
  }
  const std::int64_t steps = *numerator / *divisor;  // truncates toward zero, as dropping a fraction does
  // steps / 10000 GHz in general number format: the whole gigahertz, then the decimals without
  // trailing zeros.
  const std::uint64_t magnitude = steps < 0 ? 0 - static_cast<std::uint64_t>(steps) : static_cast<std::uint64_t>(steps);
  std::string text = (steps < 0 ? "-" : "") + std::to_string(magnitude / 10000);
  if (std::uint64_t fraction = magnitude % 10000; fraction != 0) {
    std::string decimals = std::to_string(fraction);
    decimals.insert(0, 4 - decimals.size(), '0');
    while (decimals.back() == '0') decimals.pop_back();
    text += std::string(decimalSeparator) + decimals;
  }
  return text;
}

}  // namespace tamrik::numbers
