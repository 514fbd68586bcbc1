#pragma once
// JSON documents: objects with their members in the order they are added, arrays, and numbers in
// the C locale whatever the user's locale is. Texts go through jsonString, so a value handed any
// bytes (a unit's strings among them) can never end a value or the document early.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/json_string.h"

namespace tamrik::text {

// The general number format (shortest form, up to 15 significant digits, '.' as the decimal
// point). JSON has no words for values that are no numbers: those are written as null.
std::string jsonNumber(double value);

// One JSON object; values are JSON texts.
class JsonObject {
 public:
  JsonObject& raw(std::string_view key, std::string value);
  JsonObject& text(std::string_view key, std::string_view value) { return raw(key, jsonString(value)); }
  JsonObject& number(std::string_view key, double value) { return raw(key, jsonNumber(value)); }
  JsonObject& integer(std::string_view key, std::int64_t value) { return raw(key, std::to_string(value)); }
  JsonObject& boolean(std::string_view key, bool value) { return raw(key, value ? "true" : "false"); }
  JsonObject& null(std::string_view key) { return raw(key, "null"); }
  std::string str() const;

 private:
  std::vector<std::pair<std::string, std::string>> members_;
};

// A JSON array of JSON texts.
std::string jsonArray(const std::vector<std::string>& values);

}  // namespace tamrik::text
