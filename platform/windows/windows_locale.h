#pragma once
#include <functional>
#include <string>
#include <string_view>

#include "ui/number_text.h"

namespace tamrik::platform::windows {

// How the user writes numbers, from the Windows locale settings (Region > Additional settings):
// the decimal symbol (LOCALE_SDECIMAL) and the digit grouping symbol (LOCALE_STHOUSAND) of the
// user's locale, with the user's own changes to them.
ui::NumberFormat userNumberFormat();

// The separators as GetLocaleInfoEx gives them, made UTF-8. An empty or overlong decimal symbol
// (Windows allows at most three characters) falls back to "."; a grouping symbol that is overlong
// or the same as the decimal symbol, which would make numbers ambiguous, is left out.
ui::NumberFormat numberFormatFrom(std::wstring_view decimal, std::wstring_view group);

}  // namespace tamrik::platform::windows
