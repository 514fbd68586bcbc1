#include <iostream>
#include <string_view>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#endif

#include "app/tamrikctl/ctl_commands.h"

int main(int argc, char** argv) {
#ifdef _WIN32
  // Scripts read the same bytes on every system: lines end in "\n" alone, not "\r\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
#endif
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tamrik::ctl::run(args, std::cout, std::cerr);
}
