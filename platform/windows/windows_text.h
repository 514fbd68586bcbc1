#pragma once
#include <cstdint>
#include <string>
#include <string_view>

// Text between this program (UTF-8) and the Windows API (UTF-16).
namespace tamrik::platform::windows {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string utf8FromWide(std::wstring_view text);

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD.
std::wstring wideFromUtf8(std::string_view text);

// The system's words for a Win32 error code (GetLastError), in the user's language, on one line
// without the closing full stop; "Windows error <code>" when the system has none.
std::string systemErrorText(std::uint32_t code);

}  // namespace tamrik::platform::windows
