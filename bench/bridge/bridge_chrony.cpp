// How well the bridge's time samples mark the receiver's epochs, against gpsd's: one simulated
// unit on the machine's clock (as `tamrikctl --simulate=1` has it: NAV-SVINFO of changing length,
// 9600 baud inside, 62-byte reports, USB polls drifting against the receiver's seconds), the real
// unit adapter and bridge with `--chrony` and `--fifo` at once, gpsd 3.22 reading the pipe and
// putting its time into shared memory, and one chronyd (-x: it never touches this machine's clock)
// watching both: the bridge's SOCK source and gpsd's SHM source, neither selected. Meanwhile
// threads of its own keep the processors busy.
//
// Prints, for every sample the bridge made, its stamp's error against the simulation's true start
// of the epoch's burst (median, 99th percentile, worst, and the spread), then the standard
// deviation chronyd reports for each source at the end and, asked every 20 s, over the run (with
// the number of samples chronyd took it over), and the load average before and after.
//
//   tamrik_bridge_chrony [--seconds N] [--busy THREADS] [--svinfo-first]
//
// (default 600 s, 2 threads). --svinfo-first: the receiver sends its NAV-SVINFO, whose length
// changes from epoch to epoch, before NAV-PVT, as u-blox 7 receivers do; without it after, as
// u-blox 8 receivers do.
//
// Run as root: gpsd started as root writes shared memory segment 0 (NTP0). It refuses to start when
// that segment is in use. Every process it starts is stopped at the end; it talks to nothing but
// its own sockets in a folder of its own.
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/unit_source.h"
#include "bridge/receiver_bridge.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"

namespace {

using namespace tamrik;
using namespace std::chrono_literals;
using SteadyTime = std::chrono::steady_clock::time_point;
using RealTime = std::chrono::system_clock::time_point;

// The system's clocks, remembering which steady instant went with each real-time stamp.
class PairedClock final : public platform::BridgeClock {
 public:
  SteadyTime steadyNow() override { return last_ = std::chrono::steady_clock::now(); }
  RealTime realNow() override {
    const RealTime now = std::chrono::system_clock::now();
    pairs_.emplace_back(now, last_);
    if (pairs_.size() > 64) pairs_.pop_front();
    return now;
  }
  std::optional<SteadyTime> steadyOf(RealTime stamp) const {
    for (const auto& [real, steady] : pairs_) {
      if (real == stamp) return steady;
    }
    return std::nullopt;
  }

 private:
  SteadyTime last_{};
  std::deque<std::pair<RealTime, SteadyTime>> pairs_;
};

pid_t spawn(const std::vector<std::string>& argv, const std::string& logFile) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

// SIGTERM, at most 10 s, then SIGKILL.
void stop(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(100ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

std::string run(const std::string& command) {
  std::string out;
  if (FILE* p = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    ::pclose(p);
  }
  return out;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

// The fields of chronyc's CSV line for a source.
std::vector<std::string> csvLine(const std::string& text, const std::string& name) {
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream f(line);
    for (std::string field; std::getline(f, field, ',');) fields.push_back(field);
    if (std::find(fields.begin(), fields.end(), name) != fields.end()) return fields;
  }
  return {};
}

int stopWriteFd = -1;
void onStopSignal(int) { [[maybe_unused]] const auto n = ::write(stopWriteFd, "x", 1); }

bool parseCount(std::string_view text, int& out) {
  return std::from_chars(text.data(), text.data() + text.size(), out).ec == std::errc() && out >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 600;
  int busy = 2;
  bool svInfoFirst = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--svinfo-first") {
      svInfoFirst = true;
      continue;
    }
    if ((a == "--seconds" || a == "--busy") && i + 1 < argc && parseCount(argv[i + 1], a == "--seconds" ? seconds : busy)) {
      ++i;
      continue;
    }
    std::cerr << "Usage: tamrik_bridge_chrony [--seconds N] [--busy THREADS] [--svinfo-first]\n";
    return 2;
  }
  if (::geteuid() != 0) {
    std::cerr << "run as root: gpsd puts its time into shared memory segment 0 only when started as root\n";
    return 2;
  }
  // gpsd started as root makes the segments NTP0 to NTP7 and its own export: those this run makes
  // are taken away at its end.
  std::vector<key_t> keys{0x47505344};
  for (key_t k = 0x4E545030; k <= 0x4E545037; ++k) keys.push_back(k);
  std::vector<key_t> made;
  for (const key_t k : keys) {
    if (::shmget(k, 0, 0) < 0) made.push_back(k);
  }
  const int shm = ::shmget(0x4E545030, 0, 0);
  if (shm >= 0) {
    shmid_ds ds{};
    if (::shmctl(shm, IPC_STAT, &ds) == 0 && ds.shm_nattch > 0) {
      std::cerr << "shared memory segment NTP0 is in use (a gpsd, chronyd or ntpd runs); not starting\n";
      return 2;
    }
  }

  std::string folder = (std::filesystem::temp_directory_path() / "tamrik-chrony-bench-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) return 1;
  const std::string socket = folder + "/tamrik.sock";
  const std::string link = folder + "/gps0";
  const std::string control = folder + "/chronyd.sock";
  std::ofstream(folder + "/chrony.conf")
      << "refclock SOCK " << socket << " refid TMRK poll 0 noselect\n"
      << "refclock SHM 0 refid GPSD poll 0 noselect\n"
      << "port 0\ncmdport 0\nbindcmdaddress " << control << "\npidfile " << folder << "/chronyd.pid\n";

  // The unit and the bridge, as `tamrikctl --simulate=1 receiver --chrony SOCKET --fifo PATH`.
  // The unit as `tamrikctl --simulate=1` has it (simulation_options.cpp).
  sim::RealClock clock;
  sim::SimulatedUnits units(clock);
  sim::UnitConfig config;
  config.receiver.flickeringChannels = 8;
  config.hostClockPpm = 23.0;
  config.receiver.svInfoFirst = svInfoFirst;
  units.addUnit(config);
  bridge::UnitSource source(units, std::nullopt, true);
  if (const auto opened = source.open(); !opened.ok()) {
    std::cerr << opened.failure().reason << "\n";
    return 1;
  }
  auto madeEndpoint = platform::LinuxReaderEndpoint::create(platform::EndpointKind::Pipe, link);
  auto madeChrony = platform::ChronySocket::create(socket);
  for (const base::Failure* f : {madeEndpoint ? nullptr : &madeEndpoint.failure(), madeChrony ? nullptr : &madeChrony.failure()}) {
    if (f) {
      std::cerr << f->reason << "\n";
      return 1;
    }
  }
  auto& endpoint = *madeEndpoint;
  auto& chrony = *madeChrony;
  int stopPipe[2];
  if (::pipe(stopPipe) != 0) return 1;
  // SIGINT and SIGTERM end the run early, stopping chronyd and gpsd all the same.
  stopWriteFd = stopPipe[1];
  ::signal(SIGINT, onStopSignal);
  ::signal(SIGTERM, onStopSignal);
  platform::PollBridgeWait wait(endpoint.get(), stopPipe[0]);
  PairedClock bridgeClock;
  bridge::ReceiverBridge bridge(source, endpoint.get(), {chrony.get()}, wait, bridgeClock, bridge::BridgeOptions{},
                        [](const std::string& l) { std::cerr << "bridge: " << l << "\n"; });
  std::vector<std::pair<SteadyTime, std::int64_t>> stamps;  // steady stamp, the epoch's UTC second
  bridge.onSample = [&](const platform::TimeSample& s) {
    const auto receiverTime = s.stamp + std::chrono::duration_cast<RealTime::duration>(std::chrono::duration<double>(s.offsetSeconds));
    if (const auto steady = bridgeClock.steadyOf(s.stamp)) {
      stamps.emplace_back(*steady, std::chrono::round<std::chrono::seconds>(receiverTime.time_since_epoch()).count());
    }
  };

  const pid_t chronyd = spawn({"chronyd", "-x", "-d", "-u", "root", "-f", folder + "/chrony.conf"}, folder + "/chronyd.log");
  std::this_thread::sleep_for(1s);
  const pid_t gpsd = spawn({"gpsd", "-N", "-n", "-b", "-S", "29947", "-F", folder + "/gpsd.sock", link}, folder + "/gpsd.log");

  std::atomic<bool> done{false};
  std::vector<std::thread> load;
  for (int i = 0; i < busy; ++i) {
    load.emplace_back([&done, i] {
      std::vector<double> v(1 << 20);
      double x = i;
      while (!done) {
        for (auto& e : v) e = x = std::sqrt(x + 1.5) * 1.0000001;  // arithmetic and memory traffic
      }
    });
  }
  const std::string loadBefore = loadAverage();
  std::thread timer([&] {
    for (int i = 0; i < seconds * 10 && !done; ++i) std::this_thread::sleep_for(100ms);
    [[maybe_unused]] const auto n = ::write(stopPipe[1], "x", 1);
  });

  // What chronyd reports for each source, every 20 s from the second minute on: its standard
  // deviation (ms) and the number of samples it is taken over.
  struct Report {
    std::vector<double> deviation;
    std::vector<double> samples;
  };
  std::map<std::string, Report> reports;
  std::thread watcher([&] {
    const auto start = std::chrono::steady_clock::now();
    while (!done) {
      std::this_thread::sleep_for(1s);
      const auto since = std::chrono::steady_clock::now() - start;
      if (since < 60s || std::chrono::duration_cast<std::chrono::seconds>(since).count() % 20 != 0) continue;
      const std::string text = run("chronyc -h " + control + " -n -c sourcestats 2>&1");
      for (const std::string name : {"TMRK", "GPSD"}) {
        const auto f = csvLine(text, name);
        if (f.size() > 7) {
          reports[name].deviation.push_back(std::stod(f[7]) * 1e3);
          reports[name].samples.push_back(std::stod(f[1]));
        }
      }
    }
  });

  std::map<std::int64_t, SteadyTime> bursts;  // the epoch's UTC second -> its first byte on the line
  auto lastLook = std::chrono::steady_clock::now();
  while (bridge.step() == bridge::ReceiverBridge::Step::Running) {
    if (std::chrono::steady_clock::now() - lastLook > 2s) {
      lastLook = std::chrono::steady_clock::now();
      for (const sim::EpochBurst& b : units.unit(0).bursts) {
        bursts[std::chrono::duration_cast<std::chrono::seconds>(b.epoch.time_since_epoch()).count()] = b.start;
      }
    }
  }
  for (const sim::EpochBurst& b : units.unit(0).bursts) {
    bursts[std::chrono::duration_cast<std::chrono::seconds>(b.epoch.time_since_epoch()).count()] = b.start;
  }
  const std::string loadAfter = loadAverage();
  done = true;
  for (auto& t : load) t.join();
  timer.join();
  watcher.join();

  const std::string stats = run("chronyc -h " + control + " -n -c sourcestats 2>&1");
  const std::string sources = run("chronyc -h " + control + " -n -c sources 2>&1");
  stop(gpsd);
  stop(chronyd);
  endpoint.reset();
  std::filesystem::remove_all(folder);
  // The segments outlive their users.
  for (const key_t k : made) {
    if (const int id = ::shmget(k, 0, 0); id >= 0) ::shmctl(id, IPC_RMID, nullptr);
  }

  std::vector<double> errors;  // ms
  for (const auto& [stamp, epoch] : stamps) {
    if (const auto b = bursts.find(epoch); b != bursts.end()) {
      errors.push_back(std::chrono::duration<double, std::milli>(stamp - b->second).count());
    }
  }
  std::printf("ran %d s with %d busy threads, NAV-SVINFO %s NAV-PVT; load average before %s, after %s; %u processors\n",
              seconds, busy, svInfoFirst ? "before" : "after", loadBefore.c_str(), loadAfter.c_str(),
              std::thread::hardware_concurrency());
  std::printf("the bridge found %llu epochs and made %zu samples; chronyd took %llu\n",
              static_cast<unsigned long long>(bridge.counters().epochs), stamps.size(),
              static_cast<unsigned long long>(bridge.counters().samples));
  if (errors.empty()) {
    std::printf("no stamp could be matched with a burst\n");
    return 1;
  }
  std::sort(errors.begin(), errors.end());
  double mean = 0, square = 0;
  for (const double e : errors) mean += e / static_cast<double>(errors.size());
  for (const double e : errors) square += (e - mean) * (e - mean) / static_cast<double>(errors.size());
  std::printf("stamp after the burst's true start, %zu stamps: median %.3f ms, 99th percentile %.3f ms, worst %.3f ms, "
              "spread (standard deviation) %.3f ms\n",
              errors.size(), errors[errors.size() / 2], errors[errors.size() * 99 / 100], errors.back(), std::sqrt(square));
  std::printf("(the first report leaves the unit once it holds 62 bytes: %.3f ms at 9600 baud, then up to one 8 ms poll)\n",
              62 * 10.0 / 9600 * 1000);
  // sourcestats: name, samples, runs, span, frequency, skew, offset, standard deviation.
  const auto tmrk = csvLine(stats, "TMRK");
  const auto gpsdLine = csvLine(stats, "GPSD");
  auto field = [](const std::vector<std::string>& f, std::size_t i) { return f.size() > i ? std::stod(f[i]) * 1e3 : NAN; };
  std::printf("chronyd's sourcestats: TMRK (the bridge, SOCK): %s samples, offset %.3f ms, std dev %.3f ms\n",
              tmrk.size() > 1 ? tmrk[1].c_str() : "?", field(tmrk, 6), field(tmrk, 7));
  std::printf("chronyd's sourcestats: GPSD (gpsd via --fifo, SHM): %s samples, offset %.3f ms, std dev %.3f ms\n",
              gpsdLine.size() > 1 ? gpsdLine[1].c_str() : "?", field(gpsdLine, 6), field(gpsdLine, 7));
  auto middle = [](std::vector<double> v) -> double {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  for (const std::string name : {"TMRK", "GPSD"}) {
    const Report& r = reports[name];
    std::printf("%s over the run, %zu reports every 20 s: std dev median %.3f ms, largest %.3f ms, over a median of %.0f samples\n",
                name.c_str(), r.deviation.size(), middle(r.deviation),
                r.deviation.empty() ? NAN : *std::max_element(r.deviation.begin(), r.deviation.end()), middle(r.samples));
  }
  if (!reports["TMRK"].deviation.empty() && !reports["GPSD"].deviation.empty()) {
    std::printf("gpsd's spread is %.1f times the bridge's (median std dev over the run)\n",
                middle(reports["GPSD"].deviation) / middle(reports["TMRK"].deviation));
  }
  std::printf("chronyc sources:\n%s", sources.c_str());
  return 0;
}
