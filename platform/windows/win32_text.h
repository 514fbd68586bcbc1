#pragma once
#include <windows.h>

#include <string>

// Text between the program (UTF-8) and Win32 (UTF-16). Bytes that are not valid UTF-8 become
// U+FFFD, as in the Qt window, so a device string can never stop a conversion.
namespace tamrik::platform::windows {

inline std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), length, out.data(), n);
  return out;
}

inline std::string narrow(const std::wstring& text) {
  if (text.empty()) return {};
  const int length = static_cast<int>(text.size());
  const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), length, out.data(), n, nullptr, nullptr);
  return out;
}

inline std::wstring windowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

}  // namespace tamrik::platform::windows
