#include "timeserver/chain_check.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "text/json_writer.h"

namespace tamrik::timeserver {

namespace {

std::string octal(unsigned mode) {
  char text[8];
  const auto [end, error] = std::to_chars(text, text + sizeof text, mode & 07777, 8);
  (void)error;
  return std::string(4 - std::min<std::size_t>(4, static_cast<std::size_t>(end - text)), '0') + std::string(text, end);
}

std::string ownership(const NodeFacts& n) { return n.owner + ":" + n.group + " " + octal(n.mode); }

Link ok(std::string name, std::string detail) { return {std::move(name), Link::State::Ok, std::move(detail), {}}; }
Link fault(std::string name, std::string detail, std::string fix) {
  return {std::move(name), Link::State::Fault, std::move(detail), std::move(fix)};
}
Link note(std::string name, std::string detail, std::string fix) {
  return {std::move(name), Link::State::Note, std::move(detail), std::move(fix)};
}

// Milliseconds with a sign and one decimal, in the C locale.
std::string ms(double seconds) {
  const double value = std::round(seconds * 1e4) / 10;
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::fixed, 1);
  (void)error;
  return std::string(value < 0 ? "-" : "+") + std::string(text, end) + " ms";
}

std::string stateText(Link::State s) {
  switch (s) {
    case Link::State::Ok: return "ok";
    case Link::State::Fault: return "fault";
    case Link::State::Note: return "note";
    case Link::State::Skipped: return "skipped";
  }
  return "fault";
}

// The strings of one key in gpsd's JSON: "path":"...", unescaped.
std::vector<std::string> stringsOf(std::string_view json, std::string_view key) {
  std::vector<std::string> values;
  const std::string pattern = "\"" + std::string(key) + "\":\"";
  std::size_t at = 0;
  while ((at = json.find(pattern, at)) != std::string_view::npos) {
    at += pattern.size();
    std::string value;
    while (at < json.size() && json[at] != '"') {
      if (json[at] == '\\' && at + 1 < json.size()) ++at;
      value += json[at++];
    }
    values.push_back(std::move(value));
  }
  return values;
}

}  // namespace

Link judgeUnit(const Paths& paths, const UnitFacts& f) {
  const std::string name = "unit";
  if (!f.unopened.empty()) {
    return fault(name, f.unopened, "close the program that holds the unit (`tamrikctl list` names it)");
  }
  if (!f.listed) {
    return fault(name, "no unit with serial " + paths.serial + " is attached",
                 "plug the unit in; `tamrikctl list` shows the units attached");
  }
  if (f.node.empty()) return ok(name, "unit " + paths.serial + " attached (simulated)");
  if (!f.nodeFacts.exists) return fault(name, "unit " + paths.serial + " has no device node " + f.node, "unplug the unit and plug it in again");
  // The bridge's service has no account of its own: it reaches the unit as a member of plugdev.
  if (f.nodeFacts.group != "plugdev" || (f.nodeFacts.mode & 0060) != 0060) {
    return fault(name, f.node + " is " + ownership(f.nodeFacts) + ": the bridge's service, in the group plugdev, cannot open it",
                 "install the tamrikctl package (its udev rule gives the units to plugdev), then unplug the unit and plug it in again");
  }
  return ok(name, "unit " + paths.serial + " attached at " + f.node + " (" + ownership(f.nodeFacts) + ")");
}

Link judgeBridge(const Paths& paths, const ServiceFacts& s, const std::optional<SourceRow>& source) {
  const std::string name = "bridge";
  const std::string service = paths.bridgeService();
  if (s.loadState == "not-found" || s.loadState.empty()) {
    return fault(name, service + " is not installed", "install the tamrikctl package, which brings tamrik-gps-bridge@.service");
  }
  if (s.activeState != "active") {
    return fault(name, service + " is " + (s.activeState.empty() ? std::string("not running") : s.activeState) +
                           (s.unitFileState.empty() ? "" : " (" + s.unitFileState + ")"),
                 "systemctl enable --now " + service + "; `journalctl -u " + service + "` says why it stopped");
  }
  std::string detail = service + " active (" + s.unitFileState + ")";
  if (source && source->lastRx) {
    detail += "; chronyd took its last sample " + std::to_string(*source->lastRx) + " s ago";
  } else {
    detail += "; chronyd has taken no sample from it yet";
  }
  return ok(name, detail);
}

Link judgeSocket(const Paths& paths, const NodeFacts& s) {
  const std::string name = "socket";
  const std::string path = paths.socket();
  if (!s.exists) {
    return fault(name, "there is no socket " + path + ": chronyd has not made it",
                 "systemctl restart chrony (chronyd makes it when it starts, from its refclock line)");
  }
  if (!s.isSocket) return fault(name, path + " is not a socket", "remove it, then systemctl restart chrony");
  if (s.group != "dialout" || (s.mode & 0020) == 0) {
    return fault(name, path + " is " + ownership(s) + ": the bridge, in the group dialout, may not write to it",
                 "chrony.service's drop-in opens it to dialout when chronyd starts: systemctl daemon-reload && "
                 "systemctl restart chrony");
  }
  return ok(name, path + " (" + ownership(s) + ")");
}

Link judgeRefclock(const Paths& paths, const std::vector<ConfiguredRefclock>& found) {
  const std::string name = "refclock";
  const std::string path = paths.socket();
  std::vector<const ConfiguredRefclock*> ours;
  std::string others;
  for (const ConfiguredRefclock& c : found) {
    if (c.refclock.socket == path) {
      ours.push_back(&c);
    } else {
      others += (others.empty() ? "" : ", ") + c.file + ":" + std::to_string(c.refclock.lineNumber) + " names " + c.refclock.socket;
    }
  }
  if (ours.empty()) {
    return fault(name, "no refclock SOCK line of chrony names " + path + (others.empty() ? "" : " (" + others + ")"),
                 "tamrikctl time-server setup writes one; the bridge writes to " + path);
  }
  if (ours.size() > 1) {
    return fault(name, "two refclock lines name " + path + " (" + ours[0]->file + ":" + std::to_string(ours[0]->refclock.lineNumber) +
                           ", " + ours[1]->file + ":" + std::to_string(ours[1]->refclock.lineNumber) + "): chronyd makes the socket once",
                 "remove one of them, then systemctl restart chrony");
  }
  return ok(name, ours[0]->file + ":" + std::to_string(ours[0]->refclock.lineNumber) + " names " + path + " (refid " +
                      ours[0]->refclock.refid.value_or("SOCK") + ")");
}

Link judgeAppArmor(const Paths& paths, const AppArmorFacts& f) {
  const std::string name = "apparmor";
  const std::string path = paths.socket();
  if (!f.denial.empty()) {
    return fault(name, "AppArmor refused chronyd " + path + ": " + f.denial,
                 "chronyd's profile lets it make sockets as /run/chrony.NAME.sock only: keep the socket's name");
  }
  if (!f.known) return note(name, "AppArmor's profiles are root's to read: not checked", "run the check as root");
  if (f.chronydMode.empty()) return ok(name, "chronyd runs without an AppArmor profile");
  // Debian's profile for chronyd: "/run/chrony.*.sock rw" (and the folder /run/chrony).
  const bool allowed = path.starts_with("/run/chrony.") && path.ends_with(".sock") && path.find('/', 12) == std::string::npos;
  if (!allowed && f.chronydMode == "enforce") {
    return fault(name, "chronyd's profile is enforced and does not let it make " + path,
                 "name the socket /run/chrony.NAME.sock, as tamrikctl time-server setup does");
  }
  return ok(name, "chronyd's profile is in " + f.chronydMode + " mode and lets it make " + path);
}

Link judgeChrony(const Paths& paths, const ChronyFacts& f) {
  const std::string name = "chrony";
  if (!f.answered) return fault(name, "chronyd does not answer: " + f.failure, "systemctl start chrony; `journalctl -u chrony` says why it stopped");
  const auto source = std::find_if(f.sources.begin(), f.sources.end(), [](const SourceRow& r) { return r.mode == '#' && r.name == kRefid; });
  if (source == f.sources.end()) {
    return fault(name, "chronyd has no source " + std::string(kRefid),
                 "systemctl restart chrony: chronyd reads its refclock lines when it starts");
  }
  if (source->reach == 0) {
    return fault(name, std::string(kRefid) + " reached chronyd in none of its last 8 polls",
                 "`journalctl -u " + paths.bridgeService() + "` says why the bridge sends no samples");
  }
  char reach[8];
  const auto written = std::to_chars(reach, reach + sizeof reach, source->reach, 8);
  std::string detail = std::string(kRefid) + " reach " + std::string(reach, written.ptr) + ", last sample " +
                       (source->lastRx ? std::to_string(*source->lastRx) + " s ago" : std::string("none")) + ", offset " +
                       ms(source->adjustedOffset);
  const auto stats = std::find_if(f.stats.begin(), f.stats.end(), [](const SourceStatsRow& r) { return r.name == kRefid; });
  // chronyc gives a placeholder for the spread of fewer than three samples.
  if (stats != f.stats.end() && stats->samples >= 3) detail += ", spread " + ms(stats->stdDev).substr(1) + " over " + std::to_string(stats->samples) + " samples";
  detail += source->state == '*' ? ", selected" : source->state == '+' ? ", combined" : ", not selected";
  return ok(name, detail);
}

Link judgeCalibration(const std::optional<FoundRefclock>& refclock, const std::optional<RefclockFile>& file) {
  const std::string name = "calibration";
  if (!refclock) return {name, Link::State::Skipped, "no refclock line to calibrate", {}};
  const std::string offset = "offset " + chronyNumber(refclock->offset.value_or(0)) + " s";
  const std::string measure = "tamrikctl time-server calibrate --apply, for an hour while chrony follows network servers";
  if (file && file->measurement && file->measurement->applied) {
    const Measurement& m = *file->measurement;
    if (refclock->noselect) {
      return note(name, "calibrated " + m.when + " (" + offset + "), but the source's spread (" + ms(m.spread).substr(1) +
                            ") keeps it from selection (noselect)",
                  "calibrate again where the unit's receiver sees the sky well");
    }
    return ok(name, "calibrated " + m.when + ": " + offset + ", delay " + chronyNumber(refclock->delay.value_or(0)) + " s");
  }
  if (refclock->noselect) {
    return note(name, "not calibrated: " + offset + ", and noselect keeps chrony from following the source", measure);
  }
  return ok(name, "calibrated by hand: " + offset + ", selectable");
}

Link judgeGpsd(const Paths& paths, const GpsdFacts& f) {
  const std::string name = "gpsd";
  if (!f.configured) return {name, Link::State::Skipped, "gpsd is not set up for this unit (time-server setup --gpsd)", {}};
  if (!f.answered) return fault(name, "gpsd does not answer: " + f.failure, "systemctl restart gpsd; `journalctl -u gpsd` says why");
  const std::string version = f.release.empty() ? "gpsd" : "gpsd " + f.release;
  if (std::find(f.devices.begin(), f.devices.end(), paths.pty()) == f.devices.end()) {
    std::string reads;
    for (const std::string& d : f.devices) reads += (reads.empty() ? "" : ", ") + d;
    return fault(name, version + " does not read " + paths.pty() + (reads.empty() ? " (it reads no device)" : " (it reads " + reads + ")"),
                 "systemctl restart gpsd: it opens its devices when it starts, after the bridge");
  }
  std::string detail = version + " reads " + paths.pty();
  const std::optional<std::pair<int, int>> v = chronyVersion("version " + f.release);
  if (v && *v >= std::pair{3, 24}) {
    detail += "; gpsd 3.24 and newer pass no time from it to chrony, which takes the time from the bridge's socket";
  }
  return ok(name, detail);
}

bool chainHolds(const std::vector<Link>& links) {
  return std::none_of(links.begin(), links.end(), [](const Link& l) { return l.state == Link::State::Fault; });
}

std::string chainText(const std::vector<Link>& links) {
  std::string text;
  for (const Link& l : links) {
    std::string name = l.name;
    name.resize(12, ' ');
    std::string state = stateText(l.state);
    state.resize(8, ' ');
    text += name + state + l.detail + "\n";
    if (!l.fix.empty()) text += std::string(20, ' ') + "to do: " + l.fix + "\n";
  }
  return text;
}

std::string chainJson(const std::string& serial, const std::vector<Link>& links) {
  std::vector<std::string> items;
  for (const Link& l : links) {
    text::JsonObject o;
    o.text("link", l.name).text("state", stateText(l.state)).text("detail", l.detail);
    if (l.fix.empty()) {
      o.null("fix");
    } else {
      o.text("fix", l.fix);
    }
    items.push_back(o.str());
  }
  return text::JsonObject().text("unit", serial).boolean("ok", chainHolds(links)).raw("links", text::jsonArray(items)).str();
}

std::vector<std::string> gpsdDevicePaths(std::string_view json) {
  std::vector<std::string> paths;
  std::size_t at = 0;
  while ((at = json.find("\"class\":\"DEVICES\"", at)) != std::string_view::npos) {
    const std::size_t end = json.find('\n', at);
    for (std::string& p : stringsOf(json.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at), "path")) {
      if (std::find(paths.begin(), paths.end(), p) == paths.end()) paths.push_back(std::move(p));
    }
    at += 17;
  }
  return paths;
}

std::string gpsdRelease(std::string_view json) {
  const std::size_t at = json.find("\"class\":\"VERSION\"");
  if (at == std::string_view::npos) return {};
  const std::size_t end = json.find('\n', at);
  std::vector<std::string> r = stringsOf(json.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at), "release");
  return r.empty() ? std::string() : r.front();
}

}  // namespace tamrik::timeserver
