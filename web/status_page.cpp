#include "web/status_page.h"

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

#include "core/health_text.h"
#include "core/protocol.h"
#include "gps/satellites_view.h"
#include "gps/ubx_messages.h"
#include "numbers/frequency.h"
#include "numbers/number_format.h"
#include "ui/status_lights.h"
#include "ui/svg_drawing.h"
#include "web/units_json.h"

namespace tamrik::web {

namespace {

using ui::markupEscaped;

constexpr std::size_t kEventsShown = 10;
constexpr std::uint32_t kLightUnknown = 0xD8D8D8;  // 0xBBGGRR

constexpr std::string_view kStyle = R"css(
:root{color-scheme:light}
body{font-family:'DejaVu Sans','Segoe UI',Arial,sans-serif;margin:0;padding:0 12px 24px;color:#202020;background:#f4f4f4;line-height:1.4}
header{padding:10px 0}
h1{font-size:1.4em;margin:0 0 2px}
header p{margin:0;color:#555}
.unit{background:#fff;border:1px solid #ccc;border-radius:6px;padding:10px 14px;margin:12px 0;max-width:1240px}
h2{font-size:1.2em;margin:0 0 8px}
h3{font-size:1em;margin:14px 0 4px}
.state{font-size:.8em;font-weight:normal;padding:2px 8px;border-radius:10px;margin-left:6px;white-space:nowrap}
.state.up{background:#c0ffc0}.state.down{background:#ffd0a0}
.facts{display:grid;grid-template-columns:minmax(0,1fr);gap:0 24px;align-content:start}
@media (min-width:700px){.facts{grid-template-columns:minmax(0,1fr) minmax(0,1fr)}}
dl{display:grid;grid-template-columns:max-content minmax(0,1fr);gap:2px 12px;margin:0}
dt{color:#555}dd{margin:0;overflow-wrap:anywhere}
.lights{display:flex;flex-wrap:wrap;gap:10px}
.light{flex:1 1 260px;margin:0}
.light strong{display:inline-block;padding:4px 10px;border:1px solid #777;border-radius:4px;color:#000}
.light span{display:block;font-size:.85em;color:#444;margin-top:3px}
.stale{color:#b02020}
.picture svg{display:block;width:100%;height:auto;max-width:400px}
.body{display:grid;grid-template-columns:minmax(0,1fr);gap:0 24px}
@media (min-width:1000px){.body{grid-template-columns:minmax(0,1fr) 400px}}
details{margin:6px 0}
table{border-collapse:collapse;font-size:.9em}
th,td{padding:1px 8px;text-align:right;border-bottom:1px solid #e4e4e4}
ol{margin:0;padding-left:1.4em}
.none{color:#777}
#offline{display:none;background:#ffd0a0;padding:6px 10px;border-radius:4px}
)css";

// Refreshes the units in place once a second from the page itself (so nothing is drawn twice),
// keeping open what the reader opened, and says so when the exporter stops answering.
constexpr std::string_view kScript = R"js(
(function(){
  var busy=false;
  function refresh(){
    if(busy)return;busy=true;
    var ctl=new AbortController();var timer=setTimeout(function(){ctl.abort();},4000);
    fetch(location.pathname,{cache:'no-store',signal:ctl.signal}).then(function(r){
      if(!r.ok)throw new Error(r.status);return r.text();
    }).then(function(html){
      var doc=new DOMParser().parseFromString(html,'text/html');
      var units=doc.getElementById('units'),read=doc.getElementById('read');
      var open=Array.prototype.map.call(document.querySelectorAll('details[open]'),function(e){return e.dataset.key;});
      if(units){
        document.getElementById('units').replaceWith(units);
        units.querySelectorAll('details').forEach(function(e){if(open.indexOf(e.dataset.key)>=0)e.open=true;});
      }
      if(read)document.getElementById('read').replaceWith(read);
      document.getElementById('offline').style.display='none';
    }).catch(function(){
      document.getElementById('offline').style.display='block';
    }).finally(function(){clearTimeout(timer);busy=false;});
  }
  setInterval(refresh,1000);
})();
)js";

std::string esc(std::string_view s) { return markupEscaped(s); }

std::string row(std::string_view term, const std::string& escapedValue) {
  return "<dt>" + esc(term) + "</dt><dd>" + escapedValue + "</dd>";
}

std::string orNone(const std::string& s) { return s.empty() ? "<span class=\"none\">not given</span>" : esc(s); }

// A status light as the window shows it, in words and colour; a unit that is not up shows neither
// lock nor loss, only that its state is not known now. The window's tooltip stands under it.
std::string light(std::string_view name, const monitor::UnitReading& u, bool gps, core::UtcTime now) {
  std::string caption;
  std::uint32_t colour = kLightUnknown;
  const monitor::ReceiverState r = monitor::currentReceiver(u);
  if (r.status) {
    const ui::StatusLight l = gps ? ui::gpsLight(r.status->gpsSignal) : ui::pllLight(r.status->pllLock);
    caption = l.caption;
    colour = l.color;
  } else {
    const std::string why = u.health && u.health->connected ? "no reports from the unit"
                            : u.health                       ? "unit away"
                                                             : "no report yet";
    caption = std::string(gps ? "GPS signal" : "PLL lock") + " not known: " + why;
  }
  // The window's tooltip, but for a unit that is down: its lights here say that the state is not
  // known, not its last state.
  const auto shown = u.up ? core::LightWhileDown::LastKnown : core::LightWhileDown::NotKnown;
  const std::string tip = gps ? core::gpsLightTooltip(u.health, now, shown) : core::pllLightTooltip(u.health, now, shown);
  return "<p class=\"light\" data-light=\"" + std::string(name) + "\"><strong style=\"background:" + ui::cssColor(colour) +
         "\">" + esc(caption) + "</strong><span>" + esc(tip) + "</span></p>";
}

std::string identitySection(const monitor::UnitReading& u) {
  const core::UnitIdentity& id = u.identity;
  return "<dl>" + row("Serial", orNone(id.serial)) + row("Product", orNone(id.product)) +
         row("Maker", orNone(id.manufacturer)) + row("Firmware", orNone(id.firmware)) + "</dl>";
}

std::string outputSection(const monitor::UnitReading& u) {
  if (!u.settings) return "<p class=\"none\">The settings have not been read.</p>";
  const core::SettingsReport& s = *u.settings;
  std::string dividers;
  for (const monitor::DividerField& f : monitor::dividerFields(s.dividers)) {
    if (!dividers.empty()) dividers += ", ";
    std::string key = f.key;
    std::transform(key.begin(), key.end(), key.begin(), [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    dividers += esc(key) + " " + std::to_string(f.value);
  }
  const int drive = std::clamp(s.driveIndex, 0, static_cast<int>(core::kDriveStrengths.size()) - 1);
  std::string out = u.up ? "" : "<p class=\"stale\">As last read; the unit is not up.</p>";
  return out + "<dl>" + row("Output", esc(numbers::outputHzText(s.dividers)) + " Hz") + row("Dividers", dividers) +
         row("Output enabled", s.outputEnabled ? "on" : "off") +
         row("Drive", esc(core::kDriveStrengths[static_cast<std::size_t>(drive)])) + "</dl>";
}

std::string positionSection(const monitor::UnitReading& u) {
  const monitor::ReceiverState r = monitor::currentReceiver(u);
  std::string position, utc;
  if (r.pvt && r.pvt->hasPosition()) {
    const std::string lat = numbers::scaledDecimal(r.pvt->lat, 7), lon = numbers::scaledDecimal(r.pvt->lon, 7);
    position = "<span data-lat=\"" + esc(lat) + "\" data-lon=\"" + esc(lon) + "\">" + esc(lat) + ", " + esc(lon) +
               "</span>, height " + esc(numbers::scaledDecimal(r.pvt->height, 3)) + " m (<a href=\"" +
               esc(gps::MapLinkFor(r.pvt->lat, r.pvt->lon)) + "\" rel=\"noreferrer\">map</a>)";
  } else {
    position = std::string("<span class=\"none\">") + (u.up ? (u.receiverCurrent ? "no fix" : "not current: the receiver is silent")
                                                            : "not known: the unit is not up") + "</span>";
  }
  if (const auto t = monitor::utcOf(r)) {
    utc = "<time datetime=\"" + esc(t->iso) + "\">" + esc(t->iso) + "</time>";
  } else {
    utc = "<span class=\"none\">not known</span>";
  }
  return "<dl>" + row("Position", position) + row("UTC", utc) + "</dl>";
}

std::string skySection(const monitor::UnitReading& u, core::UtcTime now, ui::SvgLooks& looks) {
  if (!u.sky) return "";
  const core::SkyRecord& sky = *u.sky;
  const bool current = sky.skyCurrent(now);
  int used = 0, placed = 0;
  for (const core::SkySatellite& s : sky.sky()) {
    used += s.used ? 1 : 0;
    placed += s.positioned() ? 1 : 0;
  }
  const std::string title = "Satellites of " + u.identity.serial;
  const std::string description =
      !sky.skyReceived() ? "No satellites received yet."
      : !current         ? "The sky is not current; it is shown as last received, in grey."
                         : "Sky plot of " + std::to_string(sky.sky().size()) + " satellites, " + std::to_string(used) +
                       " used in the fix, " + std::to_string(placed) +
                       " with a position; their signal by constellation; and the last hour of satellites used, "
                       "mean C/N0 and the GPS signal and PLL lock.";
  std::string out = "<div class=\"picture\">";
  out += ui::svgOf(gps::drawSatellites(sky, now, kPictureWidth, kPictureHeight, 1.0), kPictureWidth, kPictureHeight,
                   {title, description, ""}, &looks);
  out += "</div>";
  if (current && !sky.sky().empty()) {
    out += "<details data-key=\"" + esc(u.identity.serial) + "\"><summary>The satellites as a table</summary><table><thead><tr><th>Satellite</th>"
           "<th>Constellation</th><th>Azimuth</th><th>Elevation</th><th>C/N0</th><th>Used</th></tr></thead><tbody>";
    for (const core::SkySatellite& s : sky.sky()) {
      out += "<tr data-svid=\"" + std::to_string(s.svid) + "\"><td>" + std::to_string(s.svid) + "</td><td>" +
             esc(gps::constellationCaption(s.constellation)) + "</td>";
      if (s.positioned()) {
        out += "<td>" + std::to_string(s.azimuth) + "\xC2\xB0</td><td>" + std::to_string(s.elevation) + "\xC2\xB0</td>";
      } else {
        out += "<td>-</td><td>-</td>";
      }
      out += "<td>" + std::to_string(s.cno) + "</td><td>" + (s.used ? "yes" : "no") + "</td></tr>";
    }
    out += "</tbody></table></details>";
  }
  return out;
}

std::string eventsSection(const monitor::UnitReading& u, core::UtcTime now) {
  std::vector<core::SkyEvent> events;
  if (u.sky) events = u.sky->history().events();
  if (events.empty()) return "<p class=\"none\">No events in the last hour.</p>";
  std::string out = "<ol class=\"events\" reversed>";
  const std::size_t from = events.size() > kEventsShown ? events.size() - kEventsShown : 0;
  for (std::size_t i = events.size(); i-- > from;) {
    out += "<li data-kind=\"" + esc(core::healthEventName(events[i].kind)) + "\"><time datetime=\"" +
           esc(monitor::isoTime(events[i].at)) + "\">" + esc(core::utcTimeText(events[i].at, now)) + "</time> " +
           esc(gps::eventCaption(events[i].kind)) + "</li>";
  }
  return out + "</ol>";
}

std::string unitSection(const monitor::UnitReading& u, core::UtcTime now, ui::SvgLooks& looks) {
  const std::string id = "unit-" + u.identity.serial;
  std::string state;
  if (u.up) state = "<span class=\"state up\">attached, reporting</span>";
  else if (u.health && u.health->connected) state = "<span class=\"state down\">attached, not reporting</span>";
  else state = "<span class=\"state down\">away</span>";
  std::string out = "<section class=\"unit\" data-serial=\"" + esc(u.identity.serial) + "\" data-up=\"" +
                    (u.up ? "true" : "false") + "\" aria-labelledby=\"" + esc(id) + "\">";
  out += "<h2 id=\"" + esc(id) + "\">Unit " + esc(u.identity.serial) + " " + state + "</h2>";
  out += "<div class=\"lights\">" + light("gps", u, true, now) + light("pll", u, false, now) + "</div>";
  out += "<div class=\"body\"><div class=\"facts\"><div><h3>Unit</h3>" + identitySection(u) + "<h3>Output</h3>" +
         outputSection(u) + "</div><div><h3>Position and time</h3>" + positionSection(u) + "<h3>Latest events</h3>" +
         eventsSection(u, now) + "</div></div>";
  out += "<div class=\"sky\"><h3>Satellites</h3>" + skySection(u, now, looks) + "</div></div>";
  return out + "</section>";
}

}  // namespace

std::string statusPage(std::span<const monitor::UnitReading> units, core::UtcTime now) {
  std::string out;
  out.reserve(64 * 1024);
  out += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
         "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
         "<title>Tamrik units</title><link rel=\"icon\" href=\"data:,\">"
         "<noscript><meta http-equiv=\"refresh\" content=\"5\"></noscript><style>";
  out += kStyle;
  out += "</style></head><body><header><h1>Tamrik units</h1><p id=\"read\">As read at <time datetime=\"" +
         esc(monitor::isoTime(now)) + "\">" + esc(core::utcTimeText(now, now)) +
         "</time>. Read-only; also as <a href=\"/api/units\">JSON</a> and <a href=\"/metrics\">metrics</a>.</p>"
         "<p id=\"offline\" role=\"status\">The exporter does not answer; this is the last state it gave.</p></header>"
         "<main id=\"units\">";
  // The pictures' looks once for all of them, within what a refresh replaces.
  ui::SvgLooks looks;
  std::string sections;
  for (const monitor::UnitReading& u : units) sections += unitSection(u, now, looks);
  out += "<style>" + looks.rules() + "</style>";
  if (units.empty()) out += "<p>No unit is attached. Units are looked for every second.</p>";
  out += sections;
  out += "</main><script>";
  out += kScript;
  out += "</script></body></html>\n";
  return out;
}

}  // namespace tamrik::web
