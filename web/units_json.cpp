#include "web/units_json.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <vector>

#include "gps/satellites_view.h"
#include "monitor/unit_json.h"
#include "text/json_writer.h"

namespace tamrik::web {

namespace {

constexpr std::size_t kEventsInJson = 20;

// A state of a unit that is not up is not known now: its last one is not told as present.
text::JsonObject stateJson(const core::StateHistory& s, bool up) {
  text::JsonObject o;
  const bool known = s.known && up;
  o.boolean("known", known);
  if (known) {
    o.boolean("good", s.good).text("since", monitor::isoTime(s.since)).boolean("since_exact", s.sinceExact);
  } else {
    o.null("good").null("since").null("since_exact");
  }
  o.integer("losses", static_cast<std::int64_t>(s.losses));
  if (s.lastLoss) o.text("last_loss", monitor::isoTime(*s.lastLoss));
  else o.null("last_loss");
  if (s.lastLossLasted) o.number("last_loss_seconds", std::chrono::duration<double>(*s.lastLossLasted).count());
  else o.null("last_loss_seconds");
  return o;
}

std::string eventsJson(const core::SkyRecord* sky) {
  std::vector<std::string> events;
  if (sky) {
    const std::vector<core::SkyEvent> all = sky->history().events();
    const std::size_t from = all.size() > kEventsInJson ? all.size() - kEventsInJson : 0;
    for (std::size_t i = from; i < all.size(); ++i) {
      events.push_back(text::JsonObject()
                           .text("at", monitor::isoTime(all[i].at))
                           .text("kind", core::healthEventName(all[i].kind))
                           .text("caption", gps::eventCaption(all[i].kind))
                           .str());
    }
  }
  return text::jsonArray(events);
}

std::string healthJson(const monitor::UnitReading& u) {
  if (!u.health) return "null";
  const core::UnitHealth& h = *u.health;
  text::JsonObject o;
  o.boolean("connected", h.connected)
      .boolean("reporting", h.reporting)
      .text("connection_changed", monitor::isoTime(h.connectionChanged))
      .integer("disconnects", static_cast<std::int64_t>(h.disconnects))
      .integer("gps_signal_losses", static_cast<std::int64_t>(h.gpsSignalLosses));
  if (h.lastReport) o.text("last_report", monitor::isoTime(*h.lastReport));
  else o.null("last_report");
  o.raw("gps_signal", stateJson(h.gpsSignal, u.up).str())
      .raw("pll_lock", stateJson(h.pllLock, u.up).str())
      .raw("fix", stateJson(h.fix, u.up).str())
      .raw("events", eventsJson(u.sky));
  return o.str();
}

std::string skyJson(const core::SkyRecord* sky, core::UtcTime now) {
  if (!sky) return "null";
  const bool current = sky->skyCurrent(now);
  std::vector<std::string> satellites;
  if (current) {
    for (const core::SkySatellite& s : sky->sky()) {
      text::JsonObject o;
      o.integer("svid", s.svid).text("constellation", gps::constellationCaption(s.constellation));
      if (s.positioned()) o.integer("azimuth", s.azimuth).integer("elevation", s.elevation);
      else o.null("azimuth").null("elevation");
      o.integer("cno", s.cno).boolean("used", s.used);
      satellites.push_back(o.str());
    }
  }
  return text::JsonObject().boolean("current", current).raw("satellites", text::jsonArray(satellites)).str();
}

// The hour is the bulk of the answer (thousands of values a unit): written straight into its text.
std::string historyJson(const core::SkyRecord* sky) {
  if (!sky || sky->history().count() == 0) return "null";
  const core::SkyHistory& h = sky->history();
  const std::size_t n = static_cast<std::size_t>(h.count());
  std::string used, cno, gps, pll;
  used.reserve(3 * n + 2);
  cno.reserve(5 * n + 2);
  gps.reserve(n);
  pll.reserve(n);
  auto state = [](int v) { return v < 0 ? '-' : v ? '1' : '0'; };
  used += '[';
  cno += '[';
  for (int i = 0; i < h.count(); ++i) {
    const core::SkySample& s = h.at(i);
    if (i > 0) {
      used += ',';
      cno += ',';
    }
    if (s.used < 0) used += "null";
    else used += std::to_string(s.used);
    if (s.meanCno < 0) {
      cno += "null";
    } else {
      char buffer[32];
      const auto written = std::to_chars(buffer, buffer + sizeof buffer, s.meanCno, std::chars_format::fixed, 1);
      cno.append(buffer, written.ptr);
    }
    gps += state(s.gpsSignal);
    pll += state(s.pllLock);
  }
  used += ']';
  cno += ']';
  return text::JsonObject()
      .text("latest", monitor::isoTime(core::UtcTime(h.latest())))
      .integer("seconds", h.count())
      .raw("used", std::move(used))
      .raw("mean_cno", std::move(cno))
      .text("gps_signal", gps)
      .text("pll_lock", pll)
      .str();
}

}  // namespace

std::string unitsJson(std::span<const monitor::UnitReading> units, core::UtcTime now) {
  std::vector<std::string> list;
  for (const monitor::UnitReading& u : units) {
    // The settings of a unit that is not up are not shown: they may have changed meanwhile.
    const std::string o =
        monitor::statusJson(u.identity, u.up && u.settings ? &*u.settings : nullptr, monitor::currentReceiver(u)).str();
    // The exporter's own keys after status --json's.
    const std::string extra = text::JsonObject()
                                  .boolean("up", u.up)
                                  .raw("health", healthJson(u))
                                  .raw("sky", skyJson(u.sky, now))
                                  .raw("history", historyJson(u.sky))
                                  .str();
    list.push_back(o.substr(0, o.size() - 1) + "," + extra.substr(1));
  }
  return text::jsonArray(list) + "\n";
}

}  // namespace tamrik::web
