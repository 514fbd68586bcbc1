#include "tests/vm/virtual_unit/usbip_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace tamrik::vm {

namespace {

using namespace std::chrono_literals;

// Bounds on what a peer may make the server hold or wait for.
constexpr std::size_t kMaxConnections = 16;
constexpr std::size_t kMaxPendingUrbs = 64;
constexpr std::uint32_t kMaxOutData = 4096;       // an OUT transfer's bytes, read before it is answered
constexpr std::uint32_t kMaxInLength = 65536;     // what an IN transfer may ask for
constexpr std::size_t kMaxUnsent = 1 << 20;       // replies a peer does not read
constexpr auto kIncompleteBound = 5s;             // a message begun must be whole by then
constexpr auto kClosingBound = 5s;                // a last reply must be taken by then
constexpr auto kPollWhileReading = 2ms;           // the host polls the interrupt endpoint
constexpr auto kPollIdle = 50ms;                  // faults and signals are looked at this often

void logLine(const std::string& line) { std::cerr << "tamrik-virtual-unit: " << line << std::endl; }

std::string hex16(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%04x", v);
  return b;
}

// A setup packet as USB analysers show it: bmRequestType bRequest wValue wIndex wLength.
std::string setupText(const SetupPacket& s) {
  char b[40];
  std::snprintf(b, sizeof b, "%02x %02x %04x %04x %04x", s.requestType, s.request, s.value, s.index, s.length);
  return b;
}

bool nonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

struct UsbipServer::Connection {
  enum class Phase { Operation, Urbs, Closing };
  int fd = -1;
  std::string peer;
  Phase phase = Phase::Operation;
  std::vector<std::uint8_t> in;
  std::vector<std::uint8_t> out;
  std::optional<Clock::time_point> waitingSince;  // an incomplete message, or a last reply unsent
  std::uint32_t deviceId = 0;
  struct Interrupt {
    std::uint32_t seqnum;
    std::uint32_t length;
  };
  std::deque<Interrupt> interrupts;  // interrupt IN URBs waiting for a report
  struct Held {
    std::uint32_t seqnum;
    SetupPacket setup;
    std::vector<std::uint8_t> data;
    std::uint32_t bufferLength;
  };
  std::deque<Held> held;  // control transfers the unit leaves unanswered, in their order
  bool told = false;      // the held transfers were logged
};

UsbipServer::UsbipServer(VirtualUnit& unit, ServerOptions options) : unit_(unit), options_(std::move(options)) {}

UsbipServer::~UsbipServer() {
  for (auto& c : connections_) {
    if (c->fd >= 0) close(c->fd);
  }
  if (listenFd_ >= 0) close(listenFd_);
}

std::string UsbipServer::listen() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(options_.port));
  if (inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1) {
    return "--listen: not an IPv4 address: " + options_.address;
  }
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return std::string("socket: ") + std::strerror(errno);
  const int on = 1;
  setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    return "cannot listen on " + options_.address + ":" + std::to_string(options_.port) + ": " + std::strerror(errno);
  }
  if (::listen(listenFd_, 8) != 0 || !nonBlocking(listenFd_)) return std::string("listen: ") + std::strerror(errno);
  socklen_t len = sizeof addr;
  getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  follow();
  return {};
}

std::optional<ExportedDevice> UsbipServer::exported() {
  if (!exportedPath_) return std::nullopt;
  const DeviceIdentity id = unit_.identity();
  ExportedDevice d;
  d.path = "/sys/devices/platform/tamrik-virtual-unit/usb1/" + options_.busId;
  d.busId = options_.busId;
  d.busNumber = 1;
  d.deviceNumber = 2 + (exports_ - 1) % 126;  // a new address each time it is plugged in
  d.vendorId = id.vendorId;
  d.productId = id.productId;
  d.release = id.release;
  d.configurationValue = kConfigurationValue;
  d.interfaces.push_back({kHidClass, 0, 0});
  return d;
}

void UsbipServer::follow() {
  const auto path = unit_.attachment();
  if (path == exportedPath_) return;
  for (auto& c : connections_) {
    if (c->fd >= 0 && c->phase == Connection::Phase::Urbs) {
      drop(*c, path ? "the unit was plugged in again: the importer's connection ends" : "unplugged: the importer's connection ends");
    }
  }
  unit_.reset();
  exportedPath_ = path;
  if (path) {
    ++exports_;
    logLine("exporting the unit as bus ID " + options_.busId + " (device " + std::to_string(exported()->deviceNumber) + ")");
  } else {
    logLine("the unit is unplugged; bus ID " + options_.busId + " is not exported");
  }
}

void UsbipServer::drop(Connection& c, const std::string& why) {
  if (c.fd < 0) return;
  logLine("connection from " + c.peer + " closed: " + why);
  shutdown(c.fd, SHUT_RDWR);
  close(c.fd);
  c.fd = -1;
  if (c.phase == Connection::Phase::Urbs) unit_.reset();
}

bool UsbipServer::handleSignals(int wakeFd) {
  std::uint8_t signals[64];
  const ssize_t n = read(wakeFd, signals, sizeof signals);
  for (ssize_t i = 0; i < n; ++i) {
    const int s = signals[i];
    if (s == SIGTERM || s == SIGINT) {
      logLine(std::string("ending on ") + (s == SIGTERM ? "SIGTERM" : "SIGINT"));
      return false;
    }
    if (s == SIGUSR1) {
      if (exportedPath_) {
        logLine("SIGUSR1: unplugging the unit");
        unit_.unplug();
      } else {
        logLine("SIGUSR1: the unit is unplugged already");
      }
    } else if (s == SIGUSR2) {
      if (!exportedPath_) {
        logLine("SIGUSR2: plugging the unit in again");
        unit_.plugIn();
      } else {
        logLine("SIGUSR2: the unit is plugged in already");
      }
    } else if (s == SIGRTMIN) {
      logLine("SIGRTMIN: feature requests go unanswered");
      unit_.setAnswering(false);
    } else if (s == SIGRTMIN + 1) {
      logLine("SIGRTMIN+1: feature requests are answered again");
      unit_.setAnswering(true);
    }
  }
  follow();
  return true;
}

void UsbipServer::run(int wakeFd) {
  while (true) {
    follow();
    bool reading = false;
    const auto now = Clock::now();
    for (auto& c : connections_) {
      if (c->fd >= 0 && c->phase == Connection::Phase::Urbs) {
        serve(*c);
        reading = reading || !c->interrupts.empty() || !c->held.empty();
      }
      const bool closing = c->phase == Connection::Phase::Closing;
      if (c->fd >= 0 && c->waitingSince && now - *c->waitingSince > (closing ? kClosingBound : kIncompleteBound)) {
        drop(*c, closing ? "its last reply was not taken in time"
                                                        : "an incomplete message for " +
                                                              std::to_string(kIncompleteBound.count()) + " s");
      }
      if (c->fd >= 0 && !flush(*c)) drop(*c, "it does not take the replies");
    }
    std::erase_if(connections_, [](const auto& c) { return c->fd < 0; });

    std::vector<pollfd> fds{{wakeFd, POLLIN, 0}, {listenFd_, POLLIN, 0}};
    for (auto& c : connections_) {
      fds.push_back({c->fd, static_cast<short>(POLLIN | (c->out.empty() ? 0 : POLLOUT)), 0});
    }
    const auto timeout = reading ? kPollWhileReading : kPollIdle;
    const int ready = poll(fds.data(), fds.size(), static_cast<int>(timeout.count()));
    if (ready < 0 && errno != EINTR) {
      logLine(std::string("poll: ") + std::strerror(errno));
      return;
    }
    if (ready <= 0) continue;
    if (fds[0].revents & POLLIN) {
      if (!handleSignals(wakeFd)) return;
    }
    if (fds[1].revents & POLLIN) {
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd >= 0) {
        char text[INET_ADDRSTRLEN] = "?";
        inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        const std::string name = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));
        if (connections_.size() >= kMaxConnections) {
          logLine("connection from " + name + " refused: " + std::to_string(kMaxConnections) + " are open");
          close(fd);
        } else {
          const int on = 1;
          setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
          auto c = std::make_unique<Connection>();
          c->fd = fd;
          c->peer = name;
          connections_.push_back(std::move(c));
        }
      }
    }
    for (std::size_t i = 2; i < fds.size(); ++i) {
      Connection& c = *connections_[i - 2];
      if (c.fd < 0 || fds[i].fd != c.fd) continue;
      if (fds[i].revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!readFrom(c)) continue;
        if (!process(c)) continue;
      }
    }
  }
}

bool UsbipServer::readFrom(Connection& c) {
  std::uint8_t buffer[16384];
  while (true) {
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n > 0) {
      if (c.phase == Connection::Phase::Closing) continue;  // whatever follows its request is ignored
      c.in.insert(c.in.end(), buffer, buffer + n);
      if (c.in.size() > kMaxUnsent) {
        drop(c, "it sends more than it lets the server answer");
        return false;
      }
      continue;
    }
    if (n == 0) {
      drop(c, c.phase == Connection::Phase::Urbs ? "the importer disconnected" : "the peer disconnected");
      return false;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
    drop(c, std::string("recv: ") + std::strerror(errno));
    return false;
  }
}

bool UsbipServer::flush(Connection& c) {
  while (!c.out.empty()) {
    const ssize_t n = send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
    if (n > 0) {
      c.out.erase(c.out.begin(), c.out.begin() + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return c.out.size() <= kMaxUnsent;
    return false;
  }
  if (c.phase == Connection::Phase::Closing) {
    // The reply is out: the operation is over.
    shutdown(c.fd, SHUT_RDWR);
    close(c.fd);
    c.fd = -1;
  }
  return true;
}

bool UsbipServer::process(Connection& c) {
  const bool ok = c.phase == Connection::Phase::Urbs ? processUrbs(c) : processOperation(c);
  if (!ok) return false;
  if (c.in.empty() || c.phase == Connection::Phase::Closing) {
    if (c.phase != Connection::Phase::Closing) c.waitingSince.reset();
  } else if (!c.waitingSince) {
    c.waitingSince = Clock::now();
  }
  if (c.phase == Connection::Phase::Urbs) serve(c);
  if (!flush(c)) {
    drop(c, "it does not take the replies");
    return false;
  }
  return c.fd >= 0;
}

bool UsbipServer::processOperation(Connection& c) {
  if (c.phase != Connection::Phase::Operation || c.in.size() < kOpHeaderBytes) return true;
  const OpHeader h = decodeOpHeader(std::span<const std::uint8_t, kOpHeaderBytes>(c.in.data(), kOpHeaderBytes));
  if (h.version != kUsbipVersion) {
    drop(c, "USB/IP version " + hex16(h.version) + ", not " + hex16(kUsbipVersion));
    return false;
  }
  if (h.code == kOpReqDevlist) {
    const auto device = exported();
    std::vector<ExportedDevice> list;
    if (device) list.push_back(*device);
    c.out = devlistReply(list);
    c.in.clear();
    c.phase = Connection::Phase::Closing;
    c.waitingSince = Clock::now();
    return true;
  }
  if (h.code != kOpReqImport) {
    drop(c, "unknown operation " + hex16(h.code));
    return false;
  }
  if (c.in.size() < kOpHeaderBytes + kBusIdBytes) return true;
  const std::string busId =
      importedBusId(std::span<const std::uint8_t, kBusIdBytes>(c.in.data() + kOpHeaderBytes, kBusIdBytes));
  c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(kOpHeaderBytes + kBusIdBytes));
  const auto device = exported();
  const bool taken = std::any_of(connections_.begin(), connections_.end(), [&](const auto& other) {
    return other.get() != &c && other->fd >= 0 && other->phase == Connection::Phase::Urbs;
  });
  if (!device || busId != options_.busId || taken) {
    const std::uint32_t status = device && busId == options_.busId ? kStatusDeviceBusy : kStatusNoDevice;
    logLine("import of bus ID '" + busId + "' by " + c.peer + " refused: " +
            (status == kStatusDeviceBusy ? "imported already" : "no such device"));
    c.out = importReply(status, nullptr);
    c.in.clear();
    c.phase = Connection::Phase::Closing;
    c.waitingSince = Clock::now();
    return true;
  }
  c.out = importReply(kStatusOk, &*device);
  c.deviceId = device->deviceId();
  c.phase = Connection::Phase::Urbs;
  unit_.reset();
  logLine("bus ID " + options_.busId + " imported by " + c.peer);
  return processUrbs(c);
}

bool UsbipServer::processUrbs(Connection& c) {
  std::size_t at = 0;
  bool ok = true;
  while (c.in.size() - at >= kUrbHeaderBytes) {
    const UrbHeader h = decodeUrbHeader(std::span<const std::uint8_t, kUrbHeaderBytes>(c.in.data() + at, kUrbHeaderBytes));
    if (h.command == kCmdUnlink) {
      at += kUrbHeaderBytes;
      unlink(c, h);
      continue;
    }
    if (h.command != kCmdSubmit) {
      drop(c, "unknown command " + hex16(h.command));
      ok = false;
      break;
    }
    if (h.direction > kDirectionIn || h.endpoint > 15 || (h.packets != 0 && h.packets != 0xFFFFFFFFu) ||
        h.deviceId != c.deviceId) {
      drop(c, "a garbled submit (seqnum " + std::to_string(h.seqnum) + ")");
      ok = false;
      break;
    }
    const bool out = h.direction == kDirectionOut;
    if ((out && h.bufferLength > kMaxOutData) || (!out && h.bufferLength > kMaxInLength)) {
      drop(c, "a transfer of " + std::to_string(h.bufferLength) + " bytes");
      ok = false;
      break;
    }
    const std::size_t data = out ? h.bufferLength : 0;
    if (c.in.size() - at - kUrbHeaderBytes < data) break;  // the rest of its data is on the way
    const auto begin = c.in.begin() + static_cast<std::ptrdiff_t>(at + kUrbHeaderBytes);
    std::vector<std::uint8_t> bytes(begin, begin + static_cast<std::ptrdiff_t>(data));
    at += kUrbHeaderBytes + data;
    submit(c, h, std::move(bytes));
    if (c.fd < 0) return false;
  }
  if (c.fd >= 0) c.in.erase(c.in.begin(), c.in.begin() + static_cast<std::ptrdiff_t>(at));
  return ok;
}

void UsbipServer::submit(Connection& c, const UrbHeader& h, std::vector<std::uint8_t> data) {
  if (c.interrupts.size() + c.held.size() >= kMaxPendingUrbs) {
    drop(c, "more than " + std::to_string(kMaxPendingUrbs) + " transfers pending");
    return;
  }
  if (h.endpoint == 0) {
    const SetupPacket setup = decodeSetup(h.setup);
    // Control transfers on endpoint 0 run one after the other: behind one left unanswered, the
    // next waits too.
    if (c.held.empty()) {
      const auto r = unit_.control(setup, data);
      if (r.outcome != VirtualUnit::Outcome::Hold) {
        answerControl(c, h.seqnum, setup, r, h.bufferLength, data.size());
        return;
      }
    }
    c.held.push_back({h.seqnum, setup, std::move(data), h.bufferLength});
    if (!c.told || options_.verbose) {
      logLine("control " + setupText(setup) + " (seqnum " + std::to_string(h.seqnum) + ") goes unanswered");
      c.told = true;
    }
    return;
  }
  if (h.endpoint == (kInterruptInEndpoint & 0x0F) && h.direction == kDirectionIn) {
    c.interrupts.push_back({h.seqnum, h.bufferLength});
    return;
  }
  // No such endpoint: a stall.
  const auto reply = retSubmit(h.seqnum, -EPIPE, {}, 0);
  c.out.insert(c.out.end(), reply.begin(), reply.end());
}

void UsbipServer::answerControl(Connection& c, std::uint32_t seqnum, const SetupPacket& setup,
                                const VirtualUnit::ControlReply& r, std::uint32_t bufferLength, std::size_t outLength) {
  std::vector<std::uint8_t> reply;
  std::string what;
  if (r.outcome == VirtualUnit::Outcome::Stall) {
    reply = retSubmit(seqnum, -EPIPE, {}, 0);
    what = "stall";
  } else if (!r.data.empty()) {
    const std::size_t n = std::min({r.data.size(), static_cast<std::size_t>(setup.length), static_cast<std::size_t>(bufferLength)});
    reply = retSubmit(seqnum, 0, std::span(r.data.data(), n), static_cast<std::uint32_t>(n));
    what = std::to_string(n) + " bytes in";
  } else {
    reply = retSubmit(seqnum, 0, {}, static_cast<std::uint32_t>(outLength));
    what = std::to_string(outLength) + " bytes out";
  }
  if (options_.verbose) logLine("control " + setupText(setup) + " (seqnum " + std::to_string(seqnum) + "): " + what);
  c.out.insert(c.out.end(), reply.begin(), reply.end());
}

void UsbipServer::unlink(Connection& c, const UrbHeader& h) {
  const std::uint32_t target = h.unlinkSeqnum;
  bool found = false;
  if (auto it = std::find_if(c.interrupts.begin(), c.interrupts.end(), [&](const auto& u) { return u.seqnum == target; });
      it != c.interrupts.end()) {
    c.interrupts.erase(it);
    found = true;
    // The host stopped reading (hidraw closed): reports no one asks for are not kept.
    if (c.interrupts.empty()) unit_.stopInput();
  } else if (auto held = std::find_if(c.held.begin(), c.held.end(), [&](const auto& u) { return u.seqnum == target; });
             held != c.held.end()) {
    c.held.erase(held);
    found = true;
    logLine("the host gave up a control transfer (seqnum " + std::to_string(target) + ")");
  }
  // -ECONNRESET: unlinked before it was answered; 0: it had been answered already.
  if (options_.verbose) {
    logLine("unlink of seqnum " + std::to_string(target) + (found ? ": given up" : ": answered already"));
  }
  const auto reply = retUnlink(h.seqnum, found ? -ECONNRESET : 0);
  c.out.insert(c.out.end(), reply.begin(), reply.end());
}

void UsbipServer::serve(Connection& c) {
  while (!c.held.empty()) {
    const auto& t = c.held.front();
    const auto r = unit_.control(t.setup, t.data);
    if (r.outcome == VirtualUnit::Outcome::Hold) break;
    answerControl(c, t.seqnum, t.setup, r, t.bufferLength, t.data.size());
    c.held.pop_front();
  }
  if (c.held.empty()) c.told = false;
  while (!c.interrupts.empty()) {
    const auto report = unit_.inputReport();
    if (!report) break;
    const auto& u = c.interrupts.front();
    const std::size_t n = std::min(report->size(), static_cast<std::size_t>(u.length));
    const auto reply = retSubmit(u.seqnum, 0, std::span(report->data(), n), static_cast<std::uint32_t>(n));
    c.out.insert(c.out.end(), reply.begin(), reply.end());
    c.interrupts.pop_front();
  }
}

}  // namespace tamrik::vm
