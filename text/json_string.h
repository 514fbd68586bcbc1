#pragma once
#include <string>
#include <string_view>

namespace tamrik::text {

// A JSON string literal that is valid UTF-8 whatever bytes it is handed, so that a text from a unit,
// a file or an argument can never break the document it stands in. Valid UTF-8 is copied as it is;
// each byte or cut-off sequence that is not (a stray continuation byte, a sequence cut short, an
// overlong form, a surrogate, a code point beyond U+10FFFF) becomes one U+FFFD, as a UTF-8 decoder
// replaces it. '"' and '\' are escaped, line feed, carriage return and tab are \n, \r and \t, and
// the other control characters and DEL are \u00xx (lower-case hex).
std::string jsonString(std::string_view text);

}  // namespace tamrik::text
