#pragma once
// The options that come before tamrikctl's command: which unit, and the simulation options the
// window takes too.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/sim/simulation_options.h"

namespace tamrik::ctl {

struct GlobalOptions {
  std::optional<std::string> unit;  // --unit SERIAL
  sim::SimulationOptions simulation;
};

struct ParsedGlobalOptions {
  GlobalOptions options;
  std::size_t consumed = 0;  // arguments taken, the command follows them
};

// Takes --unit SERIAL (or --unit=SERIAL) and the simulation options from the front of the
// arguments, up to the first argument that is none of them. A Usage failure for an option without
// its value, a BadArgument for a value that cannot be used.
base::Result<ParsedGlobalOptions> parseGlobalOptions(std::span<const std::string_view> args);

// The help text of the options above, one per line.
std::string globalOptionsHelp();

}  // namespace tamrik::ctl
