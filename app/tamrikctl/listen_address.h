#pragma once
// ADDR:PORT as the programs' listening options take it (the exporter's --listen, the receiver
// bridge's --tcp and --metrics).

#include <string>
#include <string_view>

namespace tamrik::ctl {

struct ListenAddress {
  std::string host;
  int port = 0;
  std::string error;  // why the text is no ADDR:PORT
  // The host as it goes before ":PORT" (an IPv6 address in brackets).
  std::string shownHost() const { return host.find(':') != std::string::npos ? "[" + host + "]" : host; }
};

// An IPv4 address or a host name, or an IPv6 address in brackets, then ':' and a port from 0 to
// 65535. `example` is named in the error of a text without a port.
ListenAddress parseListenAddress(std::string_view text, std::string_view example);

// An address of this machine alone: 127.0.0.0/8 (IPv6's form of it too), ::1 or localhost.
bool isLoopback(std::string_view host);

}  // namespace tamrik::ctl
