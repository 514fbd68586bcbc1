#pragma once
// The receiver bridge's POSIX side: the pseudo-terminal or named pipe behind a symbolic link at
// PATH, the lock that keeps a second bridge off a PATH that one serves, the wait on the device and
// on the stop signal, chrony's SOCK socket and the system's clocks.

#include <poll.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/bridge_io.h"

namespace tamrik::platform {

class LinuxReaderEndpoint final : public ReaderEndpoint {
 public:
  // "" when PATH may be used: absent, or a symbolic link that no live bridge serves (left over from
  // an earlier run), which is replaced; its folder exists. Otherwise the reason, one line; it
  // starts with "refusing" when PATH is there but not ours to take.
  static std::string checkPath(const std::string& path);
  // Where a named pipe for PATH is made: beside it, hidden (".NAME.pipe"). gpsd refuses a device
  // that another process holds open under the name it was given, except a pseudo-terminal; under
  // the link's name it does not see us.
  static std::string pipePath(const std::string& path);
  // The lock a live bridge holds beside PATH (".NAME.lock").
  static std::string lockPath(const std::string& path);
  // Makes the endpoint at PATH, or says why it cannot: a PATH that may not be used (as checkPath
  // says, or that another bridge took meanwhile) is a BadArgument, the system's refusal a System
  // failure.
  static base::Result<std::unique_ptr<LinuxReaderEndpoint>> create(EndpointKind kind, const std::string& path);

  ~LinuxReaderEndpoint() override;
  LinuxReaderEndpoint(const LinuxReaderEndpoint&) = delete;
  LinuxReaderEndpoint& operator=(const LinuxReaderEndpoint&) = delete;

  EndpointKind kind() const override { return kind_; }
  const std::string& path() const override { return path_; }
  const std::string& deviceName() const override { return device_; }
  IoResult write(std::span<const std::uint8_t> bytes) override;
  IoResult drain() override;
  IoResult discardUnread() override;

  // Written with the receiver bytes; non-blocking. What a pseudo-terminal's reader writes arrives
  // here too.
  int fd() const { return writeFd_; }

 private:
  LinuxReaderEndpoint(EndpointKind kind, std::string path) : kind_(kind), path_(std::move(path)) {}
  base::Result<void> lock();
  base::Result<void> openPty();
  base::Result<void> openPipe();
  base::Result<void> makeLink();
  void removeFiles();

  EndpointKind kind_;
  std::string path_;
  bool staleLock_ = false;  // a dead bridge's lock was beside PATH when we took it
  std::string device_;
  std::string linkTarget_;  // what PATH points to, once made
  int writeFd_ = -1;
  // Our own open of the slave side: while it is open the master never hangs up, whatever the
  // reader does. Never read from, so every byte goes to the reader.
  int slaveFd_ = -1;
  int lockFd_ = -1;
  // The named pipe we made, to take away only that one at the end.
  std::uint64_t pipeDevice_ = 0;
  std::uint64_t pipeInode_ = 0;
};

// Descriptors the bridge's wait watches besides the reader's device and the stop signal, asked
// for anew at every wait (the TCP listener and its clients' sockets come and go). What happens
// on them is for their owner to find out: the wait only wakes.
class WaitDescriptors {
 public:
  virtual ~WaitDescriptors() = default;
  // Appends each descriptor with the events to wake for.
  virtual void addTo(std::vector<pollfd>& fds) const = 0;
};

// poll(2) over the reader's device (when there is one), a descriptor that becomes readable when
// the bridge is to stop (a signalfd), and the descriptors of `more` (when given).
class PollBridgeWait final : public BridgeWait {
 public:
  PollBridgeWait(const LinuxReaderEndpoint* endpoint, int stopFd, const WaitDescriptors* more = nullptr)
      : endpoint_(endpoint), stopFd_(stopFd), more_(more) {}
  Result wait(std::chrono::milliseconds timeout, bool wantWrite) override;

 private:
  const LinuxReaderEndpoint* endpoint_;
  int stopFd_;
  const WaitDescriptors* more_;
  std::vector<pollfd> fds_;  // kept from wait to wait, so that its room is made once
};

// chrony's SOCK refclock: datagrams of chrony's `struct sock_sample`, in the layout of this
// system's C library, sent to the socket chronyd made. chronyd may start later, stop and come
// back: each sample is sent to whatever listens at the path then.
class ChronySocket final : public TimeSampleSink {
 public:
  // "" when the path can name chrony's socket: short enough for a socket address, its folder
  // exists, and nothing but a socket is there (nothing at all while chronyd is not running).
  static std::string checkPath(const std::string& path);
  // The socket to send from: a path checkPath refuses is a BadArgument, a socket the system does
  // not give a System failure.
  static base::Result<std::unique_ptr<ChronySocket>> create(const std::string& path);
  // The datagram for a sample, as chrony reads it; none when the sample's time does not fit this
  // system's struct timeval (a 32-bit time_t, as Debian 12 has on armhf, ends in January 2038).
  static std::optional<std::string> datagram(const TimeSample& sample);

  ~ChronySocket() override;
  ChronySocket(const ChronySocket&) = delete;
  ChronySocket& operator=(const ChronySocket&) = delete;

  Result send(const TimeSample& sample) override;
  const std::string& path() const override { return path_; }
  std::string taker() const override { return "chronyd"; }

 private:
  explicit ChronySocket(std::string path) : path_(std::move(path)) {}
  std::string path_;
  int fd_ = -1;
};

}  // namespace tamrik::platform
