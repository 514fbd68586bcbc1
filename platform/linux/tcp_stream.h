#pragma once
// The receiver stream's TCP port on Linux: a non-blocking listening socket on one IPv4 or IPv6
// address and the connections it hands over, each non-blocking with Nagle's delay off, so
// that a receiver byte leaves with the write that carries it. The listener also names its own and
// its connections' descriptors for the bridge's wait (PollBridgeWait).

#include <sys/socket.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/stream_io.h"

namespace tamrik::platform {

class LinuxTcpListener final : public StreamListener, public WaitDescriptors {
 public:
  // Listens on host (an address: "127.0.0.1", "0.0.0.0", "::1", "::"; or a name, "localhost", on
  // the first of its addresses that can be had) and port (0: one the system chooses). A name
  // without an address is a BadArgument; a port that is taken, or an address this machine does
  // not have, a System failure with the system's words.
  static base::Result<std::unique_ptr<LinuxTcpListener>> create(const std::string& host, std::uint16_t port);

  ~LinuxTcpListener() override;
  LinuxTcpListener(const LinuxTcpListener&) = delete;
  LinuxTcpListener& operator=(const LinuxTcpListener&) = delete;

  const std::string& address() const override { return address_; }
  std::uint16_t port() const { return port_; }
  base::Result<std::unique_ptr<StreamConnection>> accept() override;

  // The listening socket for connections waiting, each open connection for bytes from its client
  // or its end, and for room to write while its last write was cut short.
  void addTo(std::vector<pollfd>& fds) const override;

  // The connections it handed over that are still open.
  struct Open;

 private:
  LinuxTcpListener() = default;
  static base::Result<std::unique_ptr<LinuxTcpListener>> listenOn(const sockaddr* address, socklen_t length);

  int fd_ = -1;
  std::string address_;
  std::uint16_t port_ = 0;
  std::shared_ptr<Open> open_;
};

}  // namespace tamrik::platform
