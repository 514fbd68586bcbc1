#pragma once
// Golden files: a test's output held against a file of the tree, rewritten on request
// (TAMRIK_UPDATE_GOLDEN=1) after a deliberate change, to be reviewed in the diff.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace tamrik::testing {

inline std::vector<std::string> goldenLines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) out.push_back(l);
  return out;
}

// Compares a run with the golden file at path, or rewrites the file when TAMRIK_UPDATE_GOLDEN is
// set; a difference is shown as the lines around its first place.
inline void checkGoldenFile(const std::string& path, const std::string& actual) {
  const char* update = std::getenv("TAMRIK_UPDATE_GOLDEN");
  if (update != nullptr && *update != '\0' && std::string(update) != "0") {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << actual;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << path << " is missing; create it with TAMRIK_UPDATE_GOLDEN=1";
  const std::string expected((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (expected == actual) return;
  const auto e = goldenLines(expected), a = goldenLines(actual);
  std::size_t i = 0, j = 0;  // lines alike at the start, at the end
  while (i < e.size() && i < a.size() && e[i] == a[i]) ++i;
  while (j < e.size() - i && j < a.size() - i && e[e.size() - 1 - j] == a[a.size() - 1 - j]) ++j;
  std::ostringstream diff;
  diff << "--- " << path << "\n+++ this run\n@@ first difference at line " << i + 1 << " @@\n";
  for (std::size_t k = i < 3 ? 0 : i - 3; k < i; ++k) diff << ' ' << e[k] << '\n';
  for (std::size_t k = i; k < std::min(e.size() - j, i + 8); ++k) diff << '-' << e[k] << '\n';
  for (std::size_t k = i; k < std::min(a.size() - j, i + 8); ++k) diff << '+' << a[k] << '\n';
  for (std::size_t k = e.size() - j; k < std::min(e.size(), e.size() - j + 3); ++k) diff << ' ' << e[k] << '\n';
  ADD_FAILURE() << path << " differs from the golden file (" << e.size() << " lines expected, " << a.size()
                << " got); if the change is meant, regenerate with TAMRIK_UPDATE_GOLDEN=1\n"
                << diff.str();
}

}  // namespace tamrik::testing
