#include "app/tamrikctl/bridge_arguments.h"

#include <charconv>

#include "app/tamrikctl/bridge_command.h"
#include "text/key_value_lines.h"

namespace tamrik::ctl {

namespace {

bool isBridgeOption(std::string_view name) {
  return name == "--pty" || name == "--fifo" || name == "--chrony" || name == "--tcp" || name == "--receiver-polls" ||
         name == "--ntp-shm" || name == "--metrics";
}

bool takesValue(std::string_view name) { return name != "--receiver-polls"; }

std::string needs(std::string_view name) {
  if (name == "--chrony") return "--chrony needs the path of chrony's socket";
  if (name == "--tcp") return "--tcp needs ADDR:PORT or PORT";
  if (name == "--metrics") return "--metrics needs ADDR:PORT or PORT";
  if (name == "--ntp-shm") return "--ntp-shm needs a unit number from 0 to " + std::to_string(kNtpShmUnits - 1);
  return std::string(name) + " needs a path";
}

// --tcp and --metrics take a port alone too, on loopback.
ListenAddress portOrAddress(std::string_view text, const std::string& example) {
  if (!text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos) {
    return parseListenAddress(std::string(kTcpDefaultHost) + ":" + std::string(text), example);
  }
  return parseListenAddress(text, example);
}

}  // namespace

ReceiverArguments parseReceiverArguments(std::span<const std::string_view> args) {
  ReceiverArguments out;
  const auto usage = [&out](std::string why) {
    out.error = std::move(why);
    out.errorStatus = 64;
    return out;
  };
  const auto bad = [&out](std::string why) {
    out.error = std::move(why);
    out.errorStatus = 2;
    return out;
  };
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      out.help = true;
      return out;
    }
    const std::size_t eq = arg.find('=');
    const std::string_view name = arg.substr(0, eq);
    if (!isBridgeOption(name)) return usage("unexpected argument '" + text::lineValue(arg) + "'");
    if (!takesValue(name)) {
      if (eq != std::string_view::npos) return usage(std::string(name) + " takes no value");
      if (out.receiverPolls) return usage("give " + std::string(name) + " once");
      out.receiverPolls = true;
      continue;
    }
    std::string value;
    if (eq != std::string_view::npos) {
      value = std::string(arg.substr(eq + 1));
    } else if (i + 1 < args.size()) {
      value = std::string(args[++i]);
    }
    if (value.empty()) return usage(needs(name));
    if (name == "--chrony") {
      if (out.chrony) return usage("give --chrony once");
      out.chrony = std::move(value);
    } else if (name == "--tcp" || name == "--metrics") {
      std::optional<ListenAddress>& slot = name == "--tcp" ? out.tcp : out.metrics;
      if (slot) return usage("give " + std::string(name) + " once");
      ListenAddress a = portOrAddress(value, name == "--tcp" ? std::string(kTcpDefaultHost) + ":29470" : kBridgeMetricsExample);
      if (!a.error.empty()) return bad(std::string(name) + " " + a.error);
      slot = std::move(a);
    } else if (name == "--ntp-shm") {
      if (out.ntpShm) return usage("give --ntp-shm once");
      int n = -1;
      const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
      if (ec != std::errc() || end != value.data() + value.size() || n < 0 || n >= kNtpShmUnits) {
        return bad("--ntp-shm '" + text::lineValue(value) + "' is not a unit number from 0 to " +
                   std::to_string(kNtpShmUnits - 1));
      }
      out.ntpShm = n;
    } else {
      if (out.kind) return usage("give one of --pty and --fifo, once");
      out.kind = name == "--pty" ? EndpointKind::Pty : EndpointKind::Pipe;
      out.path = std::move(value);
    }
  }
  if (out.receiverPolls && !out.tcp) return bad("--receiver-polls lets the --tcp clients' polls through: give --tcp too");
  if (!out.kind && !out.chrony && !out.tcp && !out.ntpShm) {
    return usage("expected --pty PATH, --fifo PATH, --tcp ADDR:PORT, --chrony SOCKET or --ntp-shm N");
  }
  return out;
}

bool asksForBridge(std::span<const std::string_view> args) {
  for (const std::string_view a : args) {
    if (isBridgeOption(a.substr(0, a.find('=')))) return true;
  }
  return false;
}

std::optional<int> answerWithoutEndpoint(const ReceiverArguments& a, std::ostream& out, std::ostream& err) {
  constexpr const char* kUsage =
      "tamrikctl [--unit SERIAL] receiver [--pty PATH | --fifo PATH] [--tcp ADDR:PORT [--receiver-polls]] "
      "[--chrony SOCKET] [--ntp-shm N] [--metrics ADDR:PORT]";
  if (a.help) {
    out << "Usage: " << kUsage << "\n" << receiverCommandHelp();
    return 0;
  }
  if (!a.error.empty()) {
    err << "tamrikctl receiver: " << a.error;
    if (a.errorStatus == 64) err << " (usage: " << kUsage << ")";
    err << "\n";
    return a.errorStatus;
  }
  return std::nullopt;
}

}  // namespace tamrik::ctl
