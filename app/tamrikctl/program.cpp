#include "app/tamrikctl/program.h"

#include <string>
#include <vector>

#include "app/about/version_text.h"
#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/ctl_context.h"
#include "app/tamrikctl/ctl_host.h"
#include "app/tamrikctl/global_options.h"
#include "numbers/decimal_text.h"
#include "numbers/number_format.h"

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
      {"achieved_hz", numbers::formatGeneral(r.achievedHz)},
      {"offset_hz", numbers::formatGeneral(r.offsetHz)},
      {"offset_ppb", numbers::formatGeneral(r.offsetPpb)},
  };
}

std::string planUsage() { return "Usage: tamrikctl plan [--json] <Hz>"; }

int runPlan(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {{"--json"}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error + " (" + planUsage() + ")");
  if (a.operands.size() != 1) {
    return ctx.fail(kExitUsage, "expected one frequency in Hz, got " + std::to_string(a.operands.size()) + " (" +
                                    planUsage() + ")");
  }
  const base::Result<double> request = parseNumber(a.operands.front());
  if (!request) {
    return ctx.fail(kExitNotPlanned,
                    "'" + std::string(a.operands.front()) + "' is not a frequency in Hz: " + request.failure().reason);
  }
  const PlanResult result = synth::SearchDividers(*request, synth::defaultExcludedReferences());
  if (result.outcome == PlanOutcome::TooLow || result.outcome == PlanOutcome::TooHigh) {
    // The window's message, as it is.
    const synth::Refusal refusal = synth::refusalFor(result.outcome, '.');
    ctx.err << refusal.title << ": " << refusal.text << "\n";
    return kExitNotPlanned;
  }
  return ctx.print(a.has("--json") ? formatPlanJson(result) : formatPlanLines(result));
}

}  // namespace

const CommandSpec kPlanCommand{
    "plan",
    "plan [--json] <Hz>",
    "  plan [--json] <Hz>   Print the divider set that tamrik-config programs for an output\n"
    "                       frequency of <Hz>, searched exactly as the window searches it.\n"
    "                       One key=value per line: exact (1 or 0), gps, n31, n2_hs, n2_ls,\n"
    "                       n1_hs, nc1_ls, nc2_ls, bw, achieved_hz, offset_hz, offset_ppb.\n"
    "                       With --json, one JSON object with the same keys. No unit needed.\n",
    "Print the divider set that tamrik-config programs for an output frequency of <Hz>,\n"
    "searched exactly as the window searches it. No unit is needed.\n"
    "\n"
    "One key=value per line: exact (1 or 0), gps, n31, n2_hs, n2_ls, n1_hs, nc1_ls, nc2_ls,\n"
    "bw, achieved_hz, offset_hz, offset_ppb. When no divider set gives <Hz> exactly, exact=0\n"
    "and the closest one is printed. <Hz> is read in the C locale ('.' as the decimal point,\n"
    "no thousands separators, an exponent allowed); numbers are printed the same way with up\n"
    "to 15 significant digits.\n"
    "\n"
    "Options:\n"
    "  --json               One JSON object with the same keys and values.\n"
    "  --                   Take the next argument as <Hz> even when it starts with a dash.\n"
    "\n"
    "Exit status: 0 printed; 1 the output could not be written; 2 <Hz> is not a number or\n"
    "lies outside 365 Hz to 812.5 MHz (the window's message on standard error); 64 usage.\n",
    runPlan,
    false,
};

int exitStatus(base::FailureKind kind) {
  switch (kind) {
    case base::FailureKind::Usage:
      return kExitUsage;
    case base::FailureKind::BadArgument:
      return kExitBadArgument;
    case base::FailureKind::NoUnit:
      return kExitNoUnit;
    case base::FailureKind::UnitFailed:
      return kExitUnitFailed;
    case base::FailureKind::System:
      break;
  }
  return kExitFailure;
}

base::Result<double> parseNumber(std::string_view text) {
  using Outcome = numbers::DecimalReading::Outcome;
  const numbers::DecimalReading r = numbers::readDecimal(text);
  switch (r.outcome) {
    case Outcome::Number:
    // Too large or too small for a double; either way far outside what the unit can take. The
    // window reads such a number the same way (infinity or zero), so both refuse it alike.
    case Outcome::BeyondDouble:
      return r.value;
    case Outcome::Empty:
      return base::fail(base::FailureKind::BadArgument, "the text is empty");
    case Outcome::Trailing:
      return base::fail(base::FailureKind::BadArgument, "unexpected '" + std::string(r.rest) + "' after the number");
    case Outcome::NotANumber:
      break;
  }
  return base::fail(base::FailureKind::BadArgument, "it is not a number");
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
  std::string text =
      "Usage: tamrikctl [options] <command> [arguments]\n"
      "\n"
      "Commands:\n";
  for (const CommandSpec* command : commands()) text += command->overview;
  text +=
      "  help [COMMAND]       Show this text, or the help of COMMAND (also COMMAND --help).\n"
      "\n"
      "Options before the command:\n"
      "  -h, --help             show this text\n"
      "  --version              show the version and the licence\n" +
      globalOptionsHelp() +
      "\n"
      "Numbers are read and written in the C locale: '.' as the decimal point, no thousands\n"
      "separators. Texts a unit sends are escaped, never interpreted.\n"
      "\n"
      "Exit status:\n"
      "  0   success\n"
      "  1   the output could not be written\n"
      "  2   a bad argument or a refused request: a value that is not a number or is out of\n"
      "      range (plan and set-frequency: the window's message), a frequency without an exact\n"
      "      divider set and no --closest, an unreadable --replay file or a damaged --sim-state\n"
      "      file\n"
      "  3   no unit attached, none with the serial of --unit, several attached and no --unit\n"
      "      for a command that changes a unit, several carrying the serial of --unit, or the\n"
      "      unit attached but busy with another program or not to be opened by this user\n"
      "  4   the unit did not answer, went away, or did not take a command\n"
      "  5   time-server: a link of the chain does not hold, a step of the system's failed,\n"
      "      or calibrate has no measurement to trust\n"
      "  64  usage error: unknown command or option, missing or extra arguments\n"
      "Every failure is explained in one line on standard error.\n";
  return text;
}

int run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err) {
  SystemHost host;
  return run(args, out, err, host);
}

int run(std::span<const std::string_view> args, std::ostream& out, std::ostream& err, Host& host) {
  const base::Result<ParsedGlobalOptions> parsed = parseGlobalOptions(args);
  if (!parsed) {
    err << "tamrikctl: " << parsed.failure().reason << "\n";
    return exitStatus(parsed.failure().kind);
  }
  const ParsedGlobalOptions& global = *parsed;
  args = args.subspan(global.consumed);
  if (args.empty()) {
    err << "tamrikctl: no command given (see 'tamrikctl --help')\n";
    return kExitUsage;
  }
  const std::string_view name = args.front();
  auto print = [&](const std::string& text) {
    out << text;
    out.flush();
    if (out) return kExitOk;
    err << "tamrikctl: cannot write to standard output\n";
    return kExitFailure;
  };
  if (name == "--help" || name == "-h") return print(usageText());
  if (name == "help") {
    if (args.size() == 1 || (args.size() == 2 && args[1] == "help")) return print(usageText());
    const CommandSpec* command = findCommand(args[1]);
    if (args.size() > 2 || !command) {
      err << "tamrikctl help: " << (command ? "expected one command" : "no command '" + std::string(args[1]) + "'")
          << " (see 'tamrikctl --help')\n";
      return kExitUsage;
    }
    return print(commandHelp(*command));
  }
  if (name == "--version") return print(about::versionText("tamrikctl"));
  const CommandSpec* command = findCommand(name);
  if (!command) {
    // The options before the command stop at the first one they do not know.
    const bool option = name.size() > 1 && name.front() == '-';
    err << "tamrikctl: unknown " << (option ? "option" : "command") << " '" << name << "' (see 'tamrikctl --help')\n";
    return kExitUsage;
  }
  CommandContext ctx{*command, global.options, host, out, err};
  const int status = command->run(ctx, args.subspan(1));
  // A simulated unit that could not keep what it was told did not do the whole command.
  if (status == kExitOk && ctx.stateSaveFailed) return kExitUnitFailed;
  return status;
}

}  // namespace tamrik::ctl
