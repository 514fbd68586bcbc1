#pragma once
// What the receiver bridge needs of the operating system: the reader's device at PATH (a
// pseudo-terminal or a named pipe), the wait for it, chrony's time-sample socket and the clocks
// that stamp the samples. The bridge's engine sees only these interfaces; the Linux build gives
// them their POSIX backends (platform/linux/bridge_endpoints.h), tests their own.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "base/result.h"

namespace tamrik::platform {

enum class EndpointKind {
  Pty,   // the slave side of a pseudo-terminal
  Pipe,  // a named pipe
};

// One step on a device or socket that never waits: the bytes it moved, or a System failure when the
// device failed for good, with the reason.
using IoResult = base::Result<std::size_t>;

// The reader's side at PATH: bytes go in without waiting, whatever the reader writes is taken out
// and thrown away, and what the reader has not read yet can be given up.
class ReaderEndpoint {
 public:
  virtual ~ReaderEndpoint() = default;
  virtual EndpointKind kind() const = 0;
  virtual const std::string& path() const = 0;
  // The pseudo-terminal's slave device (/dev/pts/N), or the named pipe.
  virtual const std::string& deviceName() const = 0;
  // Writes what the device takes now; the rest waits for a later call.
  virtual IoResult write(std::span<const std::uint8_t> bytes) = 0;
  // Reads what the reader wrote (a bounded amount) and throws it away.
  virtual IoResult drain() = 0;
  // Gives up the bytes written earlier that no reader has taken yet: those in the device's own
  // buffer. Returns how many went.
  virtual IoResult discardUnread() = 0;
};

// The one place where the bridge's loop waits: for the reader's device (to take bytes, or with
// bytes from the reader) and for the signal to stop.
class BridgeWait {
 public:
  enum class Outcome { Woken, Stopped, Failed };
  struct Result {
    Outcome outcome = Outcome::Woken;
    std::string failure;  // when Failed
  };
  virtual ~BridgeWait() = default;
  // At most `timeout`; wantWrite: wake when the reader's device can take bytes.
  virtual Result wait(std::chrono::milliseconds timeout, bool wantWrite) = 0;
};

// A leap second the receiver announced for the end of the current UTC day.
enum class Leap { None, Insert, Delete };

// One time sample: at `stamp` on the host's real-time clock the receiver's time was stamp +
// offset.
struct TimeSample {
  std::chrono::system_clock::time_point stamp;
  double offsetSeconds = 0;
  Leap leap = Leap::None;
};

// Where time samples go: chrony's SOCK refclock socket, or NTP's shared memory.
class TimeSampleSink {
 public:
  enum class Sent {
    Delivered,
    NotListening,  // nobody takes samples there now (chronyd not started, or restarting): the reason says which
    Failed,        // the socket refused the sample for another reason
  };
  struct Result {
    Result() = default;
    Result(Sent s, std::string why) : sent(s), reason(std::move(why)) {}
    Sent sent = Sent::Delivered;
    std::string reason;
    // The sample was left where its taker looks for it later (NTP's shared memory, read once a
    // second): whether it was taken is known only at the next send, which tells it in
    // earlierTaken. A sample that waits counts as neither taken nor lost until then.
    bool waits = false;
    std::optional<bool> earlierTaken;  // the fate of the sample that waited before this one
  };
  virtual ~TimeSampleSink() = default;
  // Never waits: a sample that cannot go at once is lost, and the next one is tried anew.
  virtual Result send(const TimeSample& sample) = 0;
  virtual const std::string& path() const = 0;
  // Who takes the samples there, in messages: "chronyd", "ntpd".
  virtual std::string taker() const = 0;
};

// The clocks of the bridge: the steady one for gaps and pauses, the real-time one for stamps.
class BridgeClock {
 public:
  virtual ~BridgeClock() = default;
  virtual std::chrono::steady_clock::time_point steadyNow() = 0;
  virtual std::chrono::system_clock::time_point realNow() = 0;
};

// The system's own clocks.
class SystemBridgeClock final : public BridgeClock {
 public:
  std::chrono::steady_clock::time_point steadyNow() override { return std::chrono::steady_clock::now(); }
  std::chrono::system_clock::time_point realNow() override { return std::chrono::system_clock::now(); }
};

}  // namespace tamrik::platform
