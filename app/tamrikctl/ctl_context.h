#pragma once
// What a tamrikctl command works with: its arguments' reader, the streams, the options before
// the command, and the units (real ones, plus simulated ones on request) through the core.

#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/tamrikctl/ctl_host.h"
#include "base/result.h"
#include "app/tamrikctl/global_options.h"
#include "core/unit.h"
#include "platform/host_kernel.h"
#include "platform/routing_device_backend.h"
#include "platform/sim/simulated_units.h"
#include "platform/sim/simulation_options.h"
#include "platform/system_clock.h"

namespace tamrik::ctl {

struct CommandSpec;

struct CommandContext {
  const CommandSpec& command;
  const GlobalOptions& global;
  Host& host;
  std::ostream& out;
  std::ostream& err;
  // Set when a simulated unit could not keep its state in --sim-state's folder.
  bool stateSaveFailed = false;

  // Says why the command failed, on one line of standard error, and gives the status back.
  int fail(int status, std::string_view reason);
  // The same, with the exit status of the failure's kind.
  int fail(const base::Failure& failure);
  // Writes text to standard output; kExitOk, or kExitFailure (said on standard error) when it
  // could not be written.
  int print(std::string_view text);
};

// ---- Arguments ----

struct OptionSpec {
  std::string_view name;  // with its dashes: "--wait"
  bool takesValue = false;
};

struct CommandArguments {
  std::map<std::string, std::string, std::less<>> options;  // given options, the value or ""
  std::vector<std::string_view> operands;
  bool help = false;  // --help or -h
  std::string error;  // a usage error, one line

  bool has(std::string_view name) const { return options.contains(name); }
  std::optional<std::string> value(std::string_view name) const;
};

// Reads a command's arguments: options (also after the operands, and as --name=value), operands,
// "--" before operands that start with a dash. "-5" and "-.5" are operands. An option of those
// before the command is refused with a hint that it goes there.
CommandArguments parseCommandArguments(std::span<const std::string_view> args, std::initializer_list<OptionSpec> options);

// A duration in seconds in the C locale, from 0 to maxSeconds; a BadArgument otherwise.
base::Result<double> parseSeconds(std::string_view option, std::string_view text, double maxSeconds);
// The --duration SECONDS of a command that otherwise runs until it is stopped, from 0 to a year and
// a day: std::nullopt when it is not given, a BadArgument when it is not such a duration.
base::Result<std::optional<double>> durationOption(const CommandArguments& a);

// ---- Units ----

// The devices a command reaches and the unit it works on, through the core. Real units and
// simulated ones are listed side by side, as in the window.
class UnitAccess {
 public:
  explicit UnitAccess(CommandContext& ctx);
  ~UnitAccess();
  UnitAccess(const UnitAccess&) = delete;
  UnitAccess& operator=(const UnitAccess&) = delete;

  // Builds the simulated units the options ask for. kExitOk, or kExitBadArgument when they cannot
  // be built (an unreadable capture, a damaged state file), said on standard error.
  int start();

  core::Unit& unit() { return *unit_; }
  // True once the capture of --replay has been played whole to every unit that replays it.
  bool replayEnded();
  // The services the units are reached through, for more units than the one of unit().
  core::UnitServices services() { return {units_->devices(), units_->devices(), *kernel_}; }
  sim::SimClock& clock() { return ctx_.host.clock(); }

  enum class Purpose { Read, Change };
  // Opens the unit of --unit, or without it the only one. For a command that changes a unit,
  // several units without --unit are refused; a command that only reads takes the first one
  // listed. kExitOk or kExitNoUnit, the reason said on standard error.
  int open(Purpose purpose);
  // The serial the open unit was chosen by.
  const std::string& serial() const { return serial_; }

  // The open unit's identity and settings, as the window reads them back before it lets the user
  // change anything. kExitOk, or kExitUnitFailed when they cannot be read.
  int readBack(core::UnitReadback& readback);
  // kExitOk when the open unit takes commands (its feature report carries them), else
  // kExitUnitFailed with the reason.
  int requireUsable();

  // "unit SIM001", for messages.
  std::string unitName() const;
  // ": " and why the unit's latest request failed, in the system's words; empty when unknown.
  std::string why() const;

 private:
  CommandContext& ctx_;
  std::unique_ptr<sim::UnitBackends> units_;
  platform::UnsettableSystemClock systemClock_;  // never sets the computer's clock
  std::unique_ptr<platform::HostKernel> kernel_;
  std::unique_ptr<core::Unit> unit_;
  std::string serial_;
};

// The drive-strength texts the window lists, "8mA, 16mA, 24mA, 32mA".
std::string driveStrengthList();
// The drive-strength text of an index as a settings report gives it.
std::string driveText(int index);

}  // namespace tamrik::ctl
