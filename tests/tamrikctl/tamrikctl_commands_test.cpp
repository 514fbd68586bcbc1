// tamrikctl's commands run in-process, as main() runs them, on simulated units in virtual time:
// what each prints, what reaches the units, and how each failure ends.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "app/tamrikctl/commands/commands.h"
#include "app/tamrikctl/program.h"
#include "app/tamrikctl/ctl_host.h"
#include "text/json_writer.h"
#include "text/key_value_lines.h"
#include "app/tamrikctl/global_options.h"
#include "core/protocol.h"
#include "tests/support/bytes.h"
#include "tests/support/golden_file.h"
#include "core/ubx.h"
#include "core/health.h"
#include "platform/host_kernel.h"
#include "platform/sim/fault_schedule.h"
#include "platform/sim/simulated_system_clock.h"
#include "platform/sim/simulated_units.h"
#include "platform/sim/ubx_frame.h"

namespace tamrik::ctl {
namespace {

using Frame = std::vector<std::uint8_t>;

// Virtual time, no real units; the simulated units can be adjusted once built and are looked at
// before they go.
class VirtualHost final : public Host {
 public:
  sim::SimClock& clock() override { return clock_; }
  platform::HostKernel::Sleeper sleeper() override { return clock_.sleeper(); }
  platform::DeviceBackend* realUnits() override { return real; }
  void simulationStarted(sim::SimulatedUnits& units) override {
    if (prepare) prepare(units);
  }
  void simulationEnding(sim::SimulatedUnits& units) override {
    for (sim::UnitId id = 0; id < units.unitCount(); ++id) views.push_back(units.unit(id));
  }

  std::function<void(sim::SimulatedUnits&)> prepare;
  std::vector<sim::UnitView> views;
  platform::DeviceBackend* real = nullptr;

 private:
  sim::VirtualClock clock_;
};

// A unit that does not do as it is told: every feature report sent passes `meddle`, which may
// change it on its way or refuse it (false).
class MeddledUnit final : public platform::DeviceBackend {
 public:
  using Meddle = std::function<bool(std::vector<std::uint8_t>&)>;
  // Sees what each read of input reports delivered.
  using Watch = std::function<void(std::span<const std::uint8_t>)>;
  MeddledUnit(sim::SimClock& clock, Meddle meddle, sim::UnitConfig config = {}, Watch watch = {})
      : units_(clock), meddle_(std::move(meddle)), watch_(std::move(watch)) {
    units_.addUnit(std::move(config));
  }
  sim::UnitView view() { return units_.unit(0); }

  std::vector<platform::HidInterface> hidInterfaces() override { return units_.hidInterfaces(); }
  platform::DeviceHandle open(const std::string& path, platform::OpenMode mode) override { return units_.open(path, mode); }
  bool close(platform::DeviceHandle h) override { return units_.close(h); }
  std::optional<platform::HidAttributes> attributes(platform::DeviceHandle h) override { return units_.attributes(h); }
  std::optional<std::u16string> string(platform::DeviceHandle h, platform::HidString which, std::size_t n) override {
    return units_.string(h, which, n);
  }
  std::optional<platform::HidCapabilities> capabilities(platform::DeviceHandle h) override { return units_.capabilities(h); }
  bool setFeature(platform::DeviceHandle h, std::span<const std::uint8_t> report) override {
    std::vector<std::uint8_t> sent(report.begin(), report.end());
    return meddle_(sent) && units_.setFeature(h, sent);
  }
  std::optional<std::size_t> getFeature(platform::DeviceHandle h, std::span<std::uint8_t> report) override {
    return units_.getFeature(h, report);
  }
  platform::InputReadResult readInputReports(platform::DeviceHandle h, std::span<std::uint8_t> buffer,
                                             std::chrono::milliseconds timeout) override {
    const auto read = units_.readInputReports(h, buffer, timeout);
    if (watch_ && read.ok) watch_(buffer.first(read.bytes));
    return read;
  }

 private:
  sim::SimulatedUnits units_;
  Meddle meddle_;
  Watch watch_;
};

struct Ran {
  int status;
  std::string out, err;
  std::vector<sim::UnitView> units;  // as the run left them; empty when none were built

  // The command frames a unit took with this command code, as received.
  std::vector<Frame> frames(std::size_t unit, std::uint8_t code) const {
    std::vector<Frame> found;
    for (const Frame& f : units.at(unit).firmware.commands) {
      if (f.size() > 1 && f[1] == code) found.push_back(f);
    }
    return found;
  }
  // Frames that change a unit: everything but the version query (10) and receiver set-up (8).
  std::size_t changes() const {
    std::size_t n = 0;
    for (const auto& u : units) {
      for (const Frame& f : u.firmware.commands) n += f.size() > 1 && f[1] != 10 && f[1] != 8;
    }
    return n;
  }
};

Ran ctl(std::vector<std::string_view> args, std::function<void(sim::SimulatedUnits&)> prepare = {}) {
  VirtualHost host;
  host.prepare = std::move(prepare);
  std::ostringstream out, err;
  const int status = run(args, out, err, host);
  return {status, out.str(), err.str(), host.views};
}

// A failure is told on exactly one line of standard error, named after the program.
void expectOneLineReason(const Ran& r, std::string_view part) {
  EXPECT_EQ(r.err.rfind("tamrikctl", 0), 0u) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  EXPECT_NE(r.err.find(part), std::string::npos) << "'" << part << "' not in: " << r.err;
}

std::size_t countOf(const std::string& text, std::string_view part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

Frame frame(std::initializer_list<std::uint8_t> head) {
  Frame f(65, 0);
  std::copy(head.begin(), head.end(), f.begin());
  return f;
}

TEST(TamrikctlHelp, EveryCommandHasItsOwnHelpBothWaysAndALineInTheOverview) {
  const std::string usage = usageText();
  for (const CommandSpec* command : commands()) {
    SCOPED_TRACE(std::string(command->name));
    const Ran asked = ctl({"help", command->name});
    const Ran flag = ctl({command->name, "--help"});
    EXPECT_EQ(asked.status, kExitOk);
    EXPECT_EQ(flag.status, kExitOk);
    EXPECT_EQ(asked.out, flag.out);
    EXPECT_EQ(asked.out, commandHelp(*command));
    EXPECT_EQ(asked.out.rfind("Usage: tamrikctl ", 0), 0u);
    EXPECT_NE(usage.find("\n  " + std::string(command->name) + " "), std::string::npos);
  }
  // The overview's command list has no blank line inside (the manual page's check reads it so).
  const std::size_t list = usage.find("Commands:\n");
  EXPECT_LT(usage.find("\n  help [COMMAND]"), usage.find("\n\n", list));

  EXPECT_EQ(ctl({"help", "frobnicate"}).status, kExitUsage);
  // help is listed as a command, so it has help of its own: the overview.
  EXPECT_EQ(ctl({"help", "help"}).out, usage);
  expectOneLineReason(ctl({"frobnicate"}), "unknown command 'frobnicate'");
  expectOneLineReason(ctl({}), "no command");
  // An unknown option before the command is called an option, not a command.
  const Ran option = ctl({"--simulate=1", "--bogus", "list"});
  EXPECT_EQ(option.status, kExitUsage);
  expectOneLineReason(option, "unknown option '--bogus'");
}

TEST(TamrikctlArguments, BadArgumentsAreRefusedInOneLineAndSendNothing) {
  struct Case {
    std::vector<std::string_view> args;
    int status;
    std::string_view reason;
  };
  const std::vector<Case> cases = {
      {{"output"}, kExitUsage, "expected on or off"},
      {{"output", "maybe"}, kExitBadArgument, "'maybe' is neither on nor off"},
      {{"blink", "1"}, kExitBadArgument, "neither on nor off"},
      {{"drive", "32ma"}, kExitBadArgument, "use one of 8mA, 16mA, 24mA, 32mA"},
      {{"drive", "16mA", "24mA"}, kExitUsage, "got 2 arguments"},
      {{"write-register", "256", "1"}, kExitBadArgument, "REG must be a whole number from 0 to 255"},
      {{"write-register", "1", "-0.6"}, kExitBadArgument, "DATA must be"},
      {{"write-register", "1", "x"}, kExitBadArgument, "not 'x'"},
      {{"write-register", "1"}, kExitUsage, "expected <REG> <DATA>"},
      {{"set-serial", "Q1"}, kExitBadArgument, "must have six characters"},
      {{"set-serial", "Q0000A"}, kExitBadArgument, "must be digits"},
      {{"set-frequency", "12a"}, kExitBadArgument, "'12a' is not a frequency in Hz"},
      {{"set-frequency", "364"}, kExitBadArgument, "Frequency too low: Lowest available frequency is 365 Hz"},
      {{"set-frequency", "812500001"}, kExitBadArgument, "Highest available frequency is 812.5 MHz"},
      {{"set-frequency", "777777777"}, kExitBadArgument, "the closest is 777777776.25 Hz"},
      {{"set-frequency"}, kExitUsage, "expected one frequency"},
      {{"status", "--wait", "-1"}, kExitBadArgument, "--wait must be from 0 to 3600"},
      {{"status", "--wait", "2,5"}, kExitBadArgument, "not a number of seconds"},
      {{"status", "--wait"}, kExitUsage, "--wait needs a value"},
      {{"status", "--json", "--prometheus"}, kExitUsage, "not both"},
      {{"status", "--xml"}, kExitUsage, "unknown option '--xml'"},
      {{"status", "--unit", "SIM001"}, kExitUsage, "--unit goes before the command"},
      {{"receiver", "--count", "0"}, kExitBadArgument, "--count must be a whole number"},
      {{"receiver", "--duration", "soon"}, kExitBadArgument, "--duration"},
      {{"list", "all"}, kExitUsage, "takes no arguments"},
      {{"factory-defaults", "now"}, kExitUsage, "takes no arguments"},
      {{"receiver", "--pty"}, kExitUsage, "--pty needs a path"},
      {{"receiver", "--pty", "gps0", "--count", "3"}, kExitUsage, "unexpected argument '--count'"},
      {{"receiver", "--fifo", "a", "--pty", "b"}, kExitUsage, "give one of --pty and --fifo"},
      {{"receiver", "--tcp", "localhost"}, kExitBadArgument, "--tcp 'localhost' is not ADDR:PORT"},
      {{"receiver", "--tcp", "127.0.0.1:70000"}, kExitBadArgument, "is not a number from 0 to 65535"},
      {{"receiver", "--tcp"}, kExitUsage, "--tcp needs ADDR:PORT or PORT"},
      {{"receiver", "--pty", "gps0", "--receiver-polls"}, kExitBadArgument, "give --tcp too"},
      {{"receiver", "--ntp-shm", "256"}, kExitBadArgument, "not a unit number from 0 to 255"},
      {{"receiver", "--ntp-shm", "-1"}, kExitBadArgument, "not a unit number from 0 to 255"},
      {{"receiver", "--tcp", "2947", "--metrics", "localhost"}, kExitBadArgument, "--metrics 'localhost' is not ADDR:PORT"},
      {{"receiver", "--receiver-polls"}, kExitBadArgument, "give --tcp too"},
      {{"receiver", "--metrics", "127.0.0.1:19348"}, kExitUsage, "expected --pty PATH, --fifo PATH, --tcp"},
  };
  for (const Case& c : cases) {
    std::vector<std::string_view> args{"--simulate=1"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Ran r = ctl(args);
    SCOPED_TRACE(r.err);
    EXPECT_EQ(r.status, c.status) << c.args.front();
    EXPECT_EQ(r.out, "");
    expectOneLineReason(r, c.reason);
    EXPECT_EQ(r.changes(), 0u);
  }
  const Ran badCount = ctl({"--simulate=x", "list"});
  EXPECT_EQ(badCount.status, kExitBadArgument);
  expectOneLineReason(badCount, "--simulate");
  // An option before the command that lacks its value is a usage error, as after the command.
  for (const auto& args : {std::vector<std::string_view>{"--unit"}, {"--simulate=1", "--replay"}}) {
    const Ran missing = ctl(args);
    EXPECT_EQ(missing.status, kExitUsage) << args.back();
    expectOneLineReason(missing, "needs a value");
  }
}

TEST(TamrikctlUnits, TheUnitIsChosenBySerialAndAChangeNeverGuessesAmongSeveral) {
  expectOneLineReason(ctl({"--simulate=0", "status"}), "no unit is attached");
  EXPECT_EQ(ctl({"--simulate=0", "output", "on"}).status, kExitNoUnit);

  const Ran unknown = ctl({"--simulate=2", "--unit", "SIM009", "output", "on"});
  EXPECT_EQ(unknown.status, kExitNoUnit);
  expectOneLineReason(unknown, "no unit with serial SIM009 is attached (attached: SIM001, SIM002)");
  EXPECT_EQ(unknown.changes(), 0u);

  for (const std::vector<std::string_view>& command :
       {std::vector<std::string_view>{"set-frequency", "12345678"}, {"output", "off"}, {"drive", "8mA"},
        {"blink", "on"}, {"factory-defaults"}, {"write-register", "1", "2"}, {"set-serial", "Q00001"}}) {
    std::vector<std::string_view> args{"--simulate=2"};
    args.insert(args.end(), command.begin(), command.end());
    const Ran r = ctl(args);
    SCOPED_TRACE(command.front());
    EXPECT_EQ(r.status, kExitNoUnit);
    expectOneLineReason(r, "several units are attached (SIM001, SIM002); choose one with --unit");
    EXPECT_EQ(r.changes(), 0u);
  }

  // A command that only reads takes the first unit listed.
  const Ran read = ctl({"--simulate=2", "status", "--wait", "0"});
  EXPECT_EQ(read.status, kExitOk) << read.err;
  EXPECT_EQ(read.out.rfind("serial=SIM001\n", 0), 0u);

  const Ran chosen = ctl({"--simulate=2", "--unit", "SIM002", "output", "off"});
  EXPECT_EQ(chosen.status, kExitOk) << chosen.err;
  EXPECT_EQ(chosen.out, "output_enabled=0\n");
  EXPECT_TRUE(chosen.frames(0, 1).empty());
  EXPECT_EQ(chosen.frames(1, 1), std::vector<Frame>{frame({0, 1, 0})});
}

// Units that are there but cannot be told apart, opened or heard: each failure names its cause.
TEST(TamrikctlUnits, ABusyUnitASharedSerialAndASilentUnitAreToldForWhatTheyAre) {
  const Ran busy = ctl({"--simulate=1", "--sim-faults", "exclusive:SIM001", "status"});
  EXPECT_EQ(busy.status, kExitNoUnit);
  expectOneLineReason(busy, "unit SIM001 is attached but busy: another program holds it (another program (simulated))");
  const Ran busyByName = ctl({"--simulate=1", "--sim-faults", "exclusive:SIM001", "--unit", "SIM001", "output", "on"});
  EXPECT_EQ(busyByName.status, kExitNoUnit);
  expectOneLineReason(busyByName, "unit SIM001 is attached but busy");

  // Two units under one serial: --unit cannot choose, and no second unit is given a serial the
  // first one carries.
  const auto twins = [](sim::SimulatedUnits& u) { u.replug(1, u"SIM001"); };
  const Ran ambiguous = ctl({"--simulate=2", "--unit", "SIM001", "output", "on"}, twins);
  EXPECT_EQ(ambiguous.status, kExitNoUnit);
  expectOneLineReason(ambiguous, "several attached units carry the serial SIM001");
  EXPECT_EQ(ambiguous.changes(), 0u);
  const auto named = [](sim::SimulatedUnits& u) { u.replug(0, u"Q00001"); };
  const Ran taken = ctl({"--simulate=2", "--unit", "SIM002", "set-serial", "Q00001"}, named);
  EXPECT_EQ(taken.status, kExitBadArgument);
  expectOneLineReason(taken, "Another attached unit already has the serial number Q00001.");
  EXPECT_TRUE(taken.frames(1, 0x53).empty());
  EXPECT_EQ(ctl({"--simulate=2", "--unit", "Q00001", "set-serial", "Q00001"}, named).status, kExitOk);

  // A unit that never answers a feature request: the read fails once the bound has passed, and
  // says so.
  const Ran deaf = ctl({"--simulate=1", "--sim-faults", "no-answer:SIM001", "output", "on"});
  EXPECT_EQ(deaf.status, kExitUnitFailed);
  expectOneLineReason(deaf, "reading the settings of unit SIM001 failed: reading the settings report: Connection timed out");
}

TEST(TamrikctlList, ListsEveryUnitWithItsStringsEscapedNeverInterpreted) {
  auto odd = [](sim::SimulatedUnits& units) {
    units.setStrings(0, u"Ta\"m\\rik\n\t\x01\x7f\u00e9 {}", u"Clock, \"GPS\"");
    units.setFeatureReportLength(1, 16);
  };
  const Ran json = ctl({"--simulate=2", "list", "--json"}, odd);
  EXPECT_EQ(json.status, kExitOk) << json.err;
  EXPECT_EQ(json.out,
            "[{\"serial\":\"SIM001\",\"manufacturer\":\"Ta\\\"m\\\\rik\\n\\t\\u0001\\u007f\xC3\xA9 {}\","
            "\"product\":\"Clock, \\\"GPS\\\"\",\"firmware\":\"1.20\",\"usable\":true},"
            "{\"serial\":\"SIM002\",\"manufacturer\":\"Tamrik\",\"product\":\"Tamrik GPS Reference Clock\","
            "\"firmware\":\"1.20\",\"usable\":false}]\n");

  const Ran lines = ctl({"--simulate=2", "list"}, odd);
  EXPECT_EQ(lines.out,
            "serial=SIM001\nmanufacturer=Ta\"m\\\\rik\\n\\t\\x01\\x7F\xC3\xA9 {}\nproduct=Clock, \"GPS\"\nfirmware=1.20\n"
            "usable=1\n\nserial=SIM002\nmanufacturer=Tamrik\nproduct=Tamrik GPS Reference Clock\nfirmware=1.20\n"
            "usable=0\n");

  EXPECT_EQ(ctl({"--simulate=2", "--unit", "SIM002", "list"}).out.rfind("serial=SIM002\n", 0), 0u);
  EXPECT_EQ(ctl({"--simulate=2", "--unit", "SIM009", "list"}).status, kExitNoUnit);
  const Ran none = ctl({"--simulate=0", "list", "--json"});
  EXPECT_EQ(none.status, kExitOk);
  EXPECT_EQ(none.out, "[]\n");

  // A unit held by another program is not listed as if it were absent: it is named on stderr, and
  // asking for it by serial says why it cannot be listed.
  const Ran busy = ctl({"--simulate=2", "--sim-faults", "exclusive:SIM001", "list"});
  EXPECT_EQ(busy.status, kExitOk);
  EXPECT_EQ(busy.out.rfind("serial=SIM002\n", 0), 0u) << busy.out;
  EXPECT_EQ(busy.err, "tamrikctl list: unit SIM001 is attached but busy: another program holds it "
                      "(another program (simulated))\n");
  const Ran busyByName = ctl({"--simulate=2", "--sim-faults", "exclusive:SIM001", "--unit", "SIM001", "list"});
  EXPECT_EQ(busyByName.status, kExitNoUnit);
  expectOneLineReason(busyByName, "unit SIM001 is attached but busy");

  // Output that cannot be written.
  VirtualHost host;
  std::ostringstream out, err;
  out.setstate(std::ios::badbit);
  const std::vector<std::string_view> args{"--simulate=1", "list"};
  EXPECT_EQ(run(args, out, err, host), kExitFailure);
  EXPECT_EQ(err.str(), "tamrikctl list: cannot write to standard output\n");
}

TEST(TamrikctlStatus, ShowsSettingsSignalPositionTimeAndSatellitesInThreeFormats) {
  const Ran json = ctl({"--simulate=1", "status", "--json", "--wait", "10"});
  ASSERT_EQ(json.status, kExitOk) << json.err;
  EXPECT_EQ(json.err, "");
  // The factory settings, the simulated receiver's fixed position and the virtual clock's day; the
  // twelve channels of the satellites it tracks and up to eight that search, as in a real
  // receiver's NAV-SVINFO.
  const std::regex expected(
      R"(\{"serial":"SIM001","manufacturer":"Tamrik","product":"Tamrik GPS Reference Clock","firmware":"1.20",)"
      R"("output_hz":10000000,"dividers":\{"gps":2875000,"n31":3,"n2_hs":11,"n2_ls":480,"n1_hs":11,"nc1_ls":46,)"
      R"("nc2_ls":46,"bw":9\},"f3_hz":958333.333333333,"fosc_hz":5060000000,"output_enabled":true,"drive":"32mA",)"
      R"("gps_signal":true,"pll_lock":true,"loss_count":0,"position":\{"lat":46.0569,"lon":14.5058,"height_m":341.5\},)"
      R"("utc":"2025-03-07T08:05:1\dZ","clock_time_accuracy_s":[0-9.]+E-08,"clock_frequency_accuracy":[0-9.]+E-1[01],)"
      R"("clock_bias_s":-?[0-9.]+(E-0\d)?,"clock_drift":-[0-9.]+E-07,"fix_type":3,"fix_time_accuracy_s":[0-9.]+E-08,)"
      R"("pdop":1.32,"num_sv":\d+,"satellites":\[(\{"channel":\d+,"svid":\d+,"cno":\d+,"used":(true|false),)"
      R"("elevation":-?\d+\},?){12,20}\]\}
)");
  EXPECT_TRUE(std::regex_match(json.out, expected)) << json.out;
  EXPECT_NE(json.out.find("\"used\":true"), std::string::npos) << "the satellites of a fix";

  const Ran lines = ctl({"--simulate=1", "status", "--wait", "10"});
  for (const char* line : {"output_hz=10000000\n", "f3_hz=958333.333333333\n", "drive=32mA\n", "pll_lock=1\n",
                           "lat=46.0569\n", "height_m=341.5\n"}) {
    EXPECT_NE(lines.out.find(line), std::string::npos) << line;
  }
  EXPECT_TRUE(std::regex_search(lines.out, std::regex("\nsatellites=(1[2-9]|20)\n"))) << lines.out;
  EXPECT_TRUE(std::regex_search(lines.out, std::regex("\nclock_bias_s=[^\n]+\nclock_drift=-[0-9.]+E-07\nfix_type=3\n"
                                                      "fix_time_accuracy_s=[0-9.]+E-08\npdop=1.32\nnum_sv=\\d+\n$")))
      << lines.out;

  // Nothing waited for: what is not known yet is empty or null, and that is no failure.
  const Ran early = ctl({"--simulate=1", "status", "--json", "--wait", "0"});
  EXPECT_EQ(early.status, kExitOk) << early.err;
  EXPECT_NE(early.out.find(R"("position":null,"utc":null,"clock_time_accuracy_s":null,"clock_frequency_accuracy":null,)"
                           R"("clock_bias_s":null,"clock_drift":null,"fix_type":null,"fix_time_accuracy_s":null,)"
                           R"("pdop":null,"num_sv":null,"satellites":[]})"),
            std::string::npos)
      << early.out;

  // Every sample belongs to a family announced by its HELP and TYPE lines, carries the unit's
  // serial, and no series is given twice.
  const Ran metrics = ctl({"--simulate=1", "status", "--prometheus", "--wait", "10"});
  ASSERT_EQ(metrics.status, kExitOk) << metrics.err;
  std::istringstream text(metrics.out);
  std::string line, help, type;
  std::set<std::string> families, series;
  const std::regex sample(
      R"((tamrik_[a-z_]+)\{serial="SIM001"(,[a-z]+="[^"]*")*\} -?[0-9.]+([eE][+-]?[0-9]+)?|(tamrikctl_build_info)\{version="[^"]+"\} 1)");
  while (std::getline(text, line)) {
    std::smatch m;
    if (line.rfind("# HELP ", 0) == 0) {
      help = line.substr(7, line.find(' ', 7) - 7);
    } else if (line.rfind("# TYPE ", 0) == 0) {
      type = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_EQ(type, help);
      EXPECT_TRUE(families.insert(type).second) << "family given twice: " << type;
    } else {
      ASSERT_TRUE(std::regex_match(line, m, sample)) << line;
      EXPECT_EQ(m[1].matched ? m[1].str() : m[4].str(), type) << line;
      EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << line;
    }
  }
  for (const char* family : {"tamrik_up", "tamrik_last_report_timestamp_seconds", "tamrik_unit_info",
                             "tamrik_constellation_satellites_used", "tamrik_output_frequency_hertz", "tamrik_divider", "tamrik_pll_lock",
                             "tamrik_position_latitude_degrees", "tamrik_receiver_time_seconds",
                             "tamrik_satellite_cno_dbhz", "tamrik_receiver_time_accuracy_seconds",
                             "tamrik_receiver_frequency_accuracy_ratio", "tamrik_receiver_clock_bias_seconds",
                             "tamrik_receiver_clock_drift_ratio", "tamrik_receiver_pvt_time_accuracy_seconds",
                             "tamrik_receiver_fix_type", "tamrik_receiver_position_dop",
                             "tamrik_receiver_pvt_satellites_used", "tamrikctl_build_info"}) {
    EXPECT_TRUE(families.contains(family)) << family;
  }
  // The version --version tells.
  const std::string version = ctl({"--version"}).out;
  const std::string number = version.substr(10, version.find('\n') - 10);
  EXPECT_NE(metrics.out.find("\ntamrikctl_build_info{version=\"" + number + "\"} 1\n"), std::string::npos) << version;
}

// A receiver that sends NAV-TIMEUTC and no NAV-PVT (here: every NAV-PVT rate sent to it set
// NAV-TIMEUTC's instead): status takes UTC from NAV-TIMEUTC in each of its forms, and has no fix.
TEST(TamrikctlStatus, UtcComesFromNavTimeUtcWhenNoNavPvtGivesIt) {
  for (const std::string_view form : {"--wait", "--json", "--prometheus"}) {
    VirtualHost host;
    MeddledUnit unit(host.clock(), [](std::vector<std::uint8_t>& f) {
      for (int rate = 1; rate < 256; ++rate) {
        const auto r = static_cast<std::uint8_t>(rate);
        if (f == core::receiverRateFrame(core::kClassNav, core::kIdNavPvt, r, f.size())) {
          f = *core::receiverRateFrame(core::kClassNav, core::kIdNavTimeUtc, r, f.size());
          break;
        }
      }
      return true;
    });
    host.real = &unit;
    std::vector<std::string_view> args{"status", "--wait", "8"};
    if (form != "--wait") args.push_back(form);
    std::ostringstream out, err;
    ASSERT_EQ(run(args, out, err, host), kExitOk) << err.str();
    const std::string text = out.str();
    SCOPED_TRACE(text);
    if (form == "--wait") {
      EXPECT_TRUE(std::regex_search(text, std::regex("\nutc=2025-03-07T08:05:1\\dZ\n"))) << text;
      EXPECT_NE(text.find("\nlat=\n"), std::string::npos);
      EXPECT_NE(text.find("\nfix_type=\n"), std::string::npos);
    } else if (form == "--json") {
      EXPECT_TRUE(std::regex_search(text, std::regex(R"("position":null,"utc":"2025-03-07T08:05:1\dZ",)"))) << text;
      EXPECT_NE(text.find(R"("fix_type":null,)"), std::string::npos);
    } else {
      EXPECT_TRUE(std::regex_search(text, std::regex("\ntamrik_receiver_time_seconds\\{serial=\"SIM001\"\\} 17413347\\d\\d\n")));
      EXPECT_EQ(text.find("tamrik_receiver_fix_type"), std::string::npos);
    }
  }
}

TEST(TamrikctlStatus, AUnitThatGoesAwayFallsSilentOrCannotBeReadIsAFailure) {
  const Ran lost = ctl({"--simulate=1", "--sim-faults", "unplug:SIM001@3000", "status", "--wait", "10"});
  EXPECT_EQ(lost.status, kExitUnitFailed);
  EXPECT_EQ(lost.out, "");
  expectOneLineReason(lost, "unit SIM001 went away while its receiver was read");

  // Reports that stop during the wait leave no present state to show, in any form.
  for (const std::string_view form : {"--wait", "--json", "--prometheus"}) {
    std::vector<std::string_view> args{"--simulate=1", "--sim-faults", "stall:SIM001@2000", "status", "--wait", "5"};
    if (form != "--wait") args.push_back(form);
    const Ran stalled = ctl(args);
    EXPECT_EQ(stalled.status, kExitUnitFailed) << form;
    EXPECT_EQ(stalled.out, "") << form;
    expectOneLineReason(stalled, "stopped sending input reports");
  }

  const Ran silent = ctl({"--simulate=1", "--sim-faults", "stall:SIM001", "status"});
  EXPECT_EQ(silent.status, kExitUnitFailed);
  expectOneLineReason(silent, "sent no input report within 2 s");

  const Ran shortReport = ctl({"--simulate=1", "--sim-faults", "short-feature:SIM001=16", "status"});
  EXPECT_EQ(shortReport.status, kExitUnitFailed);
  expectOneLineReason(shortReport, "its feature report is 16 bytes long");
}

TEST(TamrikctlSetFrequency, ProgramsTheSetAsUpdateDoesAndReadsItBack) {
  const Ran exact = ctl({"--simulate=1", "set-frequency", "12345678"});
  ASSERT_EQ(exact.status, kExitOk) << exact.err;
  EXPECT_EQ(exact.out,
            "exact=1\ngps=131337\nn31=1\nn2_hs=11\nn2_ls=4324\nn1_hs=11\nnc1_ls=46\nnc2_ls=46\nbw=9\n"
            "achieved_hz=12345678\noffset_hz=0\noffset_ppb=0\nprogrammed=1\n");
  // Command 4 twice, identical, with the settings block from byte 2 (values less their offsets,
  // low byte first), then the unit holds the set.
  const Frame block = frame({0, 4, 0x09, 0x01, 0x02, 0, 0, 0, 7, 0xE3, 0x10, 0, 7, 45, 0, 0, 45, 0, 0, 0, 9});
  EXPECT_EQ(exact.frames(0, 4), (std::vector<Frame>{block, block}));
  const sim::DividerSet& held = exact.units[0].firmware.settings;
  EXPECT_EQ(held.gps, 131337u);
  EXPECT_EQ(held.n2Ls, 4324u);
  EXPECT_EQ(held.nc2Ls, 46u);

  const Ran refused = ctl({"--simulate=1", "set-frequency", "777777777"});
  EXPECT_EQ(refused.status, kExitBadArgument);
  expectOneLineReason(refused, "777777777 Hz cannot be set exactly; the closest is 777777776.25 Hz, off by -0.75 Hz "
                               "(0.964 ppb); nothing was programmed (add --closest to set it)");
  const Ran closest = ctl({"--simulate=1", "set-frequency", "777777777", "--closest", "--json"});
  EXPECT_EQ(closest.status, kExitOk) << closest.err;
  EXPECT_EQ(closest.out,
            "{\"exact\":0,\"gps\":112701,\"n31\":1,\"n2_hs\":5,\"n2_ls\":11042,\"n1_hs\":4,\"nc1_ls\":2,"
            "\"nc2_ls\":2,\"bw\":9,\"achieved_hz\":777777776.25,\"offset_hz\":-0.75,\"offset_ppb\":0.964,"
            "\"programmed\":1}\n");
  EXPECT_EQ(closest.frames(0, 4).size(), 2u);
}

TEST(TamrikctlCommands, AUnitUnpluggedAtAnyMomentIsNeverReportedAsDone) {
  // A command takes some 50 ms of the unit's time (the window's pauses around each request); the
  // unit is pulled at every 2 ms of it. Done is said only when the unit holds the change.
  struct Case {
    std::vector<std::string_view> command;
    std::string_view done;
    std::function<bool(const sim::FirmwareState&)> holds;
  };
  const std::vector<Case> cases = {
      {{"set-frequency", "25000000"}, "\nprogrammed=1\n", [](const sim::FirmwareState& f) { return f.settings.gps == 78125; }},
      {{"drive", "8mA"}, "drive=8mA\n", [](const sim::FirmwareState& f) { return f.driveIndex == 0; }},
      {{"output", "off"}, "output_enabled=0\n", [](const sim::FirmwareState& f) { return f.outputFlags == 0; }},
  };
  for (const Case& c : cases) {
    std::set<int> outcomes;
    for (int ms = 0; ms <= 70; ms += 2) {
      const std::string faults = "unplug:SIM001@" + std::to_string(ms);
      std::vector<std::string_view> args{"--simulate=1", "--sim-faults", faults};
      args.insert(args.end(), c.command.begin(), c.command.end());
      const Ran r = ctl(args);
      SCOPED_TRACE(std::string(c.command.front()) + " " + faults + ": " + r.err);
      outcomes.insert(r.status);
      if (r.status == kExitOk) {
        EXPECT_NE(r.out.find(c.done), std::string::npos) << r.out;
        EXPECT_TRUE(c.holds(r.units.at(0).firmware));
      } else {
        EXPECT_TRUE(r.status == kExitNoUnit || r.status == kExitUnitFailed) << r.status;
        EXPECT_EQ(r.out, "");
        expectOneLineReason(r, r.status == kExitNoUnit ? "no unit is attached" : "unit SIM001");
      }
    }
    EXPECT_TRUE(outcomes.contains(kExitUnitFailed)) << c.command.front() << ": no unplug fell inside the command";
    EXPECT_TRUE(outcomes.contains(kExitOk)) << c.command.front() << ": never finished before the unplug";
  }
}

TEST(TamrikctlCommands, AUnitThatRefusesOrKeepsSomethingElseIsNeverReportedAsDone) {
  struct Case {
    std::vector<std::string_view> args;
    std::uint8_t code;                               // the command meddled with
    std::function<bool(std::vector<std::uint8_t>&)> meddle;
    std::string_view reason;
  };
  auto refuse = [](std::vector<std::uint8_t>&) { return false; };
  const std::vector<Case> cases = {
      {{"set-frequency", "12345678"}, 4, refuse, "unit SIM001 did not take the divider set (gps=131337 "},
      {{"set-frequency", "12345678"}, 4, [](std::vector<std::uint8_t>& f) { return ++f[2], true; },
       "unit SIM001 holds gps=131338 n31=1 n2_hs=11 n2_ls=4324 n1_hs=11 nc1_ls=46 nc2_ls=46 bw=9 after programming"},
      {{"factory-defaults"}, 3, [](std::vector<std::uint8_t>& f) { return f[2] = 2, true; },
       "reports the drive strength 24mA, not 32mA"},
      {{"factory-defaults"}, 1, refuse, "did not switch its output on"},
      {{"drive", "8mA"}, 3, [](std::vector<std::uint8_t>& f) { return f[2] = 1, true; },
       "reports the drive strength 16mA, not 8mA"},
      {{"output", "off"}, 1, [](std::vector<std::uint8_t>& f) { return f[2] = 3, true; },
       "reports its output on after it was switched off"},
      {{"blink", "on"}, 2, refuse, "did not take the blink command"},
      {{"write-register", "1", "2"}, 5, refuse, "did not take the register write"},
      {{"set-serial", "Q00001"}, 0x53, refuse, "did not take the serial number"},
  };
  for (const Case& c : cases) {
    VirtualHost host;
    MeddledUnit unit(host.clock(), [&](std::vector<std::uint8_t>& f) { return f[1] != c.code || c.meddle(f); });
    host.real = &unit;
    std::ostringstream out, err;
    const int status = run(c.args, out, err, host);
    const Ran r{status, out.str(), err.str(), {}};
    SCOPED_TRACE(std::string(c.args.front()) + ": " + r.err);
    EXPECT_EQ(r.status, kExitUnitFailed);
    EXPECT_EQ(r.out, "");
    expectOneLineReason(r, c.reason);
  }
}

TEST(TamrikctlCommands, EachSendsTheWindowsFrameAndChecksTheReadback) {
  const Ran off = ctl({"--simulate=1", "output", "off"});
  EXPECT_EQ(off.out, "output_enabled=0\n");
  EXPECT_EQ(off.frames(0, 1), std::vector<Frame>{frame({0, 1, 0})});
  EXPECT_EQ(ctl({"--simulate=1", "output", "on"}).frames(0, 1), std::vector<Frame>{frame({0, 1, 3})});

  const Ran drive = ctl({"--simulate=1", "drive", "24mA"});
  EXPECT_EQ(drive.out, "drive=24mA\n");
  EXPECT_EQ(drive.frames(0, 3), std::vector<Frame>{frame({0, 3, 2})});

  const Ran blink = ctl({"--simulate=1", "blink", "on"});
  EXPECT_EQ(blink.out, "blink=1\n");
  EXPECT_EQ(blink.frames(0, 2), std::vector<Frame>{frame({0, 2, 1})});
  EXPECT_TRUE(blink.units[0].firmware.ledBlinking);

  const Ran reg = ctl({"--simulate=1", "write-register", "136", "64"});
  EXPECT_EQ(reg.out, "register=136\ndata=64\n");
  EXPECT_EQ(reg.frames(0, 5), std::vector<Frame>{frame({0, 5, 0x88, 0x40})});
  // As the window reads REG and DATA: a fraction to the nearest whole number, halves to even.
  EXPECT_EQ(ctl({"--simulate=1", "write-register", "0.5", "254.5"}).frames(0, 5),
            std::vector<Frame>{frame({0, 5, 0, 254})});

  const Ran serial = ctl({"--simulate=1", "set-serial", "Q00099"});
  EXPECT_EQ(serial.out, "serial=Q00099\nnext_serial=Q00100\n");
  EXPECT_EQ(serial.frames(0, 0x53), std::vector<Frame>{frame({0, 0x53, 0x4E, 'Q', '0', '0', '0', '9', '9'})});

  // Factory defaults: drive 32mA, output on, then the 10 MHz preset as Update sends it.
  const Ran factory = ctl({"--simulate=1", "factory-defaults"});
  ASSERT_EQ(factory.status, kExitOk) << factory.err;
  EXPECT_EQ(factory.out.rfind("output_enabled=1\ndrive=32mA\nexact=1\ngps=97600\n", 0), 0u) << factory.out;
  std::vector<std::uint8_t> codes;
  for (const Frame& f : factory.units[0].firmware.commands) {
    if (f[1] != 10) codes.push_back(f[1]);
  }
  EXPECT_EQ(codes, (std::vector<std::uint8_t>{3, 1, 4, 4}));
  EXPECT_EQ(factory.units[0].firmware.settings.nc1Ls, 122u);

  // A unit whose feature report cannot carry the settings is never commanded.
  const Ran tooShort = ctl({"--simulate=1", "--sim-faults", "short-feature:SIM001=16", "output", "on"});
  EXPECT_EQ(tooShort.status, kExitUnitFailed);
  EXPECT_EQ(tooShort.changes(), 0u);
}

TEST(TamrikctlReceiver, PrintsEachDecodedMessageAsAJsonLine) {
  const Ran five = ctl({"--simulate=1", "receiver", "--count", "5"});
  ASSERT_EQ(five.status, kExitOk) << five.err;
  std::istringstream lines(five.out);
  std::string line;
  int n = 0;
  std::set<std::string> kinds;
  const std::regex message(R"re(\{"message":"(NAV-PVT|NAV-SVINFO|NAV-CLOCK|NAV-TIMEUTC)","serial":"SIM001","i_tow_ms":\d+,.*\})re");
  while (std::getline(lines, line)) {
    std::smatch m;
    EXPECT_TRUE(std::regex_match(line, m, message)) << line;
    kinds.insert(m[1].str());
    ++n;
  }
  EXPECT_EQ(n, 5);
  EXPECT_EQ(kinds, (std::set<std::string>{"NAV-PVT", "NAV-SVINFO", "NAV-CLOCK"}));

  // Ten seconds of the unit's time: one NAV-PVT a second once the receiver started sending.
  const Ran timed = ctl({"--simulate=1", "receiver", "--duration", "10"});
  EXPECT_EQ(timed.status, kExitOk);
  const auto pvts = countOf(timed.out, "\"NAV-PVT\"");
  EXPECT_GE(pvts, 8);
  EXPECT_LE(pvts, 10);
  EXPECT_NE(timed.out.find(R"("fix_ok":true,"num_sv":)"), std::string::npos);

  const Ran lost = ctl({"--simulate=1", "--sim-faults", "unplug:SIM001@3500", "receiver"});
  EXPECT_EQ(lost.status, kExitUnitFailed);
  expectOneLineReason(lost, "went away while its receiver was read");
  EXPECT_FALSE(lost.out.empty());
  EXPECT_EQ(lost.out.back(), '\n');
}

class TamrikctlSimState : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("tamrikctl-state-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path dir_;
};

TEST_F(TamrikctlSimState, ASecondRunFindsWhatTheFirstProgrammed) {
  const std::string dir = dir_.string();
  const Ran set = ctl({"--simulate=1", "--sim-state", dir, "set-frequency", "12345678"});
  ASSERT_EQ(set.status, kExitOk) << set.err;
  const Ran later = ctl({"--simulate=1", "--sim-state", dir, "status", "--json", "--wait", "0"});
  ASSERT_EQ(later.status, kExitOk) << later.err;
  EXPECT_NE(later.out.find(R"("output_hz":12345678,"dividers":{"gps":131337,"n31":1,"n2_hs":11,"n2_ls":4324,)"),
            std::string::npos)
      << later.out;
}

// What list shows is what --unit takes, even for a serial with a backslash, which a line shows
// escaped; the serial as the unit sends it is taken too.
TEST_F(TamrikctlSimState, TheSerialAsListShowsItChoosesTheUnit) {
  const std::string dir = dir_.string();
  ASSERT_EQ(ctl({"--simulate=1", "--sim-state", dir, "set-serial", "\\00001"}).status, kExitOk);
  const Ran list = ctl({"--simulate=1", "--sim-state", dir, "list"});
  ASSERT_EQ(list.out.rfind("serial=\\\\00001\n", 0), 0u) << list.out;
  for (const std::string_view given : {"\\\\00001", "\\00001"}) {
    const Ran chosen = ctl({"--simulate=1", "--sim-state", dir, "--unit", given, "output", "off"});
    EXPECT_EQ(chosen.status, kExitOk) << given << ": " << chosen.err;
  }
  for (const std::string& odd : {std::string("a\\b\n\t\r\x01\x7f"), std::string("\\x4"), std::string("\\q\\")}) {
    EXPECT_EQ(text::fromLineValue(text::lineValue(odd)), odd);
  }
}

// A replayed capture has an end: receiver and record without --duration end with it, saying so,
// instead of waiting for bytes that never come. A pipe is never recorded into (its reader could
// hold the recording past any duration).
TEST_F(TamrikctlSimState, RunsOnAReplayEndWithItAndAPipeIsNeverRecordedInto) {
  std::filesystem::create_directories(dir_);
  const std::string capture = (dir_ / "three.ubx").string();
  {
    std::ofstream out(capture, std::ios::binary);
    for (std::uint32_t epoch = 0; epoch < 3; ++epoch) {
      std::vector<std::uint8_t> clock(20, 0);
      sim::ubx::put<std::uint32_t>(clock, 0, 1000 * epoch);
      const auto f = sim::ubx::frame(0x01, 0x22, clock);
      out.write(reinterpret_cast<const char*>(f.data()), static_cast<std::streamsize>(f.size()));
    }
  }
  for (const bool fast : {true, false}) {
    std::vector<std::string_view> args{"--replay", capture};
    if (fast) args.push_back("--replay-fast");
    args.push_back("receiver");
    const Ran all = ctl(args);
    EXPECT_EQ(all.status, kExitOk) << all.err;
    EXPECT_EQ(countOf(all.out, "\"NAV-CLOCK\""), 3u) << all.out;
    EXPECT_EQ(all.err, "tamrikctl receiver: the capture of --replay ended\n");
    args.insert(args.end(), {"--count", "5"});
    EXPECT_EQ(ctl(args).err, "tamrikctl receiver: the capture of --replay ended\n");
  }
  const std::string recorded = (dir_ / "recorded.ubx").string();
  const Ran rec = ctl({"--replay", capture, "record", recorded});
  EXPECT_EQ(rec.status, kExitOk) << rec.err;
  EXPECT_EQ(rec.err, "tamrikctl record: the capture of --replay ended\n");
  // The capture's 84 bytes in two reports, the second filled up with zeros.
  std::ifstream in(recorded, std::ios::binary), original(capture, std::ios::binary);
  const std::string got((std::istreambuf_iterator<char>(in)), {}), bytes((std::istreambuf_iterator<char>(original)), {});
  EXPECT_EQ(got, bytes + std::string(2 * 62 - bytes.size(), '\0'));
#ifndef _WIN32
  const std::string pipe = (dir_ / "pipe").string();
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  const Ran piped = ctl({"--simulate=1", "record", pipe, "--force", "--duration", "1"});
  EXPECT_EQ(piped.status, kExitFailure);
  expectOneLineReason(piped, "cannot record into " + pipe + ": it is a pipe");
#endif
}

#ifndef _WIN32
// SIGTERM right after the read that brought the Nth report: the recording ends there, closed whole,
// with every receiver byte that reached the program, the last read's included, and nothing else.
TEST_F(TamrikctlSimState, ARecordingStoppedBySignalKeepsEveryByteItWasGiven) {
  std::filesystem::create_directories(dir_);
  auto capture = std::make_shared<std::vector<std::uint8_t>>();
  for (std::uint32_t epoch = 0; epoch < 40; ++epoch) {
    std::vector<std::uint8_t> clock(20, 0);
    sim::ubx::put<std::uint32_t>(clock, 0, 1000 * epoch);
    const auto f = sim::ubx::frame(0x01, 0x22, clock);
    capture->insert(capture->end(), f.begin(), f.end());
  }
  sim::UnitConfig config;
  config.replay = capture;
  VirtualHost host;
  std::vector<std::uint8_t> delivered;
  int reports = 0;
  constexpr int kStopAfter = 7;
  MeddledUnit unit(host.clock(), [](std::vector<std::uint8_t>&) { return true; }, config,
                   [&](std::span<const std::uint8_t> read) {
                     const std::size_t length = 65;
                     for (std::size_t at = 0; at + length <= read.size(); at += length) {
                       const auto bytes = core::receiverBytes(read.subspan(at, length));
                       if (bytes.empty()) continue;
                       delivered.insert(delivered.end(), bytes.begin(), bytes.end());
                       if (++reports == kStopAfter) std::raise(SIGTERM);
                     }
                   });
  host.real = &unit;
  const std::string file = (dir_ / "stopped.ubx").string();
  std::ostringstream out, err;
  const std::vector<std::string_view> args{"record", file};
  ASSERT_EQ(run(args, out, err, host), kExitOk) << err.str();
  ASSERT_GE(reports, kStopAfter);
  std::ifstream in(file, std::ios::binary);
  const std::vector<std::uint8_t> recorded((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(recorded, delivered);
  ASSERT_LE(recorded.size(), capture->size());
  EXPECT_TRUE(std::equal(recorded.begin(), recorded.end(), capture->begin()));
}
#endif

// The state cannot be kept (a full disk, the folder gone): one line, one outcome, and nothing
// printed as done, however many times the unit's state changed during the command.
TEST_F(TamrikctlSimState, AStateThatCannotBeKeptFailsOnceWithNothingPrintedAsDone) {
  const std::string dir = dir_.string();
  const Ran r = ctl({"--simulate=1", "--sim-state", dir, "set-frequency", "12345678"}, [&](sim::SimulatedUnits&) {
    std::filesystem::remove_all(dir_);
    std::ofstream(dir_) << "not a folder";
  });
  EXPECT_EQ(r.status, kExitUnitFailed);
  EXPECT_EQ(r.out, "");
  expectOneLineReason(r, "--sim-state: cannot write in the folder");
}

TEST_F(TamrikctlSimState, ADamagedStateFileIsNamedAndLeftAsItIs) {
  std::filesystem::create_directories(dir_);
  const std::filesystem::path file = dir_ / "SIM001.state";
  const std::string damaged = "format=1\nserial=SIM001\ngps=twelve\n";
  std::ofstream(file) << damaged;
  for (const std::vector<std::string_view>& command :
       {std::vector<std::string_view>{"status"}, {"set-frequency", "12345678"}, {"list"}}) {
    const std::string dir = dir_.string();
    std::vector<std::string_view> args{"--simulate=1", "--sim-state", dir};
    args.insert(args.end(), command.begin(), command.end());
    const Ran r = ctl(args);
    EXPECT_EQ(r.status, kExitBadArgument);
    EXPECT_EQ(r.out, "");
    expectOneLineReason(r, "SIM001.state' is damaged: line 3: gps 'twelve'");
    std::ifstream in(file);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), damaged);
  }
}

// A night of faults in a few virtual seconds: every event in its order, the state after it, and a
// unit that is away or silent never shown as locked.
// A unit with a fix pulled out and plugged in again: from its unit_connected line until its
// first NAV-PVT, watch shows the fix as unknown, never as the one from before the unplug.
TEST(TamrikctlWatch, AReplugForgetsTheFixUntilTheUnitSendsItsOwn) {
  const Ran r = ctl({"--simulate=1", "--sim-faults", "unplug:SIM001@9000,replug:SIM001@11000", "watch", "--duration", "17"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  std::istringstream lines(r.out);
  bool hadFix = false, replugged = false;
  std::optional<std::string> firstKnownAfter;
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find(" fix=");
    ASSERT_NE(at, std::string::npos) << line;
    const std::string fix = line.substr(at + 5, line.find(' ', at + 5) - at - 5);
    if (!replugged) {
      hadFix = hadFix || fix == "1";
      replugged = line.find(" event=unit_connected ") != std::string::npos;
      if (replugged) {
        EXPECT_EQ(fix, "") << line;
      }
    } else if (!fix.empty() && !firstKnownAfter) {
      firstKnownAfter = fix;
    }
  }
  ASSERT_TRUE(hadFix && replugged) << r.out;
  // The replugged receiver starts again without signal: its first NAV-PVT has no fix.
  EXPECT_EQ(firstKnownAfter, "0") << r.out;
}

TEST(TamrikctlWatch, PrintsOneLinePerEventOfAFaultSchedule) {
  const Ran r = ctl({"--simulate=1", "--sim-faults",
                     "signal-loss:SIM001@7000,signal:SIM001@8000,signal-flicker:SIM001@9000=2,pll-unlock:SIM001@10000,"
                     "pll-lock:SIM001@11000,unplug:SIM001@12000,replug:SIM001@13000,stall:SIM001@20000",
                     "watch", "--duration", "22"});
  ASSERT_EQ(r.status, kExitOk) << r.err;
  EXPECT_EQ(r.err, "");
  std::vector<std::string> events;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex(R"(time=2025-03-07T08:05:\d\d\.\d{3}Z serial=SIM001 event=([a-z_]+) .*)")))
        << line;
    std::string event = m[1];
    for (const char* key : {" pll_lock=", " gps_signal_losses=", " counted=", " disconnects="}) {
      const std::size_t at = line.find(key);
      if (at != std::string::npos) event += key + line.substr(at + std::strlen(key), line.find(' ', at + 1) - at - std::strlen(key));
    }
    events.push_back(event);
  }
  const std::vector<std::string> expected = {
      "state pll_lock=0 gps_signal_losses=0 disconnects=0",
      "pll_lock_regained pll_lock=1 gps_signal_losses=0 disconnects=0",
      "gps_signal_regained pll_lock=1 gps_signal_losses=0 disconnects=0",
      "fix_regained pll_lock=1 gps_signal_losses=0 disconnects=0",
      "gps_signal_lost pll_lock=1 gps_signal_losses=1 counted=1 disconnects=0",
      "fix_lost pll_lock=1 gps_signal_losses=1 disconnects=0",
      "gps_signal_regained pll_lock=1 gps_signal_losses=1 disconnects=0",
      "fix_regained pll_lock=1 gps_signal_losses=1 disconnects=0",
      "gps_signal_losses_counted pll_lock=1 gps_signal_losses=3 counted=2 disconnects=0",
      "pll_lock_lost pll_lock=0 gps_signal_losses=3 disconnects=0",
      "pll_lock_regained pll_lock=1 gps_signal_losses=3 disconnects=0",
      "unit_disconnected pll_lock= gps_signal_losses=3 disconnects=1",
      // Back after a power cycle: its count starts again from 0, which is no loss.
      "unit_connected pll_lock=0 gps_signal_losses=3 disconnects=1",
      "pll_lock_regained pll_lock=1 gps_signal_losses=3 disconnects=1",
      "gps_signal_regained pll_lock=1 gps_signal_losses=3 disconnects=1",
      "fix_regained pll_lock=1 gps_signal_losses=3 disconnects=1",
      "reports_stopped pll_lock= gps_signal_losses=3 disconnects=1",
  };
  EXPECT_EQ(events, expected) << r.out;
  // The receiver's timing quality as it stood: a fix's on the line of its return, none while the
  // unit is away or silent.
  std::istringstream again(r.out);
  for (std::string line; std::getline(again, line);) {
    SCOPED_TRACE(line);
    ASSERT_NE(line.find(" clock_time_accuracy_s="), std::string::npos);
    if (line.find(" event=fix_regained ") != std::string::npos) {
      EXPECT_TRUE(std::regex_search(line, std::regex(" fix_type=3 fix_time_accuracy_s=[0-9.]+E-08 pdop=1.32 num_sv=\\d+$")));
    } else if (line.find(" event=unit_disconnected ") != std::string::npos ||
               line.find(" event=reports_stopped ") != std::string::npos) {
      EXPECT_NE(line.find(" clock_time_accuracy_s= clock_frequency_accuracy= clock_bias_s= clock_drift= fix_type= "
                          "fix_time_accuracy_s= pdop= num_sv="),
                std::string::npos);
    }
  }

  const Ran json = ctl({"--simulate=1", "--sim-faults", "unplug:SIM001@2000", "watch", "--json", "--duration", "3"});
  ASSERT_EQ(json.status, kExitOk) << json.err;
  EXPECT_NE(json.out.find(R"("event":"unit_disconnected","connected":false,"reporting":false,"gps_signal":null,)"
                          R"("pll_lock":null,"fix":null,"loss_count":null,)"),
            std::string::npos)
      << json.out;
  EXPECT_NE(json.out.find(R"("fix_type":null,"fix_time_accuracy_s":null,"pdop":null,"num_sv":null})"), std::string::npos)
      << json.out;

  const Ran none = ctl({"--simulate=0", "watch", "--duration", "2"});
  EXPECT_EQ(none.status, kExitOk);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "tamrikctl watch: no unit is attached yet; waiting\n");
  const Ran notThat = ctl({"--simulate=1", "--unit", "SIM009", "watch", "--duration", "2"});
  EXPECT_EQ(notThat.status, kExitOk);
  EXPECT_EQ(notThat.out, "");
  EXPECT_EQ(notThat.err, "tamrikctl watch: unit SIM009 is not attached yet; waiting\n");
}

// Another program (a window closing) switches the receiver's messages off: the watch and a
// recording switch them on again once the receiver has been quiet for a while, as the bridge does.
TEST(TamrikctlWatch, SwitchesTheReceiversMessagesOnAgainWhenAnotherProgramSwitchedThemOff) {
  const std::string recording = ::testing::TempDir() + "tamrik-record-quiet.ubx";
  const std::vector<std::vector<std::string_view>> commands = {
      {"--simulate=1", "watch", "--duration", "20"},
      {"--simulate=1", "record", recording, "--duration", "20", "--force"}};
  for (const auto& args : commands) {
    SCOPED_TRACE(args[1]);
    const Ran r = ctl(args, [](sim::SimulatedUnits& units) {
      units.schedule(std::chrono::milliseconds(8000), [&units] {
        const auto h = units.open(units.unit(0).path, platform::OpenMode::Plain);
        for (const core::MessageRate& m : core::navMessagesOff()) {
          ASSERT_TRUE(units.setFeature(h, *core::receiverRateFrame(m.messageClass, m.messageId, 0, 65)));
        }
        units.close(h);
      });
    });
    ASSERT_EQ(r.status, kExitOk) << r.err;
    // Switched on at the start, off by the other program, on again.
    EXPECT_EQ(r.frames(0, 8).size(), 9u);
    EXPECT_EQ(r.units.at(0).rate(core::kClassNav, core::kIdNavPvt), 1);
    EXPECT_EQ(countOf(r.out, "event=fix_lost"), 0u) << r.out;
  }
  std::filesystem::remove(recording);
}

TEST(TamrikctlExporter, AMalformedOrUnusableAddressEndsItWithOneLine) {
  const std::pair<const char*, const char*> cases[] = {
      {"19347", "is not ADDR:PORT"},
      {":19347", "names no address"},
      {"127.0.0.1:65536", "the port '65536' is not a number"},
      {"::1:19347", "an IPv6 address goes in brackets"},
      {"[host]:19347", "is not an IPv6 address"},
      {"a b:19347", "is not an address or a host name"},
      {"192.0.2.1:19347", "cannot listen on 192.0.2.1:19347: Cannot assign requested address"},
  };
  for (const auto& [listen, reason] : cases) {
    const Ran r = ctl({"--simulate=1", "exporter", "--listen", listen});
    EXPECT_EQ(r.status, kExitBadArgument) << listen;
    expectOneLineReason(r, reason);
  }
  // A web config file that cannot be served stops it before it listens.
  const Ran r = ctl({"--simulate=1", "exporter", "--listen", "127.0.0.1:0", "--web.config.file", "/nonexistent/web.yml"});
  EXPECT_EQ(r.status, kExitBadArgument);
#ifdef _WIN32
  expectOneLineReason(r, "--web.config.file: TLS and passwords are served on Linux only");
#else
  expectOneLineReason(r, "--web.config.file /nonexistent/web.yml: No such file or directory");
#endif
}

// The frames each changing command sends a unit and what it prints, one command after another on
// one unit that keeps its state: tests/golden/data/tamrikctl_commands.frames. The booted system's
// scenario runs the same commands through hidraw on the virtual USB unit and holds what that unit
// received and what tamrikctl printed against this file, so the kernel path is pinned to the
// simulator's. Regenerate with TAMRIK_UPDATE_GOLDEN=1 after a deliberate change.
//   $ <arguments>    a command, run as tamrikctl <arguments> with the unit as the only one attached
//   > <line>         a line it printed
//   len=<n> hex=<hex>  a feature report the unit took: its length with the report ID byte, then
//                      its bytes, report ID byte first, trailing zeros left out
TEST_F(TamrikctlSimState, EachChangingCommandsFramesAndReadbackArePinned) {
  const std::vector<std::vector<std::string_view>> commands = {
      {"set-frequency", "25000000"}, {"output", "off"}, {"drive", "16mA"},
      {"blink", "on"},               {"blink", "off"},  {"write-register", "136", "64"},
      {"set-serial", "Q00099"},      {"factory-defaults"}};
  const std::string dir = dir_.string();
  std::string file;
  for (const auto& command : commands) {
    std::vector<std::string_view> args{"--simulate=1", "--sim-state", dir};
    args.insert(args.end(), command.begin(), command.end());
    const Ran r = ctl(args);
    ASSERT_EQ(r.status, kExitOk) << r.err;
    file += "$";
    for (const auto word : command) file += " " + std::string(word);
    file += "\n";
    std::istringstream out(r.out);
    for (std::string line; std::getline(out, line);) file += "> " + line + "\n";
    for (const Frame& f : r.units.at(0).firmware.commands) {
      file += "len=" + std::to_string(f.size()) + " hex=" + tamrik::testing::traceHex(f) + "\n";
    }
  }
  tamrik::testing::checkGoldenFile(std::string(TAMRIK_SOURCE_DIR) + "/tests/golden/data/tamrikctl_commands.frames", file);
}

}  // namespace
}  // namespace tamrik::ctl
