#include "text/prometheus_text.h"

#include <cmath>

#include "numbers/number_format.h"

namespace tamrik::text {

std::string prometheusLabelValue(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == '"') {
      out += "\\\"";
    } else if (ch == '\n') {
      out += "\\n";
    } else {
      out += ch;
    }
  }
  return out;
}

PrometheusText& PrometheusText::family(std::string_view name, std::string_view type, std::string_view help) {
  name_ = std::string(name);
  text_ += "# HELP " + name_ + " " + std::string(help) + "\n";
  text_ += "# TYPE " + name_ + " " + std::string(type) + "\n";
  return *this;
}

PrometheusText& PrometheusText::sample(const Labels& labels, double value) {
  text_ += name_;
  if (!labels.empty()) {
    text_ += '{';
    for (std::size_t i = 0; i < labels.size(); ++i) {
      if (i > 0) text_ += ',';
      text_ += labels[i].first + "=\"" + prometheusLabelValue(labels[i].second) + "\"";
    }
    text_ += '}';
  }
  text_ += ' ';
  if (std::isnan(value)) {
    text_ += "NaN";
  } else if (std::isinf(value)) {
    text_ += value > 0 ? "+Inf" : "-Inf";
  } else {
    text_ += numbers::formatGeneral(value, ".");
  }
  text_ += '\n';
  return *this;
}

}  // namespace tamrik::text
