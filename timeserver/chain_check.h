#pragma once
// The links of a time server's chain, each judged from what the system shows: the unit, the
// bridge's instance, chrony's socket, its refclock line, AppArmor, chrony's view of the source,
// the calibration and gpsd. A link is ok, or a fault with the one thing to do about it; the
// calibration and an unconfigured gpsd are notes, which leave the chain whole. The command
// (app/tamrikctl) gathers the facts; judging and telling them is here.

#include <optional>
#include <string>
#include <vector>

#include "timeserver/calibration.h"
#include "timeserver/time_server_files.h"

namespace tamrik::timeserver {

struct Link {
  enum class State { Ok, Fault, Note, Skipped };
  std::string name;  // unit, bridge, socket, refclock, apparmor, chrony, calibration, gpsd
  State state = State::Ok;
  std::string detail;
  std::string fix;  // for a fault or a note: the one thing to do
};

// A file or device node as stat shows it.
struct NodeFacts {
  bool exists = false;
  bool isSocket = false;
  std::string owner;
  std::string group;
  unsigned mode = 0;  // permission bits
};

struct UnitFacts {
  bool listed = false;
  std::string unopened;  // why it is attached but cannot be opened; "" when it can, or is not attached
  std::string node;      // its device node, when it has one (a simulated unit has none)
  NodeFacts nodeFacts;
};
Link judgeUnit(const Paths& paths, const UnitFacts& facts);

struct ServiceFacts {
  std::string loadState;    // loaded, not-found, ...
  std::string activeState;  // active, inactive, failed, activating, ...
  std::string unitFileState;  // enabled, disabled, ...
};
// `source` is chrony's row of the unit's source, for when it last took a sample.
Link judgeBridge(const Paths& paths, const ServiceFacts& service, const std::optional<SourceRow>& source);

Link judgeSocket(const Paths& paths, const NodeFacts& socket);

// A refclock line of chrony's configuration and the file it is in.
struct ConfiguredRefclock {
  std::string file;
  FoundRefclock refclock;
};
Link judgeRefclock(const Paths& paths, const std::vector<ConfiguredRefclock>& found);

struct AppArmorFacts {
  bool known = true;        // AppArmor's profiles could be read (only root may)
  std::string chronydMode;  // "enforce", "complain", or "" (no profile loaded, or AppArmor off)
  std::string denial;       // a kernel line of AppArmor refusing chronyd the socket; "" when none
};
Link judgeAppArmor(const Paths& paths, const AppArmorFacts& facts);

struct ChronyFacts {
  bool answered = false;
  std::string failure;  // why chronyc got no answer
  std::vector<SourceRow> sources;
  std::vector<SourceStatsRow> stats;
};
Link judgeChrony(const Paths& paths, const ChronyFacts& facts);

// The refclock line chrony has for the socket (from judgeRefclock's facts), and setup's file when
// it made it.
Link judgeCalibration(const std::optional<FoundRefclock>& refclock, const std::optional<RefclockFile>& file);

struct GpsdFacts {
  bool configured = false;  // set up for this unit (setup's drop-in)
  bool answered = false;
  std::string failure;
  std::string release;               // gpsd's version, from its VERSION record
  std::vector<std::string> devices;  // the paths it reads
};
Link judgeGpsd(const Paths& paths, const GpsdFacts& facts);

// The links as lines for people, and as one JSON object.
std::string chainText(const std::vector<Link>& links);
std::string chainJson(const std::string& serial, const std::vector<Link>& links);
bool chainHolds(const std::vector<Link>& links);

// gpsd's DEVICES and VERSION records: the paths of its devices, its release.
std::vector<std::string> gpsdDevicePaths(std::string_view json);
std::string gpsdRelease(std::string_view json);

}  // namespace tamrik::timeserver
