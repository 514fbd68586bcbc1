#include <iostream>
#include <string_view>
#include <vector>

#include "app/tamrikctl/ctl_commands.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  return tamrik::ctl::run(args, std::cout, std::cerr);
}
