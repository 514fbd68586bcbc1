// tamrikctl status: one unit's identity, settings and receiver state.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <set>
#include <utility>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/ctl_commands.h"
#include "app/tamrikctl/ctl_context.h"
#include "app/tamrikctl/ctl_output.h"
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
// Reads are at most this long, so that the deadline is kept closely.
constexpr auto kReadSlice = 100ms;

struct Satellite {
  int channel = 0;
  int svid = 0;
  int cno = 0;
  bool used = false;
  int elevation = 0;
};

// What the receiver told while the command listened.
struct ReceiverState {
  std::optional<core::InputStatus> status;          // from the latest input report
  std::optional<core::NavPvt> pvt;                  // the latest NAV-PVT
  std::optional<std::vector<Satellite>> satellites;  // the latest NAV-SVINFO
};

// A NAV-PVT with a valid fix of two or three dimensions carries a position.
bool hasPosition(const core::NavPvt& pvt) { return (pvt.flags & 0x01) != 0 && pvt.fixType >= 2 && pvt.fixType <= 4; }

class StatusSink final : public core::ReceiverSink {
 public:
  explicit StatusSink(ReceiverState& state) : s_(state) {}

  void onInputStatus(const core::InputStatus& status) override { s_.status = status; }
  void onNavPvt(const core::NavPvt& pvt) override {
    s_.pvt = pvt;
    satellitesAfterPvt_ = false;
  }
  void onNavSvInfo(const core::NavSvInfo& info) override {
    std::vector<Satellite> satellites;
    for (int i = 0; i < info.channels(); ++i) {
      const core::SvChannel c = info.channel(i);
      satellites.push_back({c.chn, c.svid, c.cno, c.used(), c.elev});
    }
    s_.satellites = std::move(satellites);
    satellitesAfterPvt_ = true;
  }
  bool keepReading() override { return !complete(); }

  // The state, a position, and the satellites of that solution or a later one are in. (A
  // receiver sends a solution's NAV-SVINFO after its NAV-PVT.)
  bool complete() const {
    return s_.status && s_.pvt && hasPosition(*s_.pvt) && s_.satellites && satellitesAfterPvt_;
  }

 private:
  ReceiverState& s_;
  bool satellitesAfterPvt_ = false;
};

// The receiver's UTC time, when the NAV-PVT carries a valid one.
struct UtcTime {
  std::string iso;      // 2025-03-07T08:05:10Z
  double unixSeconds;   // seconds since 1970-01-01T00:00:00Z
};
std::optional<UtcTime> utcOf(const core::NavPvt& pvt) {
  if (!pvt.timeValid()) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(pvt.year), std::chrono::month(pvt.month),
                                         std::chrono::day(pvt.day)};
  // A leap second is second 60.
  if (!date.ok() || pvt.hour > 23 || pvt.minute > 59 || pvt.second > 60) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(pvt.year), pvt.month, pvt.day,
                pvt.hour, pvt.minute, pvt.second);
  const auto days = std::chrono::sys_days(date).time_since_epoch().count();
  const double seconds = static_cast<double>(days) * 86400.0 + pvt.hour * 3600.0 + pvt.minute * 60.0 + pvt.second;
  return UtcTime{text, seconds};
}

// Everything `status` prints.
struct Status {
  core::UnitIdentity identity;
  core::SettingsReport settings;
  ReceiverState receiver;
};

double frequencyHz(const std::optional<core::Frequency>& f) { return f ? f->hz() : std::nan(""); }

struct Dividers {
  const char* key;
  std::int32_t value;
};
std::vector<Dividers> dividerFields(const core::Dividers& d) {
  return {{"gps", d.gps},       {"n31", d.n31},       {"n2_hs", d.n2_hs},   {"n2_ls", d.n2_ls},
          {"n1_hs", d.n1_hs},   {"nc1_ls", d.nc1_ls}, {"nc2_ls", d.nc2_ls}, {"bw", d.bw}};
}

int usedCount(const std::vector<Satellite>& satellites) {
  return static_cast<int>(std::count_if(satellites.begin(), satellites.end(), [](const Satellite& s) { return s.used; }));
}

std::string statusJson(const Status& s) {
  const core::Dividers& d = s.settings.dividers;
  JsonObject dividers;
  for (const Dividers& f : dividerFields(d)) dividers.integer(f.key, f.value);
  JsonObject o;
  o.text("serial", s.identity.serial)
      .text("manufacturer", s.identity.manufacturer)
      .text("product", s.identity.product)
      .text("firmware", s.identity.firmware)
      .number("output_hz", core::displayedOutputHz(d))
      .raw("dividers", dividers.str())
      .number("f3_hz", frequencyHz(core::f3Frequency(d)))
      .number("fosc_hz", frequencyHz(core::oscillatorFrequency(d)))
      .boolean("output_enabled", s.settings.outputEnabled)
      .text("drive", driveText(s.settings.driveIndex));
  const ReceiverState& r = s.receiver;
  o.boolean("gps_signal", r.status->gpsSignal).boolean("pll_lock", r.status->pllLock).integer("loss_count", r.status->lossCount);
  if (r.pvt && hasPosition(*r.pvt)) {
    o.raw("position", JsonObject()
                          .raw("lat", scaledDecimal(r.pvt->lat, 7))
                          .raw("lon", scaledDecimal(r.pvt->lon, 7))
                          .raw("height_m", scaledDecimal(r.pvt->height, 3))
                          .str());
  } else {
    o.null("position");
  }
  const auto utc = r.pvt ? utcOf(*r.pvt) : std::nullopt;
  if (utc) {
    o.text("utc", utc->iso);
  } else {
    o.null("utc");
  }
  if (r.satellites) {
    std::vector<std::string> satellites;
    for (const Satellite& sat : *r.satellites) {
      satellites.push_back(JsonObject()
                               .integer("channel", sat.channel)
                               .integer("svid", sat.svid)
                               .integer("cno", sat.cno)
                               .boolean("used", sat.used)
                               .integer("elevation", sat.elevation)
                               .str());
    }
    o.raw("satellites", jsonArray(satellites));
  } else {
    o.raw("satellites", "[]");  // no NAV-SVINFO seen yet: no satellites to show
  }
  return o.str() + "\n";
}

std::string statusLines(const Status& s) {
  const core::Dividers& d = s.settings.dividers;
  KeyValueLines l;
  l.text("serial", s.identity.serial)
      .text("manufacturer", s.identity.manufacturer)
      .text("product", s.identity.product)
      .text("firmware", s.identity.firmware)
      .add("output_hz", jsonNumber(core::displayedOutputHz(d)));
  for (const Dividers& f : dividerFields(d)) l.add(f.key, std::to_string(f.value));
  auto number = [](double v) { return std::isfinite(v) ? jsonNumber(v) : std::string(); };
  const ReceiverState& r = s.receiver;
  const bool position = r.pvt && hasPosition(*r.pvt);
  const auto utc = r.pvt ? utcOf(*r.pvt) : std::nullopt;
  l.add("f3_hz", number(frequencyHz(core::f3Frequency(d))))
      .add("fosc_hz", number(frequencyHz(core::oscillatorFrequency(d))))
      .add("output_enabled", s.settings.outputEnabled ? "1" : "0")
      .add("drive", driveText(s.settings.driveIndex))
      .add("gps_signal", r.status->gpsSignal ? "1" : "0")
      .add("pll_lock", r.status->pllLock ? "1" : "0")
      .add("loss_count", std::to_string(r.status->lossCount))
      .add("lat", position ? scaledDecimal(r.pvt->lat, 7) : "")
      .add("lon", position ? scaledDecimal(r.pvt->lon, 7) : "")
      .add("height_m", position ? scaledDecimal(r.pvt->height, 3) : "")
      .add("utc", utc ? utc->iso : "")
      .add("satellites", r.satellites ? std::to_string(r.satellites->size()) : "")
      .add("satellites_used", r.satellites ? std::to_string(usedCount(*r.satellites)) : "");
  return l.str();
}

std::string statusPrometheus(const Status& s) {
  const core::Dividers& d = s.settings.dividers;
  const ReceiverState& r = s.receiver;
  const Labels unit{{"serial", s.identity.serial}};
  auto with = [&](std::string name, std::string value) {
    Labels labels = unit;
    labels.emplace_back(std::move(name), std::move(value));
    return labels;
  };
  PrometheusText p;
  p.family("tamrik_unit_info", "gauge", "The unit's identity in its labels; always 1.")
      .sample({{"serial", s.identity.serial},
               {"manufacturer", s.identity.manufacturer},
               {"product", s.identity.product},
               {"firmware", s.identity.firmware}},
              1);
  p.family("tamrik_output_frequency_hertz", "gauge", "Output frequency the unit's divider set gives.")
      .sample(unit, core::displayedOutputHz(d));
  p.family("tamrik_phase_detector_frequency_hertz", "gauge", "F3, the PLL's input: GPS reference over N31.")
      .sample(unit, frequencyHz(core::f3Frequency(d)));
  p.family("tamrik_oscillator_frequency_hertz", "gauge", "Fosc, the PLL's oscillator.")
      .sample(unit, frequencyHz(core::oscillatorFrequency(d)));
  p.family("tamrik_divider", "gauge", "The unit's divider set: GPS reference in Hz, dividers and bandwidth code.");
  for (const Dividers& f : dividerFields(d)) p.sample(with("divider", f.key), f.value);
  p.family("tamrik_output_enabled", "gauge", "1 when the clock output is switched on.")
      .sample(unit, s.settings.outputEnabled ? 1 : 0);
  p.family("tamrik_drive_strength_amperes", "gauge", "Output drive strength.")
      .sample(unit, 0.008 * (std::clamp(s.settings.driveIndex, 0, 3) + 1));
  p.family("tamrik_gps_signal", "gauge", "1 while the unit has a GPS signal.").sample(unit, r.status->gpsSignal ? 1 : 0);
  p.family("tamrik_pll_lock", "gauge", "1 while the PLL is locked.").sample(unit, r.status->pllLock ? 1 : 0);
  p.family("tamrik_gps_signal_losses", "gauge", "How often the GPS signal was lost, as the unit counts (0 to 255).")
      .sample(unit, r.status->lossCount);
  if (r.pvt && hasPosition(*r.pvt)) {
    p.family("tamrik_position_latitude_degrees", "gauge", "The receiver's latitude.").sample(unit, r.pvt->lat * 1e-7);
    p.family("tamrik_position_longitude_degrees", "gauge", "The receiver's longitude.").sample(unit, r.pvt->lon * 1e-7);
    p.family("tamrik_position_height_meters", "gauge", "The receiver's height above the ellipsoid.")
        .sample(unit, r.pvt->height * 1e-3);
  }
  if (const auto utc = r.pvt ? utcOf(*r.pvt) : std::nullopt) {
    p.family("tamrik_receiver_time_seconds", "gauge", "UTC as the receiver tells it, in seconds since 1970.")
        .sample(unit, utc->unixSeconds);
  }
  if (r.satellites) {
    // One series per channel and satellite; a repeated pair (a confused receiver) is left out.
    std::vector<Satellite> satellites;
    std::set<std::pair<int, int>> seen;
    for (const Satellite& sat : *r.satellites) {
      if (seen.insert({sat.channel, sat.svid}).second) satellites.push_back(sat);
    }
    p.family("tamrik_satellites", "gauge", "Satellites the receiver reports.").sample(unit, static_cast<double>(r.satellites->size()));
    p.family("tamrik_satellites_used", "gauge", "Satellites used in the navigation solution.")
        .sample(unit, usedCount(*r.satellites));
    auto labels = [&](const Satellite& sat) {
      Labels l = with("channel", std::to_string(sat.channel));
      l.emplace_back("svid", std::to_string(sat.svid));
      return l;
    };
    p.family("tamrik_satellite_cno_dbhz", "gauge", "Carrier-to-noise ratio of each satellite.");
    for (const Satellite& sat : satellites) p.sample(labels(sat), sat.cno);
    p.family("tamrik_satellite_elevation_degrees", "gauge", "Elevation of each satellite.");
    for (const Satellite& sat : satellites) p.sample(labels(sat), sat.elevation);
    p.family("tamrik_satellite_used", "gauge", "1 when the satellite is used in the navigation solution.");
    for (const Satellite& sat : satellites) p.sample(labels(sat), sat.used ? 1 : 0);
  }
  return p.str();
}

int runStatus(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {{"--json"}, {"--prometheus"}, {"--wait", true}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (!a.operands.empty()) return ctx.fail(kExitUsage, "takes no arguments, got '" + std::string(a.operands[0]) + "'");
  if (a.has("--json") && a.has("--prometheus")) return ctx.fail(kExitUsage, "give --json or --prometheus, not both");
  double waitSeconds = kDefaultWaitSeconds;
  if (const auto text = a.value("--wait")) {
    std::string error;
    const auto seconds = parseSeconds("--wait", *text, kMaxWaitSeconds, error);
    if (!seconds) return ctx.fail(kExitBadArgument, error);
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
  while (!sink.complete()) {
    const auto now = clock.now();
    const auto until = s.receiver.status ? deadline : firstReportDeadline;
    if (now >= until) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
    if (unit.readReceiver(stream, std::min<std::chrono::milliseconds>(left, kReadSlice)) == core::ReadOutcome::Lost) {
      return ctx.fail(kExitUnitFailed, access.unitName() + " went away while its receiver was read");
    }
  }
  if (!s.receiver.status) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " sent no input report within " +
                                         jsonNumber(std::max(waitSeconds, 1.0)) + " s");
  }
  if (a.has("--json")) return ctx.print(statusJson(s));
  if (a.has("--prometheus")) return ctx.print(statusPrometheus(s));
  return ctx.print(statusLines(s));
}

}  // namespace

const CommandSpec kStatusCommand{
    "status",
    "status [--json | --prometheus] [--wait SECONDS]",
    "  status [--json | --prometheus] [--wait SECONDS]\n"
    "                       Show one unit's identity, settings and receiver state: output\n"
    "                       frequency, dividers, output, drive strength, GPS signal, PLL lock,\n"
    "                       position, UTC and satellites, as key=value lines, JSON or metrics\n"
    "                       in the Prometheus text format.\n",
    "Show the state of one unit: the one of --unit, else the only one attached, else the first\n"
    "one 'tamrikctl list' shows. Its settings are read back as the window reads them; its\n"
    "receiver's messages are switched on as the window switches them on, and the command waits\n"
    "up to --wait seconds (default 2) for a position fix and the satellites. What is still\n"
    "unknown then is printed empty (JSON: null); the unit's first input report, which tells\n"
    "the GPS signal, the PLL lock and the loss count, is waited for at least 1 s.\n"
    "\n"
    "key=value lines: serial, manufacturer, product, firmware, output_hz, gps, n31, n2_hs,\n"
    "n2_ls, n1_hs, nc1_ls, nc2_ls, bw, f3_hz, fosc_hz, output_enabled (1 or 0), drive (8mA,\n"
    "16mA, 24mA or 32mA), gps_signal, pll_lock (1 or 0), loss_count, lat, lon (degrees),\n"
    "height_m (above the ellipsoid), utc (ISO 8601), satellites and satellites_used (counts).\n"
    "\n"
    "Options:\n"
    "  --json               One JSON object: serial, manufacturer, product, firmware,\n"
    "                       output_hz, dividers (gps, n31, n2_hs, n2_ls, n1_hs, nc1_ls,\n"
    "                       nc2_ls, bw), f3_hz, fosc_hz, output_enabled, drive, gps_signal,\n"
    "                       pll_lock, loss_count, position (lat, lon, height_m, or null), utc\n"
    "                       (or null) and satellites (channel, svid, cno, used, elevation; an\n"
    "                       empty array before the receiver has reported any).\n"
    "  --prometheus         The same as metrics in the Prometheus text format, named tamrik_...\n"
    "                       and labelled serial=..., for the node exporter's textfile collector;\n"
    "                       the metrics of what is still unknown are left out.\n"
    "  --wait SECONDS       Wait up to SECONDS (0 to 3600) for a position and the satellites.\n"
    "\n"
    "Exit status: 0 shown; 1 the output could not be written; 2 a bad --wait, or the\n"
    "simulation could not be started; 3 no unit, or none with the serial of --unit; 4 the\n"
    "settings could not be read, no input report came, or the unit went away; 64 usage.\n",
    runStatus,
    true,
};

}  // namespace tamrik::ctl
