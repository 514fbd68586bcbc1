#include "app/tamrikctl/metrics_server.h"

#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <thread>

namespace tamrik::ctl {

namespace {

// Scrapes come one at a time from a Prometheus or two; a few workers are plenty.
constexpr std::size_t kWorkers = 2;

}  // namespace

struct MetricsServer::Impl {
  httplib::Server server;
  std::thread thread;
  std::atomic<bool> stopping{false};
  std::atomic<bool> ended{false};
  int port = -1;
};

MetricsServer::MetricsServer(std::vector<Route> routes) : impl_(std::make_unique<Impl>()) {
  httplib::Server& s = impl_->server;
  s.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  // SO_REUSEADDR alone: the address can be taken again at once after a restart, but never by two
  // servers at a time. (The library's default, SO_REUSEPORT, would let a second exporter share the
  // port and take half of the scrapes.)
  s.set_socket_options([](socket_t sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
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

MetricsServer::~MetricsServer() { stop(); }

std::string MetricsServer::bind(const std::string& host, int port) {
  errno = 0;
  const int bound = port == 0 ? impl_->server.bind_to_any_port(host) : (impl_->server.bind_to_port(host, port) ? port : -1);
  if (bound < 0) {
    const int error = errno;
    return error != 0 ? std::strerror(error) : "no such address";
  }
  impl_->port = bound;
  return {};
}

int MetricsServer::port() const { return impl_->port; }

void MetricsServer::start() {
  // The server's threads leave SIGINT, SIGTERM and SIGHUP to the caller's thread.
  sigset_t stops, previous;
  sigemptyset(&stops);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, s);
  pthread_sigmask(SIG_BLOCK, &stops, &previous);
  impl_->thread = std::thread([impl = impl_.get()] {
    impl->server.listen_after_bind();
    impl->ended = true;
  });
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

void MetricsServer::stop() {
  if (!impl_->thread.joinable()) return;
  impl_->stopping = true;
  // stop() does nothing before the server runs: a stop right after the start waits (briefly) for it.
  for (int i = 0; i < 2000 && !impl_->server.is_running() && !impl_->ended; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  impl_->server.stop();
  impl_->thread.join();
}

bool MetricsServer::failed() const { return impl_->ended && !impl_->stopping; }

}  // namespace tamrik::ctl
