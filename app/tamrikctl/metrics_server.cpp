#include "app/tamrikctl/metrics_server.h"

#include <httplib.h>

#ifdef _WIN32
#include <winsock2.h>
#else
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

namespace tamrik::ctl {

namespace {

using Clock = std::chrono::steady_clock;

// httplib::Server serves one accepted connection in process_and_close_socket (its TLS server
// overrides it with the handshake). The step is private: the library's own accept loop calls it,
// on a queue that cannot turn a connection away or cut a slow one. This server accepts the
// connections itself and hands each to that step, through a pointer to the private member taken
// the one way the language allows, in an explicit instantiation (where access is not checked).
struct ServeConnectionTag {
  using type = bool (httplib::Server::*)(socket_t);
};
template <typename Tag, typename Tag::type Member>
struct MemberOf {
  friend typename Tag::type memberOf(Tag) { return Member; }
};
ServeConnectionTag::type memberOf(ServeConnectionTag);
template struct MemberOf<ServeConnectionTag, &httplib::Server::process_and_close_socket>;

// The listening socket that bind_to_port made (a protected member).
struct ListeningSocket : httplib::Server {
  static std::atomic<socket_t>& of(httplib::Server& server) { return server.*(&ListeningSocket::svr_sock_); }
};

void closeSocket(socket_t sock) {
#ifdef _WIN32
  ::closesocket(sock);
#else
  ::close(sock);
#endif
}

void cutSocket(socket_t sock) {
#ifdef _WIN32
  ::shutdown(sock, SD_BOTH);
#else
  ::shutdown(sock, SHUT_RDWR);
#endif
}

int lastSocketError() {
#ifdef _WIN32
  return WSAGetLastError();
#else
  return errno;
#endif
}

// A second handle on the socket, kept by the server to cut the connection even while the library
// closes its own: a handle the server closes itself is never taken again by another socket before
// the server is done with it.
socket_t secondHandle(socket_t sock) {
#ifdef _WIN32
  WSAPROTOCOL_INFOW info{};
  if (::WSADuplicateSocketW(sock, ::GetCurrentProcessId(), &info) != 0) return INVALID_SOCKET;
  return ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0, WSA_FLAG_OVERLAPPED);
#else
  return ::dup(sock);
#endif
}

// Waits up to `ms` for the socket to be readable: 1 readable, 0 not yet, -1 failed.
int waitReadable(socket_t sock, int ms) {
#ifdef _WIN32
  WSAPOLLFD p{};
  p.fd = sock;
  p.events = POLLRDNORM;
  return ::WSAPoll(&p, 1, ms);
#else
  pollfd p{sock, POLLIN, 0};
  const int n = ::poll(&p, 1, ms);
  return n < 0 && errno == EINTR ? 0 : n;
#endif
}

// An answer goes out as it is written: the library writes the head and the body apart, and over
// TLS Nagle's algorithm would hold the body until the client's delayed acknowledgement (40 ms).
void setNoDelay(socket_t sock) {
  int yes = 1;
  ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
}

void setSocketTimeouts(socket_t sock, int seconds) {
#ifdef _WIN32
  const DWORD ms = static_cast<DWORD>(seconds) * 1000;
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
  ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
#else
  timeval tv{};
  tv.tv_sec = seconds;
  ::setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
#endif
}

std::optional<std::string> decodeBase64(std::string_view text) {
  std::string out;
  unsigned bits = 0;
  int count = 0;
  std::size_t padding = 0;
  for (const char ch : text) {
    int v;
    if (ch >= 'A' && ch <= 'Z') v = ch - 'A';
    else if (ch >= 'a' && ch <= 'z') v = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9') v = ch - '0' + 52;
    else if (ch == '+') v = 62;
    else if (ch == '/') v = 63;
    else if (ch == '=') {
      ++padding;
      continue;
    } else return std::nullopt;
    if (padding != 0) return std::nullopt;
    bits = (bits << 6) | static_cast<unsigned>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>((bits >> count) & 0xff);
    }
  }
  if ((text.size() % 4) != 0 || padding > 2) return std::nullopt;
  return out;
}

// The user and password of an "Authorization: Basic ..." header (the scheme in any case). None
// with a NUL byte: the password check would see only what comes before it.
std::optional<std::pair<std::string, std::string>> basicCredentials(const std::string& header) {
  constexpr std::string_view kScheme = "basic ";
  if (header.size() <= kScheme.size()) return std::nullopt;
  for (std::size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(header[i])) != kScheme[i]) return std::nullopt;
  }
  const std::optional<std::string> decoded = decodeBase64(std::string_view(header).substr(kScheme.size()));
  if (!decoded || decoded->find('\0') != std::string::npos) return std::nullopt;
  const std::size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return std::make_pair(decoded->substr(0, colon), decoded->substr(colon + 1));
}

// What Go's servers, and so the Prometheus exporters, answer to plain HTTP on a TLS port.
constexpr std::string_view kPlainHttpOnTls =
    "HTTP/1.0 400 Bad Request\r\n\r\nClient sent an HTTP request to an HTTPS server.\n";

}  // namespace

struct MetricsServer::Impl {
  // One per worker: the connection it serves, if any.
  struct Slot {
    socket_t watch = INVALID_SOCKET;  // a second handle on the connection's socket, to cut it
    std::atomic<Clock::rep> deadline{0};
    bool busy = false;
    bool cut = false;
    bool endAfterAnswer = false;  // set while a request is answered: the connection ends with the answer
    // From the request's head to its answer: the connection is not taken for a newer one meanwhile.
    std::atomic<bool> answering{false};
  };
  struct Accepted {
    socket_t sock;
    socket_t watch;
  };

  ServerLimits limits;
  ServerSecurity security;
  std::unique_ptr<httplib::Server> server;
  std::string tlsError;
  bool tls = false;
  int port = -1;
  bool bound = false;

  std::thread acceptor;
  std::vector<std::thread> workers;
  std::vector<Slot> slots;
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Accepted> queue;  // never longer than the idle workers
  std::size_t busy = 0;
  bool stopping = false;
  std::atomic<bool> ended{false};
  std::atomic<bool> stopRequested{false};

  static thread_local Slot* current;

  Clock::rep deadlineFromNow() const {
    return (Clock::now() + std::chrono::seconds(limits.requestSeconds)).time_since_epoch().count();
  }

  void acceptLoop(socket_t listening);
  void work(Slot& slot);
  void serve(socket_t sock);
  void cutLate();
  bool makeRoom();
};

thread_local MetricsServer::Impl::Slot* MetricsServer::Impl::current = nullptr;

MetricsServer::MetricsServer(std::vector<Route> routes, ServerLimits limits, ServerSecurity security)
    : impl_(std::make_unique<Impl>()) {
  Impl& m = *impl_;
  m.limits = limits;
  m.security = std::move(security);
  if (!m.security.certFile.empty()) {
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    // The context as the library makes it from the two files, but with no passphrase: a key that
    // has one is refused, never asked for on the terminal.
    auto tlsServer = std::make_unique<httplib::SSLServer>([&m](SSL_CTX& ctx) {
      SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_SESSION_RESUMPTION_ON_RENEGOTIATION);
      SSL_CTX_set_default_passwd_cb(&ctx, [](char*, int, int, void*) { return 0; });
      return SSL_CTX_use_certificate_chain_file(&ctx, m.security.certFile.c_str()) == 1 &&
             SSL_CTX_use_PrivateKey_file(&ctx, m.security.keyFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
             SSL_CTX_check_private_key(&ctx) == 1;
    });
    if (!tlsServer->is_valid()) {
      m.tlsError = "the certificate or key cannot be used";
    } else {
      SSL_CTX* ctx = tlsServer->ssl_context();
      SSL_CTX_set_min_proto_version(ctx, m.security.tls13Only ? TLS1_3_VERSION : TLS1_2_VERSION);
      if (m.security.tls12Max) SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    }
    m.server = std::move(tlsServer);
    m.tls = true;
#else
    m.tlsError = "this build has no TLS";
    m.server = std::make_unique<httplib::Server>();
#endif
  } else {
    m.server = std::make_unique<httplib::Server>();
  }
  httplib::Server& s = *m.server;
  s.set_read_timeout(limits.ioSeconds, 0);
  s.set_write_timeout(limits.ioSeconds, 0);
  s.set_keep_alive_timeout(limits.idleSeconds);
  s.set_keep_alive_max_count(static_cast<std::size_t>(limits.requestsPerConnection));
  s.set_payload_max_length(limits.bodyBytes);
  // SO_REUSEADDR alone: the address can be taken again at once after a restart, but never by two
  // servers at a time. (The library's default, SO_REUSEPORT, would let a second exporter share the
  // port and take half of the scrapes.)
  s.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&yes), sizeof yes);
  });
  // Each answer gives the connection a new time for its next request; an answer that ends the
  // connection cuts it once it is written, whatever the rest of the request.
  s.set_logger([impl = impl_.get()](const httplib::Request&, const httplib::Response&) {
    Impl::Slot* slot = Impl::current;
    if (slot == nullptr) return;
    slot->deadline = impl->deadlineFromNow();
    slot->answering = false;
    if (slot->endAfterAnswer) {
      slot->endAfterAnswer = false;
      std::lock_guard lock(impl->mutex);
      cutSocket(slot->watch);
      slot->cut = true;
    }
  });
  // Runs on the request's head, before the library reads a body.
  s.set_pre_routing_handler([impl = impl_.get()](const httplib::Request& req, httplib::Response& res) {
    if (Impl::current != nullptr) Impl::current->answering = true;
    // No route takes a body: one is refused unread, and the connection ends (what follows the head
    // is not a request).
    const std::string length = req.get_header_value("Content-Length");
    if (req.has_header("Transfer-Encoding") || length.find_first_not_of('0') != std::string::npos) {
      if (Impl::current != nullptr) Impl::current->endAfterAnswer = true;
      res.status = 413;
      res.set_header("Connection", "close");
      res.set_content("A request to this server carries no body\n", "text/plain; charset=utf-8");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (!impl->security.checkPassword) return httplib::Server::HandlerResponse::Unhandled;
    const auto credentials = basicCredentials(req.get_header_value("Authorization"));
    if (credentials && impl->security.checkPassword(credentials->first, credentials->second)) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    res.status = 401;
    res.set_header("WWW-Authenticate", "Basic");
    res.set_content("Unauthorized\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  for (Route& route : routes) {
    // The path as a pattern that matches it alone.
    std::string pattern;
    for (const char ch : route.path) {
      if (std::string_view("\\^$.|?*+()[]{}").find(ch) != std::string_view::npos) pattern += '\\';
      pattern += ch;
    }
    s.Get(pattern, [route = std::move(route)](const httplib::Request&, httplib::Response& res) {
      res.set_content(route.render(), route.contentType.c_str());
    });
  }
}

MetricsServer::~MetricsServer() {
  stop();
  if (impl_->bound) {
    const socket_t sock = ListeningSocket::of(*impl_->server).exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) closeSocket(sock);
  }
}

std::string MetricsServer::tlsError() const { return impl_->tlsError; }

std::string MetricsServer::bind(const std::string& host, int port) {
  errno = 0;
  const int bound = port == 0 ? impl_->server->bind_to_any_port(host) : (impl_->server->bind_to_port(host, port) ? port : -1);
  if (bound < 0) {
    const int error = lastSocketError();
#ifdef _WIN32
    if (error == WSAEADDRINUSE) return "Address already in use";
    if (error == WSAEADDRNOTAVAIL) return "Cannot assign requested address";
    return error != 0 ? "socket error " + std::to_string(error) : "no such address";
#else
    return error != 0 ? std::strerror(error) : "no such address";
#endif
  }
  impl_->port = bound;
  impl_->bound = true;
  // A longer backlog than the library's 5: connections that come together wait to be accepted.
  ::listen(ListeningSocket::of(*impl_->server).load(), 128);
  return {};
}

int MetricsServer::port() const { return impl_->port; }

void MetricsServer::start() {
  Impl& m = *impl_;
  if (!m.bound || m.acceptor.joinable()) return;
#ifndef _WIN32
  // The server's threads leave SIGINT, SIGTERM and SIGHUP to the caller's thread.
  sigset_t stops, previous;
  sigemptyset(&stops);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
#endif
  m.slots = std::vector<Impl::Slot>(static_cast<std::size_t>(m.limits.connections));
  for (Impl::Slot& slot : m.slots) m.workers.emplace_back([&m, &slot] { m.work(slot); });
  m.acceptor = std::thread([&m, listening = ListeningSocket::of(*m.server).load()] {
    m.acceptLoop(listening);
    m.ended = true;
  });
#ifndef _WIN32
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#endif
}

void MetricsServer::Impl::acceptLoop(socket_t listening) {
  while (!stopRequested) {
    cutLate();
    const int ready = waitReadable(listening, 200);
    if (ready < 0) return;
    if (ready == 0) continue;
    const socket_t sock = ::accept(listening, nullptr, nullptr);
    if (sock == INVALID_SOCKET) {
      const int error = lastSocketError();
#ifdef _WIN32
      if (error == WSAEWOULDBLOCK || error == WSAECONNRESET || error == WSAEINTR || error == WSAEMFILE ||
          error == WSAENOBUFS) {
#else
      if (error == EAGAIN || error == EWOULDBLOCK || error == ECONNABORTED || error == EINTR || error == EMFILE ||
          error == ENFILE || error == ENOBUFS || error == ENOMEM) {
#endif
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      return;
    }
    setSocketTimeouts(sock, limits.ioSeconds);
    setNoDelay(sock);
    std::unique_lock lock(mutex);
    if (!makeRoom()) {
      // Every worker is answering a request: this connection is closed at once rather than kept
      // waiting.
      lock.unlock();
      closeSocket(sock);
      continue;
    }
    const socket_t watch = secondHandle(sock);
    if (watch == INVALID_SOCKET) {
      lock.unlock();
      closeSocket(sock);
      continue;
    }
    queue.push_back({sock, watch});
    lock.unlock();
    wake.notify_one();
  }
}

// Whether a worker is free, or soon will be, for a new connection. When none is, the connection
// that has waited longest without a request being answered (idle between requests, or sending
// its request slowly) is cut for it: whoever holds every connection cannot keep a scrape out, it
// only loses its oldest. Called with the mutex held.
bool MetricsServer::Impl::makeRoom() {
  std::size_t leaving = 0;  // cut, and about to be closed by their workers
  Slot* oldest = nullptr;
  for (Slot& slot : slots) {
    if (!slot.busy) continue;
    if (slot.cut) {
      ++leaving;
    } else if (!slot.answering && (oldest == nullptr || slot.deadline.load() < oldest->deadline.load())) {
      oldest = &slot;
    }
  }
  if (queue.size() + busy < slots.size() + leaving) return true;
  if (oldest == nullptr) return false;
  cutSocket(oldest->watch);
  oldest->cut = true;
  return true;
}

// Cuts the connections that are past their time: the worker's reads and writes fail, and it
// closes the connection.
void MetricsServer::Impl::cutLate() {
  const Clock::rep now = Clock::now().time_since_epoch().count();
  std::lock_guard lock(mutex);
  for (Slot& slot : slots) {
    if (slot.busy && !slot.cut && slot.deadline.load() < now) {
      cutSocket(slot.watch);
      slot.cut = true;
    }
  }
}

void MetricsServer::Impl::work(Slot& slot) {
  current = &slot;
  for (;;) {
    Accepted next{};
    {
      std::unique_lock lock(mutex);
      wake.wait(lock, [&] { return stopping || !queue.empty(); });
      if (queue.empty()) return;
      next = queue.front();
      queue.pop_front();
      slot.watch = next.watch;
      slot.deadline = deadlineFromNow();
      slot.cut = false;
      slot.answering = false;
      slot.busy = true;
      ++busy;
    }
    serve(next.sock);
    std::lock_guard lock(mutex);
    slot.busy = false;
    --busy;
    closeSocket(slot.watch);
    slot.watch = INVALID_SOCKET;
  }
}

void MetricsServer::Impl::serve(socket_t sock) {
  if (tls) {
    // A TLS client speaks first, with a handshake record (0x16); anything else is plain HTTP, and
    // is told so as Go's servers tell it, with no data.
    unsigned char first = 0;
    if (waitReadable(sock, limits.ioSeconds * 1000) != 1 ||
        ::recv(sock, reinterpret_cast<char*>(&first), 1, MSG_PEEK) != 1) {
      cutSocket(sock);
      closeSocket(sock);
      return;
    }
    if (first != 0x16) {
      ::send(sock, kPlainHttpOnTls.data(), static_cast<int>(kPlainHttpOnTls.size()), 0);
      cutSocket(sock);
      closeSocket(sock);
      return;
    }
  }
  (server.get()->*memberOf(ServeConnectionTag{}))(sock);
}

void MetricsServer::stop() {
  Impl& m = *impl_;
  if (!m.acceptor.joinable()) return;
  m.stopRequested = true;
  m.acceptor.join();
  {
    std::lock_guard lock(m.mutex);
    m.stopping = true;
    for (const Impl::Accepted& waiting : m.queue) cutSocket(waiting.sock);
    for (Impl::Slot& slot : m.slots) {
      if (slot.busy) cutSocket(slot.watch);
    }
  }
  m.wake.notify_all();
  for (std::thread& worker : m.workers) worker.join();
  m.workers.clear();
}

bool MetricsServer::failed() const { return impl_->ended && !impl_->stopRequested; }

}  // namespace tamrik::ctl
