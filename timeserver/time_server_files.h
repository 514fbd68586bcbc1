#pragma once
// What `tamrikctl time-server setup` writes, and how it knows its own files again.
//
// A time server on one unit is the bridge's instance (tamrik-gps-bridge@SERIAL), chrony's SOCK
// refclock reading the socket the bridge writes to, chrony's service opening that socket to the
// bridge's group, and, for gpsd's clients, gpsd reading the bridge's pseudo-terminal. Each file
// the command makes starts with a header that names the command, so that undo takes away those
// and nothing else, and setup never writes over a file that someone else made. Pure text: the
// files are read and written by the command (app/tamrikctl), under a root folder of its choice.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tamrik::timeserver {

// The first words of every file (and of the lines in a shared file) that setup makes.
inline constexpr std::string_view kMadeBy = "# Made by tamrikctl time-server setup";

// A serial that can name files, a socket and a systemd instance as it stands: letters, digits,
// '.' and '_', 1 to 32 of them, not starting with '.'. ('-' would not do: systemd takes it in an
// instance name for an escaped '/', and the bridge's service would look for another serial.)
bool isPlainSerial(std::string_view serial);

// Where the pieces of one unit's time server are, relative to the system's root.
struct Paths {
  std::string serial;
  std::string socket() const { return "/run/chrony.tamrik-" + serial + ".sock"; }
  std::string pty() const { return "/run/tamrik/" + serial + "/gps"; }
  std::string bridgeService() const { return "tamrik-gps-bridge@" + serial + ".service"; }
  std::string refclockFile() const { return "/etc/chrony/conf.d/tamrik-" + serial + ".conf"; }
  std::string chronyDropIn() const { return "/etc/systemd/system/chrony.service.d/tamrik-" + serial + ".conf"; }
  std::string gpsdDropIn() const { return "/etc/systemd/system/gpsd.service.d/tamrik-" + serial + ".conf"; }
  std::string bridgeDropIn() const { return "/etc/systemd/system/" + bridgeService() + ".d/tamrik-gpsd.conf"; }
};

inline constexpr std::string_view kChronyConf = "/etc/chrony/chrony.conf";
inline constexpr std::string_view kChronyConfDir = "/etc/chrony/conf.d";
inline constexpr std::string_view kGpsdAppArmorLocal = "/etc/apparmor.d/local/usr.sbin.gpsd";
inline constexpr std::string_view kGpsdAppArmorProfile = "/etc/apparmor.d/usr.sbin.gpsd";
inline constexpr std::string_view kRefid = "TMRK";
// The offset a new refclock starts with: the delay of the unit's first report after the second it
// names, as a unit of the usual kind shows it (the README's "What to expect").
inline constexpr double kDefaultOffset = 0.105;
inline constexpr double kDefaultDelay = 0.01;

// chrony's `refclock SOCK` line as setup writes it and calibrate changes it.
struct RefclockLine {
  std::string socket;
  std::string refid = std::string(kRefid);
  int poll = 3;
  double delay = kDefaultDelay;
  double offset = kDefaultOffset;
  bool noselect = true;
  std::string text() const;
};

// A `refclock SOCK PATH ...` line of any chrony configuration: its socket and options. Empty for
// any other line (comments, other directives, other refclock drivers).
struct FoundRefclock {
  std::string socket;
  std::optional<std::string> refid;
  std::optional<double> delay;
  std::optional<double> offset;
  bool noselect = false;
  int lineNumber = 0;
};
std::optional<FoundRefclock> parseRefclockLine(std::string_view line);
std::vector<FoundRefclock> refclocksIn(std::string_view fileText);

// A measurement of the source, as calibrate records it in the refclock file.
struct Measurement {
  std::string when;        // UTC, ISO 8601
  double minutes = 0;      // how long it measured
  int samples = 0;
  double median = 0;       // of chrony's offsets of the source, seconds
  double spread = 0;       // their standard deviation, robustly estimated, seconds
  double tolerance = 0;    // of the median, seconds
  double forOffset = 0;    // the refclock's offset while it measured
  double offset = 0;       // the offset to configure
  double delay = 0;        // the delay to configure
  bool selectable = false; // whether the spread allows chrony to select the source
  bool applied = false;
};

// The refclock file of one unit: the file setup writes, and what it records.
struct RefclockFile {
  std::string serial;
  RefclockLine line;
  bool enabledBridge = false;  // setup enabled the bridge's instance (undo disables it again)
  std::vector<std::string> madeFolders;  // folders setup made for its files (undo takes them away when empty)
  std::optional<Measurement> measurement;
  std::string text() const;
};
// Reads a refclock file that setup made; empty for any other text.
std::optional<RefclockFile> parseRefclockFile(std::string_view text);

// The refclock file's text with the measurement kept (its calibration line replaced, or put before
// the refclock line) and, with `apply`, the refclock line of `socket` given the measurement's offset
// and delay, and noselect only when the spread does not allow selection. Every other line, and
// every other option of the line, stays as it was (the owner may have added some).
std::string withMeasurement(std::string_view text, const std::string& socket, const Measurement& m, bool apply);

// Whether a file's text was made by setup (its first line is the header).
bool madeBySetup(std::string_view text);

// The drop-ins, whole.
std::string chronyDropIn(const Paths& paths, const std::vector<std::string>& madeFolders);
std::string gpsdDropIn(const Paths& paths, const std::vector<std::string>& madeFolders);
// The bridge's side: gpsd, stopped with the bridge, comes back whenever the bridge runs again.
std::string bridgeDropIn(const Paths& paths, const std::vector<std::string>& madeFolders);
// The folders a drop-in records as made by setup.
std::vector<std::string> madeFoldersOf(std::string_view text);

// gpsd's local AppArmor file: setup's lines go into the file only while it holds no rules of
// anyone else's (it is the package's empty stub, or comments). Its text with the lines added
// (unchanged when they are there already), or empty when the file holds rules of another.
std::optional<std::string> withAppArmorLines(std::string_view current, const Paths& paths, bool fileIsNew);
// The text without setup's lines, and whether setup made the file itself (then it goes whole).
struct WithoutLines {
  std::string text;
  bool found = false;
  bool fileWasMade = false;
};
WithoutLines withoutAppArmorLines(std::string_view current);
// The lines that let gpsd open the bridge's pseudo-terminal.
std::string appArmorRules();

// The version of chrony (4.3, 4.6.1, ...), as "chronyd --version" or dpkg tell it; major, minor.
std::optional<std::pair<int, int>> chronyVersion(std::string_view text);
// The oldest chrony setup works with: chrony.conf's confdir (conf.d) and the SOCK refclock's
// sample layout the bridge sends came with 4.0.
inline constexpr std::pair<int, int> kOldestChrony{4, 0};

// Whether a chrony.conf reads conf.d: a `confdir` or `include` line that names the folder.
bool readsConfDir(std::string_view chronyConf);

// A number as chrony's configuration takes it, in the C locale, to 0.1 microsecond.
std::string chronyNumber(double seconds);

}  // namespace tamrik::timeserver
