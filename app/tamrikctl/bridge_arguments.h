#pragma once
// The arguments of `tamrikctl receiver --pty PATH | --fifo PATH | --chrony SOCKET`, read the same
// way on every system.

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "platform/bridge_io.h"

namespace tamrik::ctl {

using platform::EndpointKind;

struct ReceiverArguments {
  std::optional<EndpointKind> kind;  // --pty or --fifo
  std::string path;
  std::optional<std::string> chrony;  // --chrony SOCKET
  bool help = false;
  std::string error;
};

// --help alone, or --chrony SOCKET, one of --pty PATH and --fifo PATH, or both (each also as
// --name=VALUE); anything else leaves the reason in error.
ReceiverArguments parseReceiverArguments(std::span<const std::string_view> args);

// True when the arguments ask for the bridge (any of its options) rather than decoded messages.
bool asksForBridge(std::span<const std::string_view> args);

// The answer to --help (status 0) or to arguments that cannot be used (64, one line on err), the
// same on every system; nullopt when they name an endpoint.
std::optional<int> answerWithoutEndpoint(const ReceiverArguments& arguments, std::ostream& out, std::ostream& err);

}  // namespace tamrik::ctl
