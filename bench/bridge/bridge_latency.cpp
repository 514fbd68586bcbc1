// How long a receiver byte takes from the input report that carried it to the reader of the
// pseudo-terminal: one simulated unit on the machine's clock (firmware 1.20, the window's message
// rates), the real unit adapter and bridge, and a reader thread that reads the terminal as gpsd
// does. "Arrival" is the moment the HID read hands the report to the bridge; the delay measured
// is the bridge's own up to the reader's read returning, and also up to the write into the
// terminal (the rest is the kernel and the reader waking up). Prints the median, the 99th
// percentile and the worst, with the machine's load average before and after.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/unit_source.h"
#include "bridge/receiver_bridge.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace tamrik;

struct Mark {
  std::uint64_t offset;  // bytes of the stream up to and including this read
  Clock::time_point at;
};

// Notes when each read of the unit brought its bytes.
class TimedSource final : public bridge::ReceiverSource {
 public:
  explicit TimedSource(bridge::ReceiverSource& inner) : inner_(inner) {}
  base::Result<void> open() override { return inner_.open(); }
  bool opened() const override { return inner_.opened(); }
  bool read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) override {
    const std::size_t before = bytes.size();
    const bool ok = inner_.read(bytes, timeout);
    if (bytes.size() > before) {
      total_ += bytes.size() - before;
      marks.push_back({total_, Clock::now()});
    }
    return ok;
  }
  std::string name() const override { return inner_.name(); }
  std::vector<Mark> marks;

 private:
  bridge::ReceiverSource& inner_;
  std::uint64_t total_ = 0;
};

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  int seconds = 10;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (a == "--seconds" && i + 1 < argc) {
      const std::string_view v = argv[++i];
      if (std::from_chars(v.data(), v.data() + v.size(), seconds).ec != std::errc() || seconds < 1) {
        std::cerr << "--seconds needs a whole number of seconds, at least 1\n";
        return 2;
      }
    } else {
      std::cerr << "Usage: tamrik_bridge_latency [--seconds N]\n";
      return 2;
    }
  }

  sim::RealClock clock;
  sim::SimulatedUnits units(clock);
  units.addUnit({});
  bridge::UnitSource unit(units, std::nullopt);
  if (const auto opened = unit.open(); !opened.ok()) {
    std::cerr << opened.failure().reason << "\n";
    return 1;
  }
  TimedSource source(unit);

  std::string folder = (std::filesystem::temp_directory_path() / "tamrik-bridge-bench-XXXXXX").string();
  if (::mkdtemp(folder.data()) == nullptr) return 1;
  const std::string link = folder + "/gps0";
  auto made = platform::LinuxReaderEndpoint::create(platform::EndpointKind::Pty, link);
  if (!made) {
    std::cerr << made.failure().reason << "\n";
    return 1;
  }
  auto& endpoint = *made;
  int stop[2];
  if (::pipe(stop) != 0) return 1;
  platform::PollBridgeWait wait(endpoint.get(), stop[0]);
  platform::SystemBridgeClock bridgeClock;
  bridge::ReceiverBridge bridge(source, endpoint.get(), {}, wait, bridgeClock, bridge::BridgeOptions{},
                        [](const std::string& l) { std::cerr << l << "\n"; });

  std::atomic<bool> stopReading{false};
  std::vector<Mark> reads;
  std::thread reader([&] {
    const int fd = ::open(link.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK);
    std::vector<std::uint8_t> buffer(65536);
    std::uint64_t total = 0;
    while (!stopReading) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::read(fd, buffer.data(), buffer.size());
      if (n > 0) {
        total += static_cast<std::uint64_t>(n);
        reads.push_back({total, Clock::now()});
      }
    }
    ::close(fd);
  });

  const std::string loadBefore = loadAverage();
  std::thread timer([&] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    [[maybe_unused]] const auto n = ::write(stop[1], "x", 1);
  });
  // The loop of ReceiverBridge::run, noting when the bytes went into the terminal.
  std::vector<Mark> written;
  const auto started = Clock::now();
  while (bridge.step() == bridge::ReceiverBridge::Step::Running) {
    const std::uint64_t out = bridge.counters().toReader;
    if (written.empty() || written.back().offset != out) written.push_back({out, Clock::now()});
  }
  const auto ran = Clock::now() - started;
  timer.join();
  // What is still on its way reaches the reader first.
  for (int i = 0; i < 100 && bridge.queued() > 0; ++i) bridge.step();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  stopReading = true;
  reader.join();
  endpoint.reset();
  std::filesystem::remove_all(folder);

  // For each read of the unit: when its last byte was in the terminal, and when the reader had it.
  std::vector<double> delays, inBridge;
  std::size_t r = 0, w = 0;
  for (const Mark& m : source.marks) {
    while (r < reads.size() && reads[r].offset < m.offset) ++r;
    while (w < written.size() && written[w].offset < m.offset) ++w;
    if (r == reads.size() || w == written.size()) break;
    delays.push_back(microseconds(reads[r].at - m.at));
    inBridge.push_back(microseconds(written[w].at - m.at));
  }
  const std::uint64_t arrived = source.marks.empty() ? 0 : source.marks.back().offset;
  const std::uint64_t taken = reads.empty() ? 0 : reads.back().offset;
  std::printf("ran %.1f s; %zu reads with receiver bytes, %llu bytes arrived, %llu read (%s)\n",
              std::chrono::duration<double>(ran).count(), source.marks.size(),
              static_cast<unsigned long long>(arrived), static_cast<unsigned long long>(taken),
              arrived == taken ? "all" : "NOT ALL");
  if (delays.empty()) return 1;
  auto summary = [](const char* what, std::vector<double>& v) {
    std::sort(v.begin(), v.end());
    std::printf("%s: median %.0f us, 99th percentile %.0f us, worst %.0f us over %zu reports\n", what, v[v.size() / 2],
                v[v.size() * 99 / 100], v.back(), v.size());
  };
  summary("report arrival to pty read", delays);
  summary("report arrival to pty write (the bridge's part)", inBridge);
  std::printf("load average before %s, after %s; %u processors\n", loadBefore.c_str(), loadAverage().c_str(),
              std::thread::hardware_concurrency());
  return arrived == taken ? 0 : 1;
}
