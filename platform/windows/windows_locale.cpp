#include "platform/windows/windows_locale.h"

#include <windows.h>

#include <iterator>

#include "platform/windows/windows_text.h"

namespace tamrik::platform::windows {

namespace {

// Windows keeps both symbols to at most three characters.
constexpr std::size_t kMaxSymbolLength = 3;

std::wstring localeText(LCTYPE what) {
  wchar_t buffer[16] = {};
  const int n = ::GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, what, buffer, static_cast<int>(std::size(buffer)));
  return n > 0 ? std::wstring(buffer) : std::wstring();
}

}  // namespace

ui::NumberFormat numberFormatFrom(std::wstring_view decimal, std::wstring_view group) {
  ui::NumberFormat format;
  format.decimalSeparator =
      decimal.empty() || decimal.size() > kMaxSymbolLength ? std::string(".") : utf8FromWide(decimal);
  format.groupSeparator = group.size() > kMaxSymbolLength ? std::string() : utf8FromWide(group);
  if (format.groupSeparator == format.decimalSeparator) format.groupSeparator.clear();
  return format;
}

ui::NumberFormat userNumberFormat() { return numberFormatFrom(localeText(LOCALE_SDECIMAL), localeText(LOCALE_STHOUSAND)); }

}  // namespace tamrik::platform::windows
