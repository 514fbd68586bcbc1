#pragma once
// tamrikctl's machine output: JSON, key=value lines and the Prometheus text format. Numbers are
// written in the C locale whatever the user's locale is. Texts that come from a unit (its
// manufacturer, product and serial strings) are data: each format escapes them so that they can
// never end a value, a line or a record early.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "text/json_string.h"

namespace tamrik::ctl {

// ---- Numbers ----

// The general number format (shortest form, up to 15 significant digits, '.' as the decimal
// point). JSON has no words for values that are no numbers: those are written as null.
std::string jsonNumber(double value);
// value / 10^decimals written exactly, trailing zeros dropped: scaledDecimal(460569000, 7) is
// "46.0569", scaledDecimal(-1500, 3) "-1.5".
std::string scaledDecimal(std::int64_t value, int decimals);

// ---- JSON ----

// One JSON object, members in the order they are added. Values are JSON texts; a text value is
// written by the program's one JSON string writer (text/json_string.h), valid UTF-8 whatever the
// bytes it is handed.
class JsonObject {
 public:
  JsonObject& raw(std::string_view key, std::string value);
  JsonObject& text(std::string_view key, std::string_view value) { return raw(key, tamrik::text::jsonString(value)); }
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

// ---- key=value lines ----

// A value for a key=value line: '\' as \\, a line feed as \n, a tab as \t, a carriage return as
// \r and any other control character as \xHH, so that every value stays on its line.
std::string lineValue(std::string_view text);

class KeyValueLines {
 public:
  // value is written as given: numbers, or texts already passed through lineValue.
  KeyValueLines& add(std::string_view key, std::string_view value);
  KeyValueLines& text(std::string_view key, std::string_view value) { return add(key, lineValue(value)); }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
};

// ---- Prometheus text format ----

// A label value between its quotes: '\' as \\, '"' as \", a line feed as \n.
std::string prometheusLabelValue(std::string_view text);

using Labels = std::vector<std::pair<std::string, std::string>>;  // name, value as it is

// The text exposition format (version 0.0.4): each metric family with its HELP and TYPE lines,
// followed by its samples.
class PrometheusText {
 public:
  // Starts a family; the samples that follow belong to it. type: "gauge" or "counter".
  PrometheusText& family(std::string_view name, std::string_view type, std::string_view help);
  // A sample of the current family. Values that are no numbers are written as NaN, +Inf, -Inf.
  PrometheusText& sample(const Labels& labels, double value);
  const std::string& str() const { return text_; }

 private:
  std::string text_;
  std::string name_;
};

}  // namespace tamrik::ctl
