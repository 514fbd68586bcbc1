#include "app/command_line.h"

#include <charconv>

namespace tamrik {

namespace {

std::optional<int> parseMilliseconds(const std::string& text) {
  int value = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
  if (r.ec != std::errc() || r.ptr != text.data() + text.size() || value < 0) return std::nullopt;
  return value;
}

}  // namespace

std::string usageText() {
  return "Usage: tamrik-config [options]\n"
         "Configures and monitors Tamrik GPS-disciplined clocks attached by USB.\n"
         "\n"
         "Options:\n" +
         sim::simulationOptionsHelp() +
#ifdef _WIN32
         // Windows has no SIGUSR1: the snapshot is written when the window closes.
         "  --snapshot PATH       write the window's state as JSON to PATH when the window closes\n"
         "                        (also after --quit-after)\n"
#else
         "  --snapshot PATH       write the window's state as JSON to PATH on SIGUSR1 and at exit\n"
#endif
         "  --quit-after MS       close the window normally after MS milliseconds\n"
         "  --satellites          open the Satellites window (sky, signal, the last hour) as well;\n"
         "                        a double click on the satellite chart opens it too\n"
         "  --record FILE         write the receiver's raw bytes into FILE (for --replay and UBX\n"
         "                        tools) while the window is open; an existing FILE is kept\n"
         "  --force               let --record replace an existing FILE\n"
         "  --help                show this text\n"
         "  --version             show the version and the licence\n"
         "\n"
         "With simulated units the computer's clock is never changed: simulated and replayed\n"
         "receivers carry other days' times, so clock settings are only recorded.\n";
}

CommandLineResult parseCommandLine(const std::vector<std::string>& arguments) {
  CommandLineResult result;
  ProgramOptions& o = result.options;
  auto simulation = sim::parseSimulationArguments(arguments);
  if (!simulation.error.empty()) return {o, simulation.error};
  o.simulation = std::move(simulation.options);

  const auto& rest = simulation.rest;
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const std::string& arg = rest[i];
    // "--name=value" or "--name value".
    auto value = [&](const std::string& name) -> std::optional<std::string> {
      if (arg.rfind(name + "=", 0) == 0) return arg.substr(name.size() + 1);
      if (arg == name && i + 1 < rest.size()) return rest[++i];
      return std::nullopt;
    };
    auto is = [&](const std::string& name) { return arg == name || arg.rfind(name + "=", 0) == 0; };

    if (arg == "--help" || arg == "-h") {
      o.help = true;
    } else if (arg == "--version") {
      o.version = true;
    } else if (is("--snapshot")) {
      const auto v = value("--snapshot");
      if (!v || v->empty()) return {o, "--snapshot needs a file path"};
      o.snapshotPath = *v;
    } else if (is("--quit-after")) {
      const auto v = value("--quit-after");
      const auto ms = v ? parseMilliseconds(*v) : std::nullopt;
      if (!ms) return {o, "--quit-after needs a whole number of milliseconds"};
      o.quitAfterMs = *ms;
    } else if (arg == "--satellites") {
      o.satellites = true;
    } else if (is("--record")) {
      const auto v = value("--record");
      if (!v || v->empty()) return {o, "--record needs a file path"};
      o.recordPath = *v;
    } else if (arg == "--force") {
      o.force = true;
    } else {
      return {o, "unknown option: " + arg};
    }
  }
  if (o.force && o.recordPath.empty()) return {o, "--force goes with --record FILE"};
  return result;
}

}  // namespace tamrik
