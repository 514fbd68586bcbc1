#include "app/tamrikctl/bridge_command.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "app/tamrikctl/bridge_arguments.h"
#include "app/tamrikctl/bridge_session.h"
#include "app/tamrikctl/program.h"
#include "bridge/unit_source.h"
#include "bridge/receiver_bridge.h"
#include "bridge/stream_clients.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/linux/ntp_shm.h"
#include "platform/linux/tcp_stream.h"
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
  // Every path and address is checked, and taken where it can be, before the unit is touched.
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
  int status = kExitOk;
  const std::unique_ptr<platform::LinuxTcpListener> listener = tcpListenerFor<platform::LinuxTcpListener>(a, err, status);
  if (a.tcp && !listener) return status;
  const std::unique_ptr<BridgeFiguresServer> figures = figuresServerFor(a, err, status);
  if (a.metrics && !figures) return status;
  // NTP's segment once the ports are taken: a refused start leaves none behind.
  std::unique_ptr<platform::NtpShmSink> ntpShm;
  if (a.ntpShm) {
    auto made = platform::NtpShmSink::create(*a.ntpShm);
    if (!made) return failed(made.failure());
    ntpShm = std::move(*made);
  }

  const std::unique_ptr<BridgeUnits> units = BridgeUnits::build(global, host, err, status);
  if (!units) return status;

  // From here on a stop signal waits for the loop, which takes the link away.
  StopSignalFd signals;
  if (signals.fd() < 0) {
    err << kPrefix << "cannot watch for stop signals\n";
    return kExitFailure;
  }

  // With a time server the receiver also announces leap seconds, where it can.
  bridge::UnitSource source(units->devices(), global.unit, a.chrony || a.ntpShm);
  if (const base::Result<void> opened = source.open(); !opened) return failed(opened.failure());

  std::unique_ptr<platform::LinuxReaderEndpoint> endpoint;
  if (a.kind) {
    auto made = platform::LinuxReaderEndpoint::create(*a.kind, a.path);
    if (!made) return failed(made.failure());
    endpoint = std::move(*made);
  }
  auto log = [&err](const std::string& line) { err << kPrefix << line << std::endl; };
  std::vector<std::string> where;
  if (endpoint) {
    where.push_back("receiver bytes go to " + a.path +
                    (*a.kind == EndpointKind::Pty ? " (" + endpoint->deviceName() + ")" : ""));
  }
  if (listener) where.push_back(tcpWhere(*listener, a));
  if (chrony) where.push_back("time samples to chronyd at " + *a.chrony);
  if (ntpShm) where.push_back("time samples to ntpd in " + ntpShm->path());
  if (figures) where.push_back("its figures at " + figures->url());
  sayWhereItGoes(log, source, where, a, listener.get());

  platform::PollBridgeWait wait(endpoint.get(), signals.fd(), listener.get());
  platform::SystemBridgeClock bridgeClock;
  bridge::ReceiverBridge bridge(source, endpoint.get(), {chrony.get(), ntpShm.get()}, wait, bridgeClock,
                                bridge::BridgeOptions{}, log);
  const std::unique_ptr<bridge::StreamClients> clients = serveClients(bridge, listener.get(), a, source, log);
  return runBridge(bridge, source, figures.get()) ? kExitOk : kExitFailure;
}

}  // namespace tamrik::ctl
