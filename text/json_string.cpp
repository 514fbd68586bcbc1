#include "text/json_string.h"

namespace tamrik::text {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool isContinuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// The bytes from a lead byte (0x80 or above) on: a valid UTF-8 sequence, or what goes as one U+FFFD
// instead, the lead and the continuation bytes that still could have made a character.
struct Sequence {
  std::size_t length;
  bool valid;
};

Sequence sequenceAt(std::string_view s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  std::size_t length = 0;
  // The range of the second byte, narrower than a continuation's where the shortest form, the
  // surrogates or the end of Unicode would be crossed.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;       // below U+0800: overlong
    else if (lead == 0xED) high = 0x9F;  // U+D800 to U+DFFF: surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;       // below U+10000: overlong
    else if (lead == 0xF4) high = 0x8F;  // beyond U+10FFFF
  } else {
    // A continuation byte without a lead, C0 and C1 (only ever overlong) or F5 and above.
    return {1, false};
  }
  std::size_t n = 1;
  for (; n < length && i + n < s.size(); ++n) {
    const auto b = static_cast<unsigned char>(s[i + n]);
    if (n == 1 ? (b < low || b > high) : !isContinuation(b)) break;
  }
  return {n, n == length};
}

}  // namespace

std::string jsonString(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 0x80) {
      const Sequence sequence = sequenceAt(text, i);
      if (sequence.valid) out.append(text, i, sequence.length);
      else out += kReplacement;
      i += sequence.length;
      continue;
    }
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b == '\n') {
      out += "\\n";
    } else if (b == '\r') {
      out += "\\r";
    } else if (b == '\t') {
      out += "\\t";
    } else if (b < 0x20 || b == 0x7F) {
      out += "\\u00";
      out += kHex[b >> 4];
      out += kHex[b & 0x0F];
    } else {
      out += static_cast<char>(b);
    }
    ++i;
  }
  out += '"';
  return out;
}

}  // namespace tamrik::text
