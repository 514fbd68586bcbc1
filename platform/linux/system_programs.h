#pragma once
// The system's own programs (systemctl, chronyc, apparmor_parser, journalctl), run to an end that
// comes in bounded time, and a question to a local service (gpsd) over loopback TCP. For the
// commands that set up and check the services around the units.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace tamrik::platform {

struct ProgramRun {
  bool started = false;  // false: the program could not be run at all (`failure` says why)
  bool timedOut = false; // killed at the time limit
  int status = -1;       // its exit status when it ended by itself
  std::string out;       // its standard output (at most 4 MiB are kept)
  std::string err;
  std::string failure;
  bool succeeded() const { return started && !timedOut && status == 0; }
  // One line on why it did not succeed: the program's last line on standard error, or the cause.
  std::string whyNot(std::string_view what) const;
};

// Runs argv[0] (looked up in PATH) with the rest as its arguments, standard input empty, in the C
// locale; waits at most `limit`, then kills it.
ProgramRun runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit);

// Connects to 127.0.0.1:port, reads what the service says first, sends `request`, and reads until
// `done` holds for all that came (or the limit passes, or the service closes). What came, or why
// nothing could be asked.
base::Result<std::string> askLocalService(std::uint16_t port, std::string_view request, std::chrono::milliseconds limit,
                                          const std::function<bool(std::string_view)>& done);

}  // namespace tamrik::platform
