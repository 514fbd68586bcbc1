#include "app/tamrikctl/bridge_arguments.h"

#include "app/tamrikctl/bridge_command.h"

namespace tamrik::ctl {

namespace {

bool isBridgeOption(std::string_view name) { return name == "--pty" || name == "--fifo" || name == "--chrony"; }

}  // namespace

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
    if (!isBridgeOption(name)) {
      out.error = "unexpected argument '" + std::string(arg) + "'";
      return out;
    }
    std::string value;
    if (eq != std::string_view::npos) {
      value = std::string(arg.substr(eq + 1));
    } else if (i + 1 < args.size()) {
      value = std::string(args[++i]);
    }
    if (value.empty()) {
      out.error = std::string(name) + (name == "--chrony" ? " needs the path of chrony's socket" : " needs a path");
      return out;
    }
    if (name == "--chrony") {
      if (out.chrony) {
        out.error = "give --chrony once";
        return out;
      }
      out.chrony = std::move(value);
      continue;
    }
    if (out.kind) {
      out.error = "give one of --pty and --fifo, once";
      return out;
    }
    out.kind = name == "--pty" ? EndpointKind::Pty : EndpointKind::Pipe;
    out.path = std::move(value);
  }
  if (!out.kind && !out.chrony) out.error = "expected --pty PATH, --fifo PATH or --chrony SOCKET";
  return out;
}

bool asksForBridge(std::span<const std::string_view> args) {
  for (const std::string_view a : args) {
    if (isBridgeOption(a.substr(0, a.find('=')))) return true;
  }
  return false;
}

std::optional<int> answerWithoutEndpoint(const ReceiverArguments& a, std::ostream& out, std::ostream& err) {
  constexpr const char* kUsage = "tamrikctl [--unit SERIAL] receiver [--chrony SOCKET] [--pty PATH | --fifo PATH]";
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
