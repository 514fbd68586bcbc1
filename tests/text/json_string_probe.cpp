// Reads lines of hex from standard input and writes each one's bytes as text::jsonString writes
// them, one JSON string a line, for check_json_string.py.
#include <iostream>
#include <string>

#include "text/json_string.h"

int main() {
  for (std::string line; std::getline(std::cin, line);) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < line.size(); i += 2) {
      bytes += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
    }
    std::cout << tamrik::text::jsonString(bytes) << '\n';
  }
  return std::cout.flush() ? 0 : 1;
}
