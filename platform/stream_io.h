#pragma once
// What the receiver bridge needs of the operating system to serve the receiver's stream on a TCP
// port: a listening socket that hands over the connections waiting on it, and the connections
// themselves. Neither ever waits: the bridge's loop is the one place that waits (BridgeWait), and
// the platform's wait watches these sockets too. The Linux backend is platform/linux/tcp_stream.h,
// the Windows one platform/windows/tcp_stream.h; tests bring their own.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "base/result.h"

namespace tamrik::platform {

// The address a stream listens on unless told another: the loopback interface only.
inline constexpr const char* kLoopbackAddress = "127.0.0.1";

// One step on a connection that never waits.
struct StreamStep {
  enum class State {
    Open,    // the connection goes on
    Closed,  // the other side closed it (an orderly end, or a reset)
    Failed,  // the system failed it otherwise; reason says how
  };
  std::size_t bytes = 0;  // moved by this step
  State state = State::Open;
  std::string reason;  // when Failed

  bool open() const { return state == State::Open; }
};

// One client's connection. Closed when the object goes.
class StreamConnection {
 public:
  virtual ~StreamConnection() = default;
  // The client's address and port, as messages name it ("127.0.0.1:40312", "[::1]:40312").
  virtual const std::string& peer() const = 0;
  // Writes what the socket takes now; the rest is the caller's to keep for a later call.
  virtual StreamStep write(std::span<const std::uint8_t> bytes) = 0;
  // Reads what the client sent and is there now, at most bytes.size(); 0 bytes when nothing is.
  virtual StreamStep read(std::span<std::uint8_t> bytes) = 0;
};

// A listening socket.
class StreamListener {
 public:
  virtual ~StreamListener() = default;
  // Where it listens, as messages name it ("127.0.0.1:2947"), with the port the system chose
  // when port 0 was asked for.
  virtual const std::string& address() const = 0;
  // The next connection waiting, or nullptr when none is. A failure is the listener's own and
  // for good (a connection that failed before it was taken is skipped).
  virtual base::Result<std::unique_ptr<StreamConnection>> accept() = 0;
};

}  // namespace tamrik::platform
