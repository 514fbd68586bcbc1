#pragma once
#include <optional>
#include <string>
#include <vector>

namespace tamrik {

// The program's own options; the simulator's options are collected for its parser.
struct ProgramOptions {
  bool help = false;
  bool version = false;
  std::string snapshotPath;          // --snapshot PATH
  std::optional<int> quitAfterMs;    // --quit-after MS
  std::vector<std::string> simulatorArguments;  // --simulate[=N], --replay, --sim-faults, ...
};

struct CommandLineResult {
  ProgramOptions options;
  std::string error;  // empty when the command line was understood
};

CommandLineResult parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace tamrik
