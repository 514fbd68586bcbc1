// tamrikctl set-frequency and factory-defaults: the window's frequency request and its "Factory
// defaults" button, each programmed as the Update action programs the unit and then read back.
#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_context.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "numbers/dividers.h"
#include "numbers/number_format.h"

namespace tamrik::ctl {

namespace {

using synth::PlanOutcome;
using synth::PlanResult;

constexpr double kFactoryFrequencyHz = core::kFactoryOutputHz;
constexpr std::uint8_t kFactoryDrive = core::kFactoryDriveIndex;

std::string dividerText(const numbers::Dividers& d) {
  return "gps=" + std::to_string(d.gps) + " n31=" + std::to_string(d.n31) + " n2_hs=" + std::to_string(d.n2_hs) +
         " n2_ls=" + std::to_string(d.n2_ls) + " n1_hs=" + std::to_string(d.n1_hs) + " nc1_ls=" +
         std::to_string(d.nc1_ls) + " nc2_ls=" + std::to_string(d.nc2_ls) + " bw=" + std::to_string(d.bw);
}

// Programs d as the Update action does (command 4 twice, back to back) and reads the unit back;
// kExitOk when it holds d, else kExitUnitFailed with the reason. `check` looks at the rest of the
// readback and gives a reason when something else is not as it should be.
template <typename Check>
int programAndCheck(CommandContext& ctx, UnitAccess& access, const numbers::Dividers& d, Check check) {
  if (access.unit().programSettings(d) != core::ProgramOutcome::Taken) {
    return ctx.fail(kExitUnitFailed,
                    access.unitName() + " did not take the divider set (" + dividerText(d) + ")" + access.why());
  }
  core::UnitReadback after;
  if (const int status = access.readBack(after); status != kExitOk) return status;
  if (after.settings->dividers != d) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " holds " + dividerText(after.settings->dividers) +
                                         " after programming, not the divider set sent");
  }
  if (const std::string problem = check(*after.settings); !problem.empty()) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " " + problem);
  }
  return kExitOk;
}

std::string programmedRecord(const PlanResult& result, bool json) {
  if (!json) return formatPlanLines(result) + "programmed=1\n";
  std::string text = formatPlanJson(result);  // one object and a line feed
  text.erase(text.size() - 2);
  return text + ",\"programmed\":1}\n";
}

int runSetFrequency(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {{"--closest"}, {"--json"}});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (a.operands.size() != 1) {
    return ctx.fail(kExitUsage, "expected one frequency in Hz, got " + std::to_string(a.operands.size()));
  }
  const std::string_view requestText = a.operands.front();
  const base::Result<double> request = parseNumber(requestText);
  if (!request) {
    return ctx.fail(kExitBadArgument, "'" + std::string(requestText) + "' is not a frequency in Hz: " + request.failure().reason);
  }
  PlanResult result = synth::SearchDividers(*request, synth::defaultExcludedReferences());
  if (result.outcome == PlanOutcome::TooLow || result.outcome == PlanOutcome::TooHigh) {
    const synth::Refusal refusal = synth::refusalFor(result.outcome, '.');
    return ctx.fail(kExitBadArgument, refusal.title + ": " + refusal.text);
  }
  if (result.outcome == PlanOutcome::Closest && !a.has("--closest")) {
    return ctx.fail(kExitBadArgument, std::string(requestText) + " Hz cannot be set exactly; the closest is " +
                                          numbers::formatGeneral(result.achievedHz) + " Hz, off by " +
                                          numbers::formatGeneral(result.offsetHz) + " Hz (" +
                                          numbers::formatGeneral(result.offsetPpb) +
                                          " ppb); nothing was programmed (add --closest to set it)");
  }
  if (result.outcome != PlanOutcome::Preset && result.outcome != PlanOutcome::Exact &&
      result.outcome != PlanOutcome::Closest) {
    return ctx.fail(kExitBadArgument, "no divider set was found for " + std::string(requestText) + " Hz");
  }

  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  if (const int status = access.open(UnitAccess::Purpose::Change); status != kExitOk) return status;
  core::UnitReadback before;
  if (const int status = access.readBack(before); status != kExitOk) return status;
  // What Update sends: NC2_LS takes NC1_LS, every divider within its range.
  result.dividers = numbers::forUpdate(result.dividers);
  const int status = programAndCheck(ctx, access, result.dividers, [](const core::SettingsReport&) { return ""; });
  if (status != kExitOk) return status;
  return ctx.print(programmedRecord(result, a.has("--json")));
}

int runFactoryDefaults(CommandContext& ctx, std::span<const std::string_view> args) {
  const CommandArguments a = parseCommandArguments(args, {});
  if (a.help) return ctx.print(commandHelp(ctx.command));
  if (!a.error.empty()) return ctx.fail(kExitUsage, a.error);
  if (!a.operands.empty()) return ctx.fail(kExitUsage, "takes no arguments, got '" + std::string(a.operands[0]) + "'");

  UnitAccess access(ctx);
  if (const int status = access.start(); status != kExitOk) return status;
  if (const int status = access.open(UnitAccess::Purpose::Change); status != kExitOk) return status;
  core::UnitReadback before;
  if (const int status = access.readBack(before); status != kExitOk) return status;

  // As the window's button: the drive strength, the output, then the 10 MHz request, whose
  // divider set is a preset.
  core::Unit& unit = access.unit();
  if (!unit.setDriveStrength(kFactoryDrive)) {
    return ctx.fail(kExitUnitFailed, access.unitName() + " did not take the drive strength " + driveText(kFactoryDrive) + access.why());
  }
  if (!unit.setOutputEnabled(core::kFactoryOutputEnabled)) return ctx.fail(kExitUnitFailed, access.unitName() + " did not switch its output on" + access.why());
  PlanResult result = synth::SearchDividers(kFactoryFrequencyHz, synth::defaultExcludedReferences());
  result.dividers = numbers::forUpdate(result.dividers);
  const int status = programAndCheck(ctx, access, result.dividers, [](const core::SettingsReport& s) -> std::string {
    if (!s.outputEnabled) return "reports its output off after it was switched on";
    if (s.driveIndex != kFactoryDrive) return "reports the drive strength " + driveText(s.driveIndex) + ", not 32mA";
    return "";
  });
  if (status != kExitOk) return status;
  return ctx.print("output_enabled=1\ndrive=" + driveText(kFactoryDrive) + "\n" + programmedRecord(result, false));
}

}  // namespace

const CommandSpec kSetFrequencyCommand{
    "set-frequency",
    "set-frequency <Hz> [--closest] [--json]",
    "  set-frequency <Hz> [--closest] [--json]\n"
    "                       Search the divider set for <Hz> as the window does, program the unit\n"
    "                       as its Update button does, read it back and print the plan record\n"
    "                       (as plan prints it) and programmed=1.\n",
    "Set the unit's output frequency to <Hz>: the divider set is searched exactly as the\n"
    "window searches it (as 'tamrikctl plan' prints it), sent to the unit as the window's\n"
    "Update button sends it (NC2_LS equal to NC1_LS, every divider within its range, command 4\n"
    "twice), and the unit is read back: it must hold the divider set sent. Then the plan record\n"
    "is printed (exact, gps, n31, n2_hs, n2_ls, n1_hs, nc1_ls, nc2_ls, bw, achieved_hz,\n"
    "offset_hz, offset_ppb) followed by programmed=1. When no divider set gives <Hz> exactly,\n"
    "nothing is programmed and the closest frequency is named on standard error, unless\n"
    "--closest is given. The unit must be chosen with --unit when several are attached.\n"
    "\n"
    "Options:\n"
    "  --closest            Program the closest divider set when none gives <Hz> exactly.\n"
    "  --json               One JSON object with the same keys and values.\n"
    "\n"
    "Exit status: 0 programmed; 1 the output could not be written; 2 <Hz> is not a number or\n"
    "lies outside 365 Hz to 812.5 MHz, or cannot be set exactly and --closest was not given;\n"
    "3 no unit, none with the serial of --unit, or several and no --unit; 4 the settings\n"
    "could not be read, the unit did not take the divider set or does not hold it afterwards;\n"
    "64 usage.\n",
    runSetFrequency,
    true,
};

const CommandSpec kFactoryDefaultsCommand{
    "factory-defaults",
    "factory-defaults",
    "  factory-defaults     Restore the factory output settings as the window's button does:\n"
    "                       drive strength 32mA, output on, 10 MHz; then read the unit back.\n",
    "Restore the unit's factory output settings, as the window's \"Factory defaults\" button does:\n"
    "the drive strength 32mA, the output switched on, then 10 MHz, whose divider set is a\n"
    "preset, programmed as by the Update button. The unit is read back and must hold all three.\n"
    "Prints output_enabled=1, drive=32mA, the plan record of 10 MHz (as 'tamrikctl plan\n"
    "10000000' prints it) and programmed=1.\n"
    "\n"
    "Exit status: 0 restored; 1 the output could not be written; 3 no unit, none with the\n"
    "serial of --unit, or several and no --unit; 4 the settings could not be read, the unit did\n"
    "not take a command or does not hold the settings afterwards; 64 usage.\n",
    runFactoryDefaults,
    true,
};

}  // namespace tamrik::ctl
