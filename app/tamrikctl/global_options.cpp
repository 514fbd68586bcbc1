#include "app/tamrikctl/global_options.h"

#include "text/key_value_lines.h"

namespace tamrik::ctl {

base::Result<ParsedGlobalOptions> parseGlobalOptions(std::span<const std::string_view> args) {
  using base::FailureKind;
  ParsedGlobalOptions out;
  std::size_t i = 0;
  for (; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!arg.starts_with("--")) break;
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    const bool unit = name == "--unit";
    if (!unit && !sim::isSimulationOption(name)) break;
    if (name == "--quit-at-replay-end") {
      return base::fail(FailureKind::BadArgument, "--quit-at-replay-end is an option of the window, not of tamrikctl");
    }
    std::optional<std::string_view> value;
    if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (unit || sim::simulationOptionTakesValue(name)) {
      if (i + 1 >= args.size()) {
        return base::fail(FailureKind::Usage, std::string(name) + " needs a value");
      }
      value = args[++i];
    }
    if (unit) {
      if (value->empty()) {
        return base::fail(FailureKind::Usage, "--unit needs a serial number");
      }
      // As list shows it, or as the unit sends it.
      out.options.unit = text::fromLineValue(*value);
      continue;
    }
    if (std::string problem = sim::applySimulationOption(out.options.simulation, name, value); !problem.empty()) {
      return base::fail(FailureKind::BadArgument, std::move(problem));
    }
  }
  out.consumed = i;
  if (std::string problem = sim::checkSimulationOptions(out.options.simulation); !problem.empty()) {
    return base::fail(FailureKind::BadArgument, std::move(problem));
  }
  return out;
}

std::string globalOptionsHelp() {
  std::string text =
      "  --unit SERIAL          the unit to use; without it, the only unit attached. SERIAL as\n"
      "                         list shows it (\\\\ for a backslash, \\xHH for a control\n"
      "                         character) or as the unit sends it\n";
  // The window's own options for simulated units, less the one that closes the window.
  const std::string all = sim::simulationOptionsHelp();
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size() - 1;
    const std::string line = all.substr(start, end + 1 - start);
    start = end + 1;
    if (line.find("--quit-at-replay-end") == std::string::npos) text += line;
  }
  return text;
}

}  // namespace tamrik::ctl
