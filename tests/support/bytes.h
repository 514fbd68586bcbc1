#pragma once
// Byte strings for the tests that feed frames to a reader.
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tamrik::testing {

// The parts one after the other, as a line carries them.
inline std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
  std::vector<std::uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace tamrik::testing
