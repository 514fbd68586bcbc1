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

}  // namespace tamrik::platform
