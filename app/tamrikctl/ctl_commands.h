#pragma once
// tamrikctl: the command-line companion of tamrik-config for scripted labs. One subcommand per
// task (`tamrikctl plan <Hz>` today); this unit parses the arguments, runs the subcommand and
// prints its result, so that main() only hands over argv and the two streams.

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "synth/planner/divider_plan.h"

namespace tamrik::ctl {

// Exit statuses, as `tamrikctl --help` documents them.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;     // the command could not finish (output failed)
inline constexpr int kExitNotPlanned = 2;  // not a frequency, or one the unit cannot produce
inline constexpr int kExitUsage = 64;      // unknown command, missing or extra arguments

// A request in Hz read in the C locale: an optional sign, digits with an optional '.', an optional
// exponent; blanks around it are ignored, as in the window. Anything else (empty text, letters,
// "inf", "nan", thousands separators, a decimal comma, trailing characters) is refused with a
// reason.
struct ParsedHz {
  bool ok = false;
  double hz = 0.0;
  std::string error;  // why the text is not a frequency, when !ok
};
ParsedHz parseHz(std::string_view text);

// The plan as `key=value` lines, or as one JSON object with the same keys and values.
std::string formatPlanLines(const synth::PlanResult& result);
std::string formatPlanJson(const synth::PlanResult& result);

// The usage text of `tamrikctl --help`.
std::string usageText();

// Runs tamrikctl with the arguments after the program name; returns the exit status.
int run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err);

}  // namespace tamrik::ctl
