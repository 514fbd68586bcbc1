// The writers of JSON documents, key=value lines and the Prometheus text format.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "numbers/number_format.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "text/prometheus_text.h"

namespace tamrik::text {
namespace {

TEST(TextFormats, NumbersAndTextsKeepToTheirFormats) {
  EXPECT_EQ(numbers::scaledDecimal(-1500, 3), "-1.5");
  EXPECT_EQ(numbers::scaledDecimal(-5, 7), "-0.0000005");
  EXPECT_EQ(numbers::scaledDecimal(INT64_MIN, 0), "-9223372036854775808");
  EXPECT_EQ(jsonNumber(0.1 + 0.2), "0.3");
  EXPECT_EQ(jsonNumber(std::nan("")), "null");
  // Keys and texts alike go through the one JSON string writer.
  EXPECT_EQ(JsonObject().text("k\x01", std::string("\x7f\x1f\b\f\r\xff", 6)).str(),
            "{\"k\\u0001\":\"\\u007f\\u001f\\u0008\\u000c\\r\xEF\xBF\xBD\"}");
  EXPECT_EQ(prometheusLabelValue("a\\b\"c\nd\te"), "a\\\\b\\\"c\\nd\te");
  EXPECT_EQ(lineValue(std::string("a=b\r\x7f", 5)), "a=b\\r\\x7F");
}


TEST(TextFormats, AKeyValueLineReadsBackAsTheTextItWasWrittenFrom) {
  const std::string odd("\\00001 a\tb\x01\x7f\\x41\n", 17);
  EXPECT_EQ(fromLineValue(lineValue(odd)), odd);
  // What a user types without escapes stands for itself.
  EXPECT_EQ(fromLineValue("C:\\units\\x1"), "C:\\units\\x1");
  EXPECT_EQ(fromLineValue("SIM\\x41"), "SIMA");
  EXPECT_EQ(fromLineValue("end\\"), "end\\");
}

}  // namespace
}  // namespace tamrik::text
