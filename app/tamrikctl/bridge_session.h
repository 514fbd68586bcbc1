#pragma once
// What the receiver command's bridge does the same way on Linux and Windows: the units it opens
// (real ones, and simulated ones on request), the server of its own figures (--metrics) and the
// loop that runs it until it stops. The systems differ only in what they hand it: the reader's
// device and chrony's socket (Linux), NTP's shared memory (both), the wait for the stop.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "app/tamrikctl/bridge_arguments.h"
#include "app/tamrikctl/ctl_host.h"
#include "app/tamrikctl/global_options.h"
#include "app/tamrikctl/listen_address.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/stop_signals.h"
#include "bridge/bridge_metrics.h"
#include "bridge/receiver_bridge.h"
#include "bridge/stream_clients.h"
#include "bridge/unit_source.h"
#include "platform/sim/simulation_options.h"
#include "platform/stream_io.h"

namespace tamrik::ctl {

class MetricsServer;

// The units for the bridge, with the host told of a simulation's start and end.
class BridgeUnits {
 public:
  // The units, or nothing after one line on err (and the exit status in `status`).
  static std::unique_ptr<BridgeUnits> build(const GlobalOptions& global, Host& host, std::ostream& err, int& status);
  ~BridgeUnits();
  BridgeUnits(const BridgeUnits&) = delete;
  BridgeUnits& operator=(const BridgeUnits&) = delete;
  platform::DeviceBackend& devices() { return units_->devices(); }

 private:
  BridgeUnits(Host& host, std::unique_ptr<sim::UnitBackends> units) : host_(host), units_(std::move(units)) {}
  Host& host_;
  std::unique_ptr<sim::UnitBackends> units_;
};

// The bridge's figures for Prometheus at ADDR:PORT/metrics, served from the server's threads while
// the bridge's loop updates them.
class BridgeFiguresServer {
 public:
  BridgeFiguresServer();
  ~BridgeFiguresServer();
  BridgeFiguresServer(const BridgeFiguresServer&) = delete;
  BridgeFiguresServer& operator=(const BridgeFiguresServer&) = delete;

  // Takes the address: "" when it is ours, else why not.
  std::string bind(const ListenAddress& address);
  // Where the figures are: http://ADDR:PORT/metrics (the port taken, when 0 was asked for).
  std::string url() const;
  void start();
  void stop();
  void update(bridge::BridgeFigures figures);

 private:
  std::mutex mutex_;
  bridge::BridgeFigures figures_;
  std::unique_ptr<MetricsServer> server_;
  std::string host_;
};

// The wait of a bridge that has no device of its own to wait on (Windows: the TCP port is served
// on every round): a pause, cut short by SIGINT or SIGTERM.
class StopFlagWait final : public platform::BridgeWait {
 public:
  explicit StopFlagWait(const StopSignals& stop) : stop_(stop) {}
  Result wait(std::chrono::milliseconds timeout, bool wantWrite) override;

 private:
  const StopSignals& stop_;
};

// The figures server of --metrics, its address taken; nothing without --metrics, or after one line
// on err (status set) when the address cannot be taken.
std::unique_ptr<BridgeFiguresServer> figuresServerFor(const ReceiverArguments& arguments, std::ostream& err, int& status);

// The TCP port of --tcp, taken (Listener: the system's); nothing without --tcp, or after one line on
// err (status 2) when the address cannot be taken.
template <class Listener>
std::unique_ptr<Listener> tcpListenerFor(const ReceiverArguments& arguments, std::ostream& err, int& status) {
  if (!arguments.tcp) return nullptr;
  auto made = Listener::create(arguments.tcp->host, static_cast<std::uint16_t>(arguments.tcp->port));
  if (!made) {
    err << "tamrikctl receiver: --tcp: " << made.failure().reason << "\n";
    status = kExitBadArgument;
    return nullptr;
  }
  return std::move(*made);
}

// The bridge's first line: the unit and where its bytes, samples and figures go (`where`, in order),
// and a second one when the TCP port is open beyond this machine.
void sayWhereItGoes(const bridge::ReceiverBridge::Log& log, const bridge::ReceiverSource& source,
                    const std::vector<std::string>& where, const ReceiverArguments& arguments,
                    const platform::StreamListener* listener);

// The TCP port's clients, served by the bridge (nothing without a listener).
std::unique_ptr<bridge::StreamClients> serveClients(bridge::ReceiverBridge& bridge, platform::StreamListener* listener,
                                                    const ReceiverArguments& arguments, bridge::ReceiverSource& source,
                                                    const bridge::ReceiverBridge::Log& log);

// "receiver bytes on tcp://ADDR:PORT", with the polls when they pass.
std::string tcpWhere(const platform::StreamListener& listener, const ReceiverArguments& arguments);

// Runs the bridge until the stop signal (true) or a failure of the reader's side (false), keeping
// the figures (when they are served) a few times a second.
bool runBridge(bridge::ReceiverBridge& bridge, const bridge::ReceiverSource& source, BridgeFiguresServer* figures);

}  // namespace tamrik::ctl
