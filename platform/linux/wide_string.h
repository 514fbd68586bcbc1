#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace tamrik::platform {

// Converts a wide string as hidapi gives it on Linux (one UTF-32 code point per wchar_t) to UTF-16
// code units, stopping at the first zero or after maxUnits code units. Code points beyond the
// basic plane become surrogate pairs; values that are no code point (surrogates, above U+10FFFF,
// negative) become U+FFFD. The limit counts code units, as a byte-sized buffer would.
std::u16string utf16FromWide(std::wstring_view text, std::size_t maxUnits);

}  // namespace tamrik::platform
