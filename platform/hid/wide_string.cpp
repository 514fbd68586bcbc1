#include "platform/hid/wide_string.h"

#include <cstdint>

namespace tamrik::platform {

std::u16string utf16FromWide(std::wstring_view text, std::size_t maxUnits) {
  static_assert(sizeof(wchar_t) == 2 || sizeof(wchar_t) == 4, "wide strings are UTF-16 or UTF-32");
  std::u16string out;
  for (wchar_t wc : text) {
    if (out.size() >= maxUnits) break;
    if constexpr (sizeof(wchar_t) == 2) {
      if (wc == 0) break;
      out.push_back(static_cast<char16_t>(wc));
      continue;
    }
    auto cp = static_cast<std::uint32_t>(wc);
    if (cp == 0) break;
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      // A pair cut by the limit keeps its first half, as a truncated UTF-16 buffer would.
      if (out.size() < maxUnits) out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
  }
  return out;
}

std::string utf8FromWide(std::wstring_view text) {
  const std::u16string units = utf16FromWide(text, text.size() * 2);
  std::string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    std::uint32_t cp = units[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (units[++i] - 0xDC00u);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }
  return out;
}

}  // namespace tamrik::platform
