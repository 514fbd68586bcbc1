#include "app/tamrikctl/global_options.h"

namespace tamrik::ctl {

std::string fromLineValue(std::string_view value) {
  const auto hexDigit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string out;
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char next = i + 1 < value.size() ? value[i + 1] : '\0';
    if (value[i] != '\\' || i + 1 >= value.size()) {
      out += value[i];
    } else if (next == '\\' || next == 'n' || next == 't' || next == 'r') {
      out += next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : '\\';
      ++i;
    } else if (next == 'x' && i + 3 < value.size() && hexDigit(value[i + 2]) >= 0 && hexDigit(value[i + 3]) >= 0) {
      out += static_cast<char>(hexDigit(value[i + 2]) * 16 + hexDigit(value[i + 3]));
      i += 3;
    } else {
      out += value[i];
    }
  }
  return out;
}

ParsedGlobalOptions parseGlobalOptions(std::span<const std::string_view> args) {
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
      out.error = "--quit-at-replay-end is an option of the window, not of tamrikctl";
      return out;
    }
    std::optional<std::string_view> value;
    if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (unit || sim::simulationOptionTakesValue(name)) {
      if (i + 1 >= args.size()) {
        out.error = std::string(name) + " needs a value";
        out.usage = true;
        return out;
      }
      value = args[++i];
    }
    if (unit) {
      if (value->empty()) {
        out.error = "--unit needs a serial number";
        out.usage = true;
        return out;
      }
      // As list shows it, or as the unit sends it.
      out.options.unit = fromLineValue(*value);
      continue;
    }
    out.error = sim::applySimulationOption(out.options.simulation, name, value);
    if (!out.error.empty()) return out;
  }
  out.consumed = i;
  out.error = sim::checkSimulationOptions(out.options.simulation);
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
