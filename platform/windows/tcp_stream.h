#pragma once
// The receiver stream's TCP port on Windows, over Winsock: a non-blocking listening socket on one
// numeric IPv4 or IPv6 address and the connections it hands over, each non-blocking with Nagle's
// delay off, as on Linux (platform/linux/tcp_stream.h). Winsock is started with the first
// listener and ended after the last socket is closed.

#include <cstdint>
#include <memory>
#include <string>

#include "base/result.h"
#include "platform/stream_io.h"

namespace tamrik::platform::windows {

class WindowsTcpListener final : public StreamListener {
 public:
  // Listens on host (a numeric address: "127.0.0.1", "0.0.0.0", "::1", "::") and port (0: one the
  // system chooses). A host that is no numeric address is a BadArgument; a port that is taken, or
  // an address this machine does not have, a System failure with the system's words.
  static base::Result<std::unique_ptr<WindowsTcpListener>> create(const std::string& host, std::uint16_t port);

  ~WindowsTcpListener() override;
  WindowsTcpListener(const WindowsTcpListener&) = delete;
  WindowsTcpListener& operator=(const WindowsTcpListener&) = delete;

  const std::string& address() const override { return address_; }
  std::uint16_t port() const { return port_; }
  base::Result<std::unique_ptr<StreamConnection>> accept() override;

  // Winsock, started while a listener or a connection lives.
  struct Session;

 private:
  WindowsTcpListener() = default;

  std::shared_ptr<Session> session_;
  std::uintptr_t socket_;  // a SOCKET
  std::string address_;
  std::uint16_t port_ = 0;
};

}  // namespace tamrik::platform::windows
