#include "text/json_writer.h"

#include <cmath>

#include "numbers/number_format.h"

namespace tamrik::text {

std::string jsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  return numbers::formatGeneral(value, ".");
}

JsonObject& JsonObject::raw(std::string_view key, std::string value) {
  members_.emplace_back(std::string(key), std::move(value));
  return *this;
}

std::string JsonObject::str() const {
  std::string out = "{";
  for (std::size_t i = 0; i < members_.size(); ++i) {
    if (i > 0) out += ',';
    out += jsonString(members_[i].first) + ":" + members_[i].second;
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

}  // namespace tamrik::text
