#include "app/tamrikctl/bridge_session.h"

#include <algorithm>
#include <thread>
#include <vector>

#include "app/tamrikctl/metrics_server.h"
#include "app/tamrikctl/program.h"

namespace tamrik::ctl {

std::unique_ptr<BridgeUnits> BridgeUnits::build(const GlobalOptions& global, Host& host, std::ostream& err, int& status) {
  // Real units, and simulated ones on request, as every command has them; the simulation runs on
  // the host's clock (the machine's: a replay comes at the receiver's line rate).
  auto built = sim::UnitBackends::build(host.realUnits(), global.simulation, host.clock(), [&err](const std::string& problem) {
    err << "tamrikctl receiver: --sim-state: " << problem << "\n";
  });
  if (!built) {
    err << "tamrikctl receiver: " << built.failure().reason << "\n";
    status = exitStatus(built.failure().kind);
    return nullptr;
  }
  std::unique_ptr<BridgeUnits> units(new BridgeUnits(host, std::move(*built)));
  if (units->units_->simulated()) host.simulationStarted(*units->units_->simulated());
  return units;
}

BridgeUnits::~BridgeUnits() {
  if (units_->simulated()) host_.simulationEnding(*units_->simulated());
}

BridgeFiguresServer::BridgeFiguresServer()
    : server_(std::make_unique<MetricsServer>(std::vector<Route>{
          {"/metrics", "text/plain; version=0.0.4; charset=utf-8", [this] {
             std::lock_guard<std::mutex> lock(mutex_);
             return bridge::bridgeMetricsText(figures_, TAMRIK_VERSION);
           }}})) {}

BridgeFiguresServer::~BridgeFiguresServer() { stop(); }

std::string BridgeFiguresServer::bind(const ListenAddress& address) {
  host_ = address.shownHost();
  if (std::string why = server_->bind(address.host, address.port); !why.empty()) {
    return "--metrics: cannot listen on " + host_ + ":" + std::to_string(address.port) + ": " + why;
  }
  return {};
}

std::string BridgeFiguresServer::url() const { return "http://" + host_ + ":" + std::to_string(server_->port()) + "/metrics"; }

void BridgeFiguresServer::start() { server_->start(); }

void BridgeFiguresServer::stop() { server_->stop(); }

void BridgeFiguresServer::update(bridge::BridgeFigures figures) {
  std::lock_guard<std::mutex> lock(mutex_);
  figures_ = std::move(figures);
}

platform::BridgeWait::Result StopFlagWait::wait(std::chrono::milliseconds timeout, bool) {
  // In short steps, so that a stop is seen within a few milliseconds.
  constexpr auto kStep = std::chrono::milliseconds(5);
  const auto until = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (stop_.requested()) return {Outcome::Stopped, {}};
    const auto now = std::chrono::steady_clock::now();
    if (now >= until) return {};
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kStep, until - now));
  }
}

std::unique_ptr<BridgeFiguresServer> figuresServerFor(const ReceiverArguments& a, std::ostream& err, int& status) {
  if (!a.metrics) return nullptr;
  auto figures = std::make_unique<BridgeFiguresServer>();
  if (const std::string why = figures->bind(*a.metrics); !why.empty()) {
    err << "tamrikctl receiver: " << why << "\n";
    status = kExitBadArgument;
    return nullptr;
  }
  return figures;
}

std::string tcpWhere(const platform::StreamListener& listener, const ReceiverArguments& a) {
  return "receiver bytes on tcp://" + listener.address() + (a.receiverPolls ? " (its clients' polls pass to the receiver)" : "");
}

void sayWhereItGoes(const bridge::ReceiverBridge::Log& log, const bridge::ReceiverSource& source,
                    const std::vector<std::string>& where, const ReceiverArguments& a,
                    const platform::StreamListener* listener) {
  std::string said;
  for (const std::string& w : where) said += (said.empty() ? "" : ", ") + w;
  log("unit " + source.name() + ": " + said);
  if (listener && a.tcp && !isLoopback(a.tcp->host)) {
    log("the receiver's bytes, and its position, go to anyone who reaches " + listener->address());
  }
}

std::unique_ptr<bridge::StreamClients> serveClients(bridge::ReceiverBridge& bridge, platform::StreamListener* listener,
                                                    const ReceiverArguments& a, bridge::ReceiverSource& source,
                                                    const bridge::ReceiverBridge::Log& log) {
  if (!listener) return nullptr;
  bridge::StreamOptions options;
  options.passPolls = a.receiverPolls;
  auto clients = std::make_unique<bridge::StreamClients>(
      *listener, options, [&source](std::uint8_t c, std::uint8_t i) { return source.passPoll(c, i); }, log);
  bridge.serveClients(clients.get());
  return clients;
}

bool runBridge(bridge::ReceiverBridge& bridge, const bridge::ReceiverSource& source, BridgeFiguresServer* figures) {
  // The figures are taken a few times a second, not on every round of the loop.
  constexpr auto kFiguresInterval = std::chrono::milliseconds(250);
  auto next = std::chrono::steady_clock::now();
  const auto keep = [&] {
    if (!figures || std::chrono::steady_clock::now() < next) return;
    figures->update(bridge::figuresOf(bridge, source.name(), source.opened()));
    next = std::chrono::steady_clock::now() + kFiguresInterval;
  };
  keep();
  if (figures) figures->start();
  for (;;) {
    const bridge::ReceiverBridge::Step step = bridge.step();
    keep();
    if (step == bridge::ReceiverBridge::Step::Running) continue;
    if (figures) figures->stop();
    return step == bridge::ReceiverBridge::Step::Stopped;
  }
}

}  // namespace tamrik::ctl
