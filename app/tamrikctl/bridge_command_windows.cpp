// `tamrikctl receiver --pty PATH | --fifo PATH | --chrony SOCKET` on Windows. The bridge hands the
// receiver's bytes to gpsd over a pseudo-terminal or a named pipe in the file system, and its time
// to chrony over a local socket; neither program runs on Windows, so the command says so and does
// nothing.
// The decoded messages (`tamrikctl receiver` without these options) work as on Linux.
#include "app/tamrikctl/bridge_command.h"

#include "app/tamrikctl/bridge_arguments.h"
#include "app/tamrikctl/program.h"

namespace tamrik::ctl {

int receiverCommand(const GlobalOptions&, Host&, std::span<const std::string_view> args, std::ostream& out,
                    std::ostream& err) {
  // The same answers to the same arguments as on Linux: usage first, then the refusal.
  const ReceiverArguments a = parseReceiverArguments(args);
  if (const std::optional<int> answered = answerWithoutEndpoint(a, out, err)) return *answered;
  err << "tamrikctl receiver: --pty, --fifo and --chrony serve gpsd and chrony through a pseudo-terminal, "
         "a named pipe or a local socket, which run on Linux only; nothing was started\n";
  return kExitBadArgument;
}

}  // namespace tamrik::ctl
