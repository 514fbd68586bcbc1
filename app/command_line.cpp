#include "app/command_line.h"

#include <charconv>

namespace tamrik {

namespace {

bool parseMilliseconds(const std::string& text, int& out) {
  int value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || value < 0) return false;
  out = value;
  return true;
}

// Options of the simulated units: name, and whether a value must follow as the next argument.
struct SimulatorOption {
  const char* name;
  bool takesValue;
};
constexpr SimulatorOption kSimulatorOptions[] = {
    {"--replay", true}, {"--sim-faults", true}, {"--replay-fast", false}, {"--quit-at-replay-end", false}};

}  // namespace

std::string usageText() {
  return "Usage: tamrik-config [options]\n"
         "Configures and monitors Tamrik GPS-disciplined clocks attached by USB.\n"
         "\n"
         "Options:\n"
         "  --simulate[=N]        add N simulated units (default 2: SIM001, SIM002) to the real ones\n"
         "  --replay FILE         simulated receivers send the bytes of FILE, a raw receiver capture,\n"
         "                        at the rate they were recorded\n"
         "  --replay-fast         with --replay: as fast as the window takes them\n"
         "  --quit-at-replay-end  with --replay: close the window once the whole file was decoded\n"
         "  --sim-faults SPEC     schedule faults of simulated units, e.g.\n"
         "                        unplug:SIM001@3000,replug:SIM001@5000,stall:SIM002@2000\n"
         "  --snapshot PATH       write the window's state as JSON to PATH on SIGUSR1 and at exit\n"
         "  --quit-after MS       close the window normally after MS milliseconds\n"
         "  --help                show this text\n"
         "  --version             show the version\n"
         "\n"
         "With --simulate the computer's clock is never changed: simulated receivers carry other\n"
         "days' times, so clock requests are only recorded.\n";
}

CommandLineResult parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLineResult result;
  ProgramOptions& o = result.options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& arg = arguments[i];
    auto value = [&](const std::string& name) -> std::optional<std::string> {
      if (arg.size() > name.size() && arg.compare(0, name.size() + 1, name + "=") == 0) return arg.substr(name.size() + 1);
      if (arg == name && i + 1 < arguments.size()) return arguments[++i];
      return std::nullopt;
    };
    auto is = [&](const std::string& name) { return arg == name || arg.rfind(name + "=", 0) == 0; };

    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (is("--snapshot")) {
      auto v = value("--snapshot");
      if (!v || v->empty()) return {o, "--snapshot needs a file path"};
      o.snapshotPath = *v;
    } else if (is("--quit-after")) {
      auto v = value("--quit-after");
      int ms = 0;
      if (!v || !parseMilliseconds(*v, ms)) return {o, "--quit-after needs a whole number of milliseconds"};
      o.quitAfterMs = ms;
    } else if (is("--simulate")) {
      o.simulatorArguments.push_back(arg);
    } else {
      bool known = false;
      for (const auto& option : kSimulatorOptions) {
        if (!is(option.name)) continue;
        known = true;
        if (option.takesValue) {
          auto v = value(option.name);
          if (!v) return {o, std::string(option.name) + " needs a value"};
          o.simulatorArguments.push_back(std::string(option.name) + "=" + *v);
        } else {
          o.simulatorArguments.push_back(arg);
        }
      }
      if (!known) return {o, "unknown option: " + arg};
    }
  }
  return result;
}

}  // namespace tamrik
