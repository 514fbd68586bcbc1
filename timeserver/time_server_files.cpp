#include "timeserver/time_server_files.h"

#include <charconv>
#include <cmath>
#include <sstream>

namespace tamrik::timeserver {

namespace {

std::vector<std::string_view> linesOf(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return lines;
}

std::vector<std::string_view> wordsOf(std::string_view line) {
  std::vector<std::string_view> words;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    std::size_t end = i;
    while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r') ++end;
    if (end > i) words.push_back(line.substr(i, end - i));
    i = end;
  }
  return words;
}

std::optional<double> number(std::string_view word) {
  double value = 0;
  if (!word.empty() && word[0] == '+') word.remove_prefix(1);
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (error != std::errc() || end != word.data() + word.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

std::optional<int> integer(std::string_view word) {
  int value = 0;
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (error != std::errc() || end != word.data() + word.size()) return std::nullopt;
  return value;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// chrony's comment lines start with one of these, after blanks.
bool isChronyComment(std::string_view line) {
  const std::size_t first = line.find_first_not_of(" \t");
  return first == std::string_view::npos || std::string_view("!;#%").find(line[first]) != std::string_view::npos;
}

std::string header(const Paths& paths, std::string_view what) {
  return std::string(kMadeBy) + " for unit " + paths.serial + ": `tamrikctl time-server undo` removes " + std::string(what) + ".\n";
}

std::string foldersLines(const std::vector<std::string>& folders) {
  std::string text;
  for (const std::string& f : folders) text += "# setup: made " + f + "\n";
  return text;
}

constexpr std::string_view kEndOfLines = "# End of the lines made by tamrikctl time-server setup.";
std::string measurementLine(const Measurement& m) {
  std::ostringstream s;
  s << "# calibration: " << m.when << " minutes " << chronyNumber(m.minutes) << " samples " << m.samples << " median "
    << chronyNumber(m.median) << " spread " << chronyNumber(m.spread) << " tolerance " << chronyNumber(m.tolerance)
    << " for-offset " << chronyNumber(m.forOffset) << " offset " << chronyNumber(m.offset) << " delay " << chronyNumber(m.delay)
    << " selectable " << (m.selectable ? "yes" : "no") << " applied " << (m.applied ? "yes" : "no") << "\n";
  return s.str();
}

constexpr std::string_view kAndTheFile = " (and the file, which it made)";
constexpr std::string_view kNoNewline = " (and the newline it put at the end of the line before them)";

}  // namespace

bool isPlainSerial(std::string_view serial) {
  if (serial.empty() || serial.size() > 32 || serial[0] == '.') return false;
  for (const char c : serial) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string chronyNumber(double seconds) {
  char buffer[64];
  const double rounded = std::round(seconds * 1e7) / 1e7;
  auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, rounded == 0 ? 0.0 : rounded, std::chars_format::fixed, 7);
  if (error != std::errc()) return "0";
  std::string text(buffer, end);
  while (!text.empty() && text.back() == '0') text.pop_back();
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

std::string RefclockLine::text() const {
  return "refclock SOCK " + socket + " refid " + refid + " poll " + std::to_string(poll) + " delay " + chronyNumber(delay) +
         " offset " + chronyNumber(offset) + (noselect ? " noselect" : "");
}

std::optional<FoundRefclock> parseRefclockLine(std::string_view line) {
  if (isChronyComment(line)) return std::nullopt;
  const std::vector<std::string_view> w = wordsOf(line);
  // Directives and the driver's name are not case-sensitive to chrony.
  if (w.size() < 3 || !equalsIgnoringCase(w[0], "refclock") || !equalsIgnoringCase(w[1], "SOCK")) return std::nullopt;
  FoundRefclock found;
  // The driver's parameter: the path, then ":" and driver options in some versions' syntax.
  found.socket = std::string(w[2].substr(0, w[2].find(':')));
  for (std::size_t i = 3; i < w.size(); ++i) {
    const bool hasValue = i + 1 < w.size();
    if (w[i] == "refid" && hasValue) {
      found.refid = std::string(w[++i]);
    } else if (w[i] == "delay" && hasValue) {
      found.delay = number(w[++i]);
    } else if (w[i] == "offset" && hasValue) {
      found.offset = number(w[++i]);
    } else if (w[i] == "noselect") {
      found.noselect = true;
    }
  }
  return found;
}

std::vector<FoundRefclock> refclocksIn(std::string_view fileText) {
  std::vector<FoundRefclock> found;
  int number = 0;
  for (const std::string_view line : linesOf(fileText)) {
    ++number;
    if (auto r = parseRefclockLine(line)) {
      r->lineNumber = number;
      found.push_back(std::move(*r));
    }
  }
  return found;
}

bool madeBySetup(std::string_view text) { return text.substr(0, kMadeBy.size()) == kMadeBy; }

std::string RefclockFile::text() const {
  const Paths paths{serial};
  std::string t = header(paths, "it");
  t += "# chrony's source for the receiver of unit " + serial + ": its bridge, " + paths.bridgeService() + ",\n";
  t += "# sends a time sample an epoch to the socket below. `tamrikctl time-server calibrate --apply`\n";
  t += "# sets offset and delay, and takes noselect away once the source is steady enough.\n";
  if (enabledBridge) t += "# setup: enabled " + paths.bridgeService() + "\n";
  t += foldersLines(madeFolders);
  if (measurement) t += measurementLine(*measurement);
  t += line.text() + "\n";
  return t;
}

std::optional<RefclockFile> parseRefclockFile(std::string_view text) {
  if (!madeBySetup(text)) return std::nullopt;
  RefclockFile file;
  const std::vector<std::string_view> lines = linesOf(text);
  // The serial is the header's: "... for unit SERIAL: ...".
  const std::string_view first = lines.front();
  const std::size_t at = first.find(" for unit ");
  const std::size_t colon = first.find(':', at == std::string_view::npos ? 0 : at);
  if (at == std::string_view::npos || colon == std::string_view::npos) return std::nullopt;
  file.serial = std::string(first.substr(at + 10, colon - at - 10));
  if (!isPlainSerial(file.serial)) return std::nullopt;
  bool haveLine = false;
  for (const std::string_view line : lines) {
    if (line.starts_with("# setup: enabled ")) file.enabledBridge = true;
    if (line.starts_with("# setup: made ")) file.madeFolders.emplace_back(line.substr(14));
    if (line.starts_with("# calibration: ")) {
      const std::vector<std::string_view> w = wordsOf(line.substr(15));
      if (w.empty()) continue;
      Measurement m;
      m.when = std::string(w[0]);
      bool whole = true;
      for (std::size_t i = 1; i + 1 < w.size(); i += 2) {
        const std::string_view key = w[i];
        const std::string_view value = w[i + 1];
        const std::optional<double> n = number(value);
        if (key == "selectable" || key == "applied") {
          (key == "selectable" ? m.selectable : m.applied) = value == "yes";
          continue;
        }
        if (!n) {
          whole = false;
          continue;
        }
        if (key == "minutes") m.minutes = *n;
        else if (key == "samples") m.samples = static_cast<int>(*n);
        else if (key == "median") m.median = *n;
        else if (key == "spread") m.spread = *n;
        else if (key == "tolerance") m.tolerance = *n;
        else if (key == "for-offset") m.forOffset = *n;
        else if (key == "offset") m.offset = *n;
        else if (key == "delay") m.delay = *n;
      }
      if (whole) file.measurement = m;
    }
    if (const std::optional<FoundRefclock> r = parseRefclockLine(line)) {
      file.line.socket = r->socket;
      file.line.refid = r->refid.value_or(std::string(kRefid));
      file.line.delay = r->delay.value_or(kDefaultDelay);
      file.line.offset = r->offset.value_or(0);
      file.line.noselect = r->noselect;
      const std::vector<std::string_view> w = wordsOf(line);
      for (std::size_t i = 3; i + 1 < w.size(); ++i) {
        if (w[i] == "poll") file.line.poll = integer(w[i + 1]).value_or(file.line.poll);
      }
      haveLine = true;
    }
  }
  if (!haveLine) return std::nullopt;
  return file;
}

std::string withMeasurement(std::string_view text, const std::string& socket, const Measurement& m, bool apply) {
  Measurement kept = m;
  kept.applied = apply;
  std::string out;
  bool keptLine = false;
  for (const std::string_view line : linesOf(text)) {
    if (line.starts_with("# calibration: ")) {
      if (!keptLine) out += measurementLine(kept);
      keptLine = true;
      continue;
    }
    const std::optional<FoundRefclock> r = parseRefclockLine(line);
    if (!r || r->socket != socket) {
      out += std::string(line) + "\n";
      continue;
    }
    if (!keptLine) out += measurementLine(kept);
    keptLine = true;
    if (!apply) {
      out += std::string(line) + "\n";
      continue;
    }
    std::vector<std::string_view> w = wordsOf(line);
    std::string rebuilt;
    bool offsetSet = false;
    bool delaySet = false;
    for (std::size_t i = 0; i < w.size(); ++i) {
      if (w[i] == "noselect") continue;
      rebuilt += (rebuilt.empty() ? "" : " ") + std::string(w[i]);
      if ((w[i] == "offset" || w[i] == "delay") && i >= 3 && i + 1 < w.size()) {
        const bool isOffset = w[i] == "offset";
        rebuilt += " " + chronyNumber(isOffset ? m.offset : m.delay);
        (isOffset ? offsetSet : delaySet) = true;
        ++i;
      }
    }
    if (!delaySet) rebuilt += " delay " + chronyNumber(m.delay);
    if (!offsetSet) rebuilt += " offset " + chronyNumber(m.offset);
    if (!m.selectable) rebuilt += " noselect";
    out += rebuilt + "\n";
  }
  return out;
}

std::string chronyDropIn(const Paths& paths, const std::vector<std::string>& madeFolders) {
  std::string t = header(paths, "it");
  t += foldersLines(madeFolders);
  t += "# chronyd makes the socket of its refclock (" + paths.refclockFile() + ") for root alone;\n";
  t += "# the bridge, " + paths.bridgeService() + ", writes to it as a member of dialout. The +\n";
  t += "# runs the commands as root: the rest of chrony.service runs as _chrony.\n";
  t += "[Service]\n";
  t += "ExecStartPost=+/bin/chgrp dialout " + paths.socket() + "\n";
  t += "ExecStartPost=+/bin/chmod g+w " + paths.socket() + "\n";
  return t;
}

std::string gpsdDropIn(const Paths& paths, const std::vector<std::string>& madeFolders) {
  std::string t = header(paths, "it");
  t += foldersLines(madeFolders);
  t += "# gpsd reads the receiver of unit " + paths.serial + " from its bridge's pseudo-terminal. It opens its\n";
  t += "# devices when it starts, so it starts after the bridge and again with it. -b: read-only, the\n";
  t += "# receiver is sent nothing; -n: read from the start. While this file is here, DEVICES and\n";
  t += "# GPSD_OPTIONS of /etc/default/gpsd are not used.\n";
  t += "[Unit]\n";
  t += "BindsTo=" + paths.bridgeService() + "\n";
  t += "After=" + paths.bridgeService() + "\n";
  t += "\n[Service]\n";
  t += "Restart=always\n";
  t += "RestartSec=5\n";
  t += "ExecStart=\n";
  t += "ExecStart=/usr/sbin/gpsd -n -b " + paths.pty() + "\n";
  return t;
}

std::string bridgeDropIn(const Paths& paths, const std::vector<std::string>& madeFolders) {
  std::string t = header(paths, "it");
  t += foldersLines(madeFolders);
  t += "# gpsd stops with the bridge (its drop-in " + paths.gpsdDropIn() + " binds it to the\n";
  t += "# bridge) and opens the bridge's pseudo-terminal only when it starts: whenever the bridge runs,\n";
  t += "# gpsd is started again.\n";
  t += "[Unit]\n";
  t += "Upholds=gpsd.service\n";
  return t;
}

std::vector<std::string> madeFoldersOf(std::string_view text) {
  std::vector<std::string> folders;
  if (!madeBySetup(text)) return folders;
  for (const std::string_view line : linesOf(text)) {
    if (line.starts_with("# setup: made ")) folders.emplace_back(line.substr(14));
  }
  return folders;
}

std::string appArmorRules() { return "/dev/pts/[0-9]* rw,\n"; }

std::optional<std::string> withAppArmorLines(std::string_view current, const Paths& paths, bool fileIsNew) {
  for (const std::string_view line : linesOf(current)) {
    if (line.starts_with(kMadeBy)) return std::string(current);
  }
  for (const std::string_view line : linesOf(current)) {
    const std::size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) continue;
    // "#include" is AppArmor's directive, not a comment.
    const std::string_view rest = line.substr(first);
    if (rest[0] != '#' || rest.starts_with("#include")) return std::nullopt;
  }
  std::string text(current);
  const bool addsNewline = !text.empty() && text.back() != '\n';
  if (addsNewline) text += '\n';
  text += std::string(kMadeBy) + " for unit " + paths.serial + ": `tamrikctl time-server undo` removes these lines" +
          (fileIsNew ? std::string(kAndTheFile) : std::string()) + (addsNewline ? std::string(kNoNewline) : std::string()) + ".\n";
  text += "# gpsd opens the bridge's pseudo-terminal through the link " + paths.pty() + ".\n";
  text += appArmorRules();
  text += std::string(kEndOfLines) + "\n";
  return text;
}

WithoutLines withoutAppArmorLines(std::string_view current) {
  WithoutLines out;
  bool inside = false;
  bool takeNewline = false;
  bool afterBlock = false;  // lines came after setup's
  for (const std::string_view line : linesOf(current)) {
    if (!inside && !out.found && line.starts_with(kMadeBy)) {
      inside = true;
      out.found = true;
      out.fileWasMade = line.find(kAndTheFile) != std::string_view::npos;
      takeNewline = line.find(kNoNewline) != std::string_view::npos;
      continue;
    }
    if (inside) {
      if (line == kEndOfLines) inside = false;
      continue;
    }
    if (out.found) afterBlock = true;
    out.text += std::string(line) + "\n";
  }
  if (!current.empty() && current.back() != '\n' && !out.text.empty()) out.text.pop_back();
  // The newline setup put after the owner's last line goes again, while nothing came after it.
  if (takeNewline && !afterBlock && !out.text.empty() && out.text.back() == '\n') out.text.pop_back();
  return out;
}

std::optional<std::pair<int, int>> chronyVersion(std::string_view text) {
  std::size_t at = text.find("version ");
  if (at != std::string_view::npos) {
    at += 8;
  } else if ((at = text.find("Version: ")) != std::string_view::npos) {
    at += 9;
  } else {
    at = 0;
  }
  std::string_view rest = text.substr(at);
  if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos && colon < rest.find('.')) {
    rest.remove_prefix(colon + 1);  // a package epoch
  }
  const std::size_t dot = rest.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  std::size_t end = dot + 1;
  while (end < rest.size() && rest[end] >= '0' && rest[end] <= '9') ++end;
  const std::optional<int> major = integer(rest.substr(0, dot));
  const std::optional<int> minor = integer(rest.substr(dot + 1, end - dot - 1));
  if (!major || !minor) return std::nullopt;
  return std::pair{*major, *minor};
}

bool readsConfDir(std::string_view chronyConf) {
  for (const std::string_view line : linesOf(chronyConf)) {
    if (isChronyComment(line)) continue;
    const std::vector<std::string_view> w = wordsOf(line);
    if (w.size() < 2) continue;
    if (equalsIgnoringCase(w[0], "confdir")) {
      for (std::size_t i = 1; i < w.size(); ++i) {
        if (w[i] == kChronyConfDir || w[i] == std::string(kChronyConfDir) + "/") return true;
      }
    }
    if (equalsIgnoringCase(w[0], "include") &&
        (w[1] == std::string(kChronyConfDir) + "/*.conf" || w[1] == std::string(kChronyConfDir) + "/*")) {
      return true;
    }
  }
  return false;
}

}  // namespace tamrik::timeserver
