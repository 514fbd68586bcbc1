#pragma once
// tamrikctl: the command-line companion of tamrik-config for scripts and headless machines. One
// command per task; this unit reads the options before the command, finds the command in the
// table of commands (commands/commands.h) and runs it, so that main() only hands over argv and
// the two streams.

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "synth/planner/divider_plan.h"

namespace tamrik::ctl {

class Host;

// Exit statuses, as `tamrikctl --help` documents them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;      // the output could not be written
inline constexpr int kExitBadArgument = 2;  // a value that cannot be used, or a refused request
inline constexpr int kExitNotPlanned = kExitBadArgument;  // plan: not a frequency, or out of range
inline constexpr int kExitNoUnit = 3;       // no unit, none with that serial, or several and no --unit
inline constexpr int kExitUnitFailed = 4;   // the unit did not answer, or a command failed
inline constexpr int kExitTimeServer = 5;  // time-server: a link does not hold, a system step failed, no measurement
inline constexpr int kExitUsage = 64;       // unknown command or option, missing or extra arguments

// The exit status of a failure of each kind.
int exitStatus(base::FailureKind kind);

// A number read in the C locale by the window's decimal reader (numbers::readDecimal with '.' and no
// group separator): an optional sign, digits with an optional '.', an optional exponent; blanks
// around it are ignored. Anything else (empty text, letters, "inf", "nan", thousands separators, a
// decimal comma, trailing characters) is a BadArgument, with the reason why the text is not a
// number. A number beyond a double's range reads as infinity or zero of its sign.
base::Result<double> parseNumber(std::string_view text);

// The plan as `key=value` lines, or as one JSON object with the same keys and values.
std::string formatPlanLines(const synth::PlanResult& result);
std::string formatPlanJson(const synth::PlanResult& result);

// The usage text of `tamrikctl --help`.
std::string usageText();

// Runs tamrikctl with the arguments after the program name on the machine's clock and devices;
// returns the exit status.
int run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);
// The same on the given host (tests: a virtual clock and no real units).
int run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err, Host& host);

}  // namespace tamrik::ctl
