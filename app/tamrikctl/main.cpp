#include <csignal>
#include <iostream>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "platform/windows/windows_text.h"
#endif

#include "app/tamrikctl/program.h"

#ifdef _WIN32
// The commands take their arguments in UTF-8, as on Linux. Windows gives them as UTF-16 here: the
// narrow arguments of main() would be in the ANSI code page, which loses every character beyond
// it (a folder named in Cyrillic on a Western system comes as "???").
int wmain(int argc, wchar_t** argv) {
  // Scripts read the same bytes on every system: lines end in "\n" alone, not "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  std::vector<std::string> utf8;
  for (int i = 1; i < argc; ++i) utf8.push_back(tamrik::platform::windows::utf8FromWide(argv[i]));
  const std::vector<std::string_view> args(utf8.begin(), utf8.end());
  return tamrik::ctl::run(args, std::cout, std::cerr);
}
#else
int main(int argc, char** argv) {
#ifdef SIGPIPE
  // A reader that goes away (tamrikctl receiver | head) makes writes fail, which the commands
  // report with exit status 1, instead of ending the program by a signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tamrik::ctl::run(args, std::cout, std::cerr);
}
#endif
