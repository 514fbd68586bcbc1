#include "platform/sim/simulation_options.h"

#include <charconv>
#include <filesystem>
#include <iostream>

#include "platform/sim/state_files.h"

namespace tamrik::sim {

namespace {

constexpr std::string_view kSimulate = "--simulate";
constexpr std::string_view kReplay = "--replay";
constexpr std::string_view kReplayFast = "--replay-fast";
constexpr std::string_view kQuitAtReplayEnd = "--quit-at-replay-end";
constexpr std::string_view kSimFaults = "--sim-faults";
constexpr std::string_view kSimState = "--sim-state";
constexpr std::string_view kSimForeign = "--sim-foreign";
constexpr int kMaxForeignDevices = 99;

std::string missingValue(std::string_view name) {
  if (name == kReplay) return "--replay needs a file name";
  if (name == kSimState) return "--sim-state needs a folder";
  return "--sim-faults needs a fault list, e.g. unplug:SIM001@3000,replug:SIM001@5000";
}

// File names come as UTF-8 on every system; on Windows they must become UTF-16, not pass through
// the ANSI code page, which garbles or loses every character beyond ASCII.
std::filesystem::path fromUtf8(const std::string& path) { return std::u8string(path.begin(), path.end()); }

}  // namespace

bool isSimulationOption(std::string_view name) {
  return name == kSimulate || name == kReplay || name == kReplayFast || name == kQuitAtReplayEnd ||
         name == kSimFaults || name == kSimState || name == kSimForeign;
}

bool simulationOptionTakesValue(std::string_view name) {
  return name == kReplay || name == kSimFaults || name == kSimState;
}

std::optional<int> parseUnitCount(std::string_view text) {
  int n = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), n);
  if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || n < 0 || n > 999) {
    return std::nullopt;
  }
  return n;
}

namespace {

// SIM001 for the first unit.
std::string simulatedSerial(std::size_t number) {
  std::string digits = std::to_string(number);
  if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
  return "SIM" + digits;
}

}  // namespace

std::vector<std::string> simulatedSerials(int count) {
  std::vector<std::string> serials;
  for (int i = 1; i <= count; ++i) serials.push_back(simulatedSerial(static_cast<std::size_t>(i)));
  return serials;
}

std::string applySimulationOption(SimulationOptions& o, std::string_view name, std::optional<std::string_view> value) {
  const std::string n(name);
  if (name == kSimulate) {
    o.enabled = true;
    if (!value) return {};
    const auto count = parseUnitCount(*value);
    if (!count) return n + ": '" + std::string(*value) + "' is not a number of units from 0 to 999";
    o.unitCount = *count;
    return {};
  }
  if (name == kReplayFast || name == kQuitAtReplayEnd) {
    if (value) return n + " takes no value";
    (name == kReplayFast ? o.replayFast : o.quitAtReplayEnd) = true;
    return {};
  }
  if (name == kReplay) {
    if (!value || value->empty()) return missingValue(name);
    o.replayFile = std::string(*value);
    o.enabled = true;
    return {};
  }
  if (name == kSimForeign) {
    o.enabled = true;
    o.foreignCount = 1;
    if (!value) return {};
    const auto count = parseUnitCount(*value);
    if (!count || *count > kMaxForeignDevices) {
      return n + ": '" + std::string(*value) + "' is not a number of devices from 0 to 99";
    }
    o.foreignCount = *count;
    return {};
  }
  if (name == kSimFaults) {
    if (!value) return missingValue(name);
    auto parsed = parseFaultSpec(*value);
    if (!parsed.error.empty()) return parsed.error;
    o.faults.insert(o.faults.end(), parsed.events.begin(), parsed.events.end());
    o.enabled = true;
    return {};
  }
  if (name == kSimState) {
    if (!value || value->empty()) return missingValue(name);
    o.stateDir = std::string(*value);
    o.enabled = true;
    return {};
  }
  return n + " is not a simulation option";
}

std::string checkSimulationOptions(const SimulationOptions& o) {
  if (o.replayFast && o.replayFile.empty()) return "--replay-fast needs --replay FILE";
  if (o.quitAtReplayEnd && o.replayFile.empty()) return "--quit-at-replay-end needs --replay FILE";
  if (!o.replayFile.empty() && o.unitCount == 0) return "--replay needs at least one simulated unit";
  if (!o.stateDir.empty()) return {};
  return checkFaultSerials(o.faults, simulatedSerials(o.unitCount));
}

SimulationArguments parseSimulationArguments(const std::vector<std::string>& args) {
  SimulationArguments out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    if (!arg.starts_with("--") || !isSimulationOption(name)) {
      out.rest.push_back(args[i]);
      continue;
    }
    std::optional<std::string_view> value;
    if (eq != std::string_view::npos) {
      value = arg.substr(eq + 1);
    } else if (simulationOptionTakesValue(name)) {
      if (i + 1 >= args.size()) {
        out.error = missingValue(name);
        return out;
      }
      value = args[++i];
    }
    out.error = applySimulationOption(out.options, name, value);
    if (!out.error.empty()) return out;
  }
  out.error = checkSimulationOptions(out.options);
  return out;
}

std::string simulationOptionsHelp() {
  return "  --simulate[=N]         run on N simulated units (default 2; serials SIM001, SIM002, ...)\n"
         "                         next to any real ones\n"
         "  --replay FILE          simulated units send the receiver bytes of FILE (a raw receiver\n"
         "                         capture: a regular file of at most 256 MiB) at the serial line\n"
         "                         rate; implies --simulate\n"
         "  --replay-fast          replay as fast as the program reads\n"
         "  --quit-at-replay-end   close the window once the whole capture has been delivered\n"
         "  --sim-faults SPEC      schedule faults, comma-separated ACTION:SERIAL[@MS][=VALUE], e.g.\n"
         "                         unplug:SIM001@3000,replug:SIM001@5000,stall:SIM002@2000\n"
         "                         actions: unplug, replug, replug-as=SERIAL, serial-change=SERIAL,\n"
         "                         stall, resume, corrupt[=P], drop[=P], signal-loss, signal,\n"
         "                         signal-flicker[=N], pll-unlock, pll-lock, exclusive, shared,\n"
         "                         no-serial, serial-ok, short-feature[=N], wide-strings,\n"
         "                         firmware=VERSION, no-answer, answer; implies --simulate. A\n"
         "                         signal loss counts on the unit as on a real one\n"
         "                         (signal-flicker: N losses too short for the flag); a replug\n"
         "                         starts the count from 0\n"
         "  --sim-state DIR        simulated units keep what a unit keeps over a power cycle\n"
         "                         (dividers, output, drive strength, serial) in DIR between runs,\n"
         "                         one file SIM001.state, ... per unit; implies --simulate\n"
         "  --sim-foreign[=N]      N other HID devices (not Tamrik units) beside the simulated ones\n"
         "                         (default 1); implies --simulate\n";
}

base::Result<std::vector<std::uint8_t>> readCaptureFile(const std::string& path) {
  const state_files::ReadOutcome read = state_files::readSmallFile(fromUtf8(path), kMaxCaptureBytes);
  std::string problem = read.missing ? "no such file" : read.error;
  if (problem.empty() && read.tooLarge) problem = "longer than " + std::to_string(kMaxCaptureBytes >> 20) + " MiB";
  if (!problem.empty()) return base::fail(base::FailureKind::BadArgument, std::move(problem));
  return std::vector<std::uint8_t>(read.text.begin(), read.text.end());
}

UnitConfig simulatedUnitConfig(std::size_t index, std::shared_ptr<const std::vector<std::uint8_t>> capture,
                               bool replayFast) {
  UnitConfig c;
  c.serial = toUtf16(simulatedSerial(index + 1));
  c.receiver.seed = static_cast<std::uint32_t>(1 + 7919 * index);
  // Each unit sits a little apart from the others, as if on different roofs of one town.
  c.receiver.lat += static_cast<std::int32_t>(index * 23000);
  c.receiver.lon -= static_cast<std::int32_t>(index * 41000);
  // The epoch as a real unit on a real host shows it: NAV-SVINFO of a length that changes from
  // epoch to epoch, and the host's USB polls drifting against the receiver's seconds.
  c.receiver.flickeringChannels = 8;
  c.hostClockPpm = 23.0 + 11.0 * static_cast<double>(index);
  if (capture) {
    c.replay = std::move(capture);
    c.replayFast = replayFast;
    c.receiver.startupWithoutSignal = std::chrono::milliseconds(0);
  }
  return c;
}

base::Result<std::unique_ptr<SimulatedUnits>> buildSimulation(const SimulationOptions& options, SimClock& clock,
                                                              std::function<void(const std::string&)> onStateError) {
  const auto refused = [](std::string reason) { return base::fail(base::FailureKind::BadArgument, std::move(reason)); };
  if (std::string problem = checkSimulationOptions(options); !problem.empty()) {
    return refused(std::move(problem));
  }
  std::shared_ptr<const std::vector<std::uint8_t>> capture;
  if (!options.replayFile.empty()) {
    auto data = readCaptureFile(options.replayFile);
    if (!data) return refused("--replay: cannot read '" + options.replayFile + "': " + data.failure().reason);
    capture = std::make_shared<const std::vector<std::uint8_t>>(std::move(*data));
  }
  std::shared_ptr<UnitStateStore> store;
  if (!options.stateDir.empty()) {
    store = std::make_shared<UnitStateStore>(fromUtf8(options.stateDir));
    if (std::string problem = store->prepare(); !problem.empty()) {
      return refused("--sim-state: " + problem);
    }
  }
  const auto serials = simulatedSerials(options.unitCount);
  std::vector<UnitConfig> configs;
  std::vector<std::string> startSerials;
  for (std::size_t i = 0; i < serials.size(); ++i) {
    UnitConfig c = simulatedUnitConfig(i, capture, options.replayFast);
    if (store) {
      auto loaded = store->load(serials[i]);
      if (!loaded.error.empty()) {
        return refused("--sim-state: " + loaded.error + "; the file is left as it is");
      }
      c.stateKey = serials[i];
      c.kept = std::move(loaded.state);
    }
    startSerials.push_back(c.kept ? c.kept->serial : serials[i]);
    configs.push_back(std::move(c));
  }
  if (store) {
    if (std::string problem = checkFaultSerials(options.faults, startSerials); !problem.empty()) {
      return refused(std::move(problem));
    }
  }
  auto units = std::make_unique<SimulatedUnits>(clock);
  if (store) {
    if (!onStateError) {
      onStateError = [](const std::string& message) { std::cerr << "--sim-state: " << message << "\n"; };
    }
    units->setStateStore(store, std::move(onStateError));
  }
  for (auto& c : configs) units->addUnit(std::move(c));
  // Other makers' devices, as a desk has them: keyboards, mice, security keys.
  for (int i = 0; i < options.foreignCount; ++i) {
    units->addForeignDevice(0x046D, static_cast<std::uint16_t>(0xC077 + i));
  }
  units->scheduleFaults(options.faults);
  return units;
}

base::Result<std::unique_ptr<UnitBackends>> UnitBackends::build(platform::DeviceBackend* real, const SimulationOptions& options,
                                                                SimClock& clock,
                                                                std::function<void(const std::string&)> onStateError) {
  std::unique_ptr<UnitBackends> made(new UnitBackends);
  std::vector<platform::DeviceBackend*> backends;
  if (real) backends.push_back(real);
  if (options.enabled) {
    auto built = buildSimulation(options, clock, std::move(onStateError));
    if (!built) return built.failure();
    made->simulated_ = std::move(*built);
    backends.push_back(made->simulated_.get());
  }
  made->devices_ = std::make_unique<platform::RoutingDeviceBackend>(std::move(backends));
  return made;
}

}  // namespace tamrik::sim
