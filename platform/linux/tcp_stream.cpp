#include "platform/linux/tcp_stream.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>

namespace tamrik::platform {

namespace {

constexpr int kBacklog = 16;

std::string socketError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// "127.0.0.1:40312" or "[::1]:40312".
std::string addressText(const sockaddr_storage& a) {
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (a.ss_family == AF_INET6) {
    const auto& in6 = reinterpret_cast<const sockaddr_in6&>(a);
    ::inet_ntop(AF_INET6, &in6.sin6_addr, text.data(), text.size());
    return "[" + std::string(text.data()) + "]:" + std::to_string(ntohs(in6.sin6_port));
  }
  const auto& in = reinterpret_cast<const sockaddr_in&>(a);
  ::inet_ntop(AF_INET, &in.sin_addr, text.data(), text.size());
  return std::string(text.data()) + ":" + std::to_string(ntohs(in.sin_port));
}

}  // namespace

// The descriptors of the open connections, and whether each waits for room to write. Shared with
// the connections, which may outlive the listener.
struct LinuxTcpListener::Open {
  struct Entry {
    int fd;
    bool writeCut;
  };
  std::vector<Entry> entries;
  Entry* find(int fd) {
    auto it = std::find_if(entries.begin(), entries.end(), [fd](const Entry& e) { return e.fd == fd; });
    return it == entries.end() ? nullptr : &*it;
  }
};

namespace {

class LinuxTcpConnection final : public StreamConnection {
 public:
  LinuxTcpConnection(int fd, std::string peer, std::shared_ptr<LinuxTcpListener::Open> open)
      : fd_(fd), peer_(std::move(peer)), open_(std::move(open)) {
    open_->entries.push_back({fd_, false});
  }
  ~LinuxTcpConnection() override {
    std::erase_if(open_->entries, [this](const LinuxTcpListener::Open::Entry& e) { return e.fd == fd_; });
    ::close(fd_);
  }
  LinuxTcpConnection(const LinuxTcpConnection&) = delete;
  LinuxTcpConnection& operator=(const LinuxTcpConnection&) = delete;

  const std::string& peer() const override { return peer_; }

  StreamStep write(std::span<const std::uint8_t> bytes) override {
    StreamStep step;
    while (step.bytes < bytes.size()) {
      // MSG_NOSIGNAL: a client that has gone is an EPIPE here, not a signal that ends the program.
      const ssize_t n = ::send(fd_, bytes.data() + step.bytes, bytes.size() - step.bytes, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        step.bytes += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      end(step, n < 0 ? errno : EPIPE);
      break;
    }
    if (auto* e = open_->find(fd_)) e->writeCut = step.bytes < bytes.size();
    return step;
  }

  StreamStep read(std::span<std::uint8_t> bytes) override {
    StreamStep step;
    while (step.bytes < bytes.size()) {
      const ssize_t n = ::recv(fd_, bytes.data() + step.bytes, bytes.size() - step.bytes, MSG_DONTWAIT);
      if (n > 0) {
        step.bytes += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n == 0) {
        step.state = StreamStep::State::Closed;
      } else {
        end(step, errno);
      }
      break;
    }
    return step;
  }

 private:
  // A client that went away is an end, not a failure.
  void end(StreamStep& step, int error) {
    if (error == EPIPE || error == ECONNRESET || error == ETIMEDOUT || error == EHOSTUNREACH || error == ENETUNREACH) {
      step.state = StreamStep::State::Closed;
      return;
    }
    step.state = StreamStep::State::Failed;
    step.reason = socketError("the connection of " + peer_ + " failed", error);
  }

  int fd_;
  std::string peer_;
  std::shared_ptr<LinuxTcpListener::Open> open_;
};

}  // namespace

base::Result<std::unique_ptr<LinuxTcpListener>> LinuxTcpListener::create(const std::string& host, std::uint16_t port) {
  if (host.empty()) return base::fail(base::FailureKind::BadArgument, "no address to listen on");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
    return base::fail(base::FailureKind::BadArgument, "cannot find the address of '" + host + "': " + ::gai_strerror(rc));
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> all(found, &::freeaddrinfo);
  // The first of the name's addresses that can be had; the first one's refusal when none can.
  std::optional<base::Failure> refusal;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    auto l = listenOn(a->ai_addr, a->ai_addrlen);
    if (l) return l;
    if (!refusal) refusal = l.failure();
  }
  return refusal.value_or(base::fail(base::FailureKind::BadArgument, "'" + host + "' has no address to listen on"));
}

base::Result<std::unique_ptr<LinuxTcpListener>> LinuxTcpListener::listenOn(const sockaddr* address, socklen_t length) {
  sockaddr_storage asked{};
  std::memcpy(&asked, address, std::min<std::size_t>(length, sizeof asked));
  const std::string named = addressText(asked);
  std::unique_ptr<LinuxTcpListener> l(new LinuxTcpListener());
  l->open_ = std::make_shared<Open>();
  l->fd_ = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (l->fd_ < 0) return base::fail(base::FailureKind::System, socketError("cannot make a socket for " + named, errno));
  // A port that an earlier run left in TIME_WAIT is taken at once; one that another program
  // listens on is still refused.
  const int on = 1;
  (void)::setsockopt(l->fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // "::" is IPv6 alone, so that it means the same on every system.
  if (address->sa_family == AF_INET6) (void)::setsockopt(l->fd_, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (::bind(l->fd_, address, length) != 0 || ::listen(l->fd_, kBacklog) != 0) {
    return base::fail(base::FailureKind::System, socketError("cannot listen on " + named, errno));
  }
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(l->fd_, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    return base::fail(base::FailureKind::System, socketError("cannot tell the port of " + named, errno));
  }
  l->address_ = addressText(bound);
  l->port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                               : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
  return l;
}

LinuxTcpListener::~LinuxTcpListener() {
  if (fd_ >= 0) ::close(fd_);
}

base::Result<std::unique_ptr<StreamConnection>> LinuxTcpListener::accept() {
  for (;;) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      const int on = 1;
      (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      return std::unique_ptr<StreamConnection>(new LinuxTcpConnection(fd, addressText(peer), open_));
    }
    switch (errno) {
      case EINTR:
      case ECONNABORTED:  // the client left before it was taken
      case EPROTO:
        continue;
      case EAGAIN:
#if EWOULDBLOCK != EAGAIN
      case EWOULDBLOCK:
#endif
      // Out of descriptors or memory for now: the connection waits in the backlog for a later call.
      case EMFILE:
      case ENFILE:
      case ENOBUFS:
      case ENOMEM:
        return std::unique_ptr<StreamConnection>();
      default:
        return base::fail(base::FailureKind::System, socketError("taking a connection on " + address_ + " failed", errno));
    }
  }
}

void LinuxTcpListener::addTo(std::vector<pollfd>& fds) const {
  fds.push_back({fd_, POLLIN, 0});
  for (const Open::Entry& e : open_->entries) fds.push_back({e.fd, static_cast<short>(POLLIN | (e.writeCut ? POLLOUT : 0)), 0});
}

}  // namespace tamrik::platform
