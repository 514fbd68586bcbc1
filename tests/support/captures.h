#pragma once
// The real receiver captures that some tests replay, kept outside the repository in
// TAMRIK_SHARED_DIR/data/ubx. On a developer's machine a test whose capture is missing is skipped,
// saying so; under CI (CI=true) it fails, since there a missing capture means the test never ran.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>

#include "tests/support/ci.h"

namespace tamrik::testing {

inline std::filesystem::path captureFolder() { return std::filesystem::path(TAMRIK_SHARED_DIR) / "data" / "ubx"; }

// The path of one capture, or nothing when it is not there.
inline std::optional<std::filesystem::path> capturePath(const std::string& name) {
  std::error_code error;
  const std::filesystem::path p = captureFolder() / name;
  if (std::filesystem::is_regular_file(p, error)) return p;
  return std::nullopt;
}

}  // namespace tamrik::testing

// Ends the current test when `present` is false: skipped, or failed under CI. `what` names the
// capture that is missing.
#define TAMRIK_REQUIRE_CAPTURE(present, what)                                                     \
  do {                                                                                          \
    if (!(present)) {                                                                           \
      if (::tamrik::testing::runningUnderCi()) {                                                \
        FAIL() << "receiver capture missing under CI: " << (what) << " in "                     \
               << ::tamrik::testing::captureFolder().string();                                  \
      } else {                                                                                  \
        GTEST_SKIP() << "receiver capture not available: " << (what) << " in "                  \
                     << ::tamrik::testing::captureFolder().string();                            \
      }                                                                                         \
    }                                                                                           \
  } while (false)
