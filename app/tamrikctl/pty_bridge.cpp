#include "app/tamrikctl/pty_bridge.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tamrik::ctl {

namespace {

using Clock = std::chrono::steady_clock;

// Chunks of the queue grow to this size before a new one is started.
constexpr std::size_t kChunkBytes = 64 * 1024;
// Whatever the reader writes is read in pieces of this size and thrown away.
constexpr std::size_t kDrainBytes = 4096;
// Owner and group may open the endpoint, nobody else: the group is how gpsd, started as root
// and then running in its own group, opens it again.
constexpr mode_t kEndpointMode = 0660;

std::string systemError(const std::string& what, int error) { return what + ": " + std::strerror(error); }

// The kind of file at PATH, for messages.
std::string describe(const struct stat& st) {
  if (S_ISDIR(st.st_mode)) return "a folder";
  if (S_ISREG(st.st_mode)) return "a regular file";
  if (S_ISFIFO(st.st_mode)) return "a named pipe";
  if (S_ISCHR(st.st_mode)) return "a character device";
  if (S_ISSOCK(st.st_mode)) return "a socket";
  if (S_ISLNK(st.st_mode)) return "a symbolic link";
  return "not a symbolic link";
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

// --- the endpoint ---------------------------------------------------------------------------

std::string BridgeEndpoint::checkPath(const std::string& path) {
  if (path.empty()) return "the path is empty";
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return systemError("cannot look at " + path, errno);
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "cannot make " + path + ": there is no folder " + folder;
    return {};
  }
  if (S_ISLNK(st.st_mode)) return {};
  return "refusing to replace " + path + ": it is " + describe(st) + ", not a symbolic link";
}

std::string BridgeEndpoint::pipePath(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, base) + "." + path.substr(base) + ".pipe";
}

std::unique_ptr<BridgeEndpoint> BridgeEndpoint::create(EndpointKind kind, const std::string& path,
                                                       std::string& error) {
  error = checkPath(path);
  if (!error.empty()) return nullptr;
  std::unique_ptr<BridgeEndpoint> e(new BridgeEndpoint(kind, path));
  error = kind == EndpointKind::Pty ? e->openPty() : e->openPipe();
  if (error.empty()) error = e->makeLink();
  if (!error.empty()) return nullptr;
  return e;
}

std::string BridgeEndpoint::openPipe() {
  // A pipe left over from an earlier run is made anew: an old reader still holding it open sees
  // its end and opens the new one.
  const std::string name = pipePath(path_);
  struct stat st {};
  if (::lstat(name.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) {
    return "refusing to replace " + name + ": it is " + describe(st) + ", not a named pipe";
  }
  if (::unlink(name.c_str()) != 0 && errno != ENOENT) return systemError("cannot replace " + name, errno);
  if (::mkfifo(name.c_str(), kEndpointMode) != 0) return systemError("cannot make the named pipe " + name, errno);
  // Open for reading too, so that writes never fail for want of a reader; the bytes wait in the
  // pipe for the next one. We never read it.
  writeFd_ = ::open(name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (writeFd_ < 0 || ::fstat(writeFd_, &st) != 0) {
    const int failure = errno;
    ::unlink(name.c_str());
    return systemError("cannot open the named pipe " + name, failure);
  }
  (void)::fchmod(writeFd_, kEndpointMode);  // whatever the umask took away
  pipeDevice_ = st.st_dev;
  pipeInode_ = st.st_ino;
  device_ = name;
  return {};
}

std::string BridgeEndpoint::openPty() {
  writeFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (writeFd_ < 0 || ::grantpt(writeFd_) != 0 || ::unlockpt(writeFd_) != 0) {
    return systemError("cannot make a pseudo-terminal", errno);
  }
  std::array<char, 128> name{};
  if (::ptsname_r(writeFd_, name.data(), name.size()) != 0) return systemError("cannot name the pseudo-terminal", errno);
  device_ = name.data();
  slaveFd_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slaveFd_ < 0) return systemError("cannot open " + device_, errno);
  // Raw: every byte passes as it is (no line editing, no CR/NL translation, no flow control by
  // XON/XOFF bytes, no echo back to us).
  struct termios t {};
  if (::tcgetattr(slaveFd_, &t) != 0) return systemError("cannot read the terminal settings of " + device_, errno);
  ::cfmakeraw(&t);
  if (::tcsetattr(slaveFd_, TCSANOW, &t) != 0) return systemError("cannot make " + device_ + " raw", errno);
  (void)::fchown(slaveFd_, static_cast<uid_t>(-1), ::getegid());
  (void)::fchmod(slaveFd_, kEndpointMode);
  const int flags = ::fcntl(writeFd_, F_GETFL);
  if (flags < 0 || ::fcntl(writeFd_, F_SETFL, flags | O_NONBLOCK) != 0) {
    return systemError("cannot make the pseudo-terminal non-blocking", errno);
  }
  return {};
}

std::string BridgeEndpoint::makeLink() {
  // The link appears at once, whole: made beside PATH under another name, then renamed over it.
  // A pipe is linked by its name in the same folder, so the link still holds when the folder moves.
  const std::string target = kind_ == EndpointKind::Pty ? device_ : device_.substr(device_.rfind('/') + 1);
  const std::string temporary = path_ + ".new-" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) return systemError("cannot make the link " + path_, errno);
  // PATH may have changed since it was checked; look again right before the rename.
  std::string error = checkPath(path_);
  if (error.empty() && ::rename(temporary.c_str(), path_.c_str()) != 0) error = systemError("cannot make the link " + path_, errno);
  if (!error.empty()) {
    ::unlink(temporary.c_str());
    return error;
  }
  linkTarget_ = target;
  return {};
}

BridgeEndpoint::~BridgeEndpoint() {
  removeFiles();
  closeFd(slaveFd_);
  closeFd(writeFd_);
}

void BridgeEndpoint::removeFiles() {
  // Only what we made: a link another bridge has put in place since stays, and so does its pipe.
  if (!linkTarget_.empty()) {
    std::array<char, 4096> target{};
    const ssize_t n = ::readlink(path_.c_str(), target.data(), target.size() - 1);
    if (n > 0 && std::string(target.data(), static_cast<std::size_t>(n)) == linkTarget_) ::unlink(path_.c_str());
  }
  struct stat st {};
  if (pipeInode_ != 0 && ::lstat(device_.c_str(), &st) == 0 && S_ISFIFO(st.st_mode) &&
      static_cast<std::uint64_t>(st.st_dev) == pipeDevice_ && static_cast<std::uint64_t>(st.st_ino) == pipeInode_) {
    ::unlink(device_.c_str());
  }
}

// --- the engine -----------------------------------------------------------------------------

PtyBridge::PtyBridge(ReceiverSource& source, BridgeEndpoint& endpoint, BridgeOptions options, Log log)
    : source_(source), endpoint_(endpoint), options_(options), log_(std::move(log)) {
  if (!log_) log_ = [](const std::string&) {};
}

PtyBridge::Step PtyBridge::step(int stopFd) {
  std::chrono::milliseconds wait{0};
  if (source_.opened()) {
    incoming_.clear();
    const bool ok = source_.read(incoming_, options_.pollPeriod);
    enqueue(incoming_);
    if (!ok) {
      ++counters_.losses;
      log_("unit " + source_.name() + " lost; " + endpoint_.path() + " stays and the bridge waits for the unit");
      retryDelay_ = options_.retryFirst;
      nextOpen_ = Clock::now() + retryDelay_;
      lastOpenFailure_.clear();
    }
  } else {
    const auto now = Clock::now();
    if (now >= nextOpen_) {
      const SourceOpen opened = source_.open();
      if (opened.ok()) {
        ++counters_.reopens;
        log_("unit " + source_.name() + " is back");
      } else {
        if (opened.reason != lastOpenFailure_) log_(opened.reason + "; trying again");
        lastOpenFailure_ = opened.reason;
        retryDelay_ = std::clamp(retryDelay_ * 2, options_.retryFirst, options_.retryLongest);
        nextOpen_ = now + retryDelay_;
      }
    }
    if (!source_.opened()) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(nextOpen_ - Clock::now());
      wait = std::clamp(left, std::chrono::milliseconds(0), options_.pollPeriod);
    }
  }
  return serveEndpoint(wait, stopFd);
}

bool PtyBridge::run(int stopFd) {
  for (;;) {
    const Step s = step(stopFd);
    if (s == Step::Stopped) return true;
    if (s == Step::Failed) return false;
  }
}

PtyBridge::Step PtyBridge::serveEndpoint(std::chrono::milliseconds wait, int stopFd) {
  std::array<pollfd, 2> fds{};
  nfds_t n = 0;
  fds[n++] = {endpoint_.writeFd(), static_cast<short>((endpoint_.drainFd() >= 0 ? POLLIN : 0) |
                                                      (queued_ > 0 ? POLLOUT : 0)), 0};
  const bool watchStop = stopFd >= 0;
  if (watchStop) fds[n++] = {stopFd, POLLIN, 0};
  const int ready = ::poll(fds.data(), n, static_cast<int>(wait.count()));
  if (ready < 0 && errno != EINTR) {
    log_(systemError("waiting for " + endpoint_.path() + " failed", errno));
    return Step::Failed;
  }
  if (watchStop && ready > 0 && (fds[1].revents & POLLIN) != 0) return Step::Stopped;
  if (ready > 0 && (fds[0].revents & (POLLERR | POLLNVAL)) != 0) {
    log_(endpoint_.deviceName() + " failed");
    return Step::Failed;
  }
  if (!drainReader() || !flush()) return Step::Failed;
  return Step::Running;
}

void PtyBridge::enqueue(const std::vector<std::uint8_t>& bytes) {
  if (bytes.empty()) return;
  counters_.fromUnit += bytes.size();
  if (queue_.empty() || queue_.back().size() >= kChunkBytes) queue_.emplace_back();
  queue_.back().insert(queue_.back().end(), bytes.begin(), bytes.end());
  queued_ += bytes.size();
  if (queued_ <= options_.queueLimit) return;

  if (!overflowing_) {
    log_("the reader of " + endpoint_.path() + " does not keep up: " + std::to_string(queued_) +
         " bytes wait for it; dropping the oldest beyond " + std::to_string(options_.queueLimit));
    overflowing_ = true;
  }
  while (queued_ > options_.queueLimit) {
    std::vector<std::uint8_t>& front = queue_.front();
    const std::size_t drop = std::min(front.size() - frontOffset_, queued_ - options_.queueLimit);
    frontOffset_ += drop;
    queued_ -= drop;
    counters_.dropped += drop;
    if (frontOffset_ == front.size()) {
      queue_.pop_front();
      frontOffset_ = 0;
    }
  }
}

bool PtyBridge::flush() {
  while (queued_ > 0) {
    const std::vector<std::uint8_t>& front = queue_.front();
    const ssize_t n = ::write(endpoint_.writeFd(), front.data() + frontOffset_, front.size() - frontOffset_);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      log_(systemError("writing to " + endpoint_.deviceName() + " failed", errno));
      return false;
    }
    counters_.toReader += static_cast<std::uint64_t>(n);
    frontOffset_ += static_cast<std::size_t>(n);
    queued_ -= static_cast<std::size_t>(n);
    if (frontOffset_ == front.size()) {
      queue_.pop_front();
      frontOffset_ = 0;
    }
  }
  if (overflowing_ && queued_ <= options_.queueLimit / 2) {
    log_("the reader of " + endpoint_.path() + " keeps up again; " + std::to_string(counters_.dropped) +
         " bytes were dropped so far");
    overflowing_ = false;
  }
  return true;
}

bool PtyBridge::drainReader() {
  const int fd = endpoint_.drainFd();
  if (fd < 0) return true;
  std::array<std::uint8_t, kDrainBytes> scrap{};
  // Bounded: a reader writing without pause cannot keep the loop here.
  for (int i = 0; i < 16; ++i) {
    const ssize_t n = ::read(fd, scrap.data(), scrap.size());
    if (n > 0) {
      counters_.discarded += static_cast<std::uint64_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    // EIO would mean the slave side hung up, which our own open of it prevents.
    log_(n == 0 ? endpoint_.deviceName() + " was closed"
                : systemError("reading from " + endpoint_.deviceName() + " failed", errno));
    return false;
  }
  return true;
}

}  // namespace tamrik::ctl
