// `tamrikctl receiver --pty PATH | --fifo PATH` on Windows. The bridge hands the receiver's bytes
// to gpsd (and through it to chrony) over a pseudo-terminal or a named pipe in the file system;
// Windows has neither, and neither program runs there, so the command says so and does nothing.
// The decoded messages (`tamrikctl receiver` without these options) work as on Linux.
#include "app/tamrikctl/bridge_command.h"

#include "app/tamrikctl/bridge_arguments.h"

namespace tamrik::ctl {

namespace {

constexpr int kExitBadArgument = 2;

}  // namespace

std::string receiverCommandHelp() {
  return "  receiver --pty PATH, receiver --fifo PATH\n"
         "                       Linux only: the receiver's bytes for gpsd through a\n"
         "                       pseudo-terminal or a named pipe. Not available on Windows.\n";
}

int receiverCommand(const GlobalOptions&, std::span<const std::string_view> args, std::ostream& out,
                    std::ostream& err) {
  // The same answers to the same arguments as on Linux: usage first, then the refusal.
  const ReceiverArguments a = parseReceiverArguments(args);
  if (const std::optional<int> answered = answerWithoutEndpoint(a, out, err)) return *answered;
  err << "tamrikctl receiver: --pty and --fifo serve gpsd through a pseudo-terminal or a named pipe, "
         "which Windows does not have; nothing was started\n";
  return kExitBadArgument;
}

}  // namespace tamrik::ctl
