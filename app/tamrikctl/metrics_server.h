#pragma once
// The exporter's HTTP side, on cpp-httplib: GET /metrics answers with what `render` makes at that
// moment (from memory; nothing waits for a unit), GET / with a page that points there. It serves on
// a thread of its own, with a small pool of workers.

#include <functional>
#include <memory>
#include <string>

namespace tamrik::ctl {

class MetricsServer {
 public:
  using Render = std::function<std::string()>;
  explicit MetricsServer(Render render);
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
