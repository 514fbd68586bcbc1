#include "platform/windows/tcp_stream.h"

// Winsock's header comes before windows.h, which would otherwise bring the old one.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "platform/windows/windows_text.h"

namespace tamrik::platform::windows {

namespace {

constexpr int kBacklog = 16;

std::string socketError(const std::string& what, int error) {
  return what + ": " + systemErrorText(static_cast<std::uint32_t>(error));
}

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

bool nonBlocking(SOCKET s) {
  u_long on = 1;
  return ::ioctlsocket(s, FIONBIO, &on) == 0;
}

}  // namespace

struct WindowsTcpListener::Session {
  Session() {
    WSADATA data{};
    started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }
  ~Session() {
    if (started) ::WSACleanup();
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  bool started = false;
};

namespace {

class WindowsTcpConnection final : public StreamConnection {
 public:
  WindowsTcpConnection(SOCKET s, std::string peer, std::shared_ptr<WindowsTcpListener::Session> session)
      : socket_(s), peer_(std::move(peer)), session_(std::move(session)) {}
  ~WindowsTcpConnection() override { ::closesocket(socket_); }
  WindowsTcpConnection(const WindowsTcpConnection&) = delete;
  WindowsTcpConnection& operator=(const WindowsTcpConnection&) = delete;

  const std::string& peer() const override { return peer_; }

  StreamStep write(std::span<const std::uint8_t> bytes) override {
    StreamStep step;
    while (step.bytes < bytes.size()) {
      const int want = static_cast<int>(std::min<std::size_t>(bytes.size() - step.bytes, 1 << 20));
      const int n = ::send(socket_, reinterpret_cast<const char*>(bytes.data() + step.bytes), want, 0);
      if (n > 0) {
        step.bytes += static_cast<std::size_t>(n);
        continue;
      }
      const int error = ::WSAGetLastError();
      if (n == SOCKET_ERROR && (error == WSAEWOULDBLOCK || error == WSAEINTR)) break;
      end(step, error);
      break;
    }
    return step;
  }

  StreamStep read(std::span<std::uint8_t> bytes) override {
    StreamStep step;
    while (step.bytes < bytes.size()) {
      const int want = static_cast<int>(std::min<std::size_t>(bytes.size() - step.bytes, 1 << 20));
      const int n = ::recv(socket_, reinterpret_cast<char*>(bytes.data() + step.bytes), want, 0);
      if (n > 0) {
        step.bytes += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) {
        step.state = StreamStep::State::Closed;
        break;
      }
      const int error = ::WSAGetLastError();
      if (error == WSAEWOULDBLOCK || error == WSAEINTR) break;
      end(step, error);
      break;
    }
    return step;
  }

 private:
  // A client that went away is an end, not a failure.
  void end(StreamStep& step, int error) {
    if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAESHUTDOWN || error == WSAETIMEDOUT ||
        error == WSAENETRESET) {
      step.state = StreamStep::State::Closed;
      return;
    }
    step.state = StreamStep::State::Failed;
    step.reason = socketError("the connection of " + peer_ + " failed", error);
  }

  SOCKET socket_;
  std::string peer_;
  std::shared_ptr<WindowsTcpListener::Session> session_;
};

}  // namespace

base::Result<std::unique_ptr<WindowsTcpListener>> WindowsTcpListener::create(const std::string& host, std::uint16_t port) {
  auto session = std::make_shared<Session>();
  if (!session->started) return base::fail(base::FailureKind::System, socketError("cannot start Winsock", ::WSAGetLastError()));
  if (host.empty()) return base::fail(base::FailureKind::BadArgument, "no address to listen on");
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found); rc != 0) {
    return base::fail(base::FailureKind::BadArgument, socketError("cannot find the address of '" + host + "'", rc));
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> all(found, &::freeaddrinfo);
  // The first of the name's addresses that can be had; the first one's refusal when none can.
  std::optional<base::Failure> refusal;
  for (const addrinfo* a = found; a; a = a->ai_next) {
    auto l = listenOn(session, a->ai_addr, static_cast<int>(a->ai_addrlen));
    if (l) return l;
    if (!refusal) refusal = l.failure();
  }
  return refusal.value_or(base::fail(base::FailureKind::BadArgument, "'" + host + "' has no address to listen on"));
}

base::Result<std::unique_ptr<WindowsTcpListener>> WindowsTcpListener::listenOn(std::shared_ptr<Session> session,
                                                                               const sockaddr* address, int length) {
  sockaddr_storage asked{};
  std::memcpy(&asked, address, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof asked));
  const std::string named = addressText(asked);
  std::unique_ptr<WindowsTcpListener> l(new WindowsTcpListener());
  l->session_ = std::move(session);
  const SOCKET s = ::socket(address->sa_family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    return base::fail(base::FailureKind::System, socketError("cannot make a socket for " + named, ::WSAGetLastError()));
  }
  l->socket_ = s;
  // Only this listener may have the port: Windows would otherwise let another socket take it over.
  BOOL on = TRUE;
  (void)::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
  // "::" is IPv6 alone, so that it means the same on every system.
  DWORD v6Only = 1;
  if (address->sa_family == AF_INET6) {
    (void)::setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6Only), sizeof v6Only);
  }
  if (!nonBlocking(s)) {
    return base::fail(base::FailureKind::System,
                      socketError("cannot make the socket for " + named + " non-blocking", ::WSAGetLastError()));
  }
  if (::bind(s, address, length) != 0 || ::listen(s, kBacklog) != 0) {
    return base::fail(base::FailureKind::System, socketError("cannot listen on " + named, ::WSAGetLastError()));
  }
  sockaddr_storage bound{};
  int boundLength = sizeof bound;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    return base::fail(base::FailureKind::System, socketError("cannot tell the port of " + named, ::WSAGetLastError()));
  }
  l->address_ = addressText(bound);
  l->port_ = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6&>(bound).sin6_port
                                               : reinterpret_cast<const sockaddr_in&>(bound).sin_port);
  return l;
}

WindowsTcpListener::~WindowsTcpListener() {
  if (static_cast<SOCKET>(socket_) != INVALID_SOCKET) ::closesocket(static_cast<SOCKET>(socket_));
}

base::Result<std::unique_ptr<StreamConnection>> WindowsTcpListener::accept() {
  for (;;) {
    sockaddr_storage peer{};
    int length = sizeof peer;
    const SOCKET s = ::accept(static_cast<SOCKET>(socket_), reinterpret_cast<sockaddr*>(&peer), &length);
    if (s != INVALID_SOCKET) {
      BOOL on = TRUE;
      (void)::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
      if (!nonBlocking(s)) {
        ::closesocket(s);
        continue;
      }
      return std::unique_ptr<StreamConnection>(new WindowsTcpConnection(s, addressText(peer), session_));
    }
    switch (const int error = ::WSAGetLastError()) {
      case WSAEINTR:
      case WSAECONNRESET:  // the client left before it was taken
        continue;
      // Out of sockets or memory for now: the connection waits in the backlog for a later call.
      case WSAEWOULDBLOCK:
      case WSAEMFILE:
      case WSAENOBUFS:
        return std::unique_ptr<StreamConnection>();
      default:
        return base::fail(base::FailureKind::System, socketError("taking a connection on " + address_ + " failed", error));
    }
  }
}

}  // namespace tamrik::platform::windows
