#pragma once
#ifndef _WIN32
#include <locale.h>
#endif

namespace tamrik::platform {

// While it lives, the calling thread converts multibyte text (mbstowcs and its kin) as UTF-8,
// whatever locale the process runs in; the thread's own locale comes back when it ends. Other
// threads and the process's locale are left as they are.
//
// Linux's hidapi turns the UTF-8 strings it takes from sysfs and udev (manufacturer, product,
// serial) into wide ones with mbstowcs, which follows LC_CTYPE. Under the C locale, which
// tamrikctl and a service started without LANG run in, any byte beyond ASCII makes it fail, and
// hidapi hands out an empty string instead. Where the system has no UTF-8 locale nothing changes.
// Windows' hidapi converts with the Windows API, which needs no locale: there it does nothing.
class Utf8Conversions {
 public:
  Utf8Conversions();
  ~Utf8Conversions();
  Utf8Conversions(const Utf8Conversions&) = delete;
  Utf8Conversions& operator=(const Utf8Conversions&) = delete;

 private:
#ifndef _WIN32
  locale_t previous_{};  // unset when the thread's locale was left alone
#endif
};

}  // namespace tamrik::platform
