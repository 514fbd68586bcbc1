#include "platform/hid/utf8_conversions.h"

namespace tamrik::platform {

#ifndef _WIN32

namespace {

// Made once and kept for the life of the process. The other categories are the C locale's: the
// few texts hidapi words itself while the guard lives (strerror's) come out in English.
locale_t utf8Ctype() {
  static const locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
  return locale;
}

}  // namespace

Utf8Conversions::Utf8Conversions() {
  if (const locale_t utf8 = utf8Ctype()) previous_ = uselocale(utf8);
}

Utf8Conversions::~Utf8Conversions() {
  if (previous_) uselocale(previous_);
}

#else

Utf8Conversions::Utf8Conversions() = default;
Utf8Conversions::~Utf8Conversions() = default;

#endif

}  // namespace tamrik::platform
