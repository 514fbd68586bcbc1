#pragma once
// Byte strings for the tests that feed frames to a reader.
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace tamrik::testing {

// The parts one after the other, as a line carries them.
inline std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A feature report as the golden traces write it: hex, the report ID byte first, trailing zeros
// left out.
inline std::string traceHex(std::span<const std::uint8_t> bytes) {
  std::size_t n = bytes.size();
  while (n > 0 && bytes[n - 1] == 0) --n;
  std::string out;
  char b[3];
  for (std::size_t i = 0; i < n; ++i) {
    std::snprintf(b, sizeof b, "%02x", bytes[i]);
    out += b;
  }
  return out;
}

}  // namespace tamrik::testing
