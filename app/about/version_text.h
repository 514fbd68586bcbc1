#pragma once
// What both programs print for --version: "<program> <version>" on the first line, which scripts
// and tests read, then the licence, as GNU programs tell it. The version comes from the build
// (tamrik_about in app/CMakeLists.txt).

#include <string>
#include <string_view>

namespace tamrik::about {

inline constexpr std::string_view kLicenseNotice =
    "License GPL-3.0-or-later: GNU GPL version 3 or later <https://gnu.org/licenses/gpl.html>.\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

inline std::string versionText(std::string_view program) {
  std::string text(program);
  text += ' ';
  text += TAMRIK_VERSION;
  text += '\n';
  text += kLicenseNotice;
  return text;
}

}  // namespace tamrik::about
