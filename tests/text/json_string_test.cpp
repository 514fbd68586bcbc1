#include <gtest/gtest.h>

#include <string>

#include "text/json_string.h"

namespace tamrik::text {
namespace {

TEST(JsonString, DeviceTextsCannotBreakTheDocument) {
  EXPECT_EQ(jsonString("plain"), "\"plain\"");
  EXPECT_EQ(jsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(jsonString(std::string("\x01\n", 2)), "\"\\u0001\\n\"");
  EXPECT_EQ(jsonString(std::string("\x7f\x1f\b\f\r", 5)), "\"\\u007f\\u001f\\u0008\\u000c\\r\"");
  EXPECT_EQ(jsonString("\xC3\xA9"), "\"\xC3\xA9\"");                 // valid UTF-8 passes
  EXPECT_EQ(jsonString("\xFF\xC3"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");  // stray bytes become U+FFFD
  EXPECT_EQ(jsonString("<b>x</b>"), "\"<b>x</b>\"");
}

}  // namespace
}  // namespace tamrik::text
