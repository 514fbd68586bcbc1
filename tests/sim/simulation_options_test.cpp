#include "platform/sim/simulation_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "tests/sim/sim_test_support.h"

namespace tamrik::sim {
namespace {

using namespace std::chrono_literals;

SimulationArguments parse(std::vector<std::string> args) { return parseSimulationArguments(args); }

TEST(SimulationOptions, TakesItsOptionsAndLeavesTheRest) {
  auto a = parse({"--snapshot", "out.json", "--simulate", "--quit-after", "500"});
  EXPECT_EQ(a.error, "");
  EXPECT_TRUE(a.options.enabled);
  EXPECT_EQ(a.options.unitCount, 2);
  EXPECT_EQ(a.rest, (std::vector<std::string>{"--snapshot", "out.json", "--quit-after", "500"}));

  a = parse({"--simulate=3", "--replay", "cap.ubx", "--replay-fast", "--quit-at-replay-end"});
  EXPECT_EQ(a.error, "");
  EXPECT_EQ(a.options.unitCount, 3);
  EXPECT_EQ(a.options.replayFile, "cap.ubx");
  EXPECT_TRUE(a.options.replayFast);
  EXPECT_TRUE(a.options.quitAtReplayEnd);
  EXPECT_TRUE(a.rest.empty());

  // --replay and --sim-faults switch the simulation on by themselves; = works for values too.
  a = parse({"--replay=x.ubx"});
  EXPECT_TRUE(a.options.enabled);
  a = parse({"--sim-faults=stall:SIM002@2000"});
  EXPECT_TRUE(a.options.enabled);
  ASSERT_EQ(a.options.faults.size(), 1u);
  a = parse({"--sim-state", "units", "--snapshot", "s.json"});
  EXPECT_TRUE(a.options.enabled);
  EXPECT_EQ(a.options.stateDir, "units");
  EXPECT_EQ(a.rest, (std::vector<std::string>{"--snapshot", "s.json"}));
  // Kept units may carry other serials: their faults are checked once the state is read.
  a = parse({"--sim-state=units", "--sim-faults", "unplug:Q00042@100"});
  EXPECT_EQ(a.error, "");

  EXPECT_EQ(parse({"--sim-foreign"}).options.foreignCount, 1);
  a = parse({"--simulated", "--simulate-more"});  // only exact names are ours
  EXPECT_FALSE(a.options.enabled);
  EXPECT_EQ(simulatedSerials(3), (std::vector<std::string>{"SIM001", "SIM002", "SIM003"}));
  EXPECT_EQ(simulatedSerials(12).back(), "SIM012");
}

TEST(SimulationOptions, BadValuesGiveClearErrors) {
  struct Case {
    std::vector<std::string> args;
    std::string expected;  // a part of the message
  };
  const Case cases[] = {
      {{"--simulate=x"}, "--simulate: 'x' is not a number of units"},
      {{"--simulate=1000"}, "from 0 to 999"},
      {{"--simulate=-1"}, "from 0 to 999"},
      {{"--simulate="}, "--simulate: '' is not"},
      {{"--replay"}, "--replay needs a file name"},
      {{"--replay="}, "--replay needs a file name"},
      {{"--replay-fast"}, "--replay-fast needs --replay"},
      {{"--simulate", "--quit-at-replay-end"}, "--quit-at-replay-end needs --replay"},
      {{"--replay-fast=1", "--replay", "f"}, "--replay-fast takes no value"},
      {{"--sim-faults"}, "--sim-faults needs a fault list"},
      {{"--sim-state"}, "--sim-state needs a folder"},
      {{"--sim-state="}, "--sim-state needs a folder"},
      {{"--sim-foreign=100"}, "--sim-foreign: '100' is not a number of devices from 0 to 99"},
      {{"--simulate=0", "--replay", "f"}, "at least one simulated unit"},
      {{"--sim-faults", "stall:SIM003@10"}, "no simulated unit carries serial SIM003"},
      {{"--sim-faults", "unplug:SIM001@3000,,replug:SIM001"}, "entry 2 '': empty entry"},
  };
  for (const auto& c : cases) {
    const auto a = parse(c.args);
    EXPECT_NE(a.error.find(c.expected), std::string::npos) << "got: " << a.error;
  }
  EXPECT_NE(simulationOptionsHelp().find("--sim-faults SPEC"), std::string::npos);
}

TEST(FaultSpec, ParsesEveryAction) {
  const auto r = parseFaultSpec(
      "unplug:SIM001@3000, replug:SIM001@5000,stall:SIM002@2000,resume:SIM002@2500,"
      "corrupt:SIM001@100=0.05,drop:SIM001,signal-loss:SIM001@7000,signal:SIM001@8000,"
      "exclusive:SIM002@1,shared:SIM002@2,no-serial:SIM002@3,serial-ok:SIM002@4,"
      "short-feature:SIM002=22,short-feature:SIM002,wide-strings:SIM001,firmware:SIM001=0x0114,"
      "firmware:SIM002=276,replug-as:SIM001@9000=ABC123,serial-change:SIM002@9500=Q00099,"
      "signal-flicker:SIM001=3,signal-flicker:SIM001,pll-unlock:SIM001@1,pll-lock:SIM001@2");
  ASSERT_EQ(r.error, "");
  ASSERT_EQ(r.events.size(), 23u);
  EXPECT_EQ(r.events[19].number, 3);
  EXPECT_EQ(r.events[20].number, 1);
  EXPECT_EQ(r.events[22].kind, FaultKind::PllLock);
  EXPECT_EQ(r.events[0].kind, FaultKind::Unplug);
  EXPECT_EQ(r.events[0].at, 3000ms);
  EXPECT_DOUBLE_EQ(r.events[4].probability, 0.05);
  EXPECT_DOUBLE_EQ(r.events[5].probability, 0.01);  // the default, at the start
  EXPECT_EQ(r.events[13].number, 16);
  EXPECT_EQ(r.events[15].number, 0x0114);
  EXPECT_EQ(r.events[16].number, 276);
  EXPECT_EQ(r.events[18].newSerial, "Q00099");
  EXPECT_EQ(checkFaultSerials(r.events, {"SIM001", "SIM002"}), "");
}

TEST(FaultSpec, RejectsMalformedEntries) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "empty"},
      {"unplug", "expected ACTION:SERIAL"},
      {"yank:SIM001", "unknown action 'yank'"},
      {"unplug:@100", "missing serial number"},
      {"unplug:SIM 001", "is not a serial number"},
      {"unplug:SIM001@soon", "time 'soon'"},
      {"unplug:SIM001@99999999999", "time '99999999999'"},
      {"stall:SIM001=1", "stall takes no value"},
      {"replug-as:SIM001@10", "replug-as needs a value"},
      {"corrupt:SIM001=1.5", "probability '1.5'"},
      {"short-feature:SIM001=0", "feature report length '0'"},
      {"firmware:SIM001=0x10000", "firmware version '0x10000'"},
      {"signal-flicker:SIM001=256", "count '256'"},
      {"pll-unlock:SIM001=1", "pll-unlock takes no value"},
      {"serial-change:SIM001=", "'' is not a serial number"},
  };
  for (const auto& [spec, expected] : cases) {
    const auto r = parseFaultSpec(spec);
    EXPECT_TRUE(r.events.empty()) << spec;
    EXPECT_NE(r.error.find(expected), std::string::npos) << spec << " -> " << r.error;
  }
  // Renames are followed in time order, whatever the order of the entries.
  const auto r = parseFaultSpec("stall:NEW001@2000,serial-change:SIM001@1000=NEW001,unplug:SIM001@1500");
  ASSERT_EQ(r.error, "");
  EXPECT_NE(checkFaultSerials(r.events, {"SIM001"}).find("'unplug:SIM001@1500'"), std::string::npos);
}

TEST(SimulationOptions, BuildsTheUnitsItDescribes) {
  VirtualClock clock;
  SimulationOptions o;
  o.enabled = true;
  o.unitCount = 3;
  o.foreignCount = 2;
  auto built = buildSimulation(o, clock);
  ASSERT_TRUE(built) << built.reason();
  ASSERT_EQ((*built)->hidInterfaces().size(), 5u);
  EXPECT_EQ((*built)->hidInterfaces()[4].vendorId, 0x046D);
  EXPECT_EQ((*built)->unit(2).serial, u"SIM003");
  EXPECT_NE((*built)->unit(0).config.receiver.lat, (*built)->unit(1).config.receiver.lat);

  o.replayFile = "/nonexistent/capture.ubx";
  built = buildSimulation(o, clock);
  EXPECT_FALSE(built);
  EXPECT_NE(built.reason().find("cannot read '/nonexistent/capture.ubx'"), std::string::npos);

  // A folder opens as a stream but fails on the first read: refused, not an exception.
  o.replayFile = ::testing::TempDir();
  built = buildSimulation(o, clock);
  EXPECT_FALSE(built);
  EXPECT_NE(built.reason().find("cannot read '" + o.replayFile + "'"), std::string::npos);
}

#ifndef _WIN32
// A capture or a state file is read whole: what has no end, or would hold the open or the read
// (a FIFO with no writer), is refused at once with a reason, never waited for or read on.
TEST(SimulationOptions, FilesWithoutAnEndAreRefusedNotWaitedFor) {
  const std::string folder = ::testing::TempDir() + "sim-endless";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder + "/units");
  std::filesystem::create_symlink("/dev/zero", folder + "/zero.ubx");
  ASSERT_EQ(::mkfifo((folder + "/fifo.ubx").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((folder + "/units/SIM001.state").c_str(), 0600), 0);
  for (const char* name : {"/zero.ubx", "/fifo.ubx"}) {
    const auto read = readCaptureFile(folder + name);
    EXPECT_FALSE(read) << name;
    EXPECT_EQ(read.reason(), "not a regular file") << name;
  }
  VirtualClock clock;
  SimulationOptions o;
  o.enabled = true;
  o.unitCount = 1;
  o.replayFile = folder + "/zero.ubx";
  auto built = buildSimulation(o, clock);
  EXPECT_FALSE(built);
  EXPECT_EQ(built.reason(), "--replay: cannot read '" + o.replayFile + "': not a regular file");
  o.replayFile.clear();
  o.stateDir = folder + "/units";
  built = buildSimulation(o, clock);
  EXPECT_FALSE(built);
  EXPECT_NE(built.reason().find("SIM001.state': not a regular file"), std::string::npos) << built.reason();
  std::filesystem::remove_all(folder);
}
#endif

TEST(SimulationOptions, FileNamesBeyondAsciiAreFound) {
  // Names come as UTF-8 (as tamrik-config and tamrikctl pass them on), here with letters that no
  // single ANSI code page of Windows holds together.
  const auto onDisk = [](const std::string& utf8) { return std::filesystem::path(std::u8string(utf8.begin(), utf8.end())); };
  const std::string folder = ::testing::TempDir() + "sim-\xd0\x96\xd1\x83\xd0\xba-Zo\xc3\xab";
  std::filesystem::remove_all(onDisk(folder));
  std::filesystem::create_directories(onDisk(folder));
  std::ofstream(onDisk(folder + "/capture.ubx"), std::ios::binary) << "\xb5\x62";
  EXPECT_EQ(readCaptureFile(folder + "/capture.ubx").value(), (std::vector<std::uint8_t>{0xB5, 0x62}));

  VirtualClock clock;
  SimulationOptions o;
  o.enabled = true;
  o.unitCount = 1;
  o.stateDir = folder + "/units";
  auto built = buildSimulation(o, clock);
  EXPECT_TRUE(built) << built.reason();
  EXPECT_TRUE(std::filesystem::is_directory(onDisk(o.stateDir)));
  // A problem names the folder as the user gave it.
  o.stateDir = folder + "/capture.ubx";
  built = buildSimulation(o, clock);
  EXPECT_EQ(built.reason(), "--sim-state: '" + o.stateDir + "' is not a folder");
  std::filesystem::remove_all(onDisk(folder));
}

}  // namespace
}  // namespace tamrik::sim
