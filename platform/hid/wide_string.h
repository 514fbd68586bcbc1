#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace tamrik::platform {

// Converts a wide string as hidapi gives it to UTF-16 code units, stopping at the first zero or
// after maxUnits code units (the limit counts code units, as a byte-sized buffer would).
//
// On Linux wchar_t holds one UTF-32 code point: code points beyond the basic plane become surrogate
// pairs, and values that are no code point (surrogates, above U+10FFFF, negative) become U+FFFD.
// On Windows wchar_t already holds UTF-16 code units, as the device's string descriptor has them;
// they are taken as they are.
std::u16string utf16FromWide(std::wstring_view text, std::size_t maxUnits);

// A wide string (hidapi's error texts) as UTF-8, stopping at the first zero; code units that are no
// character become U+FFFD.
std::string utf8FromWide(std::wstring_view text);

}  // namespace tamrik::platform
