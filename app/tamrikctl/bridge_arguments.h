#pragma once
// The arguments of `tamrikctl receiver --pty PATH | --fifo PATH`, read the same way on every system.

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

namespace tamrik::ctl {

enum class EndpointKind {
  Pty,   // the slave side of a pseudo-terminal
  Pipe,  // a named pipe
};

struct ReceiverArguments {
  std::optional<EndpointKind> kind;
  std::string path;
  bool help = false;
  std::string error;
};

// --help alone, or exactly one of --pty PATH and --fifo PATH (also --pty=PATH); anything else
// leaves the reason in error.
ReceiverArguments parseReceiverArguments(std::span<const std::string_view> args);

// The answer to --help (status 0) or to arguments that cannot be used (64, one line on err), the
// same on every system; nullopt when they name an endpoint.
std::optional<int> answerWithoutEndpoint(const ReceiverArguments& arguments, std::ostream& out, std::ostream& err);

}  // namespace tamrik::ctl
