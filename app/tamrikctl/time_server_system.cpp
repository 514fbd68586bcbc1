#include "app/tamrikctl/time_server_system.h"

#include <glob.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace tamrik::ctl {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string nameOfUser(uid_t uid) {
  if (const passwd* p = ::getpwuid(uid)) return p->pw_name;
  return std::to_string(uid);
}

std::string nameOfGroup(gid_t gid) {
  if (const group* g = ::getgrgid(gid)) return g->gr_name;
  return std::to_string(gid);
}

std::string systemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// gpsd's port for its clients.
constexpr std::uint16_t kGpsdPort = 2947;

}  // namespace

base::Result<std::optional<std::string>> TimeServerSystem::read(const std::string& path) const {
  const std::string full = at(path);
  std::ifstream in(full, std::ios::binary);
  if (!in) {
    if (errno == ENOENT || !exists(path)) return std::optional<std::string>();
    return base::fail(base::FailureKind::System, systemError("cannot read " + full, errno));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return base::fail(base::FailureKind::System, "cannot read " + full);
  return std::optional<std::string>(text.str());
}

bool TimeServerSystem::exists(const std::string& path) const {
  struct stat st {};
  return ::lstat(at(path).c_str(), &st) == 0;
}

base::Result<void> TimeServerSystem::write(const std::string& path, const std::string& text) const {
  const std::string full = at(path);
  const std::string temporary = full + ".tamrik-new";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return base::fail(base::FailureKind::System, systemError("cannot write " + full, errno));
    out << text;
    out.flush();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      return base::fail(base::FailureKind::System, "cannot write " + full);
    }
  }
  ::chmod(temporary.c_str(), 0644);
  if (::rename(temporary.c_str(), full.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return base::fail(base::FailureKind::System, systemError("cannot write " + full, error));
  }
  return {};
}

base::Result<void> TimeServerSystem::remove(const std::string& path) const {
  if (::unlink(at(path).c_str()) != 0 && errno != ENOENT) {
    return base::fail(base::FailureKind::System, systemError("cannot remove " + at(path), errno));
  }
  return {};
}

base::Result<bool> TimeServerSystem::makeFolder(const std::string& path) const {
  if (::mkdir(at(path).c_str(), 0755) == 0) return true;
  if (errno == EEXIST) return false;
  return base::fail(base::FailureKind::System, systemError("cannot make " + at(path), errno));
}

void TimeServerSystem::removeFolderIfEmpty(const std::string& path) const { ::rmdir(at(path).c_str()); }

std::vector<std::string> TimeServerSystem::filesIn(const std::string& folder, const std::string& prefix, const std::string& suffix) const {
  std::vector<std::string> names;
  std::error_code error;
  for (const fs::directory_entry& e : fs::directory_iterator(at(folder), error)) {
    const std::string name = e.path().filename().string();
    if (name.size() >= prefix.size() + suffix.size() && name.starts_with(prefix) && name.ends_with(suffix)) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

platform::ProgramRun TimeServerSystem::run(const std::vector<std::string>& argv, std::chrono::milliseconds limit) const {
  return platform::runProgram(argv, limit);
}

platform::ProgramRun TimeServerSystem::systemctl(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"systemctl"};
  if (!live()) argv.push_back("--root=" + root_);
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

bool TimeServerSystem::serviceEnabled(const std::string& service) const {
  const platform::ProgramRun r = systemctl({"is-enabled", "--quiet", service});
  return r.succeeded();
}

bool TimeServerSystem::serviceActive(const std::string& service) const {
  return live() && run({"systemctl", "is-active", "--quiet", service}, 10s).succeeded();
}

timeserver::ServiceFacts TimeServerSystem::service(const std::string& service) const {
  timeserver::ServiceFacts facts;
  const platform::ProgramRun r = run({"systemctl", "show", "--property=LoadState,ActiveState,UnitFileState", service}, 10s);
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    if (key == "LoadState") facts.loadState = value;
    if (key == "ActiveState") facts.activeState = value;
    if (key == "UnitFileState") facts.unitFileState = value;
  }
  return facts;
}

platform::ProgramRun TimeServerSystem::chronyc(const std::string& command) const {
  std::vector<std::string> argv = {"chronyc", "-c", "-n"};
  if (!chronyControl_.empty()) argv.insert(argv.begin() + 1, {"-h", chronyControl_});
  argv.push_back(command);
  return run(argv, 10s);
}

timeserver::ChronyFacts TimeServerSystem::chrony() const {
  timeserver::ChronyFacts facts;
  const platform::ProgramRun sources = chronyc("sources");
  if (!sources.succeeded()) {
    facts.failure = sources.whyNot("chronyc sources");
    return facts;
  }
  facts.answered = true;
  facts.sources = timeserver::parseSources(sources.out);
  const platform::ProgramRun stats = chronyc("sourcestats");
  if (stats.succeeded()) facts.stats = timeserver::parseSourceStats(stats.out);
  return facts;
}

std::optional<TimeServerSystem::ChronyBuild> TimeServerSystem::chronyBuild() const {
  ChronyBuild build;
  // dpkg's record of the package, where it is installed as one (in the tree under the root too).
  std::vector<std::string> query = {"dpkg-query", "-W", "-f", "${db:Status-Status} ${Version}", "chrony"};
  if (!live()) query.insert(query.begin() + 1, "--root=" + root_);
  if (const platform::ProgramRun r = run(query, 10s); r.succeeded() && r.out.starts_with("installed ")) {
    build.versionText = r.out.substr(10, r.out.find('\n') == std::string::npos ? std::string::npos : r.out.find('\n') - 10);
    build.version = timeserver::chronyVersion("Version: " + build.versionText);
  }
  if (!live()) {
    if (!build.version && !exists("/usr/sbin/chronyd")) return std::nullopt;
    return build;
  }
  const platform::ProgramRun r = run({"chronyd", "--version"}, 10s);
  if (!r.succeeded()) {
    if (!build.version) return std::nullopt;
    return build;
  }
  build.refclocks = r.out.find("-REFCLOCK") == std::string::npos;
  if (const auto v = timeserver::chronyVersion(r.out)) {
    build.version = v;
    const std::size_t at = r.out.find("version ");
    build.versionText = r.out.substr(at + 8, r.out.find(' ', at + 8) - at - 8);
  }
  return build;
}

std::vector<timeserver::ConfiguredRefclock> TimeServerSystem::refclocks() const {
  std::vector<timeserver::ConfiguredRefclock> found;
  // chrony.conf, the files it includes, and the *.conf of the folders its confdir lines name
  // (Debian's: /etc/chrony/conf.d).
  std::vector<std::string> files = {std::string(timeserver::kChronyConf)};
  std::vector<std::string> folders;
  if (const auto conf = read(std::string(timeserver::kChronyConf)); conf && *conf) {
    std::istringstream lines(**conf);
    for (std::string line; std::getline(lines, line);) {
      std::istringstream words(line);
      std::string directive;
      words >> directive;
      for (char& c : directive) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      std::string value;
      if (directive == "include" && words >> value && value.starts_with("/")) {
        glob_t found{};
        if (::glob(at(value).c_str(), 0, nullptr, &found) == 0) {
          for (std::size_t i = 0; i < found.gl_pathc; ++i) files.push_back(std::string(found.gl_pathv[i]).substr(root_.size()));
        }
        ::globfree(&found);
      } else if (directive == "confdir") {
        while (words >> value) folders.push_back(value);
      }
    }
  }
  if (folders.empty()) folders.push_back(std::string(timeserver::kChronyConfDir));
  for (std::string folder : folders) {
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    for (const std::string& name : filesIn(folder, "", ".conf")) files.push_back(folder + "/" + name);
  }
  std::sort(files.begin(), files.end());
  files.erase(std::unique(files.begin(), files.end()), files.end());
  for (const std::string& file : files) {
    const base::Result<std::optional<std::string>> text = read(file);
    if (!text || !*text) continue;
    for (timeserver::FoundRefclock& r : timeserver::refclocksIn(**text)) found.push_back({file, std::move(r)});
  }
  return found;
}

timeserver::NodeFacts TimeServerSystem::node(const std::string& path) const {
  timeserver::NodeFacts facts;
  struct stat st {};
  if (::stat(at(path).c_str(), &st) != 0) return facts;
  facts.exists = true;
  facts.isSocket = S_ISSOCK(st.st_mode);
  facts.owner = nameOfUser(st.st_uid);
  facts.group = nameOfGroup(st.st_gid);
  facts.mode = st.st_mode & 07777;
  return facts;
}

timeserver::AppArmorFacts TimeServerSystem::appArmor(const std::string& socket, bool looksForDenial) const {
  timeserver::AppArmorFacts facts;
  const base::Result<std::optional<std::string>> profiles = read("/sys/kernel/security/apparmor/profiles");
  // Present but unreadable: AppArmor is on, and only root may see its profiles.
  facts.known = !!profiles;
  if (profiles && *profiles) {
    std::istringstream lines(**profiles);
    for (std::string line; std::getline(lines, line);) {
      // "/usr/sbin/chronyd (enforce)"
      if (line.starts_with("/usr/sbin/chronyd ")) {
        const std::size_t open = line.find('(');
        const std::size_t close = line.find(')', open);
        if (open != std::string::npos && close != std::string::npos) facts.chronydMode = line.substr(open + 1, close - open - 1);
      }
    }
  }
  if (!looksForDenial || !live()) return facts;
  const platform::ProgramRun r = run({"journalctl", "-k", "-o", "cat", "--no-pager", "-n", "2000"}, 10s);
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.find("apparmor=\"DENIED\"") != std::string::npos && line.find("chronyd") != std::string::npos &&
        line.find(socket) != std::string::npos) {
      const std::size_t op = line.find("operation=");
      facts.denial = line.substr(op == std::string::npos ? 0 : op);
    }
  }
  return facts;
}

timeserver::GpsdFacts TimeServerSystem::gpsd() const {
  timeserver::GpsdFacts facts;
  const base::Result<std::string> got = platform::askLocalService(kGpsdPort, "?DEVICES;\n", 3s, [](std::string_view text) {
    const std::size_t at = text.find("\"class\":\"DEVICES\"");
    return at != std::string_view::npos && text.find('\n', at) != std::string_view::npos;
  });
  if (!got) {
    facts.failure = got.reason();
    return facts;
  }
  facts.answered = true;
  facts.release = timeserver::gpsdRelease(*got);
  facts.devices = timeserver::gpsdDevicePaths(*got);
  return facts;
}

}  // namespace tamrik::ctl
