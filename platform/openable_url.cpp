#include "platform/openable_url.h"

#include <cstddef>

namespace tamrik::platform {

namespace {

constexpr std::size_t kMaxUrlLength = 4096;

bool isHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool isPlainUrlChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  constexpr std::string_view kAllowed = "-._~:/?#@&=+,;";
  return kAllowed.find(c) != std::string_view::npos;
}

}  // namespace

bool isOpenableUrl(std::string_view url) {
  if (url.size() > kMaxUrlLength) return false;
  std::string_view rest;
  if (url.starts_with("https://")) {
    rest = url.substr(8);
  } else if (url.starts_with("http://")) {
    rest = url.substr(7);
  } else {
    return false;
  }
  if (rest.empty() || rest.front() == '/' || rest.front() == '?' || rest.front() == '#' || rest.front() == ':' ||
      rest.front() == '@') {
    return false;  // no host
  }
  for (std::size_t i = 0; i < url.size(); ++i) {
    const char c = url[i];
    if (c == '%') {
      if (i + 2 >= url.size() || !isHexDigit(url[i + 1]) || !isHexDigit(url[i + 2])) return false;
      i += 2;
    } else if (!isPlainUrlChar(c)) {
      return false;
    }
  }
  return true;
}

bool isOpenableHttpsUrl(std::string_view url) { return url.starts_with("https://") && isOpenableUrl(url); }

}  // namespace tamrik::platform
