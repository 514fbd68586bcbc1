#include "app/tamrikctl/bridge_command.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "app/tamrikctl/bridge_arguments.h"
#include "bridge/unit_source.h"
#include "bridge/receiver_bridge.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/linux/hidapi_backend.h"
#include "platform/routing_device_backend.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"

namespace tamrik::ctl {

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitBadArgument = 2;
constexpr int kExitNoUnit = 3;
constexpr int kExitNoAnswer = 4;

constexpr const char* kPrefix = "tamrikctl receiver: ";

// SIGINT, SIGTERM and SIGHUP, blocked while the bridge runs and read from a signalfd by its loop,
// so that the link is always taken away. The mask is given back at the end.
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
    blocked_ = pthread_sigmask(SIG_BLOCK, &set_, &previous_) == 0;
    if (blocked_) fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~StopSignals() {
    // Taken off the pending set, so that giving the mask back does not deliver them after all.
    signalfd_siginfo info{};
    while (fd_ >= 0 && ::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
    if (fd_ >= 0) ::close(fd_);
    if (blocked_) pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;
  int fd() const { return fd_; }

 private:
  sigset_t set_{};
  sigset_t previous_{};
  bool blocked_ = false;
  int fd_ = -1;
};

}  // namespace

int receiverCommand(const GlobalOptions& global, std::span<const std::string_view> args, std::ostream& out,
                    std::ostream& err) {
  const ReceiverArguments a = parseReceiverArguments(args);
  if (const std::optional<int> answered = answerWithoutEndpoint(a, out, err)) return *answered;
  // Every path is checked before the unit is touched.
  if (a.kind) {
    if (std::string refusal = platform::LinuxReaderEndpoint::checkPath(a.path); !refusal.empty()) {
      err << kPrefix << refusal << "\n";
      return kExitBadArgument;
    }
  }
  std::unique_ptr<platform::ChronySocket> chrony;
  if (a.chrony) {
    std::string error;
    chrony = platform::ChronySocket::create(*a.chrony, error);
    if (!chrony) {
      err << kPrefix << error << "\n";
      return platform::ChronySocket::checkPath(*a.chrony).empty() ? kExitFailure : kExitBadArgument;
    }
  }

  // Real units, and simulated ones on request; the simulation runs on the machine's clock, so a
  // replay comes at the receiver's line rate.
  platform::HidapiBackend realUnits;
  sim::RealClock clock;
  sim::UnitBackends units(&realUnits, global.simulation, clock, [&err](const std::string& problem) {
    err << kPrefix << "--sim-state: " << problem << "\n";
  });
  if (!units.error().empty()) {
    err << kPrefix << units.error() << "\n";
    return kExitBadArgument;
  }
  platform::DeviceBackend& devices = units.devices();

  // From here on a stop signal waits for the loop, which takes the link away.
  StopSignals signals;
  if (signals.fd() < 0) {
    err << kPrefix << "cannot watch for stop signals\n";
    return kExitFailure;
  }

  // With chrony the receiver also announces leap seconds, where it can.
  bridge::UnitSource source(devices, global.unit, a.chrony.has_value());
  const bridge::SourceOpen opened = source.open();
  if (!opened.ok()) {
    err << kPrefix << opened.reason << "\n";
    return opened.failure == bridge::SourceFailure::NoUnit ? kExitNoUnit : kExitNoAnswer;
  }

  std::unique_ptr<platform::LinuxReaderEndpoint> endpoint;
  if (a.kind) {
    std::string error;
    endpoint = platform::LinuxReaderEndpoint::create(*a.kind, a.path, error);
    if (!endpoint) {
      err << kPrefix << error << "\n";
      return error.starts_with("refusing") ? kExitBadArgument : kExitFailure;
    }
  }
  auto log = [&err](const std::string& line) { err << kPrefix << line << std::endl; };
  std::string where;
  if (endpoint) {
    where = "receiver bytes go to " + a.path + (*a.kind == EndpointKind::Pty ? " (" + endpoint->deviceName() + ")" : "");
  }
  if (chrony) where += (where.empty() ? "" : ", ") + std::string("time samples to chronyd at ") + *a.chrony;
  log("unit " + source.name() + ": " + where);

  platform::PollBridgeWait wait(endpoint.get(), signals.fd());
  platform::SystemBridgeClock bridgeClock;
  bridge::ReceiverBridge bridge(source, endpoint.get(), chrony.get(), wait, bridgeClock, bridge::BridgeOptions{}, log);
  const bool stopped = bridge.run();
  return stopped ? kExitOk : kExitFailure;
}

}  // namespace tamrik::ctl
