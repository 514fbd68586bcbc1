// tamrikctl status: one unit's identity, settings and receiver state.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <utility>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_context.h"
#include "numbers/number_format.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "monitor/unit_json.h"
#include "monitor/unit_reading.h"
#include "numbers/frequency.h"
#include "core/receiver_stream.h"

namespace tamrik::ctl {

namespace {

using namespace std::chrono_literals;

constexpr double kDefaultWaitSeconds = 2;
constexpr double kMaxWaitSeconds = 3600;
// The unit's state comes from its input reports, which it sends every few milliseconds: the first
// is waited for this long even when --wait is shorter.
constexpr auto kFirstReportWait = 1s;

class StatusSink final : public core::ReceiverSink {
 public:
  explicit StatusSink(monitor::ReceiverState& state) : s_(state) {}

  void onInputStatus(const core::InputStatus& status) override { s_.status = status; }
  void onNavPvt(const core::NavPvt& pvt) override {
    s_.pvt = pvt;
    satellitesAfterPvt_ = false;
  }
  void onNavSvInfo(const core::NavSvInfo& info) override {
    s_.satellites = core::skyOf(info);
    satellitesAfterPvt_ = true;
  }
  void onNavClock(const core::NavClock& clock) override { s_.clock = clock; }
  void onNavTimeUtc(const core::NavTimeUtc& utc) override { s_.timeUtc = utc; }
  bool keepReading() override { return !complete(); }

  // The state, a position, and the satellites of that solution or a later one are in. (A
  // receiver sends a solution's NAV-SVINFO after its NAV-PVT.)
  bool complete() const {
    return s_.status && s_.pvt && s_.pvt->hasPosition() && s_.satellites && satellitesAfterPvt_;
  }

 private:
  monitor::ReceiverState& s_;
  bool satellitesAfterPvt_ = false;
};

// Everything `status` prints.
struct Status {
  core::UnitIdentity identity;
  core::SettingsReport settings;
  monitor::ReceiverState receiver;
};

std::string statusJson(const Status& s) {
  return monitor::statusJson(s.identity, &s.settings, s.receiver).str() + "\n";
}

std::string statusLines(const Status& s) {
  const numbers::Dividers& d = s.settings.dividers;
  text::KeyValueLines l;
  l.text("serial", s.identity.serial)
      .text("manufacturer", s.identity.manufacturer)
      .text("product", s.identity.product)
      .text("firmware", s.identity.firmware)
      .add("output_hz", text::jsonNumber(numbers::displayedOutputHz(d)));
  for (const monitor::DividerField& f : monitor::dividerFields(d)) l.add(f.key, std::to_string(f.value));
  auto number = [](double v) { return std::isfinite(v) ? text::jsonNumber(v) : std::string(); };
  const monitor::ReceiverState& r = s.receiver;
  const bool position = r.pvt && r.pvt->hasPosition();
  const auto utc = monitor::utcOf(r);
  l.add("f3_hz", number(monitor::frequencyHz(numbers::f3Frequency(d))))
      .add("fosc_hz", number(monitor::frequencyHz(numbers::oscillatorFrequency(d))))
      .add("output_enabled", s.settings.outputEnabled ? "1" : "0")
      .add("drive", driveText(s.settings.driveIndex))
      .add("gps_signal", r.status->gpsSignal ? "1" : "0")
      .add("pll_lock", r.status->pllLock ? "1" : "0")
      .add("loss_count", std::to_string(r.status->lossCount))
      .add("lat", position ? numbers::scaledDecimal(r.pvt->lat, 7) : "")
      .add("lon", position ? numbers::scaledDecimal(r.pvt->lon, 7) : "")
      .add("height_m", position ? numbers::scaledDecimal(r.pvt->height, 3) : "")
      .add("utc", utc ? utc->iso : "")
      .add("satellites", r.satellites ? std::to_string(r.satellites->size()) : "")
      .add("satellites_used", r.satellites ? std::to_string(monitor::usedCount(*r.satellites)) : "");
  for (const monitor::TimingField& f : monitor::timingFields(monitor::timingOf(r))) l.add(f.key, f.number.value_or(""));
  return l.str();
}

int runStatus(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {{"--json"}, {"--prometheus"}, {"--wait", true}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (!a.operands.empty()) return ctx.fail(kExitUsage, "takes no arguments, got '" + std::string(a.operands[0]) + "'");
  if (a.has("--json") && a.has("--prometheus")) return ctx.fail(kExitUsage, "give --json or --prometheus, not both");
  double waitSeconds = kDefaultWaitSeconds;
  if (const auto text = a.value("--wait")) {
    const base::Result<double> seconds = parseSeconds("--wait", *text, kMaxWaitSeconds);
    if (!seconds) return ctx.fail(seconds.failure());
    waitSeconds = *seconds;
  }

  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  if (const int status = access.open(UnitAccess::Purpose::Read); status != kExitOk) return status;
  core::UnitReadback readback;
  if (const int status = access.readBack(readback); status != kExitOk) return status;

  Status s{readback.identity, *readback.settings, {}};
  s.identity.serial = access.serial();
  StatusSink sink(s.receiver);
  core::ReceiverStream stream(sink);
  core::Unit& unit = access.unit();
  // The messages the window switches on; a receiver keeps no configuration over a power cycle.
  unit.setNavMessageRates();

  sim::SimClock& clock = access.clock();
  const auto start = clock.now();
  const auto wait = std::chrono::duration_cast<sim::SteadyTime::duration>(std::chrono::duration<double>(waitSeconds));
  const auto deadline = start + wait;
  const auto firstReportDeadline = start + std::max<sim::SteadyTime::duration>(wait, kFirstReportWait);
  sim::SteadyTime lastReport{};
  while (!sink.complete()) {
    const auto now = clock.now();
    const auto until = s.receiver.status ? deadline : firstReportDeadline;
    if (now >= until) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    switch (unit.readReceiver(stream, std::min<std::chrono::milliseconds>(left, kReadSlice))) {
      case core::ReadOutcome::Lost:
        return ctx.fail(kExitUnitFailed, access.unitName() + " went away while its receiver was read");
      case core::ReadOutcome::Reports:
      case core::ReadOutcome::Stopped:
        lastReport = clock.now();
        break;
      case core::ReadOutcome::Silent:
        break;
    }
  }
  if (!s.receiver.status) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " sent no input report within " +
                                         text::jsonNumber(std::max(waitSeconds, 1.0)) + " s");
  }
  // A unit sends its reports many times a second: one that stopped during the wait has a state
  // that is no longer its present one, whatever it said before.
  if (const auto silent = clock.now() - lastReport; silent > core::kReportSilenceLimit) {
    return ctx.fail(kExitUnitFailed,
                    access.unitName() + " stopped sending input reports " +
                        text::jsonNumber(std::chrono::duration_cast<std::chrono::milliseconds>(silent).count() / 1000.0) +
                        " s before the wait ended; its state is not current");
  }
  if (a.has("--json")) return ctx.print(statusJson(s));
  if (a.has("--prometheus")) {
    monitor::UnitReading reading;
    reading.identity = s.identity;
    reading.settings = s.settings;
    reading.receiver = s.receiver;
    reading.lastReport = std::chrono::floor<std::chrono::milliseconds>(clock.utcAt(lastReport));
    reading.up = true;
    return ctx.print(monitor::prometheusMetrics({&reading, 1}, TAMRIK_VERSION));
  }
  return ctx.print(statusLines(s));
}

}  // namespace

const CommandSpec kStatusCommand{
    "status",
    "status [--json | --prometheus] [--wait SECONDS]",
    "  status [--json | --prometheus] [--wait SECONDS]\n"
    "                       Show one unit's identity, settings and receiver state: output\n"
    "                       frequency, dividers, output, drive strength, GPS signal, PLL lock,\n"
    "                       position, UTC, satellites and timing quality, as key=value lines,\n"
    "                       JSON or metrics in the Prometheus text format.\n",
    "Show the state of one unit: the one of --unit, else the only one attached, else the first\n"
    "one 'tamrikctl list' shows. Its settings are read back as the window reads them; its\n"
    "receiver's messages are switched on as the window switches them on, and the command waits\n"
    "up to --wait seconds (default 2) for a position fix and the satellites. What is still\n"
    "unknown then is printed empty (JSON: null); the unit's first input report, which tells\n"
    "the GPS signal, the PLL lock and the loss count, is waited for at least 1 s. A unit whose\n"
    "input reports stop during the wait (none in its last second) has no present state to\n"
    "show, and nothing is printed.\n"
    "\n"
    "key=value lines: serial, manufacturer, product, firmware, output_hz, gps, n31, n2_hs,\n"
    "n2_ls, n1_hs, nc1_ls, nc2_ls, bw, f3_hz, fosc_hz, output_enabled (1 or 0), drive (8mA,\n"
    "16mA, 24mA or 32mA), gps_signal, pll_lock (1 or 0), loss_count, lat, lon (degrees),\n"
    "height_m (above the ellipsoid), utc (ISO 8601; from NAV-PVT, else from NAV-TIMEUTC),\n"
    "satellites and satellites_used (counts; an idle channel is no satellite), and the timing\n"
    "quality: from NAV-CLOCK clock_time_accuracy_s, clock_frequency_accuracy (a fraction),\n"
    "clock_bias_s and clock_drift (seconds per second); from NAV-PVT fix_type (0 none, 1 dead\n"
    "reckoning, 2 2D, 3 3D, 4 GNSS and dead reckoning, 5 time only), fix_time_accuracy_s,\n"
    "pdop (position DOP) and num_sv (satellites used in the solution).\n"
    "\n"
    "Options:\n"
    "  --json               One JSON object: serial, manufacturer, product, firmware,\n"
    "                       output_hz, dividers (gps, n31, n2_hs, n2_ls, n1_hs, nc1_ls,\n"
    "                       nc2_ls, bw), f3_hz, fosc_hz, output_enabled, drive, gps_signal,\n"
    "                       pll_lock, loss_count, position (lat, lon, height_m, or null), utc\n"
    "                       (or null), the timing quality's keys (each a number or null) and\n"
    "                       satellites (channel, svid, cno, used, elevation; an empty array\n"
    "                       before the receiver has reported any).\n"
    "  --prometheus         The same as metrics in the Prometheus text format, named tamrik_...\n"
    "                       and labelled serial=..., for the node exporter's textfile collector;\n"
    "                       the metrics of what is still unknown are left out. tamrik_up is 1,\n"
    "                       tamrik_last_report_timestamp_seconds tells when the state was read,\n"
    "                       tamrikctl_build_info{version=...} the program's version.\n"
    "                       'tamrikctl exporter' serves the same, and counters, continuously.\n"
    "  --wait SECONDS       Wait up to SECONDS (0 to 3600) for a position and the satellites.\n"
    "\n"
    "Exit status: 0 shown; 1 the output could not be written; 2 a bad --wait, or the\n"
    "simulation could not be started; 3 no unit, or none with the serial of --unit; 4 the\n"
    "settings could not be read, no input report came, the reports stopped, or the unit went\n"
    "away; 64 usage.\n",
    runStatus,
    true,
};

}  // namespace tamrik::ctl
