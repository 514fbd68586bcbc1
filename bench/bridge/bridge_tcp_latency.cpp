// How much later a receiver byte reaches a client of the TCP port (--tcp) than the reader of the
// pseudo-terminal (--pty), in one run of one bridge serving both: one simulated unit on the
// machine's clock, the real unit adapter, bridge and sockets, a reader thread for the terminal and
// one for each client, reading as gpsd does. First with one client, then with ten. For each input
// report: the time from its arrival (the HID read handing it to the bridge) to the read that
// brought its last byte, at the terminal and at each client, and the difference for the same
// report. Prints the median, the 99th percentile and the worst of each, with the machine's load
// average before and after.
//   tamrik_bridge_tcp_latency [--seconds N]      (default 10 for each of the two parts)
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/receiver_bridge.h"
#include "bridge/stream_clients.h"
#include "bridge/unit_source.h"
#include "platform/linux/bridge_endpoints.h"
#include "platform/linux/tcp_stream.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace tamrik;

struct Mark {
  std::uint64_t offset;  // bytes of the stream up to and including this read
  Clock::time_point at;
};

// Notes when each read of the unit brought its bytes, and keeps them all.
class TimedSource final : public bridge::ReceiverSource {
 public:
  explicit TimedSource(bridge::ReceiverSource& inner) : inner_(inner) {}
  base::Result<void> open() override { return inner_.open(); }
  bool opened() const override { return inner_.opened(); }
  bool read(std::vector<std::uint8_t>& bytes, std::chrono::milliseconds timeout) override {
    const std::size_t before = bytes.size();
    const bool ok = inner_.read(bytes, timeout);
    if (bytes.size() > before) {
      stream.insert(stream.end(), bytes.begin() + static_cast<std::ptrdiff_t>(before), bytes.end());
      marks.push_back({stream.size(), Clock::now()});
    }
    return ok;
  }
  std::string name() const override { return inner_.name(); }
  std::vector<Mark> marks;
  std::vector<std::uint8_t> stream;

 private:
  bridge::ReceiverSource& inner_;
};

// A reader on its own thread: what it read, and when each read returned.
class Reader {
 public:
  explicit Reader(int fd) : fd_(fd), thread_([this] { run(); }) {}
  ~Reader() { stop(); }
  void stop() {
    stopping_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  std::vector<Mark> reads;
  std::vector<std::uint8_t> got;

 private:
  void run() {
    std::vector<std::uint8_t> buffer(65536);
    while (!stopping_) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
      if (n <= 0) continue;
      got.insert(got.end(), buffer.begin(), buffer.begin() + n);
      reads.push_back({got.size(), Clock::now()});
    }
  }
  int fd_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

int connectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return -1;
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

double microseconds(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// For each report that arrived in [from, to): the delay to the read that brought its last byte.
// `start` is where in the unit's stream the reader's bytes begin. Negative where it had none.
std::vector<double> delays(const TimedSource& source, const Reader& reader, std::size_t start, Clock::time_point from,
                           Clock::time_point to) {
  std::vector<double> out;
  std::size_t r = 0;
  for (const Mark& m : source.marks) {
    if (m.at < from || m.at >= to || m.offset <= start) {
      out.push_back(-1);
      continue;
    }
    while (r < reader.reads.size() && reader.reads[r].offset < m.offset - start) ++r;
    out.push_back(r < reader.reads.size() ? microseconds(reader.reads[r].at - m.at) : -1);
  }
  return out;
}

// Where in the unit's stream the reader's bytes begin (it starts at an epoch).
std::size_t startOf(const TimedSource& source, const Reader& reader) {
  if (reader.got.size() < 32) return source.stream.size();
  const auto at = std::search(source.stream.begin(), source.stream.end(), reader.got.begin(), reader.got.begin() + 32);
  return static_cast<std::size_t>(at - source.stream.begin());
}

void summary(const char* what, std::vector<double> v) {
  if (v.empty()) {
    std::printf("  %-44s no reports\n", what);
    return;
  }
  std::sort(v.begin(), v.end());
  std::printf("  %-44s median %6.0f us, 99th percentile %6.0f us, worst %6.0f us over %zu\n", what, v[v.size() / 2],
              v[v.size() * 99 / 100], v.back(), v.size());
}

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
      std::cerr << "Usage: tamrik_bridge_tcp_latency [--seconds N]\n";
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
  auto listening = platform::LinuxTcpListener::create("127.0.0.1", 0);
  if (!made || !listening) {
    std::cerr << (made ? listening.failure().reason : made.failure().reason) << "\n";
    return 1;
  }
  auto& endpoint = *made;
  platform::LinuxTcpListener& listener = **listening;
  int stop[2];
  if (::pipe(stop) != 0) return 1;
  platform::PollBridgeWait wait(endpoint.get(), stop[0], &listener);
  platform::SystemBridgeClock bridgeClock;
  const auto log = [](const std::string& l) { std::cerr << l << "\n"; };
  bridge::ReceiverBridge bridge(source, endpoint.get(), {}, wait, bridgeClock, bridge::BridgeOptions{}, log);
  bridge::StreamClients clients(listener, {}, {}, log);
  bridge.serveClients(&clients);

  Reader pty(::open(link.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK));
  std::vector<std::unique_ptr<Reader>> tcp;
  const std::string loadBefore = loadAverage();
  // The loop of ReceiverBridge::run for one part, until the timer's stop.
  const auto runFor = [&](int s) {
    std::thread timer([&] {
      std::this_thread::sleep_for(std::chrono::seconds(s));
      [[maybe_unused]] const auto n = ::write(stop[1], "x", 1);
    });
    while (bridge.step() == bridge::ReceiverBridge::Step::Running) {
    }
    timer.join();
    char scrap;
    [[maybe_unused]] const auto n = ::read(stop[0], &scrap, 1);
  };
  struct Part {
    std::size_t clients;
    Clock::time_point from, to;
  };
  std::vector<Part> parts;
  for (const std::size_t count : {std::size_t{1}, std::size_t{10}}) {
    while (tcp.size() < count) tcp.push_back(std::make_unique<Reader>(connectTo(listener.port())));
    const auto from = Clock::now();
    runFor(seconds);
    parts.push_back({count, from, Clock::now()});
  }
  // What is still on its way reaches the readers first.
  for (int i = 0; i < 100; ++i) (void)bridge.step();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  pty.stop();
  for (auto& r : tcp) r->stop();
  endpoint.reset();
  std::filesystem::remove_all(folder);

  std::printf("%zu reports with receiver bytes, %zu bytes; %llu bytes to the clients, %llu clients dropped\n", source.marks.size(),
              source.stream.size(), static_cast<unsigned long long>(clients.counters().toClients),
              static_cast<unsigned long long>(clients.counters().dropped));
  for (const Part& part : parts) {
    std::printf("%zu client%s, %d s:\n", part.clients, part.clients == 1 ? "" : "s", seconds);
    const std::vector<double> atPty = delays(source, pty, 0, part.from, part.to);
    std::vector<double> atTcp, added;
    for (std::size_t c = 0; c < part.clients; ++c) {
      const std::vector<double> d = delays(source, *tcp[c], startOf(source, *tcp[c]), part.from, part.to);
      for (std::size_t i = 0; i < d.size(); ++i) {
        if (d[i] < 0 || atPty[i] < 0) continue;
        atTcp.push_back(d[i]);
        added.push_back(d[i] - atPty[i]);
      }
    }
    std::vector<double> ptyOnly;
    for (const double d : atPty) {
      if (d >= 0) ptyOnly.push_back(d);
    }
    summary("report arrival to pty read", ptyOnly);
    summary("report arrival to TCP read (every client)", atTcp);
    summary("TCP read less pty read, same report", added);
  }
  std::printf("load average before %s, after %s; %u processors\n", loadBefore.c_str(), loadAverage().c_str(),
              std::thread::hardware_concurrency());
  return 0;
}
