#include <csignal>
#include <iostream>
#include <string_view>
#include <vector>

#include "app/tamrikctl/ctl_commands.h"

int main(int argc, char** argv) {
  // A reader that goes away (tamrikctl receiver | head) makes writes fail, which the commands
  // report with exit status 1, instead of ending the program by a signal.
  std::signal(SIGPIPE, SIG_IGN);
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tamrik::ctl::run(args, std::cout, std::cerr);
}
