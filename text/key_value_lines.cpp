#include "text/key_value_lines.h"

namespace tamrik::text {

namespace {

constexpr char kUpperHex[] = "0123456789ABCDEF";

std::string hexByte(unsigned char c) { return {kUpperHex[c >> 4], kUpperHex[c & 0x0F]}; }

bool isControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

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

std::string fromLineValue(std::string_view value) {
  const auto hexDigit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char next = i + 1 < value.size() ? value[i + 1] : '\0';
    if (value[i] != '\\' || i + 1 >= value.size()) {
      out += value[i];
    } else if (next == '\\' || next == 'n' || next == 't' || next == 'r') {
      out += next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : '\\';
      ++i;
    } else if (next == 'x' && i + 3 < value.size() && hexDigit(value[i + 2]) >= 0 && hexDigit(value[i + 3]) >= 0) {
      out += static_cast<char>(hexDigit(value[i + 2]) * 16 + hexDigit(value[i + 3]));
      i += 3;
    } else {
      out += value[i];
    }
  }
  return out;
}

}  // namespace tamrik::text
