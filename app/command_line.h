#pragma once
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/simulation_options.h"

namespace tamrik {

struct ProgramOptions {
  bool help = false;
  bool version = false;
  std::string snapshotPath;        // --snapshot PATH
  std::optional<int> quitAfterMs;  // --quit-after MS
  bool satellites = false;         // --satellites: the Satellites window opens at start-up
  std::string recordPath;          // --record FILE: the receiver's raw bytes into FILE
  bool force = false;              // --force: --record may replace FILE
  sim::SimulationOptions simulation;
};

struct CommandLineResult {
  ProgramOptions options;
  std::string error;  // empty when the command line was understood
};

// Reads the program's arguments (without the program name).
CommandLineResult parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace tamrik
