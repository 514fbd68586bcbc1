#pragma once
// Whether the tests run under continuous integration (the environment sets CI=true), where a
// missing capture fails instead of skipping and randomized suites use a fixed seed.
#include <cstdlib>
#include <string_view>

namespace tamrik::testing {

inline bool runningUnderCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string_view(ci) == "true";
}

}  // namespace tamrik::testing
