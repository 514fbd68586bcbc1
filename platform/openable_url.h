#pragma once
#include <string_view>

namespace tamrik::platform {

// True for an http:// or https:// link with a host, at most 4096 characters, made only of letters,
// digits and - . _ ~ : / ? # @ & = + , ; and %-escapes: nothing that a shell script on the way to
// the browser (xdg-open is one) or a command line could take for quoting, expansion or a new
// argument.
bool isOpenableUrl(std::string_view url);

// isOpenableUrl, and https:// only.
bool isOpenableHttpsUrl(std::string_view url);

}  // namespace tamrik::platform
