#include "app/tamrikctl/ctl_output.h"

#include <cmath>

#include "numbers/number_format.h"

namespace tamrik::ctl {

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

std::string hexByte(unsigned char c) { return {kHex[c >> 4], kHex[c & 0x0F]}; }

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

std::string jsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  return core::formatGeneral(value, ".");
}

std::string scaledDecimal(std::int64_t value, int decimals) {
  // The magnitude as an unsigned number, so that the most negative value has one too.
  const std::uint64_t magnitude = value < 0 ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  std::uint64_t scale = 1;
  for (int i = 0; i < decimals; ++i) scale *= 10;
  std::string text = (value < 0 ? "-" : "") + std::to_string(magnitude / scale);
  if (decimals > 0) {
    std::string fraction = std::to_string(magnitude % scale);
    fraction.insert(0, static_cast<std::size_t>(decimals) - fraction.size(), '0');
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
    if (!fraction.empty()) text += "." + fraction;
  }
  return text;
}

JsonObject& JsonObject::raw(std::string_view key, std::string value) {
  members_.emplace_back(std::string(key), std::move(value));
  return *this;
}

std::string JsonObject::str() const {
  std::string out = "{";
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (i > 0) out += ',';
    out += text::jsonString(members_[i].first) + ":" + members_[i].second;
  }
  return out + "}";
}

std::string jsonArray(const std::vector<std::string>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) out += ',';
    out += values[i];
  }
  return out + "]";
}

std::string lineValue(std::string_view text) {
  std::string out;
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (ch == '\\') {
      out += "\\\\";
    } else if (ch == '\n') {
      out += "\\n";
    } else if (ch == '\t') {
      out += "\\t";
    } else if (ch == '\r') {
      out += "\\r";
    } else if (isControl(c)) {
      out += "\\x" + hexByte(c);
    } else {
      out += ch;
    }
  }
  return out;
}

KeyValueLines& KeyValueLines::add(std::string_view key, std::string_view value) {
  text_ += key;
  text_ += '=';
  text_ += value;
  text_ += '\n';
  return *this;
}

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
    text_ += core::formatGeneral(value, ".");
  }
  text_ += '\n';
  return *this;
}

}  // namespace tamrik::ctl
