#pragma once
// The system a time server runs on, as tamrikctl time-server sees and changes it: files under a
// root folder ("/" for the running system, another for an image), the services through systemctl,
// chrony through chronyc, gpsd over its local port, AppArmor through its profiles. Linux only.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "base/result.h"
#include "platform/linux/system_programs.h"
#include "timeserver/chain_check.h"

namespace tamrik::ctl {

class TimeServerSystem {
 public:
  // `root` is "" for the running system, or a folder that holds another system's tree; there no
  // service is started, stopped or asked.
  explicit TimeServerSystem(std::string root, std::string chronyControl = {})
      : root_(std::move(root)), chronyControl_(std::move(chronyControl)) {}

  bool live() const { return root_.empty(); }
  const std::string& root() const { return root_; }
  std::string at(const std::string& path) const { return root_ + path; }

  // A file's text; empty when there is none; a failure when it is there but cannot be read.
  base::Result<std::optional<std::string>> read(const std::string& path) const;
  bool exists(const std::string& path) const;
  // Writes the whole file at once (a new file renamed over the old), mode 0644.
  base::Result<void> write(const std::string& path, const std::string& text) const;
  base::Result<void> remove(const std::string& path) const;
  // Makes the folder; false when it was there already.
  base::Result<bool> makeFolder(const std::string& path) const;
  // Takes the folder away when it is empty.
  void removeFolderIfEmpty(const std::string& path) const;
  // The names of the files in a folder that match prefix*suffix, sorted.
  std::vector<std::string> filesIn(const std::string& folder, const std::string& prefix, const std::string& suffix) const;

  // Runs a system program (bounded); under another root only systemctl --root.
  platform::ProgramRun run(const std::vector<std::string>& argv, std::chrono::milliseconds limit = std::chrono::seconds(90)) const;
  // systemctl, under another root with --root.
  platform::ProgramRun systemctl(const std::vector<std::string>& args) const;
  bool serviceEnabled(const std::string& service) const;
  timeserver::ServiceFacts service(const std::string& service) const;
  bool serviceActive(const std::string& service) const;

  // chronyc -c -n COMMAND (sources, sourcestats), of the running chronyd.
  platform::ProgramRun chronyc(const std::string& command) const;
  timeserver::ChronyFacts chrony() const;
  // chrony's version: from dpkg's records under the root, else `chronyd --version`; and whether
  // chronyd was built with reference clocks (unknown under another root: assumed).
  struct ChronyBuild {
    std::optional<std::pair<int, int>> version;
    std::string versionText;
    bool refclocks = true;
  };
  std::optional<ChronyBuild> chronyBuild() const;

  // The refclock lines of chrony's configuration: chrony.conf and the files of conf.d.
  std::vector<timeserver::ConfiguredRefclock> refclocks() const;

  timeserver::NodeFacts node(const std::string& path) const;
  timeserver::AppArmorFacts appArmor(const std::string& socket, bool looksForDenial) const;
  timeserver::GpsdFacts gpsd() const;

 private:
  std::string root_;
  std::string chronyControl_;
};

}  // namespace tamrik::ctl
