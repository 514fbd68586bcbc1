#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "ui/number_text.h"

namespace tamrik::ui {
namespace {

TEST(FormatFixed, PatternWithLocaleSeparator) {
  EXPECT_EQ(formatFixed(51.4778, 7, NumberFormat::point()), "51.4778000");
  EXPECT_EQ(formatFixed(-0.0014, 7, NumberFormat::comma()), "-0,0014000");
  EXPECT_EQ(formatFixed(45.61, 2, NumberFormat::point()), "45.61");
  EXPECT_EQ(formatFixed(-0.001, 2, NumberFormat::point()), "0.00");
}

TEST(ParseNumber, WholeTextInTheUsersFormat) {
  const auto point = NumberFormat::point();
  const auto comma = NumberFormat::comma();
  EXPECT_EQ(parseNumber("10000000", point), 10000000.0);
  EXPECT_EQ(parseNumber("  364.2 ", point), 364.2);
  EXPECT_EQ(parseNumber("364,2", comma), 364.2);
  EXPECT_EQ(parseNumber("12,345,678", point), 12345678.0);
  EXPECT_EQ(parseNumber("12.345.678", comma), 12345678.0);
  EXPECT_EQ(parseNumber("-5", point), -5.0);
  EXPECT_EQ(parseNumber("+1e6", point), 1e6);
  EXPECT_EQ(parseNumber(".5", point), 0.5);
  for (const char* bad : {"", "   ", "abc", "12abc", "1.2.3", "1e", "--1", ",5", "1,", "1e999", "."}) {
    EXPECT_FALSE(parseNumber(bad, point)) << '"' << bad << '"';
  }
  EXPECT_FALSE(parseNumber("364.2", comma));  // a point is a group separator here, not a decimal
}

TEST(ParseNumberSaturating, NumbersBeyondADoubleReadAsInfinityOrZero) {
  const auto point = NumberFormat::point();
  const std::string zeros(400, '0');
  const double inf = HUGE_VAL;
  const std::pair<std::string, double> beyond[] = {
      {"1e400", inf},           {"-1E+400", -inf},        {"1e-400", 0.0},       {"-1e-400", -0.0},
      {"1.8e308", inf},         {"1" + zeros, inf},       {"0." + zeros + "1", 0.0}, {"1,000e306", inf},
      {"2e-324", 0.0},          {"0." + zeros + "1e400", 0.1}, {"1e99999999999999999999", inf},
  };
  for (const auto& [text, value] : beyond) {
    SCOPED_TRACE(text.substr(0, 30));
    const auto read = parseNumberSaturating(text, point);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, value);
    EXPECT_EQ(std::signbit(*read), std::signbit(value));
    EXPECT_EQ(parseNumber(text, point).has_value(), std::isfinite(value) && value != 0);
  }
  EXPECT_EQ(parseNumberSaturating("364,2", NumberFormat::comma()), 364.2);
  for (const char* bad : {"", "abc", "1e", "1e400x", "inf", "nan", "1,5e400"}) {
    EXPECT_FALSE(parseNumberSaturating(bad, point)) << '"' << bad << '"';
  }
}

TEST(ParseWholeNumber, RangeAndRounding) {
  const auto f = NumberFormat::point();
  EXPECT_EQ(parseWholeNumber("255", f, 0, 255), 255);
  EXPECT_EQ(parseWholeNumber("2.5", f, 0, 255), 2);
  EXPECT_FALSE(parseWholeNumber("256", f, 0, 255));
  EXPECT_FALSE(parseWholeNumber("-1", f, 0, 255));
  EXPECT_FALSE(parseWholeNumber("x", f, 0, 255));
}

}  // namespace
}  // namespace tamrik::ui
