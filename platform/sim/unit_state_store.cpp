#include "platform/sim/unit_state_store.h"

#include <charconv>
#include <cstdint>
#include <set>
#include <type_traits>

#include "platform/sim/state_files.h"

namespace tamrik::sim {

namespace {

constexpr std::size_t kMaxFileSize = 64 * 1024;
constexpr std::uint64_t k24 = 1u << 24;

// Calls visit(key, member, min, max) for each number of the state, in file order (after format and
// serial), with the range the unit can hold there.
template <class State, class Visit>
void forEachNumber(State& s, Visit&& visit) {
  auto& f = s.firmware;
  auto& d = f.settings;
  visit("output_flags", f.outputFlags, 0, 255);
  visit("drive_index", f.driveIndex, 0, 255);
  visit("gps", d.gps, 0, k24 - 1);
  visit("n31", d.n31, 1, k24);
  visit("n2_hs", d.n2Hs, 4, 259);
  visit("n2_ls", d.n2Ls, 1, k24);
  visit("n1_hs", d.n1Hs, 4, 259);
  visit("nc1_ls", d.nc1Ls, 1, k24);
  visit("nc2_ls", d.nc2Ls, 1, k24);
  visit("reserved", d.reserved, 0, 255);
  visit("bw", d.bw, 0, 255);
}

// Blanks and a carriage return (a file written on Windows) off both ends of a line.
std::string_view trimLine(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool plainSerialByte(unsigned char c) { return c > 0x20 && c < 0x7F && c != '\\'; }

std::string escapeSerial(std::string_view serial) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char ch : serial) {
    const auto c = static_cast<unsigned char>(ch);
    if (plainSerialByte(c)) {
      out.push_back(ch);
    } else {
      out += "\\x";
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0xF]);
    }
  }
  return out;
}

// A text from the file as a message shows it: printable, and short.
std::string shown(std::string_view text) {
  constexpr std::size_t kLongest = 40;
  std::string out;
  for (char ch : text.substr(0, kLongest)) {
    const auto c = static_cast<unsigned char>(ch);
    out += c >= 0x20 && c < 0x7F ? std::string(1, ch) : escapeSerial(std::string_view(&ch, 1));
  }
  if (text.size() > kLongest) out += "...";
  return "'" + out + "'";
}

std::optional<std::string> unescapeSerial(std::string_view text) {
  const auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c != '\\') {
      if (!plainSerialByte(c)) return std::nullopt;
      out.push_back(text[i]);
      continue;
    }
    if (i + 3 >= text.size() || text[i + 1] != 'x') return std::nullopt;
    const int hi = hex(text[i + 2]);
    const int lo = hex(text[i + 3]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 3;
  }
  return out;
}

std::optional<std::uint64_t> parseDecimal(std::string_view text) {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::uint64_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size()) return std::nullopt;
  return v;
}

// In UTF-8, as the name was given: on Windows, string() would take the ANSI code page.
std::string quoted(const std::filesystem::path& p) {
  const std::u8string name = p.u8string();
  return "'" + std::string(name.begin(), name.end()) + "'";
}

}  // namespace

bool isStateKey(std::string_view key) {
  if (key.empty() || key.size() > 64) return false;
  for (char c : key) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string formatKeptState(const KeptUnitState& state, std::string_view unitName) {
  std::string text = "# Simulated Tamrik unit " + std::string(unitName) + ": what it keeps over a power cycle\n";
  text += "format=" + std::to_string(kKeptStateFormat) + "\n";
  text += "serial=" + escapeSerial(state.serial) + "\n";
  forEachNumber(state, [&](const char* key, const auto& member, std::uint64_t, std::uint64_t) {
    text += std::string(key) + "=" + std::to_string(member) + "\n";
  });
  return text;
}

ParsedKeptState parseKeptState(std::string_view text) {
  ParsedKeptState out;
  KeptUnitState state;
  bool formatSeen = false;
  bool serialSeen = false;
  std::set<std::string, std::less<>> seen;
  int lineNumber = 0;
  const auto fail = [&](const std::string& what) {
    out.error = "line " + std::to_string(lineNumber) + ": " + what;
    return out;
  };
  while (!text.empty()) {
    ++lineNumber;
    const std::size_t end = text.find('\n');
    const std::string_view line = trimLine(text.substr(0, end));
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (line.empty() || line.front() == '#') continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail("expected key=value");
    const std::string_view key = trimLine(line.substr(0, eq));
    const std::string_view value = trimLine(line.substr(eq + 1));
    if (!formatSeen && key != "format") return fail("the first entry must be format=" + std::to_string(kKeptStateFormat));
    if (key == "format") {
      if (formatSeen) return fail("format is given twice");
      if (value != std::to_string(kKeptStateFormat)) {
        return fail("format " + shown(value) + " is not one this program reads (it reads format " +
                    std::to_string(kKeptStateFormat) + ")");
      }
      formatSeen = true;
      continue;
    }
    if (key == "serial") {
      if (serialSeen) return fail("serial is given twice");
      auto serial = unescapeSerial(value);
      if (!serial) return fail("serial " + shown(value) + " is not printable text with \\xHH escapes");
      if (serial->size() > kKeptSerialMaxLength) {
        return fail("serial is longer than " + std::to_string(kKeptSerialMaxLength) + " characters");
      }
      state.serial = std::move(*serial);
      serialSeen = true;
      continue;
    }
    std::string problem = "unknown key " + shown(key);
    forEachNumber(state, [&](const char* name, auto& member, std::uint64_t min, std::uint64_t max) {
      if (key != name) return;
      const auto v = parseDecimal(value);
      if (seen.contains(key)) {
        problem = std::string(key) + " is given twice";
      } else if (!v || *v < min || *v > max) {
        problem = std::string(key) + " " + shown(value) + " is not a whole number from " + std::to_string(min) + " to " +
                  std::to_string(max);
      } else {
        member = static_cast<std::remove_reference_t<decltype(member)>>(*v);
        seen.emplace(key);
        problem.clear();
      }
    });
    if (!problem.empty()) return fail(problem);
  }
  if (!formatSeen) {
    out.error = "no format line: not a unit state";
    return out;
  }
  if (!serialSeen) {
    out.error = "serial is missing";
    return out;
  }
  forEachNumber(state, [&](const char* name, const auto&, std::uint64_t, std::uint64_t) {
    if (!seen.contains(std::string_view(name)) && out.error.empty()) out.error = std::string(name) + " is missing";
  });
  if (!out.error.empty()) return out;
  out.state = std::move(state);
  return out;
}

UnitStateStore::UnitStateStore(std::filesystem::path folder) : folder_(std::move(folder)) {}

std::filesystem::path UnitStateStore::fileFor(std::string_view key) const {
  return folder_ / (std::string(key) + ".state");
}

std::string UnitStateStore::prepare() {
  if (folder_.empty()) return "no folder given";
  std::error_code ec;
  if (std::filesystem::exists(folder_, ec) && !std::filesystem::is_directory(folder_, ec)) {
    return quoted(folder_) + " is not a folder";
  }
  std::filesystem::create_directories(folder_, ec);
  if (ec) return "cannot create the folder " + quoted(folder_) + ": " + ec.message();
  // Writing a file is the only sure test that writing works.
  if (const std::string why = state_files::probeWritable(folder_); !why.empty()) {
    return "cannot write in the folder " + quoted(folder_) + ": " + why;
  }
  return {};
}

UnitStateStore::Loaded UnitStateStore::load(std::string_view key) const {
  Loaded out;
  if (!isStateKey(key)) {
    out.error = "'" + std::string(key) + "' cannot name a state file";
    return out;
  }
  const std::filesystem::path path = fileFor(key);
  const state_files::ReadOutcome read = state_files::readSmallFile(path, kMaxFileSize);
  if (read.missing) return out;
  if (!read.error.empty()) {
    out.error = "cannot read " + quoted(path) + ": " + read.error;
    return out;
  }
  if (read.tooLarge) {
    out.error = quoted(path) + " is damaged: larger than " + std::to_string(kMaxFileSize / 1024) + " KiB";
    return out;
  }
  const std::string& text = read.text;
  auto parsed = parseKeptState(text);
  if (!parsed.error.empty()) {
    out.error = quoted(path) + " is damaged: " + parsed.error;
    return out;
  }
  out.state = std::move(parsed.state);
  return out;
}

std::string UnitStateStore::save(std::string_view key, const KeptUnitState& state) {
  if (!isStateKey(key)) return "'" + std::string(key) + "' cannot name a state file";
  const std::filesystem::path path = fileFor(key);
  const std::string text = formatKeptState(state, key);
  // Never write what a later run would refuse.
  if (const auto check = parseKeptState(text); !check.error.empty()) {
    return "not saving the state of " + std::string(key) + ": " + check.error;
  }
  const state_files::TemporaryOutcome temporary = state_files::writeTemporary(path, text);
  if (temporary.path.empty()) return "cannot write in the folder " + quoted(folder_) + ": " + temporary.error;
  const auto failed = [&](const std::string& step, const std::string& why) {
    state_files::removeQuietly(temporary.path);
    return "cannot save " + quoted(path) + " (" + step + "): " + why;
  };
  if (!temporary.error.empty()) return failed("write", temporary.error);
  if (beforeReplace) beforeReplace();
  if (const std::string why = state_files::replaceFile(temporary.path, path); !why.empty()) return failed("rename", why);
  if (const std::string why = state_files::syncFolder(folder_); !why.empty()) {
    return "saved " + quoted(path) + " but cannot sync its folder: " + why;
  }
  return {};
}

}  // namespace tamrik::sim
