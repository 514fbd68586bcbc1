#include "app/tamrikctl/ctl_commands.h"

#include <charconv>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "app/tamrikctl/bridge_command.h"
#include "app/tamrikctl/global_options.h"
#include "core/numbers/number_format.h"
#include "ui/number_text.h"

namespace tamrik::ctl {
namespace {

using synth::PlanOutcome;
using synth::PlanResult;

struct Field {
  const char* key;
  std::string value;
};

std::vector<Field> planFields(const PlanResult& r) {
  const bool exact = r.outcome == PlanOutcome::Exact || r.outcome == PlanOutcome::Preset;
  const synth::DividerSet& d = r.dividers;
  return {
      {"exact", exact ? "1" : "0"},
      {"gps", std::to_string(d.gps)},
      {"n31", std::to_string(d.n31)},
      {"n2_hs", std::to_string(d.n2_hs)},
      {"n2_ls", std::to_string(d.n2_ls)},
      {"n1_hs", std::to_string(d.n1_hs)},
      {"nc1_ls", std::to_string(d.nc1_ls)},
      {"nc2_ls", std::to_string(d.nc2_ls)},
      {"bw", std::to_string(d.bw)},
      {"achieved_hz", core::formatGeneral(r.achievedHz)},
      {"offset_hz", core::formatGeneral(r.offsetHz)},
      {"offset_ppb", core::formatGeneral(r.offsetPpb)},
  };
}

bool isBlank(char ch) { return ch == ' ' || ch == '\t'; }

int planCommand(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  bool json = false;
  bool optionsEnded = false;
  std::vector<std::string_view> operands;
  for (const std::string_view arg : args) {
    // "-5" and "-.5" are (refused) frequencies, not options.
    const bool looksLikeOption = arg.size() > 1 && arg[0] == '-' && arg[1] != '.' &&
                                 (arg[1] < '0' || arg[1] > '9');
    if (optionsEnded || !looksLikeOption) {
      operands.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "--json") {
      json = true;
    } else if (arg == "--help" || arg == "-h") {
      out << usageText();
      return kExitOk;
    } else {
      err << "tamrikctl plan: unknown option '" << arg << "'\n"
          << "Try 'tamrikctl --help'.\n";
      return kExitUsage;
    }
  }
  if (operands.size() != 1) {
    err << "tamrikctl plan: expected one frequency in Hz, got " << operands.size() << "\n"
        << "Usage: tamrikctl plan [--json] <Hz>\n";
    return kExitUsage;
  }

  const ParsedHz request = parseHz(operands.front());
  if (!request.ok) {
    err << "tamrikctl plan: '" << operands.front() << "' is not a frequency in Hz: "
        << request.error << "\n";
    return kExitNotPlanned;
  }
  const PlanResult result =
      synth::SearchDividers(request.hz, synth::defaultExcludedReferences());
  if (result.outcome == PlanOutcome::TooLow || result.outcome == PlanOutcome::TooHigh) {
    const synth::Refusal refusal = synth::refusalFor(result.outcome, '.');
    err << refusal.title << ": " << refusal.text << "\n";
    return kExitNotPlanned;
  }
  out << (json ? formatPlanJson(result) : formatPlanLines(result));
  out.flush();
  return out ? kExitOk : kExitFailure;
}

struct Command {
  std::string_view name;
  int (*handler)(std::span<const std::string_view>, std::ostream&, std::ostream&);
};

constexpr Command kCommands[] = {
    {"plan", planCommand},
};

}  // namespace

ParsedHz parseHz(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  if (text.empty()) return {false, 0.0, "the text is empty"};

  bool negative = false;
  std::string_view digits = text;
  if (digits.front() == '+' || digits.front() == '-') {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  // from_chars also reads "inf" and "nan", which are no frequencies; a number starts with a digit
  // or a point.
  if (digits.empty() || !(digits.front() == '.' || (digits.front() >= '0' && digits.front() <= '9'))) {
    return {false, 0.0, "it is not a number"};
  }
  double value = 0.0;
  const char* const first = digits.data();
  const char* const last = digits.data() + digits.size();
  const auto [end, ec] = std::from_chars(first, last, value, std::chars_format::general);
  if (ec == std::errc::invalid_argument) return {false, 0.0, "it is not a number"};
  if (end != last) {
    return {false, 0.0, "unexpected '" + std::string(end, last) + "' after the number"};
  }
  if (ec == std::errc::result_out_of_range) {
    // Too large or too small for a double; either way far outside what the unit can produce. The
    // window reads such a number the same way (infinity or zero), so both refuse it alike.
    value = ui::parseNumberSaturating(digits, ui::NumberFormat{".", ""}).value_or(HUGE_VAL);
  }
  return {true, negative ? -value : value, {}};
}

std::string formatPlanLines(const PlanResult& result) {
  std::string text;
  for (const Field& f : planFields(result)) {
    text += f.key;
    text += '=';
    text += f.value;
    text += '\n';
  }
  return text;
}

std::string formatPlanJson(const PlanResult& result) {
  std::string text = "{";
  bool first = true;
  for (const Field& f : planFields(result)) {
    if (!first) text += ',';
    first = false;
    text += '"';
    text += f.key;
    text += "\":";
    text += f.value;  // all values are plain JSON numbers
  }
  text += "}\n";
  return text;
}

std::string usageText() {
  return "Usage: tamrikctl [options] <command> [arguments]\n"
         "\n"
         "Commands:\n"
         "  plan [--json] <Hz>   Print the divider set that tamrik-config programs for an output\n"
         "                       frequency of <Hz>, searched exactly as the window searches it.\n"
         "                       One key=value per line: exact (1 or 0), gps, n31, n2_hs, n2_ls,\n"
         "                       n1_hs, nc1_ls, nc2_ls, bw, achieved_hz, offset_hz, offset_ppb.\n"
         "                       With --json, one JSON object with the same keys. When no\n"
         "                       divider set gives <Hz> exactly, exact=0 and the closest one is\n"
         "                       printed. <Hz> is read in the C locale ('.' as the decimal\n"
         "                       point, no thousands separators, an exponent allowed); numbers\n"
         "                       are printed the same way with up to 15 significant digits.\n" +
         receiverCommandHelp() +
         "  help                 Show this text (also --help, -h).\n"
         "\n"
         "Options (before the command):\n"
         "  --version            Show the version.\n" +
         globalOptionsHelp() +
         "\n"
         "Exit status:\n"
         "  0   success\n"
         "  1   the output could not be written (receiver: the pseudo-terminal or pipe failed)\n"
         "  2   <Hz> is not a number, or lies outside 365 Hz to 812.5 MHz; the reason (for the\n"
         "      latter the window's message) is printed on standard error; an option's value\n"
         "      is wrong; receiver: PATH is something else than a symbolic link, or its\n"
         "      folder is missing\n"
         "  3   receiver: no unit attached, none with the serial of --unit, or several and no --unit\n"
         "  4   receiver: the unit did not answer\n"
         "  64  usage error: unknown command or option, missing or extra arguments\n";
}

int run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  const ParsedGlobalOptions global = parseGlobalOptions(args);
  if (!global.error.empty()) {
    err << "tamrikctl: " << global.error << "\n";
    return kExitNotPlanned;
  }
  args = args.subspan(global.consumed);
  if (args.empty()) {
    err << usageText();
    return kExitUsage;
  }
  const std::string_view name = args.front();
  if (name == "help" || name == "--help" || name == "-h") {
    out << usageText();
    return kExitOk;
  }
  if (name == "--version") {
    out << "tamrikctl " << TAMRIK_VERSION << "\n";
    return kExitOk;
  }
  if (name == "receiver") return receiverCommand(global.options, args.subspan(1), out, err);
  for (const Command& command : kCommands) {
    if (command.name == name) return command.handler(args.subspan(1), out, err);
  }
  err << "tamrikctl: unknown command '" << name << "'\n"
      << "Try 'tamrikctl --help'.\n";
  return kExitUsage;
}

}  // namespace tamrik::ctl
