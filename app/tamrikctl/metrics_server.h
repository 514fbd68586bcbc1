#pragma once
// The exporter's HTTP side, on cpp-httplib: each route answers GET at its path with what its
// render makes at that moment (from memory; nothing waits for a unit). It serves on a thread of its
// own. Nothing it serves changes a unit.
//
// Every connection is bounded, so that slow or idle clients cannot keep a scrape from being
// answered: each has a thread of its own from a fixed set (a scrape never waits behind another
// client); when the set is taken, a new connection takes the thread of the one that has waited
// longest without a request being answered (idle, or sending its request slowly), which is cut (and
// is closed at once when every thread is answering); a connection that has not finished its
// request within ServerLimits::requestSeconds of its start or of its previous answer is cut.

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace tamrik::ctl {

struct Route {
  std::string path;         // "/metrics"
  std::string contentType;  // "text/plain; version=0.0.4; charset=utf-8"
  std::function<std::string()> render;
};

struct ServerLimits {
  int connections = 64;      // at once; a newer one takes the place of the oldest waiting
  int requestSeconds = 10;   // from the connection's start, or its previous answer, to the next answer
  int ioSeconds = 5;         // one read or write waiting for the client
  int idleSeconds = 5;       // a kept-alive connection waiting for its next request
  int requestsPerConnection = 100;
  std::size_t bodyBytes = 64 * 1024;  // the request's body (headers: 8 KiB a line, in the library)
};

// HTTPS and Basic authentication, as a web config file sets them.
struct ServerSecurity {
  std::string certFile, keyFile;  // both empty: plain HTTP
  bool tls13Only = false;         // else TLS 1.2 or newer
  bool tls12Max = false;          // at most TLS 1.2
  // Basic authentication when set: true for a user name and password that may read.
  std::function<bool(const std::string& user, const std::string& password)> checkPassword;
};

class MetricsServer {
 public:
  explicit MetricsServer(std::vector<Route> routes, ServerLimits limits = {}, ServerSecurity security = {});
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // Why HTTPS cannot be served with the certificate and key given ("" when it can).
  std::string tlsError() const;
  // Takes the address: "" when it is ours, else why not. Port 0 takes a free port (port() names
  // it). The address is exclusive: a second server on the same address and port is refused.
  std::string bind(const std::string& host, int port);
  int port() const;
  // Serves until stop(). Stop signals stay with the thread that called start().
  void start();
  void stop();
  // The server thread ended by itself (it could no longer accept connections).
  bool failed() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tamrik::ctl
