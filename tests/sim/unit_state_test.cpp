#include "platform/sim/unit_state_store.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/sim/simulation_options.h"
#include "tests/sim/sim_test_support.h"

namespace tamrik::sim {
namespace {

using namespace std::chrono_literals;
using testing::commandFrame;
namespace fs = std::filesystem;

std::string readText(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void writeText(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }

// A divider set other than the power-up one that the PLL can follow (4.79 GHz).
DividerSet otherSet() {
  DividerSet d;
  d.n2Hs = 10;
  d.n2Ls = 500;
  d.n1Hs = 9;
  d.nc1Ls = 40;
  d.nc2Ls = 40;
  d.bw = 7;
  return d;
}

std::vector<std::uint8_t> settingsFrame(const DividerSet& d) {
  const auto block = encodeSettingsBlock(d);
  return commandFrame(command::kSynthSettings, {block.begin(), block.end()});
}

class UnitStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::mt19937_64 random(std::random_device{}());
    for (int attempt = 0; attempt < 100 && root.empty(); ++attempt) {
      const fs::path candidate = fs::temp_directory_path() / ("tamrik-sim-state-" + std::to_string(random()));
      if (fs::create_directory(candidate)) root = candidate;
    }
    ASSERT_FALSE(root.empty());
    dir = root / "state";
  }
  void TearDown() override { fs::remove_all(root); }

  base::Result<std::unique_ptr<SimulatedUnits>> build(int units, std::string faults = {}) {
    SimulationOptions o;
    o.enabled = true;
    o.unitCount = units;
    o.stateDir = dir.string();
    if (!faults.empty()) o.faults = parseFaultSpec(faults).events;
    return buildSimulation(o, clock, [this](const std::string& e) { saveErrors.push_back(e); });
  }

  fs::path root;
  fs::path dir;
  VirtualClock clock;
  std::vector<std::string> saveErrors;
};

TEST(KeptStateText, ReadsBackWhatItWritesAndNamesWhatIsWrong) {
  // Whatever a settings block can carry, and a serial with bytes that need escaping.
  KeptUnitState odd;
  std::array<std::uint8_t, kSettingsBlockLength> ones;
  ones.fill(0xFF);
  odd.firmware.settings = decodeSettingsBlock(ones);
  odd.firmware.outputFlags = 0xFE;
  odd.firmware.driveIndex = 9;
  odd.serial = std::string("Q 0\\9\0\xFF", 6);
  const auto back = parseKeptState(formatKeptState(odd, "SIM001"));
  ASSERT_EQ(back.error, "");
  EXPECT_EQ(*back.state, odd);

  const std::string plain = formatKeptState(KeptUnitState{{}, "SIM001"}, "SIM001");
  EXPECT_NE(plain.find("\nformat=1\nserial=SIM001\noutput_flags=3\ndrive_index=3\ngps=2875000\nn31=3\n"),
            std::string::npos)
      << plain;
  // Hand edits with blanks, comments and CRLF line ends are fine.
  std::string edited = plain;
  edited.replace(edited.find("n31=3"), 5, "  n31 = 3 \r\n# three");
  EXPECT_EQ(parseKeptState(edited).error, "");

  const auto damaged = [&](std::string from, std::string to) {
    std::string t = plain;
    t.replace(t.find(from), from.size(), to);
    return parseKeptState(t);
  };
  const std::pair<ParsedKeptState, std::string> cases[] = {
      {parseKeptState(""), "no format line"},
      {parseKeptState(plain.substr(0, plain.find("n2_ls"))), "n2_ls is missing"},  // cut short
      {damaged("format=1", "format=2"), "line 2: format '2' is not one this program reads (it reads format 1)"},
      {damaged("format=1\nserial=SIM001", "serial=SIM001\nformat=1"), "line 2: the first entry must be format=1"},
      {damaged("n31=3", "n31=0"), "line 7: n31 '0' is not a whole number from 1 to 16777216"},
      {damaged("n2_hs=11", "n2_hs=260"), "n2_hs '260' is not a whole number from 4 to 259"},
      {damaged("bw=9", "bw=-1"), "bw '-1' is not"},
      {damaged("gps=2875000", "gps=2.8e6"), "gps '2.8e6' is not"},
      {damaged("gps=2875000", "gps=\x1B[2J 1"), "gps '\\x1B[2J 1' is not"},  // shown, never sent to the terminal
      {damaged("n31=3", "n31=3\nn31=3"), "line 8: n31 is given twice"},
      {damaged("n31=3", "n32=3"), "unknown key 'n32'"},
      {damaged("n31=3", "n31 3"), "line 7: expected key=value"},
      {damaged("serial=SIM001", "serial=SIM\\x0"), "serial 'SIM\\x0' is not printable text"},
      {damaged("serial=SIM001", "serial=" + std::string(127, 'A')), "longer than 126"},
  };
  for (const auto& [parsed, expected] : cases) {
    EXPECT_FALSE(parsed.state);
    EXPECT_NE(parsed.error.find(expected), std::string::npos) << "got: " << parsed.error;
  }
}

TEST_F(UnitStateTest, UnitsComeBackAfterARestartWithWhatTheyKept) {
  {
    auto built = build(2);
    ASSERT_TRUE(built) << built.reason();
    SimulatedUnits& units = **built;
    const auto h = units.open(units.unit(0).path, platform::OpenMode::Plain);
    ASSERT_TRUE(units.setFeature(h, settingsFrame(otherSet())));
    ASSERT_TRUE(units.setFeature(h, commandFrame(command::kOutputEnable, {0})));
    ASSERT_TRUE(units.setFeature(h, commandFrame(command::kDriveStrength, {1})));
    ASSERT_TRUE(units.setFeature(h, commandFrame(command::kLedBlink, {1})));          // not kept
    ASSERT_TRUE(units.setFeature(h, commandFrame(command::kRegisterWrite, {136, 64})));  // not kept
    ASSERT_TRUE(units.setFeature(h, commandFrame(command::kSerialNumber, {'N', 'Q', '0', '0', '0', '4', '2'})));
    clock.advance(2s);
    EXPECT_EQ(units.unit(0).serial, u"Q00042");
    EXPECT_TRUE(units.unit(0).attached);
  }
  // The file is named after the unit's first serial; a unit that changed nothing wrote nothing.
  EXPECT_TRUE(fs::exists(dir / "SIM001.state"));
  EXPECT_FALSE(fs::exists(dir / "SIM002.state"));
  EXPECT_NE(readText(dir / "SIM001.state").find("serial=Q00042\n"), std::string::npos);

  auto built = build(2, "unplug:Q00042@5000");
  ASSERT_TRUE(built) << built.reason();
  SimulatedUnits& units = **built;
  const UnitView first = units.unit(0);
  EXPECT_EQ(first.serial, u"Q00042");
  EXPECT_EQ(first.path.rfind("sim:Q00042#", 0), 0u);
  EXPECT_EQ(first.firmware.settings, otherSet());
  EXPECT_EQ(first.firmware.outputFlags, 0);
  EXPECT_EQ(first.firmware.driveIndex, 1);
  EXPECT_FALSE(first.firmware.ledBlinking);
  EXPECT_EQ(first.firmware.registers[136], 0);
  EXPECT_FALSE(first.pllLocked);
  clock.advance(1s);
  EXPECT_TRUE(units.unit(0).pllLocked);  // the kept set is workable
  // The settings report answers with what was kept.
  const auto h = units.open(units.unit(0).path, platform::OpenMode::Plain);
  std::vector<std::uint8_t> report(65, 0);
  ASSERT_TRUE(units.getFeature(h, report));
  EXPECT_EQ(report[1], 0);
  EXPECT_EQ(report[2], 1);
  EXPECT_EQ(decodeSettingsBlock(std::span<const std::uint8_t, kSettingsBlockLength>(report.data() + 3, kSettingsBlockLength)),
            otherSet());
  const UnitView second = units.unit(1);
  EXPECT_EQ(second.serial, u"SIM002");
  EXPECT_EQ(second.firmware.settings, DividerSet{});
  EXPECT_EQ(second.firmware.outputFlags, 3);
  // Faults name the units by the serials they came back with.
  clock.advance(4s);
  EXPECT_FALSE(units.unit(0).attached);
  EXPECT_NE(build(2, "unplug:SIM001@100").reason().find("no simulated unit carries serial SIM001"), std::string::npos);

  // A save that fails is reported, and the unit still takes the command.
  fs::remove_all(dir);
  const auto h2 = units.open(units.unit(1).path, platform::OpenMode::Plain);
  EXPECT_TRUE(units.setFeature(h2, commandFrame(command::kOutputEnable, {0})));
  ASSERT_EQ(saveErrors.size(), 1u);
  EXPECT_NE(saveErrors[0].find("cannot write in the folder '" + dir.string() + "'"), std::string::npos) << saveErrors[0];
  EXPECT_EQ(units.unit(1).firmware.outputFlags, 0);
}

TEST_F(UnitStateTest, AProcessKilledWhileSavingLeavesTheOldStateWhole) {
  UnitStateStore store(dir);
  ASSERT_EQ(store.prepare(), "");
  const KeptUnitState before{{}, "SIM001"};
  KeptUnitState after{{otherSet(), 0, 1}, "Q00042"};
  ASSERT_EQ(store.save("SIM001", before), "");
  const std::string oldText = readText(store.fileFor("SIM001"));

#ifndef _WIN32
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Killed once the new text is complete on disk, before it takes the file's place.
    store.beforeReplace = [] { std::raise(SIGKILL); };
    (void)store.save("SIM001", after);
    std::_Exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the child was not killed in the save";
#else
  // No fork on Windows: the save is cut off at the same point by an exception, which leaves the
  // disk as a killed process would.
  struct Killed {};
  store.beforeReplace = [] { throw Killed{}; };
  EXPECT_THROW((void)store.save("SIM001", after), Killed);
  store.beforeReplace = nullptr;
#endif

  EXPECT_EQ(readText(store.fileFor("SIM001")), oldText);
  const auto loaded = store.load("SIM001");
  ASSERT_EQ(loaded.error, "");
  EXPECT_EQ(*loaded.state, before);
  // The temporary file the killed save left holds the whole new text, under a name never read.
  int leftovers = 0;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().filename().string().starts_with("SIM001.state.tmp.")) {
      ++leftovers;
      EXPECT_EQ(readText(entry.path()), formatKeptState(after, "SIM001"));
    }
  }
  EXPECT_EQ(leftovers, 1);

  ASSERT_EQ(store.save("SIM001", after), "");
  EXPECT_EQ(*store.load("SIM001").state, after);
}

TEST_F(UnitStateTest, ADamagedFileStopsTheStartAndIsLeftAsItIs) {
  fs::create_directories(dir);
  std::string text = formatKeptState(KeptUnitState{{otherSet(), 3, 3}, "SIM001"}, "SIM001");
  text.replace(text.find("n31=3"), 5, "n31=0");
  writeText(dir / "SIM001.state", text);
  const auto before = fs::last_write_time(dir / "SIM001.state");

  auto built = build(1);
  EXPECT_FALSE(built);
  EXPECT_EQ(built.reason(), "--sim-state: '" + (dir / "SIM001.state").string() +
                             "' is damaged: line 7: n31 '0' is not a whole number from 1 to 16777216; the file is "
                             "left as it is");
  EXPECT_EQ(readText(dir / "SIM001.state"), text);
  EXPECT_EQ(fs::last_write_time(dir / "SIM001.state"), before);

  // A folder that cannot be one; a missing one is made.
  writeText(root / "plain-file", "x");
  dir = root / "plain-file";
  EXPECT_EQ(build(1).reason(), "--sim-state: '" + dir.string() + "' is not a folder");
  dir = root / "plain-file" / "below";
  EXPECT_NE(build(1).reason().find("--sim-state: cannot create the folder '" + dir.string() + "'"), std::string::npos);
  dir = root / "new" / "deeper";
  EXPECT_TRUE(build(1).ok());
  EXPECT_TRUE(fs::is_directory(dir));
}

}  // namespace
}  // namespace tamrik::sim
