#pragma once
// key=value lines, one value per line: what tamrikctl writes for scripts, and reads back where a
// user hands it a value it wrote (--unit takes a serial as list shows it).

#include <string>
#include <string_view>

namespace tamrik::text {

// A value for a key=value line: '\' as \\, a line feed as \n, a tab as \t, a carriage return as \r
// and any other control character (DEL too) as \xHH, so that every value stays on its line.
std::string lineValue(std::string_view text);

// The text a value stands for, lineValue undone: \\, \n, \t, \r and \xHH; a backslash before
// anything else stands for itself, so a text given as it is comes back unchanged unless it holds
// those.
std::string fromLineValue(std::string_view value);

class KeyValueLines {
 public:
  // value is written as given: numbers, or texts already passed through lineValue.
  KeyValueLines& add(std::string_view key, std::string_view value);
  KeyValueLines& text(std::string_view key, std::string_view value) { return add(key, lineValue(value)); }
  const std::string& str() const { return text_; }

 private:
  std::string text_;
};

}  // namespace tamrik::text
