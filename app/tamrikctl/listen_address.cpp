#include "app/tamrikctl/listen_address.h"

#include <charconv>

#include "text/key_value_lines.h"

namespace tamrik::ctl {

namespace {

bool isNameCharacter(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '.' || ch == '-';
}

}  // namespace

bool isLoopback(std::string_view host) {
  if (host == "localhost" || host == "::1") return true;
  if (host.starts_with("::ffff:")) host.remove_prefix(7);
  return host.starts_with("127.") && host.find_first_not_of("0123456789.") == std::string_view::npos;
}

ListenAddress parseListenAddress(std::string_view text, std::string_view example) {
  ListenAddress a;
  const std::string shown = "'" + text::lineValue(text) + "'";
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) {
    a.error = shown + " is not ADDR:PORT (for example " + std::string(example) + ")";
    return a;
  }
  std::string_view host = text.substr(0, colon);
  const std::string_view port = text.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
    const bool v6 = !host.empty() && host.find_first_not_of("0123456789abcdefABCDEF:.") == std::string_view::npos &&
                    host.find(':') != std::string_view::npos;
    if (!v6) {
      a.error = shown + ": '" + text::lineValue(host) + "' in brackets is not an IPv6 address";
      return a;
    }
  } else if (host.empty()) {
    a.error = shown + " names no address (0.0.0.0 listens on every one)";
    return a;
  } else if (host.find(':') != std::string_view::npos) {
    a.error = shown + ": an IPv6 address goes in brackets, [::1]:PORT";
    return a;
  } else {
    for (const char ch : host) {
      if (!isNameCharacter(ch)) {
        a.error = shown + ": '" + text::lineValue(host) + "' is not an address or a host name";
        return a;
      }
    }
  }
  int n = -1;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), n);
  if (port.empty() || port[0] < '0' || port[0] > '9' || ec != std::errc() || end != port.data() + port.size() || n < 0 ||
      n > 65535) {
    a.error = shown + ": the port '" + text::lineValue(port) + "' is not a number from 0 to 65535";
    return a;
  }
  a.host = std::string(host);
  a.port = n;
  return a;
}

}  // namespace tamrik::ctl
