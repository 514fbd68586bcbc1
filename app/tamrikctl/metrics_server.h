#pragma once
// The exporter's HTTP side, on cpp-httplib: each route answers GET at its path with what its
// render makes at that moment (from memory; nothing waits for a unit). It serves on a thread of its
// own, with a small pool of workers. Nothing it serves changes a unit.

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

class MetricsServer {
 public:
  explicit MetricsServer(std::vector<Route> routes);
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

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
