// tamrikctl exporter: a long-running Prometheus exporter for every attached unit.
#include <charconv>
#include <memory>
#include <string>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_context.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "monitor/unit_monitor.h"
#include "core/health.h"
#include "web/status_page.h"
#include "web/units_json.h"

#include "app/tamrikctl/listen_address.h"
#include "app/tamrikctl/metrics_server.h"
#include "app/tamrikctl/stop_signals.h"
#ifndef _WIN32
#include "app/tamrikctl/web_config.h"
#endif

namespace tamrik::ctl {

namespace {

// Outside the range 9100 to 9999 that Prometheus keeps for exporters, which is taken up.
constexpr const char* kDefaultListen = "127.0.0.1:19347";

int runExporter(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {{"--listen", true}, {"--web.config.file", true}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (!a.operands.empty()) return ctx.fail(kExitUsage, "takes no arguments, got '" + std::string(a.operands[0]) + "'");
  const ListenAddress listen = parseListenAddress(a.value("--listen").value_or(kDefaultListen), kDefaultListen);
  if (!listen.error.empty()) return ctx.fail(kExitBadArgument, "--listen " + listen.error);
  // TLS and passwords, read and checked before anything listens.
  ServerSecurity security;
  if (const auto file = a.value("--web.config.file")) {
#ifdef _WIN32
    return ctx.fail(kExitBadArgument, "--web.config.file: TLS and passwords are served on Linux only; on Windows "
                                      "the exporter listens on plain HTTP");
#else
    const base::Result<WebConfig> config = loadWebConfig(std::string(*file));
    if (!config) return ctx.fail(kExitBadArgument, "--web.config.file " + config.reason());
    security.certFile = config->certFile;
    security.keyFile = config->keyFile;
    security.tls13Only = config->tls13Only;
    security.tls12Max = config->tls12Max;
    if (!config->users.empty()) {
      security.checkPassword = [check = std::make_shared<PasswordCheck>(config->users)](
                                   const std::string& user, const std::string& password) { return (*check)(user, password); };
    }
#endif
  }
  const bool https = !security.certFile.empty();
  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  sim::SimClock& clock = access.clock();
  monitor::SimUtcClock utc(clock);
  core::Health health(utc);
  monitor::UnitMonitor monitor(access.services(), clock, health, {ctx.global.unit, true});

  std::vector<Route> routes;
  routes.push_back({"/metrics", "text/plain; version=0.0.4; charset=utf-8", [&monitor] {
                      std::string text;
                      monitor.inspect([&](const std::vector<monitor::UnitReading>& units) {
                        text = monitor::prometheusMetrics(units, TAMRIK_VERSION);
                      });
                      return text;
                    }});
  // The status page and the units as JSON, from the same readings; neither reaches a unit.
  routes.push_back({"/", "text/html; charset=utf-8", [&monitor, &utc] {
                      std::string page;
                      monitor.inspect([&](const std::vector<monitor::UnitReading>& units) {
                        page = web::statusPage(units, utc.now());
                      });
                      return page;
                    }});
  routes.push_back({"/api/units", "application/json", [&monitor, &utc] {
                      std::string json;
                      monitor.inspect([&](const std::vector<monitor::UnitReading>& units) {
                        json = web::unitsJson(units, utc.now());
                      });
                      return json;
                    }});
  MetricsServer server(std::move(routes), ServerLimits{}, std::move(security));
  if (const std::string why = server.tlsError(); !why.empty()) {
    return ctx.fail(kExitBadArgument, "--web.config.file: " + why);
  }
  const std::string shownHost = listen.shownHost();
  if (std::string why = server.bind(listen.host, listen.port); !why.empty()) {
    return ctx.fail(kExitBadArgument,
                    "cannot listen on " + shownHost + ":" + std::to_string(listen.port) + ": " + why);
  }
  const StopSignals stop;
  server.start();
  ctx.err << "tamrikctl exporter: serving " << (https ? "https" : "http") << "://" << shownHost << ":" << server.port() << "/metrics\n";
  if (!isLoopback(listen.host) && !a.value("--web.config.file")) {
    ctx.err << "tamrikctl exporter: serving beyond this machine without --web.config.file: anyone who reaches the "
               "port can read the units' positions\n";
  }
  ctx.err.flush();
  while (!stop.requested()) {
    monitor.step();
    if (server.failed()) return ctx.fail(kExitFailure, "the HTTP server stopped accepting connections");
  }
  server.stop();
  return kExitOk;
}

}  // namespace

const CommandSpec kExporterCommand{
    "exporter",
    "exporter [--listen ADDR:PORT] [--web.config.file FILE]",
    "  exporter [--listen ADDR:PORT] [--web.config.file FILE]\n"
    "                       Serve every unit's metrics to Prometheus at /metrics (default\n"
    "                       127.0.0.1:19347), from a health record kept while it runs: the\n"
    "                       metrics of status --prometheus, counters and times of change;\n"
    "                       with TLS and passwords from a web config file.\n",
    "Serve the metrics of every attached unit (or the one of --unit) to Prometheus, until\n"
    "SIGINT or SIGTERM: GET /metrics answers from what the exporter keeps in memory, at once.\n"
    "GET / is a status page for people (the lights, output, position, sky, last hour and\n"
    "events of each unit) and GET /api/units the same as JSON; both are read-only.\n"
    "Units that come later are served as they come; a unit that is unplugged is waited for.\n"
    "The receiver's messages are switched on as the window switches them, and again when\n"
    "another program switched them off; the settings are read back when a unit is opened and\n"
    "every minute after.\n"
    "\n"
    "The metrics: everything 'status --prometheus' writes, and\n"
    "  tamrik_up                         1 while the unit is attached and sends its reports;\n"
    "                                    0 when it is away or its reports stopped (the metrics\n"
    "                                    of its present state are then left out, never shown\n"
    "                                    as they were)\n"
    "  tamrik_last_report_timestamp_seconds\n"
    "                                    when its latest input report came\n"
    "  tamrik_unit_connected             1 while it is attached\n"
    "  tamrik_gps_signal_losses_total    the signal losses the unit counted, its 8-bit count\n"
    "                                    run on past 255 (a power cycle adds nothing)\n"
    "  tamrik_pll_lock_losses_total, tamrik_receiver_fix_losses_total,\n"
    "  tamrik_unit_disconnects_total     losses of lock and of the fix, and unplugs\n"
    "  tamrik_receiver_fix               1 while the receiver has a fix\n"
    "  ..._last_change_timestamp_seconds when tamrik_gps_signal, tamrik_pll_lock,\n"
    "                                    tamrik_receiver_fix and tamrik_unit_connected last\n"
    "                                    changed (or were first seen as they are)\n"
    "  tamrik_unit_signal_losses         the unit's own 8-bit count of signal losses, as it is\n"
    "  tamrik_satellites, tamrik_satellites_used,\n"
    "  tamrik_constellation_satellites, tamrik_constellation_satellites_used\n"
    "                                    satellites reported and used, in all and by\n"
    "                                    constellation (an idle channel is no satellite)\n"
    "  tamrik_receiver_time_seconds      UTC from NAV-PVT, else from NAV-TIMEUTC\n"
    "  tamrik_receiver_time_accuracy_seconds, tamrik_receiver_frequency_accuracy_ratio,\n"
    "  tamrik_receiver_clock_bias_seconds, tamrik_receiver_clock_drift_ratio\n"
    "                                    NAV-CLOCK: the receiver's time and frequency\n"
    "                                    accuracy estimates, its clock's bias, and its drift\n"
    "                                    in seconds per second\n"
    "  tamrik_receiver_pvt_time_accuracy_seconds, tamrik_receiver_fix_type,\n"
    "  tamrik_receiver_position_dop, tamrik_receiver_pvt_satellites_used\n"
    "                                    NAV-PVT: time accuracy, fix type (0 none, 1 dead\n"
    "                                    reckoning, 2 2D, 3 3D, 4 GNSS and dead reckoning,\n"
    "                                    5 time only), position DOP, satellites in the fix\n"
    "  tamrikctl_build_info{version=...} always 1; the version of tamrikctl\n"
    "Counters start at 0 when the exporter starts. The values of a NAV message that has not\n"
    "come for 25 s are left out: NAV-PVT and NAV-SVINFO keep the fix, position, satellites\n"
    "and their timing values current, NAV-CLOCK its own, NAV-TIMEUTC its UTC.\n"
    "\n"
    "Options:\n"
    "  --listen ADDR:PORT   Where to listen: an IPv4 address or host name, or an IPv6 address\n"
    "                       in brackets ([::1]:19347), and a port (0: any free one). Default\n"
    "                       127.0.0.1:19347, this machine only; 0.0.0.0:19347 for every\n"
    "                       address. The address taken is named on standard error.\n"
    "                       Beyond this machine, serve with --web.config.file: the metrics\n"
    "                       hold each unit's position (without it, a warning on standard\n"
    "                       error).\n"
    "  --web.config.file FILE\n"
    "                       TLS and passwords, in the Prometheus exporters' web config format:\n"
    "                         tls_server_config:\n"
    "                           cert_file: server.crt   # relative to FILE's folder\n"
    "                           key_file: server.key    # RSA 2048 bits or more, or EC\n"
    "                           min_version: TLS12      # the least; or TLS13\n"
    "                         basic_auth_users:\n"
    "                           prometheus: $2y$10$...  # bcrypt: htpasswd -nB prometheus\n"
    "                       A request without the right user and password gets 401; plain\n"
    "                       HTTP to the TLS port gets 400. Other keys of that format\n"
    "                       (client certificates, cipher suites, headers) are refused. Linux\n"
    "                       only: on Windows the exporter serves plain HTTP and refuses it.\n"
    "\n"
    "Each connection is bounded: 64 at once (a newer one takes the place of the one that\n"
    "has waited longest without a request being answered), 10 s for a request from its\n"
    "start or the previous answer, 5 s of silence between kept-alive requests, no body (413);\n"
    "slow or idle clients cannot hold back a scrape.\n"
    "\n"
    "Exit status: 0 stopped by a signal; 1 the HTTP server failed; 2 ADDR:PORT is malformed or\n"
    "cannot be listened on (taken, for example by another exporter, or not an address of this\n"
    "machine), the web config file cannot be read or served (malformed, an unknown key, a\n"
    "certificate without its key, a weak key), or the simulation could not be started; 64\n"
    "usage. A bad web config file stops it before it listens.\n",
    runExporter,
    true,
};

}  // namespace tamrik::ctl
