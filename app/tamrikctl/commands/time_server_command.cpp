// tamrikctl time-server: a time server on one unit in one command. setup writes chrony's refclock,
// the drop-ins and gpsd's AppArmor lines, and starts the bridge; check follows the chain link by
// link; calibrate measures the unit's source against the sources chrony follows; undo takes away
// what setup made. Linux only.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/ctl_context.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/stop_signals.h"
#include "app/tamrikctl/time_server_system.h"
#include "text/key_value_lines.h"
#include "timeserver/calibration.h"
#include "timeserver/chain_check.h"
#include "timeserver/time_server_files.h"

namespace tamrik::ctl {

namespace {

using namespace std::chrono_literals;
using timeserver::Paths;

constexpr std::string_view kName = "time-server";
constexpr std::string_view kSetupHint = "tamrikctl time-server setup";

// One planned change of a file.
struct FileStep {
  std::string path;
  std::optional<std::string> before;  // the text now, when there is a file
  std::string after;
  bool changes() const { return !before || *before != after; }
};

std::string indented(const std::string& text) {
  std::string out;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    out += "    | " + text.substr(start, end == std::string::npos ? std::string::npos : end - start) + "\n";
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

std::string commandText(const std::vector<std::string>& argv) {
  std::string text;
  for (const std::string& a : argv) text += (text.empty() ? "" : " ") + a;
  return text;
}

std::string utcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm tm{};
  ::gmtime_r(&now, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

// Milliseconds with a sign, to 0.01 ms, in the C locale.
std::string ms(double seconds, bool sign = true) {
  const double value = std::round(seconds * 1e5) / 100;
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, std::fabs(value), std::chars_format::fixed, 2);
  (void)error;
  return std::string(!sign ? "" : value < 0 ? "-" : "+") + std::string(text, end) + " ms";
}

// The exit status of a failure: a unit not found 3, a bad argument 2, the system's failure 5.
int exitOf(const base::Failure& f) {
  switch (f.kind) {
    case base::FailureKind::NoUnit: return kExitNoUnit;
    case base::FailureKind::BadArgument: return kExitBadArgument;
    default: return kExitTimeServer;
  }
}

// What the sub-commands share: the options, the system, the unit's serial.
struct TimeServerRun {
  CommandContext& ctx;
  std::string sub;
  CommandArguments args;
  TimeServerSystem system;

  int fail(int status, const std::string& reason) { return ctx.fail(status, sub + ": " + reason); }
  int fail(const base::Failure& f) { return ctx.fail(exitOf(f), sub + ": " + f.reason); }

  // The serial: of --unit (after the sub-command, or before the command), else of setup's file,
  // else of the only unit attached. Checks it can name files and services.
  base::Result<std::string> serial(bool fromSetupFile, bool fromUnits);
  // setup's refclock files, by serial.
  std::vector<timeserver::RefclockFile> setupFiles();
};

std::vector<timeserver::RefclockFile> TimeServerRun::setupFiles() {
  std::vector<timeserver::RefclockFile> files;
  for (const std::string& name : system.filesIn(std::string(timeserver::kChronyConfDir), "tamrik-", ".conf")) {
    const auto text = system.read(std::string(timeserver::kChronyConfDir) + "/" + name);
    if (!text || !*text) continue;
    if (auto file = timeserver::parseRefclockFile(**text)) files.push_back(std::move(*file));
  }
  return files;
}

base::Result<std::string> TimeServerRun::serial(bool fromSetupFile, bool fromUnits) {
  std::optional<std::string> wanted = args.value("--unit");
  if (ctx.global.unit) {
    if (wanted && *wanted != *ctx.global.unit) {
      return base::fail(base::FailureKind::BadArgument, "--unit is given twice, as " + *ctx.global.unit + " and " + *wanted);
    }
    wanted = ctx.global.unit;
  }
  if (!wanted && fromSetupFile) {
    const std::vector<timeserver::RefclockFile> files = setupFiles();
    if (files.size() == 1) wanted = files.front().serial;
  }
  if (!wanted && !fromUnits) {
    return base::fail(base::FailureKind::BadArgument, "no unit set up by " + std::string(kSetupHint) + ": say which with --unit SERIAL");
  }
  if (!wanted || fromUnits) {
    UnitAccess access(ctx);
    if (const int status = access.start(); status != kExitOk) return base::fail(base::FailureKind::BadArgument, "the simulation could not be started");
    core::UnitList found = access.unit().units();
    if (wanted) {
      const bool listed = std::any_of(found.units.begin(), found.units.end(), [&](const core::UnitEntry& u) { return u.serial == *wanted; });
      if (!listed) {
        for (const core::UnopenedUnit& u : found.unopened) {
          if (u.serial == *wanted) return base::fail(base::FailureKind::NoUnit, text::lineValue(core::unopenedText(u)));
        }
        return base::fail(base::FailureKind::NoUnit, "no unit with serial " + text::lineValue(*wanted) + " is attached");
      }
    } else if (found.units.empty()) {
      if (!found.unopened.empty()) return base::fail(base::FailureKind::NoUnit, text::lineValue(core::unopenedText(found.unopened.front())));
      return base::fail(base::FailureKind::NoUnit, "no unit is attached");
    } else if (found.units.size() > 1) {
      std::string serials;
      for (const core::UnitEntry& u : found.units) serials += (serials.empty() ? "" : ", ") + text::lineValue(u.serial);
      return base::fail(base::FailureKind::NoUnit, "several units are attached (" + serials + "): say which with --unit SERIAL");
    } else {
      wanted = found.units.front().serial;
    }
  }
  if (!timeserver::isPlainSerial(*wanted)) {
    return base::fail(base::FailureKind::BadArgument, "the serial '" + text::lineValue(*wanted) +
                                                          "' cannot name files and services: give the unit one of letters, digits, "
                                                          "'.' and '_' (tamrikctl set-serial)");
  }
  return *wanted;
}

// ---- check ----

std::vector<timeserver::Link> chainOf(TimeServerRun& r, const Paths& paths) {
  std::vector<timeserver::Link> links;
  // The unit.
  timeserver::UnitFacts unit;
  {
    UnitAccess access(r.ctx);
    if (access.start() == kExitOk) {
      const core::UnitList found = access.unit().units();
      for (const core::UnitEntry& u : found.units) {
        if (u.serial != paths.serial) continue;
        unit.listed = true;
        if (u.path.starts_with("/dev/")) {
          unit.node = u.path;
          unit.nodeFacts = r.system.node(u.path);
        }
      }
      for (const core::UnopenedUnit& u : found.unopened) {
        if (u.serial != paths.serial || unit.listed) continue;
        if (u.failure.kind == platform::OpenFailure::Kind::NotPermitted && u.path.starts_with("/dev/")) {
          // Not this user's to open: whether the bridge's service may is the node's to say.
          unit.listed = true;
          unit.node = u.path;
          unit.nodeFacts = r.system.node(u.path);
        } else {
          unit.unopened = text::lineValue(core::unopenedText(u));
        }
      }
    }
  }
  links.push_back(timeserver::judgeUnit(paths, unit));

  const timeserver::ChronyFacts chrony = r.system.chrony();
  std::optional<timeserver::SourceRow> source;
  for (const timeserver::SourceRow& row : chrony.sources) {
    if (row.mode == '#' && row.name == timeserver::kRefid) source = row;
  }
  links.push_back(timeserver::judgeBridge(paths, r.system.service(paths.bridgeService()), source));
  const timeserver::NodeFacts socket = r.system.node(paths.socket());
  links.push_back(timeserver::judgeSocket(paths, socket));
  const std::vector<timeserver::ConfiguredRefclock> refclocks = r.system.refclocks();
  links.push_back(timeserver::judgeRefclock(paths, refclocks));
  links.push_back(timeserver::judgeAppArmor(paths, r.system.appArmor(paths.socket(), !socket.exists)));
  links.push_back(timeserver::judgeChrony(paths, chrony));

  std::optional<timeserver::FoundRefclock> refclock;
  for (const timeserver::ConfiguredRefclock& c : refclocks) {
    if (c.refclock.socket == paths.socket()) refclock = c.refclock;
  }
  std::optional<timeserver::RefclockFile> file;
  if (const auto text = r.system.read(paths.refclockFile()); text && *text) file = timeserver::parseRefclockFile(**text);
  links.push_back(timeserver::judgeCalibration(refclock, file));

  timeserver::GpsdFacts gpsd;
  if (const auto text = r.system.read(paths.gpsdDropIn()); text && *text && timeserver::madeBySetup(**text)) {
    gpsd = r.system.gpsd();
    gpsd.configured = true;
  }
  links.push_back(timeserver::judgeGpsd(paths, gpsd));
  return links;
}

int printChain(TimeServerRun& r, const Paths& paths, bool json) {
  const std::vector<timeserver::Link> links = chainOf(r, paths);
  const int printed = r.ctx.print(json ? timeserver::chainJson(paths.serial, links) + "\n" : timeserver::chainText(links));
  if (printed != kExitOk) return printed;
  if (timeserver::chainHolds(links)) return kExitOk;
  for (const timeserver::Link& l : links) {
    if (l.state == timeserver::Link::State::Fault) return r.fail(kExitTimeServer, "the " + l.name + " link does not hold: " + l.detail);
  }
  return kExitTimeServer;
}

int runCheck(TimeServerRun& r) {
  if (!r.args.operands.empty()) return r.fail(kExitUsage, "takes no arguments, got '" + std::string(r.args.operands[0]) + "'");
  const base::Result<std::string> serial = r.serial(true, false);
  if (!serial) return r.fail(serial.failure());
  return printChain(r, Paths{*serial}, r.args.has("--json"));
}

// ---- setup ----

// Waits (bounded) for chronyd to have a sample of the unit's source, so that the check after setup
// sees the chain as it runs.
void waitForFirstSample(TimeServerRun& r, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  StopSignals stop;
  while (std::chrono::steady_clock::now() < deadline && !stop.requested()) {
    const timeserver::ChronyFacts facts = r.system.chrony();
    for (const timeserver::SourceRow& row : facts.sources) {
      if (row.mode == '#' && row.name == timeserver::kRefid && row.reach != 0) return;
    }
    std::this_thread::sleep_for(1s);
  }
}

int runSetup(TimeServerRun& r) {
  if (!r.args.operands.empty()) return r.fail(kExitUsage, "takes no arguments, got '" + std::string(r.args.operands[0]) + "'");
  const bool dryRun = r.args.has("--dry-run");
  const bool gpsd = r.args.has("--gpsd");
  TimeServerSystem& sys = r.system;
  // Everything that could stop it is looked at before anything is changed.
  if (sys.live() && !dryRun && ::geteuid() != 0) {
    return r.fail(kExitBadArgument, "it changes the system's services: run it as root (sudo tamrikctl time-server setup)");
  }
  const std::optional<TimeServerSystem::ChronyBuild> chrony = sys.chronyBuild();
  if (!chrony) return r.fail(kExitBadArgument, "chrony is not installed (apt install chrony)");
  if (chrony->version && *chrony->version < timeserver::kOldestChrony) {
    return r.fail(kExitBadArgument, "chrony " + chrony->versionText + " is older than 4.0, the first with the conf.d folder and "
                                    "the SOCK refclock samples the bridge sends");
  }
  if (!chrony->refclocks) return r.fail(kExitBadArgument, "this chronyd was built without reference clocks (-REFCLOCK)");
  const auto conf = sys.read(std::string(timeserver::kChronyConf));
  if (!conf) return r.fail(conf.failure());
  if (!*conf) return r.fail(kExitBadArgument, std::string(timeserver::kChronyConf) + " is missing (reinstall chrony)");
  if (!timeserver::readsConfDir(**conf)) {
    return r.fail(kExitBadArgument, std::string(timeserver::kChronyConf) + " does not read " + std::string(timeserver::kChronyConfDir) +
                                        ": add the line `confdir " + std::string(timeserver::kChronyConfDir) + "` to it");
  }
  if (!sys.live() && !r.args.has("--unit") && !r.ctx.global.unit) {
    return r.fail(kExitBadArgument, "--root needs --unit: the units of another system are not looked for");
  }
  const base::Result<std::string> serial = r.serial(false, sys.live());
  if (!serial) return r.fail(serial.failure());
  const Paths paths{*serial};
  const bool bridgeInstalled = sys.exists("/lib/systemd/system/tamrik-gps-bridge@.service") ||
                               sys.exists("/usr/lib/systemd/system/tamrik-gps-bridge@.service") ||
                               sys.exists("/etc/systemd/system/tamrik-gps-bridge@.service");
  if (!bridgeInstalled) return r.fail(kExitBadArgument, "tamrik-gps-bridge@.service is not installed (install the tamrikctl package)");
  if (gpsd && !sys.exists("/usr/sbin/gpsd")) return r.fail(kExitBadArgument, "gpsd is not installed (apt install gpsd, or leave out --gpsd)");

  // One unit a time server: another unit's files stop it.
  for (const timeserver::RefclockFile& other : r.setupFiles()) {
    if (other.serial != paths.serial) {
      return r.fail(kExitBadArgument, "unit " + other.serial + " is set up already (" + Paths{other.serial}.refclockFile() +
                                          "): a time server takes one unit; tamrikctl time-server undo first");
    }
  }
  // A refclock line for the same socket elsewhere (a set-up by hand): chronyd could not make it twice.
  for (const timeserver::ConfiguredRefclock& c : sys.refclocks()) {
    if (c.refclock.socket == paths.socket() && c.file != paths.refclockFile()) {
      return r.fail(kExitBadArgument, c.file + ":" + std::to_string(c.refclock.lineNumber) + " names " + paths.socket() +
                                          " already (a set-up by hand?): remove that line first, or keep the set-up by hand");
    }
  }

  std::vector<FileStep> steps;
  std::vector<std::string> folders;  // to make, in order
  bool chronyChanged = false;
  bool dropInsChanged = false;
  bool gpsdChanged = false;
  bool appArmorChanged = false;
  const auto readOurs = [&](const std::string& path) -> base::Result<std::optional<std::string>> {
    auto text = sys.read(path);
    if (!text) return text.failure();
    if (*text && !timeserver::madeBySetup(**text)) {
      return base::fail(base::FailureKind::BadArgument, path + " is in the way: tamrikctl time-server setup did not make it "
                                                               "(it has no header of setup's); move it away, or keep the set-up by hand");
    }
    return text;
  };
  // The folders a file needs that are not there, outermost first; each is made once, and
  // recorded in the file that needed it first, for undo.
  const auto foldersFor = [&](const std::string& path) {
    std::vector<std::string> missing;
    for (std::string folder = path.substr(0, path.rfind('/')); folder.size() > 1 && !sys.exists(folder);
         folder = folder.substr(0, folder.rfind('/'))) {
      missing.insert(missing.begin(), folder);
    }
    std::vector<std::string> made;
    for (const std::string& f : missing) {
      if (std::find(folders.begin(), folders.end(), f) != folders.end()) continue;
      folders.push_back(f);
      made.push_back(f);
    }
    return made;
  };
  const bool enabledBefore = sys.serviceEnabled(paths.bridgeService());

  // chrony's refclock: kept as it is once setup made it (calibrate changes it).
  {
    auto before = readOurs(paths.refclockFile());
    if (!before) return r.fail(before.failure());
    if (*before) {
      steps.push_back({paths.refclockFile(), *before, **before});
    } else {
      timeserver::RefclockFile file;
      file.serial = paths.serial;
      file.line.socket = paths.socket();
      file.enabledBridge = !enabledBefore;
      file.madeFolders = foldersFor(paths.refclockFile());
      steps.push_back({paths.refclockFile(), std::nullopt, file.text()});
      chronyChanged = true;
    }
  }
  // chrony's drop-in.
  {
    auto before = readOurs(paths.chronyDropIn());
    if (!before) return r.fail(before.failure());
    const std::vector<std::string> made = *before ? timeserver::madeFoldersOf(**before) : foldersFor(paths.chronyDropIn());
    steps.push_back({paths.chronyDropIn(), *before, timeserver::chronyDropIn(paths, made)});
    if (steps.back().changes()) chronyChanged = dropInsChanged = true;
  }
  // gpsd: its drop-in, and its AppArmor lines where its profile is installed.
  const bool gpsdSetUpBefore = sys.exists(paths.gpsdDropIn());
  if (gpsd || gpsdSetUpBefore) {
    auto before = readOurs(paths.gpsdDropIn());
    if (!before) return r.fail(before.failure());
    const std::vector<std::string> made = *before ? timeserver::madeFoldersOf(**before) : foldersFor(paths.gpsdDropIn());
    steps.push_back({paths.gpsdDropIn(), *before, timeserver::gpsdDropIn(paths, made)});
    if (steps.back().changes()) gpsdChanged = dropInsChanged = true;
    auto bridgeBefore = readOurs(paths.bridgeDropIn());
    if (!bridgeBefore) return r.fail(bridgeBefore.failure());
    const std::vector<std::string> bridgeMade =
        *bridgeBefore ? timeserver::madeFoldersOf(**bridgeBefore) : foldersFor(paths.bridgeDropIn());
    steps.push_back({paths.bridgeDropIn(), *bridgeBefore, timeserver::bridgeDropIn(paths, bridgeMade)});
    if (steps.back().changes()) gpsdChanged = dropInsChanged = true;
    if (sys.exists(std::string(timeserver::kGpsdAppArmorProfile))) {
      const std::string local(timeserver::kGpsdAppArmorLocal);
      auto current = sys.read(local);
      if (!current) return r.fail(current.failure());
      const std::optional<std::string> after = timeserver::withAppArmorLines(current->value_or(""), paths, !*current);
      if (!after) {
        return r.fail(kExitBadArgument, local + " holds rules of its own: tamrikctl time-server setup adds to it only while it is "
                                                "empty; add this line to it yourself, then run setup again: " +
                                                timeserver::appArmorRules().substr(0, timeserver::appArmorRules().size() - 1));
      }
      steps.push_back({local, *current, *after});
      if (steps.back().changes()) appArmorChanged = true;
    }
  }

  // The commands, in their order.
  std::vector<std::vector<std::string>> commands;
  const bool live = sys.live();
  if (live && appArmorChanged && sys.exists("/sys/module/apparmor")) {
    commands.push_back({"apparmor_parser", "-r", std::string(timeserver::kGpsdAppArmorProfile)});
  }
  if (live && dropInsChanged) commands.push_back({"systemctl", "daemon-reload"});
  if (live && chronyChanged) commands.push_back({"systemctl", "restart", "chrony.service"});
  if (live && (!enabledBefore || !sys.serviceActive(paths.bridgeService()))) {
    commands.push_back({"systemctl", "enable", "--now", paths.bridgeService()});
  } else if (!live && !enabledBefore) {
    commands.push_back({"systemctl", "--root=" + sys.root(), "enable", paths.bridgeService()});
  }
  if (live && gpsdChanged) commands.push_back({"systemctl", "restart", "gpsd.service"});

  std::string out;
  for (const std::string& f : folders) out += (dryRun ? "would make " : "made ") + f + "\n";
  if (dryRun) {
    for (const FileStep& s : steps) {
      out += s.changes() ? "would write " + s.path + ":\n" + indented(s.after) : "unchanged " + s.path + "\n";
    }
    for (const auto& c : commands) out += "would run: " + commandText(c) + "\n";
    if (commands.empty() && std::none_of(steps.begin(), steps.end(), [](const FileStep& s) { return s.changes(); })) {
      out += "nothing to change: unit " + paths.serial + " is set up\n";
    }
    return r.ctx.print(out);
  }
  // A step that fails takes back the ones before it: no half set-up is left behind.
  std::vector<std::string> madeNow;
  std::vector<const FileStep*> writtenNow;
  const auto takeBack = [&](const base::Failure& failure) {
    for (auto it = writtenNow.rbegin(); it != writtenNow.rend(); ++it) {
      if ((*it)->before) {
        (void)sys.write((*it)->path, *(*it)->before);
      } else {
        (void)sys.remove((*it)->path);
      }
    }
    for (auto it = madeNow.rbegin(); it != madeNow.rend(); ++it) sys.removeFolderIfEmpty(*it);
    return r.fail(base::Failure{failure.kind, failure.reason + "; nothing was changed"});
  };
  for (const std::string& f : folders) {
    const base::Result<bool> made = sys.makeFolder(f);
    if (!made) return takeBack(made.failure());
    if (*made) madeNow.push_back(f);
  }
  for (const FileStep& s : steps) {
    if (!s.changes()) {
      out += "unchanged " + s.path + "\n";
      continue;
    }
    if (auto written = sys.write(s.path, s.after); !written) return takeBack(written.failure());
    writtenNow.push_back(&s);
    out += "wrote " + sys.at(s.path) + "\n";
  }
  if (const int printed = r.ctx.print(out); printed != kExitOk) return printed;
  out.clear();
  for (const auto& c : commands) {
    const platform::ProgramRun run = sys.run(c);
    if (!run.succeeded()) return r.fail(kExitTimeServer, run.whyNot(commandText(c)));
    out += "ran: " + commandText(c) + "\n";
  }
  if (!live) return r.ctx.print(out + "set up unit " + paths.serial + " under " + sys.root() + "; nothing was started there\n");
  if (const int printed = r.ctx.print(out + "\n"); printed != kExitOk) return printed;
  waitForFirstSample(r, 90s);
  return printChain(r, paths, false);
}

// ---- undo ----

int runUndo(TimeServerRun& r) {
  if (!r.args.operands.empty()) return r.fail(kExitUsage, "takes no arguments, got '" + std::string(r.args.operands[0]) + "'");
  const bool dryRun = r.args.has("--dry-run");
  TimeServerSystem& sys = r.system;
  if (sys.live() && !dryRun && ::geteuid() != 0) {
    return r.fail(kExitBadArgument, "it changes the system's services: run it as root (sudo tamrikctl time-server undo)");
  }
  std::vector<std::string> removals;  // files to take away
  std::vector<FileStep> rewrites;
  std::vector<std::string> folders;   // folders setup made, to take away when empty
  std::vector<std::string> disable;   // services setup enabled
  bool chrony = false;
  bool dropIns = false;
  bool gpsd = false;
  bool appArmor = false;
  const auto take = [&](const std::string& folder, const std::string& name) {
    const std::string path = folder + "/" + name;
    const auto text = sys.read(path);
    if (!text || !*text || !timeserver::madeBySetup(**text)) return false;
    removals.push_back(path);
    for (const std::string& f : timeserver::madeFoldersOf(**text)) folders.push_back(f);
    if (const auto file = timeserver::parseRefclockFile(**text); file && file->enabledBridge) {
      disable.push_back(Paths{file->serial}.bridgeService());
    }
    return true;
  };
  for (const std::string& name : sys.filesIn(std::string(timeserver::kChronyConfDir), "tamrik-", ".conf")) {
    chrony |= take(std::string(timeserver::kChronyConfDir), name);
  }
  for (const std::string& name : sys.filesIn("/etc/systemd/system/chrony.service.d", "tamrik-", ".conf")) {
    if (take("/etc/systemd/system/chrony.service.d", name)) chrony = dropIns = true;
  }
  for (const std::string& name : sys.filesIn("/etc/systemd/system/gpsd.service.d", "tamrik-", ".conf")) {
    if (!take("/etc/systemd/system/gpsd.service.d", name)) continue;
    gpsd = dropIns = true;
    // The bridge's side of it, for the same unit.
    const std::string bridgeSide = Paths{name.substr(7, name.size() - 12)}.bridgeDropIn();
    if (timeserver::isPlainSerial(name.substr(7, name.size() - 12))) {
      const std::size_t slash = bridgeSide.rfind('/');
      take(bridgeSide.substr(0, slash), bridgeSide.substr(slash + 1));
    }
  }
  {
    const std::string local(timeserver::kGpsdAppArmorLocal);
    const auto text = sys.read(local);
    if (text && *text) {
      const timeserver::WithoutLines without = timeserver::withoutAppArmorLines(**text);
      if (without.found) {
        appArmor = true;
        if (without.fileWasMade && without.text.empty()) {
          removals.push_back(local);
        } else {
          rewrites.push_back({local, **text, without.text});
        }
      }
    }
  }
  if (removals.empty() && rewrites.empty()) return r.ctx.print("nothing to undo: no file made by tamrikctl time-server setup\n");
  // A time server has one unit: --unit may only name it.
  if (r.ctx.global.unit) {
    for (const timeserver::RefclockFile& f : r.setupFiles()) {
      if (f.serial != *r.ctx.global.unit) {
        return r.fail(kExitBadArgument, "the time server is set up on unit " + f.serial + ", not " + text::lineValue(*r.ctx.global.unit) +
                                            ": undo takes away its set-up, without --unit");
      }
    }
  }

  const bool live = sys.live();
  std::vector<std::vector<std::string>> before;  // before the files go
  std::vector<std::vector<std::string>> after;
  for (const std::string& s : disable) before.push_back(live ? std::vector<std::string>{"systemctl", "disable", "--now", s}
                                                             : std::vector<std::string>{"systemctl", "--root=" + sys.root(), "disable", s});
  if (live && dropIns) after.push_back({"systemctl", "daemon-reload"});
  if (live && appArmor && sys.exists("/sys/module/apparmor")) after.push_back({"apparmor_parser", "-r", std::string(timeserver::kGpsdAppArmorProfile)});
  if (live && chrony) after.push_back({"systemctl", "try-restart", "chrony.service"});
  // gpsd stops with the bridge it was bound to; it runs again, on its own settings, when it ran.
  if (live && gpsd && sys.serviceActive("gpsd.service")) after.push_back({"systemctl", "restart", "gpsd.service"});
  // Deepest first.
  std::sort(folders.begin(), folders.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());

  std::string out;
  if (dryRun) {
    for (const auto& c : before) out += "would run: " + commandText(c) + "\n";
    for (const std::string& p : removals) out += "would remove " + p + "\n";
    for (const FileStep& s : rewrites) out += "would take setup's lines out of " + s.path + "\n";
    for (const std::string& f : folders) out += "would remove " + f + " (when empty)\n";
    for (const auto& c : after) out += "would run: " + commandText(c) + "\n";
    return r.ctx.print(out);
  }
  for (const auto& c : before) {
    const platform::ProgramRun run = sys.run(c);
    if (!run.succeeded()) return r.fail(kExitTimeServer, run.whyNot(commandText(c)));
    out += "ran: " + commandText(c) + "\n";
  }
  for (const std::string& p : removals) {
    if (auto removed = sys.remove(p); !removed) {
      r.ctx.print(out);
      return r.fail(removed.failure());
    }
    out += "removed " + sys.at(p) + "\n";
  }
  for (const FileStep& s : rewrites) {
    if (auto written = sys.write(s.path, s.after); !written) {
      r.ctx.print(out);
      return r.fail(written.failure());
    }
    out += "took setup's lines out of " + sys.at(s.path) + "\n";
  }
  for (const std::string& f : folders) {
    sys.removeFolderIfEmpty(f);
    if (!sys.exists(f)) out += "removed " + sys.at(f) + "\n";
  }
  for (const auto& c : after) {
    const platform::ProgramRun run = sys.run(c);
    if (!run.succeeded()) {
      r.ctx.print(out);
      return r.fail(kExitTimeServer, run.whyNot(commandText(c)));
    }
    out += "ran: " + commandText(c) + "\n";
  }
  return r.ctx.print(out);
}

// ---- calibrate ----

std::optional<double> minutesOf(std::string_view text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

int apply(TimeServerRun& r, const Paths& paths, const std::string& text, const timeserver::Measurement& m) {
  const std::string changed = timeserver::withMeasurement(text, paths.socket(), m, true);
  if (auto written = r.system.write(paths.refclockFile(), changed); !written) return r.fail(written.failure());
  std::string line;
  for (const timeserver::FoundRefclock& f : timeserver::refclocksIn(changed)) {
    if (f.socket == paths.socket()) line = "offset " + timeserver::chronyNumber(f.offset.value_or(0)) + ", delay " +
                                           timeserver::chronyNumber(f.delay.value_or(0)) + (f.noselect ? ", noselect" : "");
  }
  std::string out = "wrote " + r.system.at(paths.refclockFile()) + ": " + line + "\n";
  if (r.system.live()) {
    const std::vector<std::string> restart = {"systemctl", "restart", "chrony.service"};
    const platform::ProgramRun run = r.system.run(restart);
    if (!run.succeeded()) {
      r.ctx.print(out);
      return r.fail(kExitTimeServer, run.whyNot(commandText(restart)));
    }
    out += "ran: " + commandText(restart) + "\n";
  }
  const std::string when = r.system.live() ? " now" : " once its chronyd reads the file";
  out += m.selectable ? "chrony may select " + std::string(timeserver::kRefid) + when + "\n"
                      : "noselect stays: the spread (" + ms(m.spread, false) + ") is too wide for chrony to follow the source\n";
  return r.ctx.print(out);
}

int runCalibrate(TimeServerRun& r) {
  if (!r.args.operands.empty()) return r.fail(kExitUsage, "takes no arguments, got '" + std::string(r.args.operands[0]) + "'");
  const bool applying = r.args.has("--apply");
  std::optional<double> minutes;
  if (const auto text = r.args.value("--duration")) {
    minutes = minutesOf(*text);
    if (!minutes || !(*minutes > 0 && *minutes <= 1440)) {
      return r.fail(kExitBadArgument, "--duration takes minutes, more than 0 and at most 1440 (a day), not '" + text::lineValue(*text) + "'");
    }
  }
  if (applying && r.system.live() && ::geteuid() != 0) {
    return r.fail(kExitBadArgument, "--apply changes chrony's configuration: run it as root (sudo)");
  }
  const base::Result<std::string> serial = r.serial(true, false);
  if (!serial) return r.fail(serial.failure());
  const Paths paths{*serial};
  const auto text = r.system.read(paths.refclockFile());
  if (!text) return r.fail(text.failure());
  const std::optional<timeserver::RefclockFile> file = *text ? timeserver::parseRefclockFile(**text) : std::nullopt;
  if (!file) {
    return r.fail(kExitBadArgument, "unit " + paths.serial + " has no refclock file of setup's (" + paths.refclockFile() +
                                        "): run tamrikctl time-server setup first");
  }
  // --apply alone: the measurement made before.
  if (applying && !minutes) {
    if (!file->measurement) {
      return r.fail(kExitBadArgument, "no measurement to apply: measure first (tamrikctl time-server calibrate), or give --duration");
    }
    const timeserver::Measurement& m = *file->measurement;
    if (m.applied && timeserver::chronyNumber(m.offset) == timeserver::chronyNumber(file->line.offset)) {
      return r.ctx.print("the measurement of " + m.when + " is applied already: " + file->line.text() + "\n");
    }
    if (timeserver::chronyNumber(m.forOffset) != timeserver::chronyNumber(file->line.offset)) {
      return r.fail(kExitBadArgument, "the measurement of " + m.when + " was made with offset " + timeserver::chronyNumber(m.forOffset) +
                                          " and the offset is " + timeserver::chronyNumber(file->line.offset) + " now: measure again");
    }
    return apply(r, paths, **text, m);
  }
  const double duration = minutes.value_or(60);

  timeserver::Calibration calibration{std::string(timeserver::kRefid)};
  const auto start = std::chrono::steady_clock::now();
  const auto end = start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(duration * 60));
  // chrony may have restarted just now: it is given two minutes to select another source.
  const auto graceEnd = start + 120s;
  StopSignals stop;
  bool steeredOnce = false;
  auto nextReport = start + 60s;
  std::string lastFailure;
  r.ctx.err << "tamrikctl " << kName << " calibrate: measuring " << timeserver::kRefid << " for " << timeserver::chronyNumber(duration)
            << " min against the sources chrony follows\n";
  r.ctx.err.flush();
  while (std::chrono::steady_clock::now() < end && !stop.requested()) {
    const platform::ProgramRun run = r.system.chronyc("sources");
    if (run.succeeded()) {
      const std::vector<timeserver::SourceRow> rows = timeserver::parseSources(run.out);
      calibration.look(rows);
      steeredOnce |= timeserver::otherSourceSelected(rows, timeserver::kRefid);
      if (!steeredOnce && std::chrono::steady_clock::now() >= graceEnd) break;
    } else {
      lastFailure = run.whyNot("chronyc sources");
      if (calibration.looks() == 0 && std::chrono::steady_clock::now() - start > 10s) return r.fail(kExitTimeServer, lastFailure);
    }
    if (std::chrono::steady_clock::now() >= nextReport) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::minutes>(std::chrono::steady_clock::now() - start).count();
      r.ctx.err << "tamrikctl " << kName << " calibrate: " << elapsed << " min, " << calibration.offsets().size() << " samples\n";
      r.ctx.err.flush();
      nextReport += 60s;
    }
    std::this_thread::sleep_for(2s);
  }
  if (calibration.looks() == 0 && !lastFailure.empty()) return r.fail(kExitTimeServer, lastFailure + "; nothing was changed");
  const double measured = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() / 60;
  const timeserver::Calibration::Result result = calibration.result(file->line.offset);
  if (result.verdict != timeserver::Calibration::Verdict::Measured) return r.fail(kExitTimeServer, result.reason + "; nothing was changed");

  timeserver::Measurement m;
  m.when = utcNow();
  m.minutes = std::round(measured * 10) / 10;
  m.samples = result.samples;
  m.median = result.median;
  m.spread = result.spread;
  m.tolerance = result.tolerance;
  m.forOffset = file->line.offset;
  m.offset = result.offset;
  m.delay = result.delay;
  m.selectable = result.selectable;
  std::string out = text::KeyValueLines()
                        .add("unit", paths.serial)
                        .add("minutes", timeserver::chronyNumber(m.minutes))
                        .add("samples", std::to_string(m.samples))
                        .add("median_offset", timeserver::chronyNumber(m.median))
                        .add("tolerance", timeserver::chronyNumber(m.tolerance))
                        .add("spread", timeserver::chronyNumber(m.spread))
                        .add("offset", timeserver::chronyNumber(m.offset))
                        .add("delay", timeserver::chronyNumber(m.delay))
                        .add("selectable", m.selectable ? "1" : "0")
                        .str();
  out += "# " + std::string(timeserver::kRefid) + " read " + ms(m.median) + " (to within " + ms(m.tolerance, false) +
         ") against the clock chrony steered, spread " + ms(m.spread, false) + ": configure offset " + timeserver::chronyNumber(m.offset) +
         " delay " + timeserver::chronyNumber(m.delay) + "\n";
  if (const int printed = r.ctx.print(out); printed != kExitOk) return printed;
  // The file as it is now: its owner may have changed it while it measured.
  const auto now = r.system.read(paths.refclockFile());
  if (!now || !*now || !timeserver::madeBySetup(**now)) return r.fail(kExitTimeServer, paths.refclockFile() + " went away while it measured; nothing was changed");
  if (applying) return apply(r, paths, **now, m);
  // Kept for a later --apply, where this user may write the file.
  if (::access(r.system.at(paths.refclockFile()).c_str(), W_OK) == 0 &&
      r.system.write(paths.refclockFile(), timeserver::withMeasurement(**now, paths.socket(), m, false))) {
    return r.ctx.print("# kept in " + paths.refclockFile() + ": tamrikctl time-server calibrate --apply applies it\n");
  }
  return r.ctx.print("# not kept (" + paths.refclockFile() + " is not this user's to write): run it as root to apply it later\n");
}

// ---- the command ----

int runTimeServer(CommandContext& ctx, std::span<const std::string_view> args) {
  if (args.empty() || args[0] == "--help" || args[0] == "-h") {
    if (!args.empty()) return ctx.print(commandHelp(ctx.command));
    return ctx.fail(kExitUsage, "a sub-command is needed: setup, check, calibrate or undo");
  }
  const std::string sub(args[0]);
  const std::span<const std::string_view> rest = args.subspan(1);
  CommandArguments a;
  if (sub == "setup") {
    a = parseCommandArguments(rest, {{"--unit", true}, {"--gpsd"}, {"--dry-run"}, {"--root", true}});
  } else if (sub == "check") {
    a = parseCommandArguments(rest, {{"--unit", true}, {"--json"}, {"--chrony-control", true}});
  } else if (sub == "calibrate") {
    a = parseCommandArguments(rest, {{"--unit", true}, {"--duration", true}, {"--apply"}, {"--chrony-control", true}, {"--root", true}});
  } else if (sub == "undo") {
    a = parseCommandArguments(rest, {{"--dry-run"}, {"--root", true}});
  } else {
    return ctx.fail(kExitUsage, "unknown sub-command '" + text::lineValue(sub) + "' (setup, check, calibrate or undo)");
  }
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, sub + ": " + a.error);
  std::string root = a.value("--root").value_or("");
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (a.has("--root") && (root.empty() || root == "/")) root.clear();
  if (!root.empty() && (root[0] != '/' || ::access(root.c_str(), F_OK) != 0)) {
    return ctx.fail(kExitBadArgument, sub + ": --root takes a folder that exists, by its full path, not '" + text::lineValue(root) + "'");
  }
  std::string control = a.value("--chrony-control").value_or("");
  TimeServerRun run{ctx, sub, std::move(a), TimeServerSystem(root, std::move(control))};
  if (sub == "setup") return runSetup(run);
  if (sub == "check") return runCheck(run);
  if (sub == "calibrate") return runCalibrate(run);
  return runUndo(run);
}

}  // namespace

const CommandSpec kTimeServerCommand{
    "time-server",
    "time-server setup|check|calibrate|undo [options]",
    "  time-server setup [--unit SERIAL] [--gpsd] [--dry-run] [--root DIR]\n"
    "                       Make this machine a time server on the unit: chrony's refclock,\n"
    "                       its socket opened to the bridge, the bridge started (and gpsd).\n"
    "  time-server check [--unit SERIAL] [--json] [--chrony-control PATH]\n"
    "                       Check the chain link by link: unit, bridge, socket, refclock,\n"
    "                       AppArmor, chrony, calibration, gpsd. Status 0 when all hold.\n"
    "  time-server calibrate [--unit SERIAL] [--duration MINUTES] [--apply]\n"
    "                       [--chrony-control PATH] [--root DIR]\n"
    "                       Measure the unit's source against the clock chrony steers by\n"
    "                       other sources, and set its offset and delay.\n"
    "  time-server undo [--dry-run] [--root DIR]\n"
    "                       Take away what setup made, and nothing else.\n",
    "A time server on one unit, in one command each, for Debian 12 and 13 and Raspberry Pi OS\n"
    "with chrony 4.0 or newer. Run setup, calibrate --apply and undo as root.\n"
    "\n"
    "setup writes chrony's refclock line (refid TMRK, noselect, offset 0.105) in\n"
    "/etc/chrony/conf.d/tamrik-SERIAL.conf and a drop-in of chrony.service that opens the\n"
    "socket /run/chrony.tamrik-SERIAL.sock to the bridge's group; with --gpsd also a drop-in of\n"
    "gpsd.service that has gpsd read the bridge's pseudo-terminal read-only, and the line of\n"
    "gpsd's local AppArmor file that lets it. Every file it writes starts with a header that names\n"
    "it; a file of anyone else's in its way stops it, with nothing changed. It enables and starts\n"
    "tamrik-gps-bridge@SERIAL.service, restarts chrony (and gpsd) where a file changed, waits up\n"
    "to 90 s for chrony's first sample of the unit, and checks the chain. Run again, it changes\n"
    "nothing. Without --unit it takes the only unit attached.\n"
    "\n"
    "check prints one line a link, ok, fault (and the one thing to do) or note: the unit\n"
    "attached and open to the bridge's service; the bridge active, when chrony took its last\n"
    "sample; chrony's socket with the group and mode the bridge needs; the refclock line naming\n"
    "it; AppArmor letting chronyd make it; chrony's TMRK source with its reach, offset and\n"
    "spread; the calibration; gpsd reading the pseudo-terminal, and its version (gpsd 3.24 and\n"
    "newer pass chrony no time from it). Without --unit it checks the unit setup set up.\n"
    "\n"
    "calibrate looks at chrony's sources every 2 s for MINUTES (default 60, at most 1440) while\n"
    "chrony steers the clock by another source (a server or pool, marked *), and takes each new\n"
    "sample of TMRK. It prints their median offset with its tolerance (three standard errors),\n"
    "their spread, and the offset (the configured one plus the median) and delay (twice the\n"
    "spread, at least 1 ms) to configure, and keeps them in the refclock file. --apply writes\n"
    "them into the refclock line, takes noselect away when the spread is 10 ms or less, and\n"
    "restarts chrony; --apply without --duration applies the measurement kept before. No other\n"
    "source selected within two minutes, fewer than 8 samples, or a spread beyond 50 ms: it\n"
    "says so and changes nothing. SIGINT or SIGTERM end the measurement early.\n"
    "\n"
    "undo removes setup's files and lines, the folders it made, disables the bridge's instance\n"
    "when setup enabled it, and restarts chrony (and gpsd).\n"
    "\n"
    "Options:\n"
    "  --unit SERIAL        The unit (also before the command, as for every command).\n"
    "  --gpsd               setup: gpsd reads the unit's receiver, for its clients.\n"
    "  --dry-run            setup, undo: print each file and command, change nothing.\n"
    "  --root DIR           setup, undo, calibrate: work on the system tree under DIR (an\n"
    "                       image), start nothing; setup needs --unit there.\n"
    "  --json               check: one JSON object: unit, ok, links (link, state, detail, fix).\n"
    "  --duration MINUTES   calibrate: how long to measure, more than 0 up to 1440.\n"
    "  --apply              calibrate: write the offset and delay measured into chrony's line.\n"
    "  --chrony-control PATH\n"
    "                       check, calibrate: ask the chronyd whose command socket is PATH.\n"
    "\n"
    "Exit status: 0 done, every link holds; 1 the output could not be written; 2 a bad\n"
    "argument, not root, chrony missing or too old, or a file of someone else's in the way;\n"
    "3 no unit, or not the one of --unit; 5 a link does not hold, a step of the system's failed,\n"
    "or no measurement to trust; 64 usage.\n",
    runTimeServer,
    true,
};

}  // namespace tamrik::ctl
