#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/routing_device_backend.h"
#include "platform/sim/fault_schedule.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"

namespace tamrik::sim {

// What the command line asks of the simulation.
//   --simulate[=N]         N simulated units (default 2, 0 to 999), serials SIM001, SIM002, ...
//   --replay FILE          every simulated unit's receiver bytes come from FILE, at the line rate
//   --replay-fast          ... as fast as the reader takes them (needs --replay)
//   --quit-at-replay-end   the program closes once the whole capture was delivered (needs --replay)
//   --sim-faults SPEC      scheduled faults (grammar in fault_schedule.h)
//   --sim-state DIR        simulated units keep their settings and serial in DIR between runs
//   --sim-foreign[=N]      N other HID devices (not Tamrik units) beside them (default 1, 0 to 99)
// --replay, --sim-faults, --sim-state and --sim-foreign imply --simulate. Values may also be given as
// --replay=FILE, --sim-faults=SPEC and --sim-state=DIR.
struct SimulationOptions {
  bool enabled = false;
  int unitCount = 2;
  std::string replayFile;
  bool replayFast = false;
  bool quitAtReplayEnd = false;
  std::vector<FaultEvent> faults;
  std::string stateDir;  // empty: the units start from their factory settings every time
  int foreignCount = 0;
};

struct SimulationArguments {
  SimulationOptions options;
  std::vector<std::string> rest;  // the arguments that are not ours, in their order
  std::string error;              // empty when all of ours were understood
};

// Takes the simulation options out of a command line (without the program name) and checks them
// together. Stops at the first error.
SimulationArguments parseSimulationArguments(const std::vector<std::string>& args);

// One option for a caller with its own parser: name with its dashes ("--simulate"), the value
// when one was given. Returns an error message, or an empty string.
std::string applySimulationOption(SimulationOptions& options, std::string_view name,
                                  std::optional<std::string_view> value);
// Checks the options against each other once all are in. Returns an error message or "". With
// --sim-state the faults' serials are checked by buildSimulation, which knows the serials the
// units kept.
std::string checkSimulationOptions(const SimulationOptions& options);
bool isSimulationOption(std::string_view name);
// True for the options whose value may follow as the next argument (--replay FILE).
bool simulationOptionTakesValue(std::string_view name);

// --simulate's value: a whole number from 0 to 999.
std::optional<int> parseUnitCount(std::string_view text);
// SIM001, SIM002, ...
std::vector<std::string> simulatedSerials(int count);

// The help text for the options above, one per line.
std::string simulationOptionsHelp();

// The unit number `index` (0: SIM001) as --simulate sets it up, before what --sim-state kept;
// capture: the receiver bytes of --replay, or none.
UnitConfig simulatedUnitConfig(std::size_t index, std::shared_ptr<const std::vector<std::uint8_t>> capture = nullptr,
                               bool replayFast = false);

// The simulated units the options describe, on the given clock, with their faults scheduled and,
// with a state folder, the settings and serials they kept from earlier runs. A BadArgument when
// they cannot be made (an unreadable replay file, a damaged state file, which stays as it is).
// Later saves that fail go to onStateError (to standard error when it is empty).
base::Result<std::unique_ptr<SimulatedUnits>> buildSimulation(const SimulationOptions& options, SimClock& clock,
                                                              std::function<void(const std::string&)> onStateError = {});

// The units a program works on: the real ones (none in tests) and, when the options ask for them,
// the simulated ones beside them, all reached through one backend. Both programs and every
// command of tamrikctl make theirs here.
class UnitBackends {
 public:
  // The units, or why the simulated ones cannot be made (buildSimulation's failure).
  static base::Result<std::unique_ptr<UnitBackends>> build(platform::DeviceBackend* real, const SimulationOptions& options,
                                                           SimClock& clock,
                                                           std::function<void(const std::string&)> onStateError = {});
  platform::DeviceBackend& devices() { return *devices_; }
  // The simulated units, or none.
  SimulatedUnits* simulated() { return simulated_.get(); }

 private:
  UnitBackends() = default;
  std::unique_ptr<SimulatedUnits> simulated_;
  std::unique_ptr<platform::RoutingDeviceBackend> devices_;
};

// A capture longer than this is refused: six hours of a receiver at 115200 baud. A capture is read
// whole, so a file without an end (/dev/zero) or that never ends (a FIFO) is no capture.
inline constexpr std::size_t kMaxCaptureBytes = std::size_t{256} << 20;
// Reads a whole capture: a regular file of at most kMaxCaptureBytes. A BadArgument when it cannot
// be read, saying why (the system's words, "not a regular file", "longer than 256 MiB").
base::Result<std::vector<std::uint8_t>> readCaptureFile(const std::string& path);

}  // namespace tamrik::sim
