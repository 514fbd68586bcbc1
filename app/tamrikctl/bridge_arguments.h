#pragma once
// The arguments of `tamrikctl receiver` with the bridge's options (--pty PATH, --fifo PATH,
// --chrony SOCKET, --tcp ADDR:PORT, --receiver-polls, --ntp-shm N, --metrics ADDR:PORT), read the
// same way on every system.

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "app/tamrikctl/listen_address.h"
#include "platform/bridge_io.h"
#include "platform/ntp_shm_record.h"

namespace tamrik::ctl {

using platform::EndpointKind;

// NTP's shared-memory units the bridge writes, numbered as ntpd numbers them (127.127.28.N): 0 and 1
// are root's alone, the others anyone's.
inline constexpr int kNtpShmUnits = platform::kNtpShmMaxUnit + 1;
// Where --tcp PORT alone listens, and --metrics' example.
inline constexpr const char* kTcpDefaultHost = "127.0.0.1";
inline constexpr const char* kBridgeMetricsExample = "127.0.0.1:19348";

struct ReceiverArguments {
  std::optional<EndpointKind> kind;  // --pty or --fifo
  std::string path;
  std::optional<std::string> chrony;  // --chrony SOCKET
  std::optional<ListenAddress> tcp;   // --tcp ADDR:PORT (or PORT, on loopback)
  bool receiverPolls = false;         // --receiver-polls
  std::optional<int> ntpShm;          // --ntp-shm N
  std::optional<ListenAddress> metrics;  // --metrics ADDR:PORT
  bool help = false;
  std::string error;
  int errorStatus = 64;  // 64: usage; 2: a value that cannot be used
};

// --help alone, or the bridge's options, each once (also as --name=VALUE), at least one of them
// giving the receiver or its time somewhere; anything else leaves the reason in error.
ReceiverArguments parseReceiverArguments(std::span<const std::string_view> args);

// True when the arguments ask for the bridge (any of its options) rather than decoded messages.
bool asksForBridge(std::span<const std::string_view> args);

// The answer to --help (status 0) or to arguments that cannot be used (64 or 2, one line on err),
// the same on every system; nullopt when they can be used.
std::optional<int> answerWithoutEndpoint(const ReceiverArguments& arguments, std::ostream& out, std::ostream& err);

}  // namespace tamrik::ctl
