#include "app/tamrikctl/bridge_arguments.h"

#include "app/tamrikctl/bridge_command.h"

namespace tamrik::ctl {

ReceiverArguments parseReceiverArguments(std::span<const std::string_view> args) {
  ReceiverArguments out;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      return out;
    }
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    if (name != "--pty" && name != "--fifo") {
      out.error = "unexpected argument '" + std::string(arg) + "'";
      return out;
    }
    if (out.kind) {
      out.error = "give one of --pty and --fifo, once";
      return out;
    }
    out.kind = name == "--pty" ? EndpointKind::Pty : EndpointKind::Pipe;
    if (eq != std::string_view::npos) {
      out.path = std::string(arg.substr(eq + 1));
    } else if (i + 1 < args.size()) {
      out.path = std::string(args[++i]);
    }
    if (out.path.empty()) {
      out.error = std::string(name) + " needs a path";
      return out;
    }
  }
  if (!out.kind) out.error = "expected --pty PATH or --fifo PATH";
  return out;
}

std::optional<int> answerWithoutEndpoint(const ReceiverArguments& a, std::ostream& out, std::ostream& err) {
  constexpr const char* kUsage = "tamrikctl [--unit SERIAL] receiver --pty PATH | --fifo PATH";
  if (a.help) {
    out << "Usage: " << kUsage << "\n" << receiverCommandHelp();
    return 0;
  }
  if (!a.error.empty()) {
    err << "tamrikctl receiver: " << a.error << " (usage: " << kUsage << ")\n";
    return 64;
  }
  return std::nullopt;
}

}  // namespace tamrik::ctl
