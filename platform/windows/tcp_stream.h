#pragma once
// The receiver stream's TCP port on Windows, over Winsock: a non-blocking listening socket on one
// IPv4 or IPv6 address and the connections it hands over, each non-blocking with Nagle's
// delay off, as on Linux (platform/linux/tcp_stream.h). Winsock is started with the first
// listener and ended after the last socket is closed.

#include <cstdint>
#include <memory>
#include <string>

#include "base/result.h"
#include "platform/stream_io.h"

struct sockaddr;

namespace tamrik::platform::windows {

class WindowsTcpListener final : public StreamListener {
 public:
  // Listens on host (an address: "127.0.0.1", "0.0.0.0", "::1", "::"; or a name, "localhost", on
  // the first of its addresses that can be had) and port (0: one the system chooses). A name
  // without an address is a BadArgument; a port that is taken, or an address this machine does
  // not have, a System failure with the system's words.
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
  static base::Result<std::unique_ptr<WindowsTcpListener>> listenOn(std::shared_ptr<Session> session, const ::sockaddr* address,
                                                                    int length);

  std::shared_ptr<Session> session_;
  std::uintptr_t socket_ = ~std::uintptr_t{0};  // a SOCKET; INVALID_SOCKET until made
  std::string address_;
  std::uint16_t port_ = 0;
};

}  // namespace tamrik::platform::windows
