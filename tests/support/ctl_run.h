#pragma once
// tamrikctl's commands run in-process on the machine's own host, with what they print kept.
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/tamrikctl/program.h"

namespace tamrik::testing {

struct CtlRun {
  int status;
  std::string out, err;
};

inline CtlRun runCtl(std::vector<std::string_view> args) {
  std::ostringstream out, err;
  const int status = ctl::run(args, out, err);
  return {status, out.str(), err.str()};
}

}  // namespace tamrik::testing
