#include "app/tamrikctl/ctl_context.h"

#include <algorithm>
#include <cmath>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "core/protocol.h"
#include "platform/sim/simulation_options.h"

namespace tamrik::ctl {

// ---- CommandContext ----

int CommandContext::fail(const base::Failure& failure) { return fail(exitStatus(failure.kind), failure.reason); }

int CommandContext::fail(int status, std::string_view reason) {
  err << "tamrikctl " << command.name << ": " << reason << "\n";
  err.flush();
  return status;
}

int CommandContext::print(std::string_view text) {
  // What the unit keeps could not be kept: nothing is printed as done.
  if (stateSaveFailed) return kExitUnitFailed;
  out << text;
  out.flush();
  if (out) return kExitOk;
  return fail(kExitFailure, "cannot write to standard output");
}

// ---- Arguments ----

std::optional<std::string> CommandArguments::value(std::string_view name) const {
  const auto it = options.find(name);
  if (it == options.end()) return std::nullopt;
  return it->second;
}

CommandArguments parseCommandArguments(std::span<const std::string_view> args,
                                       std::initializer_list<OptionSpec> specs) {
  CommandArguments out;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    // "-5" and "-.5" are (perhaps refused) numbers, not options.
    const bool looksLikeOption =
        arg.size() > 1 && arg[0] == '-' && arg[1] != '.' && (arg[1] < '0' || arg[1] > '9');
    if (optionsEnded || !looksLikeOption) {
      out.operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      continue;
    }
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const auto spec = std::find_if(specs.begin(), specs.end(), [&](const OptionSpec& s) { return s.name == name; });
    if (spec == specs.end()) {
      if (out.error.empty()) {
        if (name == "--unit" || sim::isSimulationOption(name)) {
          out.error = std::string(name) + " goes before the command: tamrikctl " + std::string(name) +
                      (name == "--unit" ? " SERIAL" : "") + " COMMAND ...";
        } else {
          out.error = "unknown option '" + std::string(arg) + "'";
        }
      }
      continue;
    }
    if (!spec->takesValue) {
      if (eq != std::string_view::npos && out.error.empty()) out.error = std::string(name) + " takes no value";
      out.options[std::string(name)] = "";
      continue;
    }
    if (eq != std::string_view::npos) {
      out.options[std::string(name)] = std::string(arg.substr(eq + 1));
    } else if (i + 1 < args.size()) {
      out.options[std::string(name)] = std::string(args[++i]);
    } else if (out.error.empty()) {
      out.error = std::string(name) + " needs a value";
    }
  }
  return out;
}

base::Result<double> parseSeconds(std::string_view option, std::string_view text, double maxSeconds) {
  const base::Result<double> n = parseNumber(text);
  if (!n) {
    return base::fail(base::FailureKind::BadArgument, std::string(option) + ": '" + std::string(text) +
                                                          "' is not a number of seconds: " + n.failure().reason);
  }
  if (!(*n >= 0 && *n <= maxSeconds)) {
    return base::fail(base::FailureKind::BadArgument, std::string(option) + " must be from 0 to " +
                                                          text::jsonNumber(maxSeconds) + " seconds, not " + std::string(text));
  }
  return *n;
}

base::Result<std::optional<double>> durationOption(const CommandArguments& a) {
  constexpr double kMaxDurationSeconds = 366.0 * 86400;
  const auto text = a.value("--duration");
  if (!text) return std::optional<double>();
  const base::Result<double> seconds = parseSeconds("--duration", *text, kMaxDurationSeconds);
  if (!seconds) return seconds.failure();
  return std::optional<double>(*seconds);
}

// ---- UnitAccess ----

UnitAccess::UnitAccess(CommandContext& ctx) : ctx_(ctx) {}

UnitAccess::~UnitAccess() {
  // The unit is closed while the devices it was opened on are still there.
  unit_.reset();
  kernel_.reset();
  if (units_ && units_->simulated()) ctx_.host.simulationEnding(*units_->simulated());
  units_.reset();
}

bool UnitAccess::replayEnded() { return units_ && units_->simulated() && units_->simulated()->replayFinished(); }

int UnitAccess::start() {
  auto built = sim::UnitBackends::build(
      ctx_.host.realUnits(), ctx_.global.simulation, ctx_.host.clock(), [this](const std::string& problem) {
        // One failure, one line: later saves that fail the same way say nothing new.
        if (!ctx_.stateSaveFailed) ctx_.fail(kExitUnitFailed, "--sim-state: " + problem);
        ctx_.stateSaveFailed = true;
      });
  if (!built) return ctx_.fail(built.failure());
  units_ = std::move(*built);
  if (units_->simulated()) ctx_.host.simulationStarted(*units_->simulated());
  platform::DeviceBackend& devices = units_->devices();
  kernel_ = std::make_unique<platform::HostKernel>(devices, systemClock_, ctx_.host.sleeper());
  unit_ = std::make_unique<core::Unit>(core::UnitServices{devices, devices, *kernel_});
  return kExitOk;
}

namespace {

std::string serialList(const std::vector<core::UnitEntry>& units) {
  std::string text;
  for (const core::UnitEntry& u : units) {
    if (!text.empty()) text += ", ";
    text += text::lineValue(u.serial);
  }
  return text;
}

// Why no unit can be used: none is attached, or those attached cannot be opened.
std::string noUnitReason(const std::vector<core::UnopenedUnit>& unopened) {
  if (unopened.empty()) return "no unit is attached";
  std::string text = text::lineValue(core::unopenedText(unopened.front()));
  if (unopened.size() > 1) text += " (and " + std::to_string(unopened.size() - 1) + " more like it)";
  return text;
}

}  // namespace

int UnitAccess::open(Purpose purpose) {
  const std::optional<std::string>& wanted = ctx_.global.unit;
  std::string serial;
  if (wanted) {
    serial = *wanted;
  } else {
    const core::UnitList list = unit_->units();
    if (list.units.empty()) return ctx_.fail(kExitNoUnit, noUnitReason(list.unopened));
    if (list.units.size() > 1 && purpose == Purpose::Change) {
      return ctx_.fail(kExitNoUnit, "several units are attached (" + serialList(list.units) +
                                        "); choose one with --unit SERIAL before the command");
    }
    serial = list.units.front().serial;
  }
  switch (unit_->open(serial)) {
    case core::OpenOutcome::Opened:
      break;
    case core::OpenOutcome::SameSerial:
      return ctx_.fail(kExitNoUnit, "several attached units carry the serial " + text::lineValue(serial) +
                                        ", so --unit cannot tell them apart; attach one of them alone and give it "
                                        "another serial with set-serial");
    case core::OpenOutcome::Unopened: {
      const auto& unopened = unit_->unopened();
      const auto it = std::find_if(unopened.begin(), unopened.end(),
                                   [&](const core::UnopenedUnit& u) { return u.serial == serial; });
      if (it != unopened.end()) return ctx_.fail(kExitNoUnit, text::lineValue(core::unopenedText(*it)));
      return ctx_.fail(kExitNoUnit, noUnitReason(unopened));
    }
    default: {
      const core::UnitList list = unit_->units();
      if (list.units.empty()) return ctx_.fail(kExitNoUnit, noUnitReason(list.unopened));
      if (wanted) {
        return ctx_.fail(kExitNoUnit, "no unit with serial " + text::lineValue(serial) + " is attached (attached: " +
                                          serialList(list.units) + ")");
      }
      return ctx_.fail(kExitNoUnit, "unit " + text::lineValue(serial) + " went away before it could be opened");
    }
  }
  serial_ = std::move(serial);
  return kExitOk;
}

std::string UnitAccess::why() const {
  const std::string& cause = unit_->lastError();
  return cause.empty() ? std::string() : ": " + text::lineValue(cause);
}

std::string UnitAccess::unitName() const { return "unit " + text::lineValue(serial_); }

int UnitAccess::requireUsable() {
  if (!unit_->isOpen()) return ctx_.fail(kExitUnitFailed, unitName() + " is not open");
  if (!unit_->usable()) {
    return ctx_.fail(kExitUnitFailed, unitName() + " cannot be read or commanded: its feature report is " +
                                          std::to_string(unit_->openUnit().featureReportLength) +
                                          " bytes long, shorter than the " +
                                          std::to_string(core::kMinimumFeatureReportLength) + " its settings need");
  }
  return kExitOk;
}

int UnitAccess::readBack(core::UnitReadback& readback) {
  if (const int status = requireUsable(); status != kExitOk) return status;
  readback = unit_->readback();
  if (!readback.settings) {
    return ctx_.fail(kExitUnitFailed, "reading the settings of " + unitName() + " failed" + why());
  }
  return kExitOk;
}

std::string driveStrengthList() {
  std::string text;
  for (const char* entry : core::kDriveStrengths) {
    if (!text.empty()) text += ", ";
    text += entry;
  }
  return text;
}

std::string driveText(int index) {
  const int last = static_cast<int>(core::kDriveStrengths.size()) - 1;
  return core::kDriveStrengths[static_cast<std::size_t>(std::clamp(index, 0, last))];
}

}  // namespace tamrik::ctl
