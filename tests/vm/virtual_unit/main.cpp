// tamrik-virtual-unit: a Tamrik unit on USB/IP, for a kernel with vhci-hcd to attach as if a real
// unit were plugged in (`usbip attach -r 127.0.0.1 -b 1-1`). The unit behind it is the simulated
// one of `--simulate=1`. A test program: never installed.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/fault_schedule.h"
#include "platform/sim/simulation_options.h"
#include "tests/vm/virtual_unit/usbip_server.h"

namespace {

using namespace tamrik;

constexpr const char* kUsage =
    "Usage: tamrik-virtual-unit [OPTION]...\n"
    "A Tamrik unit (USB HID, 1dd2:2211) exported over USB/IP; the simulated unit of --simulate=1.\n"
    "\n"
    "  --listen ADDR          IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N               TCP port (default 3240; 0: any free one). The first line on standard\n"
    "                         output names the address and port once it listens\n"
    "  --bus-id ID            the bus ID the unit is exported under (default 1-1)\n"
    "  --serial TEXT          the serial number string (UTF-8; default SIM001)\n"
    "  --manufacturer TEXT    the manufacturer string (default Tamrik)\n"
    "  --product TEXT         the product string (default Tamrik GPS Reference Clock)\n"
    "  --firmware VERSION     the firmware version, bcdDevice (default 0x0120)\n"
    "  --replay FILE          the receiver's bytes from a capture, as --simulate --replay plays it\n"
    "  --sim-faults SPEC      faults on a schedule, as --sim-faults of the programs (unplug: the\n"
    "                         importer's connection ends, and the unit is exported again on replug)\n"
    "  --stall-control        leave feature requests (GET_REPORT, SET_REPORT) unanswered from the\n"
    "                         start, so that the host's own timeout ends them\n"
    "  --record-frames FILE   append every feature report taken by SET_REPORT to FILE, one a line\n"
    "                         as len=N hex=BYTES: its length with the report ID byte, its bytes\n"
    "                         in hex, report ID byte first, trailing zeros left out\n"
    "  --verbose              log every control transfer and unlink\n"
    "  --help                 this text\n"
    "\n"
    "Signals: SIGUSR1 unplugs the unit, SIGUSR2 plugs it in again; SIGRTMIN stops the answers to\n"
    "feature requests, SIGRTMIN+1 brings them back; SIGTERM and SIGINT end the program.\n";

int wakeWrite = -1;

void onSignal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  [[maybe_unused]] const ssize_t n = write(wakeWrite, &byte, 1);
  errno = saved;
}

int usage(const std::string& problem) {
  std::cerr << "tamrik-virtual-unit: " << problem << "\n" << "Try 'tamrik-virtual-unit --help'.\n";
  return 64;
}

std::optional<long> number(const std::string& text, long max) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < 0 || v > max) return std::nullopt;
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  static const std::vector<std::string> kValued = {"--listen",  "--port",    "--bus-id",     "--serial",
                                                   "--manufacturer", "--product", "--firmware", "--replay",
                                                   "--sim-faults", "--record-frames"};
  std::map<std::string, std::string> values;
  bool stallControl = false;
  vm::ServerOptions server;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--stall-control") {
      stallControl = true;
      continue;
    }
    if (arg == "--verbose") {
      server.verbose = true;
      continue;
    }
    std::optional<std::string> value;
    if (const auto eq = arg.find('='); eq != std::string::npos && arg.starts_with("--")) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
    }
    if (std::find(kValued.begin(), kValued.end(), arg) == kValued.end()) return usage("unknown option '" + arg + "'");
    if (!value) {
      if (i + 1 >= argc) return usage(arg + " needs a value");
      value = argv[++i];
    }
    values[arg] = *value;
  }

  if (values.contains("--listen")) server.address = values["--listen"];
  if (values.contains("--port")) {
    const auto port = number(values["--port"], 65535);
    if (!port) return usage("--port: not a port number: " + values["--port"]);
    server.port = static_cast<int>(*port);
  }
  if (values.contains("--bus-id")) {
    server.busId = values["--bus-id"];
    if (server.busId.empty() || server.busId.size() >= vm::kBusIdBytes) return usage("--bus-id: 1 to 31 characters");
  }

  std::shared_ptr<const std::vector<std::uint8_t>> capture;
  if (values.contains("--replay")) {
    auto data = sim::readCaptureFile(values["--replay"]);
    if (!data) return usage("--replay: cannot read '" + values["--replay"] + "'");
    capture = std::make_shared<const std::vector<std::uint8_t>>(std::move(*data));
  }
  // The unit of --simulate=1, with the identity asked for.
  sim::UnitConfig config = sim::simulatedUnitConfig(0, capture);
  for (const auto& [option, field] : {std::pair{"--serial", &config.serial}, std::pair{"--manufacturer", &config.manufacturer},
                                      std::pair{"--product", &config.product}}) {
    if (!values.contains(option)) continue;
    const auto text = vm::utf16FromUtf8(values[option]);
    if (!text) return usage(std::string(option) + ": not UTF-8 text");
    if (text->size() > vm::kMaxStringUnits) {
      return usage(std::string(option) + ": longer than a USB string (" + std::to_string(vm::kMaxStringUnits) +
                   " UTF-16 code units)");
    }
    *field = *text;
  }
  if (values.contains("--firmware")) {
    const auto version = number(values["--firmware"], 0xFFFF);
    if (!version) return usage("--firmware: not a version from 0 to 0xFFFF: " + values["--firmware"]);
    config.firmwareVersion = static_cast<std::uint16_t>(*version);
  }
  std::vector<sim::FaultEvent> faults;
  if (values.contains("--sim-faults")) {
    auto parsed = sim::parseFaultSpec(values["--sim-faults"]);
    if (!parsed.error.empty()) return usage("--sim-faults: " + parsed.error);
    if (auto problem = sim::checkFaultSerials(parsed.events, {sim::lowBytes(config.serial)}); !problem.empty()) {
      return usage("--sim-faults: " + problem);
    }
    for (const auto& e : parsed.events) {
      // Another program holding the unit's node is the host's matter, not the unit's.
      if (e.kind == sim::FaultKind::Exclusive || e.kind == sim::FaultKind::Shared) {
        return usage("--sim-faults: " + e.text + ": happens on the host, not on the unit");
      }
    }
    faults = std::move(parsed.events);
  }
  std::ofstream frames;
  if (values.contains("--record-frames")) {
    frames.open(values["--record-frames"], std::ios::app);
    if (!frames) return usage("--record-frames: cannot open '" + values["--record-frames"] + "' to append");
  }

  int wake[2];
  if (pipe2(wake, O_NONBLOCK | O_CLOEXEC) != 0) {
    std::cerr << "tamrik-virtual-unit: pipe: " << std::strerror(errno) << "\n";
    return 1;
  }
  wakeWrite = wake[1];
  struct sigaction action{};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int s : {SIGTERM, SIGINT, SIGUSR1, SIGUSR2, SIGRTMIN, SIGRTMIN + 1}) sigaction(s, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  sim::RealClock clock;
  sim::SimulatedUnits units(clock);
  const sim::UnitId id = units.addUnit(std::move(config));
  units.scheduleFaults(faults);
  if (stallControl) units.setAnswersFeatureRequests(id, false);

  vm::VirtualUnit unit(units, id, frames.is_open() ? &frames : nullptr);
  vm::UsbipServer usbip(unit, server);
  if (const std::string problem = usbip.listen(); !problem.empty()) {
    std::cerr << "tamrik-virtual-unit: " << problem << "\n";
    return 1;
  }
  std::cout << "listening on " << server.address << ":" << usbip.port() << ", bus ID " << server.busId << std::endl;
  usbip.run(wake[0]);
  return 0;
}
