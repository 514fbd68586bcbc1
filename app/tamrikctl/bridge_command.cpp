#include "app/tamrikctl/bridge_command.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include <chrono>
#include <mutex>

#include "app/tamrikctl/bridge_arguments.h"
#include "app/tamrikctl/metrics_server.h"
#include "app/tamrikctl/program.h"
#include "bridge/bridge_metrics.h"
#include "bridge/unit_source.h"
#include "bridge/receiver_bridge.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/sim/simulation_options.h"

namespace tamrik::ctl {

namespace {

constexpr const char* kPrefix = "tamrikctl receiver: ";

// SIGINT, SIGTERM and SIGHUP, blocked while the bridge runs and read from a signalfd by its loop,
// so that the link is always taken away. The mask is given back at the end.
class StopSignalFd {
 public:
  StopSignalFd() {
    sigemptyset(&set_);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
    blocked_ = pthread_sigmask(SIG_BLOCK, &set_, &previous_) == 0;
    if (blocked_) fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~StopSignalFd() {
    // Taken off the pending set, so that giving the mask back does not deliver them after all.
    signalfd_siginfo info{};
    while (fd_ >= 0 && ::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    if (fd_ >= 0) ::close(fd_);
    if (blocked_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  StopSignalFd(const StopSignalFd&) = delete;
  StopSignalFd& operator=(const StopSignalFd&) = delete;
  int fd() const { return fd_; }

 private:
  sigset_t set_{};
  sigset_t previous_{};
  bool blocked_ = false;
  int fd_ = -1;
};

}  // namespace

int receiverCommand(const GlobalOptions& global, Host& host, std::span<const std::string_view> args,
                    std::ostream& out, std::ostream& err) {
  const auto failed = [&err](const base::Failure& failure) {
    err << kPrefix << failure.reason << "\n";
    return exitStatus(failure.kind);
  };
  const ReceiverArguments a = parseReceiverArguments(args);
  if (const std::optional<int> answered = answerWithoutEndpoint(a, out, err)) return *answered;
  if (a.tcp || a.ntpShm) {
    err << kPrefix << "--tcp and --ntp-shm are being built\n";
    return kExitBadArgument;
  }
  // Every path is checked before the unit is touched.
  if (a.kind) {
    if (std::string refusal = platform::LinuxReaderEndpoint::checkPath(a.path); !refusal.empty()) {
      err << kPrefix << refusal << "\n";
      return kExitBadArgument;
    }
  }
  std::unique_ptr<platform::ChronySocket> chrony;
  if (a.chrony) {
    auto made = platform::ChronySocket::create(*a.chrony);
    if (!made) return failed(made.failure());
    chrony = std::move(*made);
  }
  // The bridge's own figures, served from a thread of the server's; the address is taken before the
  // unit is touched, so that a port in use stops the command first.
  std::mutex figuresMutex;
  bridge::BridgeFigures figures;
  std::unique_ptr<MetricsServer> metrics;
  if (a.metrics) {
    metrics = std::make_unique<MetricsServer>(std::vector<Route>{
        {"/metrics", "text/plain; version=0.0.4; charset=utf-8", [&figuresMutex, &figures] {
           std::lock_guard<std::mutex> lock(figuresMutex);
           return bridge::bridgeMetricsText(figures, TAMRIK_VERSION);
         }}});
    if (const std::string why = metrics->bind(a.metrics->host, a.metrics->port); !why.empty()) {
      err << kPrefix << "--metrics: cannot listen on " << a.metrics->shownHost() << ":" << a.metrics->port << ": " << why
          << "\n";
      return kExitBadArgument;
    }
  }

  // Real units, and simulated ones on request, as every command has them; the simulation runs on
  // the host's clock (the machine's: a replay comes at the receiver's line rate).
  auto built = sim::UnitBackends::build(host.realUnits(), global.simulation, host.clock(), [&err](const std::string& problem) {
    err << kPrefix << "--sim-state: " << problem << "\n";
  });
  if (!built) return failed(built.failure());
  sim::UnitBackends& units = **built;
  platform::DeviceBackend& devices = units.devices();
  if (units.simulated()) host.simulationStarted(*units.simulated());
  struct SimulationEnd {
    Host& host;
    sim::UnitBackends& units;
    ~SimulationEnd() {
      if (units.simulated()) host.simulationEnding(*units.simulated());
    }
  } simulationEnd{host, units};

  // From here on a stop signal waits for the loop, which takes the link away.
  StopSignalFd signals;
  if (signals.fd() < 0) {
    err << kPrefix << "cannot watch for stop signals\n";
    return kExitFailure;
  }

  // With chrony the receiver also announces leap seconds, where it can.
  bridge::UnitSource source(devices, global.unit, a.chrony.has_value());
  if (const base::Result<void> opened = source.open(); !opened) return failed(opened.failure());

  std::unique_ptr<platform::LinuxReaderEndpoint> endpoint;
  if (a.kind) {
    auto made = platform::LinuxReaderEndpoint::create(*a.kind, a.path);
    if (!made) return failed(made.failure());
    endpoint = std::move(*made);
  }
  auto log = [&err](const std::string& line) { err << kPrefix << line << std::endl; };
  std::string where;
  if (endpoint) {
    where = "receiver bytes go to " + a.path + (*a.kind == EndpointKind::Pty ? " (" + endpoint->deviceName() + ")" : "");
  }
  if (chrony) where += (where.empty() ? "" : ", ") + std::string("time samples to chronyd at ") + *a.chrony;
  if (metrics) {
    where += (where.empty() ? "" : ", ") + std::string("its figures at http://") + a.metrics->shownHost() + ":" +
             std::to_string(metrics->port()) + "/metrics";
  }
  log("unit " + source.name() + ": " + where);

  platform::PollBridgeWait wait(endpoint.get(), signals.fd());
  platform::SystemBridgeClock bridgeClock;
  bridge::ReceiverBridge bridge(source, endpoint.get(), {chrony.get()}, wait, bridgeClock, bridge::BridgeOptions{}, log);
  const auto snapshot = [&] {
    bridge::BridgeFigures now = bridge::figuresOf(bridge, source.name(), source.opened());
    std::lock_guard<std::mutex> lock(figuresMutex);
    figures = std::move(now);
  };
  if (metrics) {
    snapshot();
    metrics->start();
  }
  // The figures are taken a few times a second, not on every round of the loop.
  constexpr auto kSnapshotInterval = std::chrono::milliseconds(250);
  auto nextSnapshot = std::chrono::steady_clock::now();
  bool stopped = false;
  for (;;) {
    const bridge::ReceiverBridge::Step step = bridge.step();
    if (metrics && std::chrono::steady_clock::now() >= nextSnapshot) {
      snapshot();
      nextSnapshot = std::chrono::steady_clock::now() + kSnapshotInterval;
    }
    if (step == bridge::ReceiverBridge::Step::Running) continue;
    stopped = step == bridge::ReceiverBridge::Step::Stopped;
    break;
  }
  if (metrics) metrics->stop();
  return stopped ? kExitOk : kExitFailure;
}

}  // namespace tamrik::ctl
