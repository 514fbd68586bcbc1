#pragma once
// `tamrikctl [--unit SERIAL] receiver --pty PATH` (or --fifo PATH): the unit's receiver bytes for
// gpsd and other serial-port readers, until SIGINT, SIGTERM or SIGHUP.

#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "app/tamrikctl/global_options.h"

namespace tamrik::ctl {

// Runs the bridge; returns the exit status (0 after a stop signal).
int receiverCommand(const GlobalOptions& global, std::span<const std::string_view> args, std::ostream& out,
                    std::ostream& err);

// The lines of `tamrikctl --help` for the command.
std::string receiverCommandHelp();

}  // namespace tamrik::ctl
