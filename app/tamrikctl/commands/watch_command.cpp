// tamrikctl watch: what happens to the units, one line per event, for as long as it runs.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_context.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "app/tamrikctl/stop_signals.h"
#include "monitor/unit_monitor.h"
#include "core/health.h"

namespace tamrik::ctl {

namespace {

// A value on a line of blank-separated key=value pairs: escaped as text::lineValue does, and a blank as
// \x20, so that every value stays one word.
std::string wordValue(std::string_view text) {
  std::string out;
  for (const char ch : text::lineValue(text)) {
    if (ch == ' ') {
      out += "\\x20";
    } else {
      out += ch;
    }
  }
  return out;
}

// One event with the unit's state after it. The present state (signal, lock, fix, the unit's
// count) is written only while it is current: for a unit that is away or has stopped reporting
// it is empty (JSON null), never what it was.
class EventLine {
 public:
  explicit EventLine(bool json) : json_(json) {}

  EventLine& text(std::string_view key, std::string_view value) {
    if (json_) {
      object_.text(key, value);
    } else {
      word(key, wordValue(value));
    }
    return *this;
  }
  EventLine& number(std::string_view key, double value) {
    if (json_) {
      object_.number(key, value);
    } else {
      word(key, text::jsonNumber(value));
    }
    return *this;
  }
  EventLine& flag(std::string_view key, std::optional<bool> value) {
    if (json_) {
      if (value) {
        object_.boolean(key, *value);
      } else {
        object_.null(key);
      }
    } else {
      word(key, value ? (*value ? "1" : "0") : "");
    }
    return *this;
  }
  EventLine& count(std::string_view key, std::optional<std::uint64_t> value) {
    if (json_) {
      if (value) {
        object_.integer(key, static_cast<std::int64_t>(*value));
      } else {
        object_.null(key);
      }
    } else {
      word(key, value ? std::to_string(*value) : "");
    }
    return *this;
  }
  // A number as text::jsonNumber writes it; nothing: empty (null).
  EventLine& numberText(std::string_view key, const std::optional<std::string>& value) {
    if (json_) {
      object_.raw(key, value.value_or("null"));
    } else {
      word(key, value.value_or(""));
    }
    return *this;
  }
  std::string str() const { return (json_ ? object_.str() : words_) + "\n"; }

 private:
  void word(std::string_view key, const std::string& value) {
    if (!words_.empty()) words_ += ' ';
    words_ += std::string(key) + "=" + value;
  }
  bool json_;
  text::JsonObject object_;
  std::string words_;
};

// timing: the receiver's timing quality as it stands when the line is written (only what is
// current of a unit that is up).
std::string eventLine(const core::UnitHealth& u, const core::HealthEvent& e, const monitor::TimingQuality& timing,
                      bool json) {
  EventLine line(json);
  line.text("time", monitor::isoTime(e.at)).text("serial", u.serial).text("event", core::healthEventName(e.kind));
  const bool current = u.current();
  auto state = [&](const core::StateHistory& s) { return current && s.known ? std::optional(s.good) : std::nullopt; };
  line.flag("connected", u.connected)
      .flag("reporting", u.current())
      .flag("gps_signal", state(u.gpsSignal))
      .flag("pll_lock", state(u.pllLock))
      .flag("fix", state(u.fix))
      .count("loss_count", current && u.status ? std::optional<std::uint64_t>(u.status->lossCount) : std::nullopt)
      .count("gps_signal_losses", u.gpsSignalLosses)
      .count("pll_lock_losses", u.pllLock.losses)
      .count("fix_losses", u.fix.losses)
      .count("disconnects", u.disconnects);
  if (e.lasted) {
    line.number("lasted_s", static_cast<double>(e.lasted->count()) / 1000.0).flag("lasted_exact", e.lastedExact);
  }
  if (e.kind == core::HealthEventKind::GpsSignalLost || e.kind == core::HealthEventKind::GpsSignalLossesCounted) {
    line.count("counted", e.counted);
  }
  for (const monitor::TimingField& f : monitor::timingFields(timing)) line.numberText(f.key, f.number);
  return line.str();
}

int runWatch(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {{"--json"}, {"--duration", true}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (!a.operands.empty()) return ctx.fail(kExitUsage, "takes no arguments, got '" + std::string(a.operands[0]) + "'");
  const base::Result<std::optional<double>> durationGiven = durationOption(a);
  if (!durationGiven) return ctx.fail(durationGiven.failure());
  const std::optional<double> duration = *durationGiven;
  const bool json = a.has("--json");

  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  sim::SimClock& clock = access.clock();
  monitor::SimUtcClock utc(clock);
  core::Health health(utc);
  bool failed = false;
  // The events of a round, told under the monitor's mutex, are written after it with the receiver's
  // timing quality of then.
  struct Told {
    core::UnitHealth unit;
    core::HealthEvent event;
  };
  std::vector<Told> told;
  health.setListener([&](const core::UnitHealth& u, const core::HealthEvent& e) { told.push_back({u, e}); });
  monitor::UnitMonitor monitor(access.services(), clock, health, {ctx.global.unit, false});
  const auto write = [&] {
    std::string lines;
    monitor.inspect([&](const std::vector<monitor::UnitReading>& readings) {
      for (const Told& t : told) {
        const auto reading = std::find_if(readings.begin(), readings.end(),
                                          [&](const monitor::UnitReading& r) { return r.identity.serial == t.unit.serial; });
        const monitor::TimingQuality timing =
            reading != readings.end() ? monitor::timingOf(monitor::currentReceiver(*reading)) : monitor::TimingQuality{};
        lines += eventLine(t.unit, t.event, timing, json);
      }
      told.clear();
    });
    if (lines.empty() || failed) return;
    // Flushed round by round: for `| while read`, journald and a script that mails.
    ctx.out << lines;
    ctx.out.flush();
    failed = !ctx.out;
  };

  const StopSignals stop;
  const auto deadline =
      duration ? clock.now() + std::chrono::duration_cast<sim::SteadyTime::duration>(std::chrono::duration<double>(*duration))
               : sim::SteadyTime::max();
  bool toldWaiting = false;
  while (!stop.requested() && !failed && clock.now() < deadline) {
    monitor.step();
    write();
    if (!toldWaiting) {
      toldWaiting = true;
      std::lock_guard<std::mutex> lock(monitor.mutex());
      if (health.units().empty()) {
        ctx.err << "tamrikctl watch: "
                << (ctx.global.unit ? "unit " + text::lineValue(*ctx.global.unit) + " is not" : std::string("no unit is"))
                << " attached yet; waiting\n";
        ctx.err.flush();
      }
    }
  }
  if (failed) return ctx.fail(kExitFailure, "cannot write to standard output");
  return kExitOk;
}

}  // namespace

const CommandSpec kWatchCommand{
    "watch",
    "watch [--json] [--duration SECONDS]",
    "  watch [--json] [--duration SECONDS]\n"
    "                       Watch every unit (or the one of --unit): its state as found, then\n"
    "                       one line per event (signal, lock or fix lost and regained, losses\n"
    "                       the unit counted, unplugged, back, reports stopped), with UTC times,\n"
    "                       as key=value words or JSON lines, until SIGINT or SIGTERM.\n",
    "Watch every attached unit, or the one of --unit, and write one line for each thing that\n"
    "happens to it, at once (each line is flushed), until SIGINT or SIGTERM: for reading with\n"
    "'| while read', for the journal of a service, for a script that mails. Units that come\n"
    "later are watched as they come; a unit that is unplugged is waited for. The receiver's\n"
    "messages are switched on as the window switches them, and again when another program\n"
    "switched them off. Nothing is sent to a unit beyond that.\n"
    "\n"
    "Each line holds blank-separated key=value words (with --json, one JSON object):\n"
    "  time               the event's UTC time, 2025-03-07T08:05:10.123Z\n"
    "  serial             the unit's serial\n"
    "  event              state (the unit as found when the watch began, on its first report),\n"
    "                     unit_connected (a unit came or came back, with its state),\n"
    "                     unit_disconnected, reports_stopped (attached, but no input report for\n"
    "                     1 s), reports_resumed, gps_signal_lost, gps_signal_regained,\n"
    "                     gps_signal_losses_counted (losses the unit counted between two of its\n"
    "                     reports, too short for its flag), pll_lock_lost, pll_lock_regained,\n"
    "                     fix_lost, fix_regained (the receiver's navigation fix)\n"
    "  connected, reporting\n"
    "                     1 or 0: attached; attached and sending its reports\n"
    "  gps_signal, pll_lock, fix, loss_count\n"
    "                     the present state (1 or 0) and the unit's own 8-bit loss count;\n"
    "                     empty (null) while the unit is away or not reporting, or before the\n"
    "                     receiver told its fix\n"
    "  gps_signal_losses, pll_lock_losses, fix_losses, disconnects\n"
    "                     totals since the watch began; gps_signal_losses is the unit's count,\n"
    "                     run on past 255 (a power cycle starts the unit's count again and adds\n"
    "                     nothing)\n"
    "  lasted_s, lasted_exact\n"
    "                     how long the state that ended had lasted, in seconds; lasted_exact 0\n"
    "                     when it held already when first seen (at least that long)\n"
    "  counted            gps_signal_lost, gps_signal_losses_counted: losses the count added\n"
    "  clock_time_accuracy_s, clock_frequency_accuracy, clock_bias_s, clock_drift\n"
    "                     the receiver's NAV-CLOCK: its estimates of its time's and its\n"
    "                     frequency's accuracy (a fraction), its clock's bias and drift\n"
    "                     (seconds per second)\n"
    "  fix_type, fix_time_accuracy_s, pdop, num_sv\n"
    "                     its NAV-PVT: fix type (0 none, 1 dead reckoning, 2 2D, 3 3D, 4 GNSS\n"
    "                     and dead reckoning, 5 time only), time accuracy, position DOP and\n"
    "                     satellites used; each as it stands when the line is written, empty\n"
    "                     (null) while its message has not come for 25 s or the unit is away\n"
    "A value is escaped as in key=value output, a blank as \\x20. When no unit is attached at\n"
    "the start, one line on standard error says that the watch waits.\n"
    "\n"
    "Options:\n"
    "  --json               One JSON object per line, with the same keys.\n"
    "  --duration SECONDS   Stop after SECONDS.\n"
    "\n"
    "Exit status: 0 stopped by a signal or after --duration; 1 the output could not be written;\n"
    "2 a bad --duration, or the simulation could not be started; 64 usage.\n",
    runWatch,
    true,
};

}  // namespace tamrik::ctl
