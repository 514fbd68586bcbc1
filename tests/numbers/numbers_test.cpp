// The unit's numbers: the general number format, rounding, the decimal reader, the frequencies of a
// divider set and the ranges an Update brings it into.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string_view>

#include "numbers/decimal_text.h"
#include "numbers/dividers.h"
#include "numbers/frequency.h"
#include "numbers/number_format.h"

namespace tamrik::numbers {
namespace {

TEST(RoundHalfEven, HalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(roundHalfEven(2.5), 2.0);
  EXPECT_EQ(roundHalfEven(3.5), 4.0);
  EXPECT_EQ(roundHalfEven(-2.5), -2.0);
  EXPECT_EQ(roundHalfEven(-3.5), -4.0);
  EXPECT_EQ(roundHalfEven(2.4999), 2.0);
  EXPECT_EQ(toInt32Nearest(2147483647.4), 2147483647);
  EXPECT_FALSE(toInt32Nearest(2147483648.0));
  EXPECT_FALSE(toInt32Nearest(std::nan("")));
}

// One writer for the window (the user's separator, possibly longer than one character) and for the
// planner's and tamrikctl's texts.
TEST(FormatGeneral, ShortestFormUpToFifteenDigitsWithTheGivenSeparator) {
  EXPECT_EQ(formatGeneral(10000000), "10000000");
  EXPECT_EQ(formatGeneral(5.06), "5.06");
  EXPECT_EQ(formatGeneral(5.06, ","), "5,06");
  EXPECT_EQ(formatGeneral(5.06, "\xE2\x80\xA4"), "5\xE2\x80\xA4" "06");  // a separator of three bytes
  EXPECT_EQ(formatGeneral(777777776.25), "777777776.25");
  EXPECT_EQ(formatGeneral(-0.75), "-0.75");
  EXPECT_EQ(formatGeneral(0.1 + 0.2), "0.3");  // 15 digits hide the binary tail
  EXPECT_EQ(formatGeneral(9999999.99999997), "9999999.99999997");
  EXPECT_EQ(formatGeneral(812499999.123456789, ","), "812499999,123457");
  EXPECT_EQ(formatGeneral(1000000000), "1000000000");
  EXPECT_EQ(formatGeneral(123456789012345.0), "123456789012345");
  EXPECT_EQ(formatGeneral(1e16), "1E+16");
  EXPECT_EQ(formatGeneral(0.0001), "0.0001");
  EXPECT_EQ(formatGeneral(0.00001), "0.00001");
  EXPECT_EQ(formatGeneral(1.5e-7), "1.5E-07");
  EXPECT_EQ(formatGeneral(0), "0");
  EXPECT_EQ(formatGeneral(-0.0), "0");
  EXPECT_EQ(formatGeneral(std::numeric_limits<double>::infinity()), "Infinity");
  EXPECT_EQ(formatGeneral(std::nan("")), "NaN");
}

// What the window's number boxes and tamrikctl's arguments build on: the outcome, the value with its
// sign, and where a number ends, which tamrikctl quotes in its refusal.
TEST(ReadDecimal, SaysWhatATextIsAndWhereItsNumberEnds) {
  using O = DecimalReading::Outcome;
  constexpr double kInf = std::numeric_limits<double>::infinity();
  struct Case {
    std::string_view text, decimal, group;
    O outcome;
    double value;
    std::string_view rest;
  };
  for (const Case& c : {
           Case{" -12,345.5e1\t", ".", ",", O::Number, -123455, ""},
           Case{"12\xC2\xA0" "345\xD9\xAB" "5", "\xD9\xAB", "\xC2\xA0", O::Number, 12345.5, ""},
           Case{"-0", ".", "", O::Number, -0.0, ""},
           Case{"1,23", ".", ",", O::Trailing, 0, ",23"},  // a group of two is no group
           Case{"1.234", ".", ".", O::Number, 1.234, ""},  // a group separator equal to the decimal one
           Case{"2e+ ", ".", "", O::Trailing, 0, "e+"},    // no exponent without digits; end blanks are no rest
           Case{"5 Hz\t", ".", "", O::Trailing, 0, " Hz"},
           Case{"-1e400", ".", "", O::BeyondDouble, -kInf, ""},
           Case{"-1e-400", ".", "", O::BeyondDouble, -0.0, ""},
           Case{"+.e5", ".", "", O::NotANumber, 0, ""},
           Case{" \t", ".", "", O::Empty, 0, ""},
       }) {
    const DecimalReading r = readDecimal(c.text, c.decimal, c.group);
    EXPECT_EQ(r.outcome, c.outcome) << c.text;
    EXPECT_EQ(r.value, c.value) << c.text;
    EXPECT_EQ(std::signbit(r.value), std::signbit(c.value)) << c.text;
    EXPECT_EQ(r.rest, c.rest) << c.text;
  }
}

TEST(Frequency, ExactFractionsOfTheDividers) {
  // The 10 MHz preset: 97600 * 10 * 6250 / (1 * 5 * 122).
  const Dividers tenMHz{97600, 1, 10, 6250, 5, 122, 122, 9};
  const auto out = outputFrequency(tenMHz);
  ASSERT_TRUE(out);
  EXPECT_EQ(out->numerator(), 10000000);  // in lowest terms
  EXPECT_EQ(out->denominator(), 1);
  EXPECT_EQ(out->wholeHz(), 10000000);
  EXPECT_EQ(*out, *Frequency::ratio(10000000, 1));
  EXPECT_EQ(f3Frequency(tenMHz)->wholeHz(), 97600);
  EXPECT_EQ(oscillatorFrequency(tenMHz)->hz(), 6.1e9);

  // A fraction that never ends: 2875000 / 3 Hz at F3.
  const Dividers unitSet{2875000, 3, 11, 480, 11, 46, 46, 9};
  EXPECT_EQ(*f3Frequency(unitSet), *Frequency::ratio(2875000, 3));
  EXPECT_EQ(f3HzText(unitSet), "958333");
  EXPECT_DOUBLE_EQ(outputFrequency(unitSet)->hz(), 2875000.0 / 3 * 480 / 46);
  EXPECT_EQ(outputHzText(unitSet), formatGeneral(2875000.0 / 3 * 480 * 11 / 11 / 46));
  EXPECT_EQ(outputHzText(tenMHz, ","), "10000000");

  // No divisor, and numbers beyond 64 bits, give no frequency.
  EXPECT_FALSE(outputFrequency(Dividers{1, 0, 4, 2, 4, 2, 2, 9}));
  EXPECT_FALSE(outputFrequency(Dividers{2147483647, 1, 2147483647, 2147483647, 1, 1, 1, 0}));
  EXPECT_FALSE(Frequency::ratio(std::numeric_limits<std::int64_t>::min(), 1));
  EXPECT_EQ(Frequency::ratio(6, -4)->numerator(), -3);
}

TEST(Frequency, OscillatorTextIsCutInIntegersNotRounded) {
  // 1000 / 3 * 4 * 3156750 is 4.209 GHz exactly; in double arithmetic it comes out just below.
  EXPECT_EQ(oscillatorGhzText(Dividers{1000, 3, 4, 3156750, 4, 2, 2, 0}), "4.209");
  EXPECT_EQ(*oscillatorFrequency(Dividers{1000, 3, 4, 3156750, 4, 2, 2, 0}), *Frequency::ratio(4209000000, 1));
  EXPECT_EQ(oscillatorGhzText(Dividers{97600, 1, 10, 6250, 5, 122, 122, 9}, ","), "6,1");
  // 2875000 / 3 * 11 * 480 = 5.06 GHz, cut to four decimals.
  EXPECT_EQ(oscillatorGhzText(Dividers{2875000, 3, 11, 480, 11, 46, 46, 9}), "5.06");
  EXPECT_EQ(oscillatorGhzText(Dividers{1999999, 1, 10, 1000, 4, 2, 2, 0}), "19.9999");
  // N31 of 0, which no unit holds: the floating-point form.
  EXPECT_EQ(oscillatorGhzText(Dividers{1, 0, 4, 2, 4, 2, 2, 0}), "Infinity");
  EXPECT_EQ(f3HzText(Dividers{1, 0, 4, 2, 4, 2, 2, 0}), "Infinity");
}

TEST(UpdateLimits, EveryDividerIsBroughtIntoItsRangeAndMadeEvenWhereItMustBe) {
  EXPECT_EQ(forUpdate(Dividers{0, 0, 0, 3, 20, 0, 99, 9}), (Dividers{1, 1, 4, 2, 11, 1, 2, 9}));
  EXPECT_EQ(forUpdate(Dividers{20000000, 600000, 3, 2000001, 3, 2000000, 1, 300}),
            (Dividers{10000000, 524288, 4, 1048576, 4, 1048576, 1048576, 300}));
  // A set inside the ranges with even output dividers is programmed as it is; NC2_LS follows NC1_LS.
  const Dividers preset{98304, 1, 10, 5400, 9, 12, 12, 9};
  EXPECT_EQ(forUpdate(preset), preset);
  EXPECT_EQ(forUpdate(Dividers{98304, 1, 10, 5401, 9, 13, 7, 9}), (Dividers{98304, 1, 10, 5400, 9, 13, 12, 9}));
}

}  // namespace
}  // namespace tamrik::numbers
