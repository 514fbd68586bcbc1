// The receiver bridge in-process: the engine against a scripted unit, then the real adapter on
// simulated units in virtual time, then tamrikctl's exit statuses.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bridge/unit_source.h"
#include "app/tamrikctl/program.h"
#include "bridge/receiver_bridge.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/ntp_shm_record.h"
#include "platform/sim/fault_schedule.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"
#include "platform/sim/ubx_frame.h"
#include "tests/support/ctl_run.h"
#include "tests/support/ntp_shm_reader.h"

namespace tamrik::bridge {
namespace {

using namespace std::chrono_literals;
using platform::EndpointKind;
using Bytes = std::vector<std::uint8_t>;
namespace fs = std::filesystem;

// A unit that hands out prepared chunks, one per read.
class ScriptedSource final : public ReceiverSource {
 public:
  explicit ScriptedSource(std::vector<Bytes> chunks) : chunks_(std::move(chunks)) {}
  base::Result<void> open() override { return {}; }
  bool opened() const override { return true; }
  bool read(Bytes& bytes, std::chrono::milliseconds) override {
    if (next_ < chunks_.size()) bytes.insert(bytes.end(), chunks_[next_].begin(), chunks_[next_].end());
    ++next_;
    return true;
  }
  std::string name() const override { return "FAKE1"; }
  bool done() const { return next_ >= chunks_.size(); }

 private:
  std::vector<Bytes> chunks_;
  std::size_t next_ = 0;
};

// Every byte value, the ones a terminal in its usual mode would change or swallow among them
// (CR, NL, XON, XOFF, ^C, ^D, DEL, NUL), in chunks of irregular size, some empty.
std::vector<Bytes> irregularChunks(std::size_t count, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> chunks;
  for (std::size_t i = 0; i < count; ++i) {
    Bytes c(rng() % 400);
    for (auto& b : c) b = static_cast<std::uint8_t>(rng());
    if (!c.empty()) c[0] = static_cast<std::uint8_t>("\r\n\x11\x13\x03\x04\x7f"[i % 7]);
    chunks.push_back(std::move(c));
  }
  return chunks;
}

Bytes joined(const std::vector<Bytes>& chunks) {
  Bytes all;
  for (const Bytes& c : chunks) all.insert(all.end(), c.begin(), c.end());
  return all;
}

// True when `part` is `whole` (from `from` on) with some bytes left out: in order, none twice,
// none from elsewhere. With bytes as random as these, a part taken from anything else fails.
bool isOrderedPartOf(const Bytes& part, const Bytes& whole, std::size_t from = 0) {
  auto at = whole.begin() + static_cast<std::ptrdiff_t>(from);
  for (const std::uint8_t b : part) {
    at = std::find(at, whole.end(), b);
    if (at == whole.end()) return false;
    ++at;
  }
  return true;
}

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "tamrik-bridge-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempFolder() { fs::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// The reader's side, as gpsd opens it.
struct Reader {
  explicit Reader(const std::string& path) { reopen(path); }
  ~Reader() { close(); }
  void reopen(const std::string& path) {
    close();
    fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  // Takes at most `most` bytes of what is there. A hang-up (0 or EIO) is counted, never expected.
  void take(std::size_t most = 1 << 20) {
    std::vector<std::uint8_t> buffer(std::min<std::size_t>(most, 1 << 16));
    while (most > 0) {
      const ssize_t n = ::read(fd, buffer.data(), std::min(buffer.size(), most));
      if (n > 0) {
        got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        most -= static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EAGAIN) return;
      ++hangUps;
      return;
    }
  }
  int fd = -1;
  Bytes got;
  int hangUps = 0;
};

using platform::LinuxReaderEndpoint;

// The endpoint made at path; a failure fails the test, saying why.
std::unique_ptr<LinuxReaderEndpoint> made(EndpointKind kind, const std::string& path) {
  auto e = LinuxReaderEndpoint::create(kind, path);
  EXPECT_TRUE(e) << e.failure().reason;
  return e ? std::move(*e) : nullptr;
}

// A refusal of the path, as the user reads it.
std::string refusal(EndpointKind kind, const std::string& path) {
  const auto e = LinuxReaderEndpoint::create(kind, path);
  if (e) return "made";
  EXPECT_EQ(e.failure().kind, base::FailureKind::BadArgument) << e.failure().reason;
  return e.failure().reason;
}

struct Fixture {
  explicit Fixture(ReceiverSource& source, EndpointKind kind = EndpointKind::Pty, BridgeOptions options = quick()) {
    endpoint = made(kind, folder / "gps0");
    wait = std::make_unique<platform::PollBridgeWait>(endpoint.get(), -1);
    bridge = std::make_unique<ReceiverBridge>(source, endpoint.get(), std::vector<platform::TimeSampleSink*>{}, *wait, clock, options,
                                         [this](const std::string& l) { log.push_back(l); });
  }
  static BridgeOptions quick() {
    BridgeOptions o;
    o.pollPeriod = 0ms;
    o.retryFirst = 0ms;
    o.retryLongest = 0ms;
    return o;
  }
  // Rounds of the loop with a read of at most `bite` bytes after each, until `done` or 100000 rounds.
  void run(Reader& reader, std::size_t bite, const std::function<bool()>& done) {
    for (int i = 0; i < 100000 && !done(); ++i) {
      ASSERT_EQ(bridge->step(), ReceiverBridge::Step::Running);
      reader.take(bite);
    }
    ASSERT_TRUE(done());
  }
  std::string logText() const {
    std::string text;
    for (const auto& l : log) text += l + "\n";
    return text;
  }

  TempFolder folder;
  std::unique_ptr<LinuxReaderEndpoint> endpoint;
  platform::SystemBridgeClock clock;
  std::unique_ptr<platform::PollBridgeWait> wait;
  std::unique_ptr<ReceiverBridge> bridge;
  std::vector<std::string> log;
};

TEST(ReceiverBridge, EveryByteReachesTheReaderOnceAndInOrderWhateverTheReaderDoes) {
  const auto chunks = irregularChunks(1500, 7);
  const Bytes all = joined(chunks);
  for (const EndpointKind kind : {EndpointKind::Pty, EndpointKind::Pipe}) {
    ScriptedSource source(chunks);
    Fixture f(source, kind);
    Reader reader(f.folder / "gps0");
    // gpsd probing the receiver: a UBX CFG-MSG frame that would switch NAV-PVT off, and text.
    const std::string written = std::string("\xb5\x62\x06\x01\x03\x00\x01\x07\x00\x12\x4f", 11) + "?WATCH\r\n";
    if (kind == EndpointKind::Pty) {
      ASSERT_EQ(::write(reader.fd, written.data(), written.size()), 19);
    }
    // A reader that takes 97 bytes a round falls far behind: the queue and the terminal's buffer
    // hold the rest. Then it closes for a while and opens again.
    f.run(reader, 97, [&] { return reader.got.size() >= all.size() / 3; });
    reader.close();
    for (int i = 0; i < 300; ++i) ASSERT_EQ(f.bridge->step(), ReceiverBridge::Step::Running);
    reader.reopen(f.folder / "gps0");
    f.run(reader, 97, [&] { return reader.got.size() >= all.size(); });
    EXPECT_TRUE(reader.got == all);
    EXPECT_EQ(reader.hangUps, 0);
    EXPECT_EQ(f.bridge->counters().toReader, all.size());
    EXPECT_EQ(f.bridge->counters().dropped, 0u);
    // What the reader wrote was read and thrown away, and none of it came back to it.
    EXPECT_EQ(f.bridge->counters().discarded, kind == EndpointKind::Pty ? written.size() : 0u);
    EXPECT_TRUE(f.log.empty()) << f.logText();
  }
}

TEST(ReceiverBridge, AReaderThatNeverReadsCostsAtMostTheQueueLimitAndTheOldestGo) {
  const auto chunks = irregularChunks(2000, 17);
  const Bytes all = joined(chunks);
  ScriptedSource source(chunks);
  BridgeOptions options = Fixture::quick();
  options.queueLimit = 20000;
  Fixture f(source, EndpointKind::Pty, options);
  Reader reader(f.folder / "gps0");
  while (!source.done()) ASSERT_EQ(f.bridge->step(), ReceiverBridge::Step::Running);
  EXPECT_LE(f.bridge->queued(), options.queueLimit);
  const std::uint64_t dropped = f.bridge->counters().dropped;
  EXPECT_GT(dropped, 0u);
  ASSERT_FALSE(f.log.empty());
  EXPECT_NE(f.log[0].find("does not keep up"), std::string::npos) << f.logText();

  // Some of the stream, in order, ending with the newest bytes: only the oldest waiting were given
  // up. The terminal took the first ones before the queue filled up.
  f.run(reader, 1 << 20, [&] { return reader.got.size() >= all.size() - dropped; });
  ASSERT_EQ(reader.got.size(), all.size() - dropped);
  EXPECT_TRUE(std::equal(reader.got.begin(), reader.got.begin() + 1000, all.begin()));
  EXPECT_TRUE(std::equal(reader.got.end() - static_cast<std::ptrdiff_t>(options.queueLimit), reader.got.end(),
                         all.end() - static_cast<std::ptrdiff_t>(options.queueLimit)));
  EXPECT_TRUE(isOrderedPartOf(reader.got, all));
  EXPECT_NE(f.log.back().find("keeps up again"), std::string::npos) << f.logText();
}

TEST(LinuxReaderEndpoint, ReplacesOnlyLinksAndTakesAwayOnlyWhatItMade) {
  TempFolder folder;
  const std::string path = folder / "gps0";
  // A link left by a run that was killed is replaced, and taken away at the end; the terminal is
  // open to its owner and group only.
  fs::create_symlink("/dev/pts/9999", path);
  {
    auto e = made(EndpointKind::Pty, path);
    ASSERT_TRUE(e);
    EXPECT_EQ(fs::read_symlink(path).string(), e->deviceName());
    EXPECT_EQ(fs::status(path).permissions(), fs::perms::owner_read | fs::perms::owner_write |
                                                  fs::perms::group_read | fs::perms::group_write);
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(path)));
  // A pipe: PATH links to it under its hidden name; both go at the end.
  {
    auto e = made(EndpointKind::Pipe, path);
    ASSERT_TRUE(e);
    EXPECT_EQ(fs::read_symlink(path).string(), ".gps0.pipe");
    EXPECT_EQ(fs::status(path).type(), fs::file_type::fifo);
  }
  EXPECT_TRUE(fs::is_empty(folder / ""));
  // A file at PATH is refused and stays as it was.
  std::ofstream(path) << "notes";
  EXPECT_EQ(refusal(EndpointKind::Pipe, path), "refusing to replace " + path + ": it is a regular file, not a symbolic link");
  std::ifstream in(path);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "notes");
  fs::remove(path);
  // A link that no bridge made (to another device, to a file, to a pipe not ours) is the user's: it
  // is refused and stays.
  for (const std::string target : {"/dev/zero", "/dev/pts/ptmx", "/dev/ttyACM0", ".other.pipe", "notes.txt"}) {
    fs::create_symlink(target, path);
    EXPECT_EQ(refusal(EndpointKind::Pty, path),
              "refusing to replace " + path + ": it is a symbolic link to " + target + ", which no bridge made");
    EXPECT_EQ(fs::read_symlink(path).string(), target);
    fs::remove(path);
  }
  // A link to a terminal that another program holds open (socat's pty,link=) is that program's;
  // beside the lock of a bridge that died, the terminal's number was given anew and the link is ours.
  {
    const int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::unlockpt(master), 0);
    const std::string terminal = ::ptsname(master);
    fs::create_symlink(terminal, path);
    EXPECT_EQ(refusal(EndpointKind::Pty, path),
              "refusing to replace " + path + ": it is a symbolic link to " + terminal + ", a terminal that another program holds open");
    EXPECT_EQ(fs::read_symlink(path).string(), terminal);
    std::ofstream(LinuxReaderEndpoint::lockPath(path)) << "4194304\n";
    {
      auto e = made(EndpointKind::Pty, path);
      ASSERT_TRUE(e);
      EXPECT_EQ(fs::read_symlink(path).string(), e->deviceName());
    }
    EXPECT_TRUE(fs::is_empty(folder / ""));
    ::close(master);
  }
  // Another bridge took PATH over meanwhile: its link stays.
  {
    auto e = made(EndpointKind::Pty, path);
    ASSERT_TRUE(e);
    fs::remove(path);
    fs::create_symlink("/dev/pts/other", path);
  }
  EXPECT_EQ(fs::read_symlink(path).string(), "/dev/pts/other");
}

// --- the unit itself ------------------------------------------------------------------------

TEST(UnitSource, SwitchesTheMessagesOnAsTheWindowAndStreamsThroughAnUnplug) {
  sim::VirtualClock clock;
  sim::SimulatedUnits units(clock);
  std::mt19937 rng(23);
  auto capture = std::make_shared<Bytes>(30000);
  for (auto& b : *capture) b = static_cast<std::uint8_t>(rng() | 1);  // no zero: the padding tells
  sim::UnitConfig config;
  config.replay = capture;
  const sim::UnitId id = units.addUnit(config);
  units.scheduleFaults(sim::parseFaultSpec("unplug:SIM001@8000,replug:SIM001@11000").events);

  UnitSource source(units, std::nullopt);
  ASSERT_TRUE(source.open().ok());
  EXPECT_EQ(source.name(), "SIM001");
  const sim::UnitView before = units.unit(id);
  EXPECT_EQ(before.rate(0x01, 0x30), 2);  // NAV-SVINFO
  EXPECT_EQ(before.rate(0x01, 0x22), 2);  // NAV-CLOCK
  EXPECT_EQ(before.rate(0x01, 0x07), 1);  // NAV-PVT
  const std::size_t commandsBefore = before.firmware.commands.size();

  BridgeOptions options;
  options.retryFirst = 0ms;
  options.retryLongest = 0ms;
  Fixture f(source, EndpointKind::Pty, options);
  Reader reader(f.folder / "gps0");
  const std::string written("\xb5\x62\x06\x01\x03\x00\x01\x07\x00\x12\x4f", 11);
  ASSERT_EQ(::write(reader.fd, written.data(), written.size()), 11);

  std::size_t beforeLoss = 0;
  // The reads wait in virtual time; while the unit is away the test lets the time pass.
  for (int i = 0; i < 20000 && clock.elapsed() < 20s; ++i) {
    ASSERT_EQ(f.bridge->step(), ReceiverBridge::Step::Running);
    if (!source.opened()) clock.advance(10ms);
    reader.take();
    if (f.bridge->counters().losses == 0) beforeLoss = reader.got.size();
  }
  // The reader saw a pause, not an end; the log says what happened, the reason for the failed
  // attempts once.
  EXPECT_EQ(reader.hangUps, 0);
  ASSERT_EQ(f.log.size(), 3u) << f.logText();
  EXPECT_EQ(f.log[0], "unit SIM001 lost; " + (f.folder / "gps0") + " stays and the bridge waits for the unit");
  EXPECT_EQ(f.log[1], "no unit with serial SIM001 is attached; trying again");
  EXPECT_EQ(f.log[2], "unit SIM001 is back");

  // Before the loss the capture from its start; after the return more of it, in order and
  // never twice (what the unit's buffer held over the gap, then the line again), ending in a
  // stretch as the line brings it, at about 960 bytes a second.
  ASSERT_GT(beforeLoss, 5000u);
  EXPECT_TRUE(std::equal(reader.got.begin(), reader.got.begin() + static_cast<std::ptrdiff_t>(beforeLoss), capture->begin()));
  Bytes after(reader.got.begin() + static_cast<std::ptrdiff_t>(beforeLoss), reader.got.end());
  while (!after.empty() && after.back() == 0) after.pop_back();  // the last report's padding
  ASSERT_GT(after.size(), 6000u);
  EXPECT_TRUE(isOrderedPartOf(after, *capture, beforeLoss));
  EXPECT_NE(std::search(capture->begin(), capture->end(), after.end() - 2000, after.end()), capture->end());

  // What the reader wrote went nowhere: the unit took the three rate commands of the first
  // opening and the three of the return, nothing else.
  const sim::UnitView now = units.unit(id);
  EXPECT_EQ(now.firmware.commands.size(), commandsBefore + 3);
  EXPECT_EQ(now.rate(0x01, 0x07), 1);
  EXPECT_EQ(f.bridge->counters().discarded, written.size());
}

// --- epochs and time samples ------------------------------------------------------------------

// The bridge's clocks on the simulation's virtual time: steady is its steady time, real the UTC
// it gives that moment.
struct VirtualBridgeClock final : platform::BridgeClock {
  explicit VirtualBridgeClock(sim::VirtualClock& c) : clock(c) {}
  std::chrono::steady_clock::time_point steadyNow() override { return clock.now(); }
  std::chrono::system_clock::time_point realNow() override { return toSystem(clock.utcAt(clock.now())); }
  static std::chrono::system_clock::time_point toSystem(sim::UtcTime t) {
    return std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(t.time_since_epoch()));
  }
  sim::VirtualClock& clock;
};

// The real devices' wait, never waiting; the time it would have waited passes in virtual time.
struct VirtualWait final : platform::BridgeWait {
  VirtualWait(const LinuxReaderEndpoint* endpoint, sim::VirtualClock& c) : inner(endpoint, -1), clock(c) {}
  Result wait(std::chrono::milliseconds timeout, bool wantWrite) override {
    clock.advance(timeout);
    return inner.wait(0ms, wantWrite);
  }
  platform::PollBridgeWait inner;
  sim::VirtualClock& clock;
};

// chronyd, as far as the bridge sees it: takes the samples, except while `listening` is false, and
// refuses them while `refusing` (a chronyd that made its socket for itself alone).
struct FakeChrony final : platform::TimeSampleSink {
  Result send(const platform::TimeSample& s) override {
    if (refusing) return {Sent::Failed, "permission refused at " + where};
    if (!listening) return {Sent::NotListening, "there is no socket " + where + " yet"};
    taken.push_back(s);
    return {};
  }
  const std::string& path() const override { return where; }
  std::string taker() const override { return "chronyd"; }
  std::string where = "/run/chrony/test.sock";
  bool listening = true;
  bool refusing = false;
  std::vector<platform::TimeSample> taken;
};

// A simulated unit in virtual time as a real host sees it (USB polls drifting against the
// receiver's seconds, NAV-SVINFO of changing length, 9600 baud inside), through the real unit
// adapter, the engine and a named pipe that nobody reads for the first 20 s; unplugged from 30 to
// 35 s; chronyd listens from 12 to 40 s and after 52 s, and refuses the samples from 48 to 52 s.
TEST(ChronySamples, OnePerEpochStampedAtItsFirstReportAndTheReaderGetsOnlyTheCurrentEpoch) {
  sim::VirtualClock clock;
  sim::SimulatedUnits units(clock);
  sim::UnitConfig config;
  config.hostClockPpm = 400;  // the polls' phase against the second sweeps the whole 8 ms in 20 s
  config.receiver.flickeringChannels = 8;
  const sim::UnitId id = units.addUnit(config);
  units.scheduleFaults(sim::parseFaultSpec("unplug:SIM001@30000,replug:SIM001@35000").events);

  UnitSource source(units, std::nullopt, true);
  ASSERT_TRUE(source.open().ok());
  EXPECT_EQ(units.unit(id).rate(0x01, 0x26), UnitSource::kLeapRate);  // NAV-TIMELS asked for
  TempFolder folder;
  auto endpoint = made(EndpointKind::Pipe, folder / "gps0");
  ASSERT_TRUE(endpoint);
  VirtualWait wait(endpoint.get(), clock);
  VirtualBridgeClock bridgeClock(clock);
  FakeChrony chrony;
  BridgeOptions options;
  options.retryFirst = 10ms;
  options.retryLongest = 10ms;
  std::vector<std::string> log;
  ReceiverBridge bridge(source, endpoint.get(), {&chrony}, wait, bridgeClock, options, [&](const std::string& l) { log.push_back(l); });
  std::vector<platform::TimeSample> made;
  bridge.onSample = [&](const platform::TimeSample& s) { made.push_back(s); };

  std::map<std::int64_t, sim::SteadyTime> burstStarts;  // epoch second -> its first byte on the line
  std::unique_ptr<Reader> reader;
  Bytes firstRead;
  for (int i = 0; i < 200000 && clock.elapsed() < 60s; ++i) {
    const auto t = clock.elapsed();
    chrony.listening = (t >= 12s && t < 40s) || t >= 52s;
    chrony.refusing = t >= 48s && t < 52s;
    ASSERT_EQ(bridge.step(), ReceiverBridge::Step::Running) << (log.empty() ? "" : log.back());
    for (const sim::EpochBurst& b : units.unit(id).bursts) {
      burstStarts[std::chrono::duration_cast<std::chrono::seconds>(b.epoch.time_since_epoch()).count()] = b.start;
    }
    if (!reader && t >= 20s && bridge.stamper().quietGap() && units.unit(id).bursts.back().start + 300ms < clock.now()) {
      reader = std::make_unique<Reader>(folder / "gps0");
      reader->take();
      firstRead = reader->got;
    } else if (reader) {
      reader->take();
    }
  }

  // The reader that came late got the epoch in progress from its start, nothing older: its first
  // bytes are that epoch's NAV-PVT.
  ASSERT_GE(firstRead.size(), 100u);
  const auto frames = sim::ubx::findFrames(firstRead);
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ(frames[0].offset, 0u);
  EXPECT_EQ(frames[0].id, sim::ubx::kIdNavPvt);
  for (const auto& f : frames) EXPECT_EQ(sim::ubx::get<std::uint32_t>(f.payload, 0), sim::ubx::get<std::uint32_t>(frames[0].payload, 0));
  EXPECT_GT(bridge.counters().stale, 0u);
  EXPECT_EQ(reader->hangUps, 0);

  // Every sample: stamped when the report that carried the epoch's first bytes arrived, 62 bytes
  // at 9600 baud after they began, and no later than one poll after that; its time is the epoch's.
  const auto fill = std::chrono::nanoseconds(62 * 10'000'000'000LL / 9600);
  const auto poll = std::chrono::nanoseconds(8'003'200);
  std::vector<std::int64_t> epochs;
  for (const platform::TimeSample& s : made) {
    const auto receiverTime = s.stamp + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                                            std::chrono::duration<double>(s.offsetSeconds));
    const auto second = std::chrono::round<std::chrono::seconds>(receiverTime.time_since_epoch()).count();
    EXPECT_LT(std::abs((receiverTime.time_since_epoch() - std::chrono::seconds(second)).count()), 60'000) << "nano is noise of 12 us";
    ASSERT_TRUE(burstStarts.count(second)) << second;
    const auto start = VirtualBridgeClock::toSystem(clock.utcAt(burstStarts[second]));
    EXPECT_GE(s.stamp - start, fill) << second;
    EXPECT_LT(s.stamp - start, fill + poll) << second;
    EXPECT_EQ(s.leap, platform::Leap::None);
    epochs.push_back(second);
  }
  // One a second, each epoch once, from soon after the receiver has its time (5 s after power-up)
  // to the unplug, and again after the replug once it has its time again; none while away.
  ASSERT_GT(epochs.size(), 30u) << ::testing::PrintToString(log);
  const std::int64_t start = std::chrono::duration_cast<std::chrono::seconds>(clock.utcAt(clock.origin()).time_since_epoch()).count();
  std::vector<std::int64_t> before, after;
  for (const auto e : epochs) (e - start < 31 ? before : after).push_back(e);
  EXPECT_LE(before.front() - start, 12);
  EXPECT_GE(after.front() - start, 40);
  EXPECT_LE(after.front() - start, 46);
  for (const auto* run : {&before, &after}) {
    for (std::size_t i = 1; i < run->size(); ++i) EXPECT_EQ((*run)[i], (*run)[i - 1] + 1);
  }
  EXPECT_GE(before.back() - start, 29);

  // chronyd got every sample while it listened; the bridge said each reason once, when it became
  // the reason: absent, back, absent, refusing (without a sample taken in between), back.
  EXPECT_EQ(chrony.taken.size(), bridge.counters().samples);
  EXPECT_EQ(bridge.counters().samples + bridge.counters().samplesLost, made.size());
  std::vector<std::string> chronyLines;
  for (const auto& l : log) {
    if (l.find("chronyd") != std::string::npos) chronyLines.push_back(l);
  }
  ASSERT_EQ(chronyLines.size(), 5u) << ::testing::PrintToString(log);
  EXPECT_EQ(chronyLines[0], "waiting for chronyd: there is no socket /run/chrony/test.sock yet; the receiver's time goes to "
                            "/run/chrony/test.sock as soon as chronyd listens there");
  EXPECT_EQ(chronyLines[1], "chronyd takes the time samples at /run/chrony/test.sock now");
  EXPECT_EQ(chronyLines[2], chronyLines[0]);
  EXPECT_EQ(chronyLines[3], "chronyd does not take the time samples: permission refused at /run/chrony/test.sock");
  EXPECT_EQ(chronyLines[4], chronyLines[1]);
  ASSERT_EQ(bridge.sinks().size(), 1u);
  EXPECT_EQ(bridge.sinks()[0].taken, chrony.taken.size());
  ASSERT_TRUE(bridge.sinks()[0].lastOffset);
  EXPECT_EQ(*bridge.sinks()[0].lastOffset, chrony.taken.back().offsetSeconds);
  // The stale epochs before the reader came were said once, for what they mean.
  EXPECT_EQ(std::count_if(log.begin(), log.end(), [](const std::string& l) { return l.find("nothing reads") == 0; }), 1)
      << ::testing::PrintToString(log);
}

// ntpd as the bridge sees NTP's shared memory: the record, which ntpd looks at once a second
// while it runs.
struct FakeNtpd final : platform::TimeSampleSink {
  Result send(const platform::TimeSample& s) override { return writer.write(record, s); }
  const std::string& path() const override { return where; }
  std::string taker() const override { return "ntpd"; }
  std::string where = "NTP shared memory unit 200";
  platform::NtpShmTime record{};
  platform::NtpShmWriter writer;
};

// ntpd reads the record from 15 to 30 s: a sample counts as taken only once ntpd took it, with
// its offset and the time that became known; those before and after count as not taken.
TEST(NtpSamples, CountAsTakenOnlyOnceNtpdTookThem) {
  sim::VirtualClock clock;
  sim::SimulatedUnits units(clock);
  units.addUnit(sim::UnitConfig{});
  UnitSource source(units, std::nullopt, true);
  ASSERT_TRUE(source.open().ok());
  TempFolder folder;
  auto endpoint = made(EndpointKind::Pipe, folder / "gps0");
  ASSERT_TRUE(endpoint);
  VirtualWait wait(endpoint.get(), clock);
  VirtualBridgeClock bridgeClock(clock);
  FakeNtpd ntpd;
  std::vector<std::string> log;
  ReceiverBridge bridge(source, endpoint.get(), {&ntpd}, wait, bridgeClock, BridgeOptions{}, [&](const std::string& l) { log.push_back(l); });
  std::size_t made = 0;
  bridge.onSample = [&](const platform::TimeSample&) { ++made; };
  std::vector<platform::NtpdSample> took;
  auto nextLook = clock.now() + 15s;
  for (int i = 0; i < 200000 && clock.elapsed() < 45s; ++i) {
    ASSERT_EQ(bridge.step(), ReceiverBridge::Step::Running);
    if (clock.now() >= nextLook && clock.elapsed() < 30s) {
      if (platform::NtpdSample s = platform::takeLikeNtpd(ntpd.record); s.taken) took.push_back(s);
      nextLook += 1s;
    }
  }
  ASSERT_GT(made, 35u);
  ASSERT_GE(took.size(), 12u);
  const ReceiverBridge::SinkState& state = bridge.sinks()[0];
  EXPECT_EQ(state.taken, took.size());
  EXPECT_EQ(bridge.counters().samples, took.size());
  EXPECT_EQ(state.taken + state.lost + (state.waiting ? 1 : 0), made);
  ASSERT_TRUE(state.lastOffset && state.lastTaken);
  const platform::NtpShmTime& last = took.back().record;
  const double offset = static_cast<double>(last.clockTimeStampSec - last.receiveTimeStampSec) +
                        (static_cast<double>(last.clockTimeStampNSec) - static_cast<double>(last.receiveTimeStampNSec)) * 1e-9;
  EXPECT_NEAR(*state.lastOffset, offset, 1e-9);
  const auto lastTaken = std::chrono::duration_cast<std::chrono::seconds>(state.lastTaken->time_since_epoch()).count();
  EXPECT_GE(lastTaken, last.receiveTimeStampSec);
  EXPECT_LE(lastTaken, last.receiveTimeStampSec + 2);
  // Waiting before ntpd came and after it went, taking while it ran: each said once.
  std::vector<std::string> lines;
  for (const auto& l : log) {
    if (l.find("ntpd") != std::string::npos) lines.push_back(l);
  }
  ASSERT_EQ(lines.size(), 3u) << ::testing::PrintToString(log);
  EXPECT_EQ(lines[0].rfind("waiting for ntpd: ntpd left the last 3 samples untaken", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "ntpd takes the time samples at NTP shared memory unit 200 now");
  EXPECT_EQ(lines[2], lines[0]);
}

// Bursts that must not give a sample, and a leap second announced, fed to the stamper directly:
// the receiver's epochs as 62-byte reads 64 ms apart from 40 ms after each second.
TEST(ChronySamples, NoSampleFromACutOrMixedBurstOrAnInvalidTimeAndTheLeapAsAnnounced) {
  using namespace sim::ubx;
  // 2016-12-31 23:59:50 UTC: a leap second is inserted at the end of this day.
  const sim::UtcTime day{std::chrono::sys_days{std::chrono::year{2016} / 12 / 31}.time_since_epoch() + std::chrono::hours(23) +
                         std::chrono::minutes(59) + std::chrono::seconds(20)};
  struct Epoch {
    Bytes bytes;
  };
  auto pvt = [&](int k, std::uint8_t valid = 0x37) {
    NavPvt m;
    m.time = utcFields(day + std::chrono::seconds(k));
    m.iTow = 1000u * static_cast<std::uint32_t>(k);
    m.valid = valid;
    return navPvtFrame(m);
  };
  auto timeUtc = [&](int k, std::uint8_t valid) {
    NavTimeUtc m;
    m.time = utcFields(day + std::chrono::seconds(k));
    m.iTow = 1000u * static_cast<std::uint32_t>(k);
    m.valid = valid;
    return navTimeUtcFrame(m);
  };
  auto timeLs = [&](int k, std::int8_t change, std::int32_t toEvent) {
    Bytes p(24, 0);
    put<std::uint32_t>(p, 0, 1000u * static_cast<std::uint32_t>(k));
    p[9] = 17;
    p[11] = static_cast<std::uint8_t>(change);
    put<std::int32_t>(p, 12, toEvent);
    p[23] = 0x03;
    return frame(kClassNav, 0x26, p);
  };
  auto cat = [](std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
  };
  std::map<int, Bytes> epochs;
  for (int k = 0; k < 40; ++k) epochs[k] = cat({pvt(k), timeUtc(k, 0x07)});
  const Bytes cut = pvt(10);
  epochs[10] = cat({Bytes(cut.begin() + 30, cut.end()), timeUtc(10, 0x07)});  // began mid-frame
  epochs[11] = cat({pvt(11, 0x03), timeUtc(11, 0x07)});          // NAV-PVT not fully resolved: NAV-TIMEUTC's time
  epochs[12] = cat({pvt(12, 0x03), timeUtc(12, 0x03)});          // no valid time at all
  epochs[13] = cat({pvt(12), pvt(13)});                          // the last epoch's NAV-PVT late: and two epochs
  epochs[14] = cat({Bytes{0x42, 0x42}, pvt(14)});                // foreign bytes before the first frame
  // 15: its time does not follow from 13's, late by a second.
  epochs[20] = cat({timeLs(20, 1, 40 - 20), pvt(20)});           // the leap second announced
  epochs[16] = cat({pvt(16), Bytes(20, 0), timeUtc(16, 0x07)});  // a short report's padding between frames
  // Ends with a frame cut short: the next burst still starts afresh, and is whole.
  epochs[17] = cat({pvt(17), timeUtc(17, 0x07), Bytes(cut.begin(), cut.begin() + 30)});
  epochs[19] = cat({pvt(19, 0x03), timeUtc(19, 0x04)});          // UTC valid, but not its week: no time
  epochs[38] = cat({timeLs(38, 0, 0), pvt(38)});                 // the announcement withdrawn

  EpochStamper stamper;
  const auto steady0 = std::chrono::steady_clock::time_point{} + 1000h;
  std::map<int, platform::TimeSample> samples;
  for (int k = 0; k < 40; ++k) {
    const Bytes& e = epochs[k];
    for (std::size_t at = 0, j = 0; at < e.size(); at += 62, ++j) {
      const auto since = std::chrono::seconds(k) + 40ms + 64ms * static_cast<int>(j);
      const std::span<const std::uint8_t> chunk(e.data() + at, std::min<std::size_t>(62, e.size() - at));
      const auto out = stamper.onRead(steady0 + since, VirtualBridgeClock::toSystem(day + since) + 3ms, chunk);
      EXPECT_EQ(out.epochStart, j == 0 && stamper.quietGap().has_value()) << k;
      if (out.sample) samples[k] = *out.sample;
    }
  }
  ASSERT_TRUE(stamper.quietGap());
  EXPECT_GT(*stamper.quietGap(), 64ms);
  EXPECT_LT(*stamper.quietGap(), 900ms);
  for (int k = 0; k < 40; ++k) {
    // The rhythm is known from epoch 4 on, which anchors 5.
    const bool expected = k >= 5 && (k < 10 || k > 15 || k == 11) && k != 19;
    ASSERT_EQ(samples.count(k), expected ? 1u : 0u) << "epoch " << k;
    if (!expected) continue;
    // Stamped 3 ms late against the simulation's UTC at the first read: the offset says so.
    EXPECT_NEAR(samples[k].offsetSeconds, -0.043, 1e-6) << k;
    // Announced at epoch 20 for the end of the day (epoch 40); withdrawn at 38.
    EXPECT_EQ(samples[k].leap, k >= 20 && k < 38 ? platform::Leap::Insert : platform::Leap::None) << k;
  }
  // Why each epoch gave none, epoch 39's burst still open: cut (10, 13 and 14), no time (12 and
  // 19), not following the last whole epoch (4, the first, and 15).
  EXPECT_EQ(stamper.withheld().cut, 3u);
  EXPECT_EQ(stamper.withheld().noTime, 2u);
  EXPECT_EQ(stamper.withheld().notFollowing, 2u);
  // The unit away: the first burst after its return is not known to start an epoch.
  stamper.unitLost();
  EXPECT_FALSE(stamper.onRead(steady0 + 50s, VirtualBridgeClock::toSystem(day + 50s), pvt(30)).sample);

  // Announced a day ahead, as receivers learn it long before: the day before the one that ends
  // with the leap second has none.
  EpochStamper early;
  int earlySamples = 0;
  for (int k = -86400; k < -86400 + 12; ++k) {
    const Bytes e = cat({timeLs(k, 1, 40 - k), pvt(k)});
    for (std::size_t at = 0, j = 0; at < e.size(); at += 62, ++j) {
      const auto since = std::chrono::seconds(k) + 40ms + 64ms * static_cast<int>(j);
      const std::span<const std::uint8_t> chunk(e.data() + at, std::min<std::size_t>(62, e.size() - at));
      const auto out = early.onRead(steady0 + since, VirtualBridgeClock::toSystem(day + since) + 3ms, chunk);
      if (!out.sample) continue;
      ++earlySamples;
      EXPECT_EQ(out.sample->leap, platform::Leap::None) << k;
    }
  }
  EXPECT_GE(earlySamples, 5);
}

// chronyd's side of its SOCK refclock: the struct it reads, declared as chrony declares it, and a
// datagram socket bound where chronyd binds its own.
struct ChronySockSample {
  struct timeval tv;
  double offset;
  int pulse;
  int leap;
  int pad;
  int magic;
};

TEST(ChronySocket, SendsChronysLayoutWithItsLeapCodesAndWaitsWhileNobodyListens) {
  TempFolder folder;
  const std::string path = folder / "refclock.sock";
  auto made = platform::ChronySocket::create(path);
  ASSERT_TRUE(made) << made.failure().reason;
  auto& sink = *made;
  platform::TimeSample sample;
  sample.stamp = std::chrono::system_clock::time_point{} + 1'483'228'799s + 123'456'789ns;
  sample.offsetSeconds = -0.105;
  EXPECT_EQ(sink->send(sample).sent, platform::TimeSampleSink::Sent::NotListening);

  const int chronyd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  ASSERT_GE(chronyd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(::bind(chronyd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  const std::pair<platform::Leap, int> leaps[] = {{platform::Leap::None, 0}, {platform::Leap::Insert, 1}, {platform::Leap::Delete, 2}};
  for (const auto& [leap, code] : leaps) {
    sample.leap = leap;
    ASSERT_EQ(sink->send(sample).sent, platform::TimeSampleSink::Sent::Delivered);
    ChronySockSample got{};
    std::array<char, sizeof got + 16> bytes{};
    ASSERT_EQ(::recv(chronyd, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(sizeof got));
    std::memcpy(&got, bytes.data(), sizeof got);
    EXPECT_EQ(got.magic, 0x534f434b);
    EXPECT_EQ(got.pulse, 0);
    EXPECT_EQ(got.leap, code);
    // Whole microseconds in the timeval, the rest in the offset: chronyd's reference time is the
    // receiver's time to the nanosecond.
    EXPECT_EQ(got.tv.tv_sec, 1'483'228'799);
    EXPECT_EQ(got.tv.tv_usec, 123'456);
    EXPECT_NEAR(got.offset, -0.105 + 789e-9, 1e-12);
  }
  // chronyd gone, its socket file left behind: nobody listens, which is no failure of the bridge.
  ::close(chronyd);
  const platform::TimeSampleSink::Result gone = sink->send(sample);
  EXPECT_EQ(gone.sent, platform::TimeSampleSink::Sent::NotListening);
  EXPECT_EQ(gone.reason, "nothing listens at " + path);
}

// A time that this system's timeval cannot hold (past January 2038 with the 32-bit time_t of
// Debian 12's armhf) gives no datagram, never a wrapped one; a 64-bit time_t holds it whole.
TEST(ChronySocket, ATimeThatTheTimevalCannotHoldGivesNoDatagram) {
  using namespace std::chrono;
  platform::TimeSample sample;
  sample.stamp = system_clock::time_point(duration_cast<system_clock::duration>(seconds(std::int64_t{1} << 31)));
  const auto late = platform::ChronySocket::datagram(sample);
  if (sizeof(time_t) < 8) {
    EXPECT_FALSE(late) << "a wrapped time would reach chrony";
    return;
  }
  ASSERT_TRUE(late);
  ASSERT_EQ(late->size(), sizeof(ChronySockSample));
  ChronySockSample got{};
  std::memcpy(&got, late->data(), sizeof got);
  EXPECT_EQ(static_cast<std::int64_t>(got.tv.tv_sec), std::int64_t{1} << 31);
  EXPECT_EQ(got.tv.tv_usec, 0);
}

TEST(LinuxReaderEndpoint, APathThatALiveBridgeServesIsRefusedAndAStaleLockTakenOver) {
  TempFolder folder;
  const std::string path = folder / "gps0";
  {
    auto first = made(EndpointKind::Pipe, path);
    ASSERT_TRUE(first);
    const std::string live = "refusing " + path + ": another bridge (process " + std::to_string(::getpid()) + ") serves it";
    EXPECT_EQ(LinuxReaderEndpoint::checkPath(path), live);
    EXPECT_EQ(refusal(EndpointKind::Pty, path), live);
    // The live bridge's link and pipe are untouched, and the program says so before the unit.
    EXPECT_EQ(fs::read_symlink(path).string(), ".gps0.pipe");
    const tamrik::testing::CtlRun r = tamrik::testing::runCtl({"--simulate=1", "receiver", "--pty", path});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "tamrikctl receiver: " + live + "\n");
    EXPECT_EQ(fs::read_symlink(path).string(), ".gps0.pipe");
  }
  EXPECT_TRUE(fs::is_empty(folder / ""));
  // What a killed bridge leaves: its link, its pipe and its lock file, with no lock held.
  fs::create_symlink(".gps0.pipe", path);
  std::ofstream(folder / ".gps0.lock") << "99999\n";
  ::mkfifo((folder / ".gps0.pipe").c_str(), 0600);
  EXPECT_EQ(LinuxReaderEndpoint::checkPath(path), "");
  auto next = made(EndpointKind::Pty, path);
  ASSERT_TRUE(next);
  EXPECT_EQ(fs::read_symlink(path).string(), next->deviceName());
}

// --- the command ----------------------------------------------------------------------------

using tamrik::testing::CtlRun;
using tamrik::testing::runCtl;

TEST(TamrikctlReceiver, SaysWhyItCannotStartInOneLine) {
  TempFolder folder;
  const std::string path = folder / "gps0";
  struct Case {
    std::vector<std::string_view> args;
    int status;
    std::string err;
  };
  std::ofstream(folder / "file") << "x";
  const std::string file = folder / "file";
  const std::string noFolder = folder / "no-folder/gps0";
  const std::string socket = folder / "chrony.sock";
  const std::string longSocket = "--chrony=" + std::string(120, 'x') + ".sock";
  const std::string userLink = folder / "zero";
  fs::create_symlink("/dev/zero", userLink);
  const std::vector<Case> cases = {
      {{"--simulate=1", "receiver", "--pty", userLink},
       2,
       "tamrikctl receiver: refusing to replace " + userLink + ": it is a symbolic link to /dev/zero, which no bridge made\n"},
      {{"--simulate=0", "receiver", "--pty", path}, 3, "tamrikctl receiver: no unit is attached\n"},
      {{"--simulate=2", "receiver", "--pty", path},
       3,
       "tamrikctl receiver: several units are attached (SIM001, SIM002); choose one with --unit\n"},
      {{"--simulate", "--unit", "SIM007", "receiver", "--pty", path},
       3,
       "tamrikctl receiver: no unit with serial SIM007 is attached\n"},
      {{"--unit=SIM002", "--sim-faults", "short-feature:SIM002@0=8", "receiver", "--fifo", path},
       4,
       "tamrikctl receiver: unit SIM002 cannot be used: feature report of 8 bytes, input report of 65\n"},
      {{"--simulate=1", "receiver", "--pty", file},
       2,
       "tamrikctl receiver: refusing to replace " + file + ": it is a regular file, not a symbolic link\n"},
      {{"--simulate=1", "receiver", "--pty", noFolder},
       2,
       "tamrikctl receiver: cannot make " + noFolder + ": there is no folder " + folder / "no-folder" + "\n"},
      {{"--simulate=x", "receiver", "--pty", path}, 2, "tamrikctl: --simulate: 'x' is not a number of units from 0 to 999\n"},
      {{"--simulate=1", "receiver", "--chrony", file, "--pty", path},
       2,
       "tamrikctl receiver: refusing " + file + " as chrony's socket: it is a regular file, not a socket\n"},
      {{"--simulate=1", "receiver", "--pty", path, "--chrony", noFolder},
       2,
       "tamrikctl receiver: no folder " + folder / "no-folder" + " for chrony's socket " + noFolder + "\n"},
      {{"--simulate=1", "receiver", longSocket},
       2,
       "tamrikctl receiver: the path of chrony's socket is 125 bytes long; a socket's path may have at most 107\n"},
      {{"--simulate=0", "receiver", "--chrony", socket}, 3, "tamrikctl receiver: no unit is attached\n"},
      {{"--simulate=1", "receiver", "--pty"}, 64, ""},
      {{"--simulate=1", "receiver", "--chrony", path, "--chrony", path}, 64, ""},
      {{"--simulate=1", "receiver", "--pty", path, "--fifo", path}, 64, ""},
  };
  for (const Case& c : cases) {
    const CtlRun r = runCtl(c.args);
    std::string shown;
    for (auto a : c.args) shown += std::string(a) + " ";
    EXPECT_EQ(r.status, c.status) << shown << r.err;
    if (!c.err.empty()) {
      EXPECT_EQ(r.err, c.err) << shown;
    }
    EXPECT_EQ(r.out, "") << shown;
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << shown;
  }
  EXPECT_EQ(runCtl({"--simulate=1", "plan", "1000000"}).status, ctl::kExitOk);
}

}  // namespace
}  // namespace tamrik::bridge
