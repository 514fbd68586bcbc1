// `tamrikctl receiver --tcp ADDR:PORT | --ntp-shm N` on Windows: the unit's receiver bytes on a TCP
// port for u-center, PyGPSClient and gpsd elsewhere, and its time in NTP's shared memory for the
// Windows port of ntpd, as on Linux. --pty, --fifo and --chrony hand the receiver to gpsd and chrony
// through a pseudo-terminal, a named pipe or a local socket, which run on Linux only.
// The decoded messages (`tamrikctl receiver` without these options) work as on Linux.
#include "app/tamrikctl/bridge_command.h"

#include <iostream>
#include <memory>
#include <optional>
#include <vector>

#include "app/tamrikctl/bridge_arguments.h"
#include "app/tamrikctl/bridge_session.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/stop_signals.h"
#include "bridge/receiver_bridge.h"
#include "bridge/stream_clients.h"
#include "bridge/unit_source.h"
#include "platform/windows/ntp_shm.h"
#include "platform/windows/tcp_stream.h"

namespace tamrik::ctl {

namespace {

constexpr const char* kPrefix = "tamrikctl receiver: ";

}  // namespace

int receiverCommand(const GlobalOptions& global, Host& host, std::span<const std::string_view> args, std::ostream& out,
                    std::ostream& err) {
  const auto failed = [&err](const base::Failure& failure) {
    err << kPrefix << failure.reason << "\n";
    return exitStatus(failure.kind);
  };
  // The same answers to the same arguments as on Linux: usage first, then what Windows has not.
  const ReceiverArguments a = parseReceiverArguments(args);
  if (const std::optional<int> answered = answerWithoutEndpoint(a, out, err)) return *answered;
  if (a.kind || a.chrony) {
    err << kPrefix
        << "--pty, --fifo and --chrony serve gpsd and chrony through a pseudo-terminal, a named pipe or a local "
           "socket, which run on Linux only; on Windows use --tcp and --ntp-shm; nothing was started\n";
    return kExitBadArgument;
  }
  int status = kExitOk;
  const std::unique_ptr<platform::windows::WindowsTcpListener> listener = tcpListenerFor<platform::windows::WindowsTcpListener>(a, err, status);
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
  const StopSignals stop;

  bridge::UnitSource source(units->devices(), global.unit, a.ntpShm.has_value());
  if (const base::Result<void> opened = source.open(); !opened) return failed(opened.failure());
  auto log = [&err](const std::string& line) { err << kPrefix << line << std::endl; };
  std::vector<std::string> where;
  if (listener) where.push_back(tcpWhere(*listener, a));
  if (ntpShm) where.push_back("time samples to ntpd in " + ntpShm->path());
  if (figures) where.push_back("its figures at " + figures->url());
  sayWhereItGoes(log, source, where, a, listener.get());

  StopFlagWait wait(stop);
  platform::SystemBridgeClock bridgeClock;
  bridge::ReceiverBridge bridge(source, nullptr, {ntpShm.get()}, wait, bridgeClock, bridge::BridgeOptions{}, log);
  const std::unique_ptr<bridge::StreamClients> clients = serveClients(bridge, listener.get(), a, source, log);
  return runBridge(bridge, source, figures.get()) ? kExitOk : kExitFailure;
}

}  // namespace tamrik::ctl
