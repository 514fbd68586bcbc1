#pragma once
// The Prometheus text exposition format (version 0.0.4), numbers in the C locale.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tamrik::text {

// A label value between its quotes: '\' as \\, '"' as \", a line feed as \n.
std::string prometheusLabelValue(std::string_view text);

using Labels = std::vector<std::pair<std::string, std::string>>;  // name, value as it is

// Each metric family with its HELP and TYPE lines, followed by its samples.
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

}  // namespace tamrik::text
