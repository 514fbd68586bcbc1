#include "platform/linux/bridge_endpoints.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace tamrik::platform {

namespace {

// Whatever the reader writes is read in pieces of this size, at most 16 a call, and thrown away.
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
  return "another kind of file";
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// "" when the folder PATH would be made in exists.
std::string checkFolder(const std::string& path) {
  struct stat st {};
  const std::string folder = folderOf(path);
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "cannot make " + path + ": there is no folder " + folder;
  return {};
}

// A hidden name beside PATH: ".NAME<suffix>".
std::string besidePath(const std::string& path, const char* suffix) {
  const std::size_t slash = path.rfind('/');
  const std::size_t base = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, base) + "." + path.substr(base) + suffix;
}

// The process that holds the lock file's lock, as it wrote itself into the file; "" when the file
// is not locked (or not there).
std::string lockHolder(const std::string& lockFile) {
  const int fd = ::open(lockFile.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return {};
  std::string holder;
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    std::array<char, 32> text{};
    const ssize_t n = ::read(fd, text.data(), text.size() - 1);
    holder = "another bridge";
    if (n > 0) {
      const std::string pid(text.data(), static_cast<std::size_t>(n));
      if (pid.find_first_not_of("0123456789\n") == std::string::npos) holder += " (process " + pid.substr(0, pid.find('\n')) + ")";
    }
  }
  ::close(fd);
  return holder;
}

}  // namespace

// --- the reader's endpoint ------------------------------------------------------------------

std::string LinuxReaderEndpoint::pipePath(const std::string& path) { return besidePath(path, ".pipe"); }

std::string LinuxReaderEndpoint::lockPath(const std::string& path) { return besidePath(path, ".lock"); }

namespace {

// What a symbolic link at PATH leads to, when it can be read.
std::optional<std::string> linkTarget(const std::string& path) {
  std::string target(4096, '\0');
  const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
  if (n < 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
  target.resize(static_cast<std::size_t>(n));
  return target;
}

// "" when the thing at PATH (lstat's st) may be replaced: a symbolic link that a bridge made, to a
// pseudo-terminal or to its own pipe beside PATH (no live bridge holds PATH: the lock says so).
// Anything else is the user's, or another program's: a link to another device (a udev link to
// another receiver), to a file, a file itself. A link to a terminal that is still there is
// another program's (socat's pty,link=), unless the lock file of a bridge that died is beside
// it: then the terminal's number was given anew since. `staleLock` says whether that lock was there.
std::string replaceRefusal(const std::string& path, const struct stat& st, bool staleLock) {
  if (!S_ISLNK(st.st_mode)) return "refusing to replace " + path + ": it is " + describe(st) + ", not a symbolic link";
  const std::optional<std::string> target = linkTarget(path);
  if (!target) return systemError("cannot read the link " + path, errno);
  constexpr std::string_view kPts = "/dev/pts/";
  const bool pty = target->starts_with(kPts) && target->size() > kPts.size() &&
                   target->find_first_not_of("0123456789", kPts.size()) == std::string::npos;
  const std::string pipe = LinuxReaderEndpoint::pipePath(path);
  if (pty) {
    struct stat terminal {};
    if (staleLock || ::stat(target->c_str(), &terminal) != 0) return {};
    return "refusing to replace " + path + ": it is a symbolic link to " + *target +
           ", a terminal that another program holds open";
  }
  if (*target == pipe.substr(pipe.rfind('/') + 1)) return {};
  return "refusing to replace " + path + ": it is a symbolic link to " + *target + ", which no bridge made";
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

}  // namespace

std::string LinuxReaderEndpoint::checkPath(const std::string& path) {
  if (path.empty()) return "the path is empty";
  if (const std::string holder = lockHolder(lockPath(path)); !holder.empty()) {
    return "refusing " + path + ": " + holder + " serves it";
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return systemError("cannot look at " + path, errno);
    return checkFolder(path);
  }
  return replaceRefusal(path, st, exists(lockPath(path)));
}

base::Result<std::unique_ptr<LinuxReaderEndpoint>> LinuxReaderEndpoint::create(EndpointKind kind, const std::string& path) {
  if (std::string refusal = checkPath(path); !refusal.empty()) return base::fail(base::FailureKind::BadArgument, refusal);
  std::unique_ptr<LinuxReaderEndpoint> e(new LinuxReaderEndpoint(kind, path));
  // Another bridge may take PATH, or something else be put there, between the check and here.
  if (auto locked = e->lock(); !locked) return locked.failure();
  if (auto opened = kind == EndpointKind::Pty ? e->openPty() : e->openPipe(); !opened) return opened.failure();
  if (auto linked = e->makeLink(); !linked) return linked.failure();
  return e;
}

base::Result<void> LinuxReaderEndpoint::lock() {
  // The lock is the file's flock, held as long as we live. A lock file whose holder is gone is
  // taken over; one that was taken away and made anew between our open and our lock is opened
  // again, so that two bridges never hold locks on two different files of one name.
  const std::string name = lockPath(path_);
  staleLock_ = exists(name);
  for (int attempt = 0; attempt < 5; ++attempt) {
    lockFd_ = ::open(name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (lockFd_ < 0) return base::fail(base::FailureKind::System, systemError("cannot make the lock " + name, errno));
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      const int failure = errno;
      closeFd(lockFd_);
      if (failure == EWOULDBLOCK) {
        const std::string holder = lockHolder(name);
        return base::fail(base::FailureKind::BadArgument, "refusing " + path_ + ": " + (holder.empty() ? std::string("another bridge") : holder) + " serves it");
      }
      return base::fail(base::FailureKind::System, systemError("cannot lock " + name, failure));
    }
    struct stat held {}, now {};
    if (::fstat(lockFd_, &held) == 0 && ::lstat(name.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
        held.st_dev == now.st_dev) {
      const std::string pid = std::to_string(::getpid()) + "\n";
      if (::ftruncate(lockFd_, 0) == 0) (void)!::pwrite(lockFd_, pid.data(), pid.size(), 0);
      return {};
    }
    closeFd(lockFd_);
  }
  return base::fail(base::FailureKind::System, "cannot lock " + name + ": it keeps being replaced");
}

base::Result<void> LinuxReaderEndpoint::openPipe() {
  // A pipe left over from an earlier run is made anew: an old reader still holding it open sees
  // its end and opens the new one.
  const std::string name = pipePath(path_);
  struct stat st {};
  if (::lstat(name.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode)) {
    return base::fail(base::FailureKind::BadArgument, "refusing to replace " + name + ": it is " + describe(st) + ", not a named pipe");
  }
  if (::unlink(name.c_str()) != 0 && errno != ENOENT) return base::fail(base::FailureKind::System, systemError("cannot replace " + name, errno));
  if (::mkfifo(name.c_str(), kEndpointMode) != 0) return base::fail(base::FailureKind::System, systemError("cannot make the named pipe " + name, errno));
  // Open for reading too, so that writes never fail for want of a reader; the bytes wait in the
  // pipe for the next one (and we take back those it never came for).
  writeFd_ = ::open(name.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (writeFd_ < 0 || ::fstat(writeFd_, &st) != 0) {
    const int failure = errno;
    ::unlink(name.c_str());
    return base::fail(base::FailureKind::System, systemError("cannot open the named pipe " + name, failure));
  }
  (void)::fchmod(writeFd_, kEndpointMode);  // whatever the umask took away
  pipeDevice_ = st.st_dev;
  pipeInode_ = st.st_ino;
  device_ = name;
  return {};
}

base::Result<void> LinuxReaderEndpoint::openPty() {
  writeFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (writeFd_ < 0 || ::grantpt(writeFd_) != 0 || ::unlockpt(writeFd_) != 0) {
    return base::fail(base::FailureKind::System, systemError("cannot make a pseudo-terminal", errno));
  }
  std::array<char, 128> name{};
  if (::ptsname_r(writeFd_, name.data(), name.size()) != 0) return base::fail(base::FailureKind::System, systemError("cannot name the pseudo-terminal", errno));
  device_ = name.data();
  slaveFd_ = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slaveFd_ < 0) return base::fail(base::FailureKind::System, systemError("cannot open " + device_, errno));
  // Raw: every byte passes as it is (no line editing, no CR/NL translation, no flow control by
  // XON/XOFF bytes, no echo back to us).
  struct termios t {};
  if (::tcgetattr(slaveFd_, &t) != 0) return base::fail(base::FailureKind::System, systemError("cannot read the terminal settings of " + device_, errno));
  ::cfmakeraw(&t);
  if (::tcsetattr(slaveFd_, TCSANOW, &t) != 0) return base::fail(base::FailureKind::System, systemError("cannot make " + device_ + " raw", errno));
  // Best effort: a terminal that keeps its group and mode still serves the readers who may open it.
  // (A (void) cast does not quiet -Wunused-result under Debian's _FORTIFY_SOURCE.)
  if (::fchown(slaveFd_, static_cast<uid_t>(-1), ::getegid()) != 0) {
  }
  if (::fchmod(slaveFd_, kEndpointMode) != 0) {
  }
  const int flags = ::fcntl(writeFd_, F_GETFL);
  if (flags < 0 || ::fcntl(writeFd_, F_SETFL, flags | O_NONBLOCK) != 0) {
    return base::fail(base::FailureKind::System, systemError("cannot make the pseudo-terminal non-blocking", errno));
  }
  return {};
}

base::Result<void> LinuxReaderEndpoint::makeLink() {
  // The link appears at once, whole: made beside PATH under another name, then renamed over it.
  // A pipe is linked by its name in the same folder, so the link still holds when the folder moves.
  const std::string target = kind_ == EndpointKind::Pty ? device_ : device_.substr(device_.rfind('/') + 1);
  const std::string temporary = path_ + ".new-" + std::to_string(::getpid());
  ::unlink(temporary.c_str());
  if (::symlink(target.c_str(), temporary.c_str()) != 0) return base::fail(base::FailureKind::System, systemError("cannot make the link " + path_, errno));
  // PATH may have changed since it was checked; look again right before the rename (our own lock
  // is no reason to refuse).
  struct stat st {};
  std::optional<base::Failure> failure;
  std::string refusal;
  if (::lstat(path_.c_str(), &st) == 0 && !(refusal = replaceRefusal(path_, st, staleLock_)).empty()) {
    failure = base::fail(base::FailureKind::BadArgument, refusal);
  } else if (::rename(temporary.c_str(), path_.c_str()) != 0) {
    failure = base::fail(base::FailureKind::System, systemError("cannot make the link " + path_, errno));
  }
  if (failure) {
    ::unlink(temporary.c_str());
    return *failure;
  }
  linkTarget_ = target;
  return {};
}

LinuxReaderEndpoint::~LinuxReaderEndpoint() {
  removeFiles();
  closeFd(slaveFd_);
  closeFd(writeFd_);
  if (lockFd_ >= 0) {
    // Taken away while still held, so that no other bridge locks the old file meanwhile.
    ::unlink(lockPath(path_).c_str());
    closeFd(lockFd_);
  }
}

void LinuxReaderEndpoint::removeFiles() {
  // Only what we made: a link put in place since by someone else stays, and so does its pipe.
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

IoResult LinuxReaderEndpoint::write(std::span<const std::uint8_t> bytes) {
  for (;;) {
    const ssize_t n = ::write(writeFd_, bytes.data(), bytes.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return std::size_t{0};
    return base::fail(base::FailureKind::System, systemError("writing to " + device_ + " failed", errno));
  }
}

IoResult LinuxReaderEndpoint::drain() {
  // A named pipe's reader cannot write to us; only a pseudo-terminal's can.
  if (kind_ != EndpointKind::Pty) return std::size_t{0};
  std::array<std::uint8_t, kDrainBytes> scrap{};
  std::size_t bytes = 0;
  // Bounded: a reader writing without pause cannot keep the loop here.
  for (int i = 0; i < 16; ++i) {
    const ssize_t n = ::read(writeFd_, scrap.data(), scrap.size());
    if (n > 0) {
      bytes += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return bytes;
    // EIO would mean the slave side hung up, which our own open of it prevents.
    return base::fail(base::FailureKind::System,
                      n == 0 ? device_ + " was closed" : systemError("reading from " + device_ + " failed", errno));
  }
  return bytes;
}

IoResult LinuxReaderEndpoint::discardUnread() {
  // The pipe's bytes are read back through our own read end; the terminal's input queue, which
  // holds what we wrote for its reader, is flushed.
  const int fd = kind_ == EndpointKind::Pty ? slaveFd_ : writeFd_;
  int waiting = 0;
  if (::ioctl(fd, FIONREAD, &waiting) != 0 || waiting <= 0) return std::size_t{0};
  if (kind_ == EndpointKind::Pty) {
    if (::tcflush(fd, TCIFLUSH) != 0) return base::fail(base::FailureKind::System, systemError("cannot flush " + device_, errno));
    return static_cast<std::size_t>(waiting);
  }
  std::array<std::uint8_t, kDrainBytes> scrap{};
  std::size_t bytes = 0;
  while (bytes < static_cast<std::size_t>(waiting)) {
    const std::size_t want = std::min(scrap.size(), static_cast<std::size_t>(waiting) - bytes);
    const ssize_t n = ::read(fd, scrap.data(), want);
    if (n > 0) {
      bytes += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    break;  // the reader took the rest meanwhile
  }
  return bytes;
}

// --- the wait -------------------------------------------------------------------------------

BridgeWait::Result PollBridgeWait::wait(std::chrono::milliseconds timeout, bool wantWrite) {
  fds_.clear();
  if (endpoint_) {
    const short events = static_cast<short>((endpoint_->kind() == EndpointKind::Pty ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
    fds_.push_back({endpoint_->fd(), events, 0});
  }
  const std::size_t stopAt = fds_.size();
  if (stopFd_ >= 0) fds_.push_back({stopFd_, POLLIN, 0});
  if (more_) more_->addTo(fds_);
  const int ready = ::poll(fds_.data(), fds_.size(), static_cast<int>(std::max<std::chrono::milliseconds::rep>(timeout.count(), 0)));
  if (ready < 0 && errno != EINTR) return {Outcome::Failed, systemError("waiting for the bridge's devices failed", errno)};
  if (ready <= 0) return {};
  if (stopFd_ >= 0 && (fds_[stopAt].revents & POLLIN) != 0) return {Outcome::Stopped, {}};
  if (endpoint_ && (fds_[0].revents & (POLLERR | POLLNVAL)) != 0) return {Outcome::Failed, endpoint_->deviceName() + " failed"};
  return {};
}

// --- chrony's socket ------------------------------------------------------------------------

namespace {

// chrony's struct sock_sample (refclock_sock.c), built from this system's own struct timeval so
// that it has the size and layout chrony has on the same system (32-bit time_t included).
struct SockSample {
  struct timeval tv;
  double offset;
  int pulse;
  int leap;
  int pad;
  int magic;
};
constexpr int kSockMagic = 0x534f434b;
// chrony's layout has no padding but what the timeval's own alignment asks at its end: 40 bytes
// with a 64-bit time_t, 32 with the 32-bit one.
static_assert(offsetof(SockSample, offset) == sizeof(struct timeval));
static_assert(sizeof(SockSample) == sizeof(struct timeval) + sizeof(double) + 4 * sizeof(int));

int chronyLeap(Leap leap) {
  switch (leap) {
    case Leap::None: return 0;
    case Leap::Insert: return 1;
    case Leap::Delete: return 2;
  }
  return 0;
}

}  // namespace

std::string ChronySocket::checkPath(const std::string& path) {
  if (path.empty()) return "the path of chrony's socket is empty";
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    return "the path of chrony's socket is " + std::to_string(path.size()) + " bytes long; a socket's path may have at most " +
           std::to_string(sizeof(sockaddr_un::sun_path) - 1);
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return "refusing " + path + " as chrony's socket: it is " + describe(st) + ", not a socket";
    return {};
  }
  if (errno != ENOENT) return systemError("cannot look at " + path, errno);
  const std::string folder = folderOf(path);
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return "no folder " + folder + " for chrony's socket " + path;
  return {};
}

base::Result<std::unique_ptr<ChronySocket>> ChronySocket::create(const std::string& path) {
  if (std::string refusal = checkPath(path); !refusal.empty()) return base::fail(base::FailureKind::BadArgument, refusal);
  std::unique_ptr<ChronySocket> s(new ChronySocket(path));
  // Unbound: chrony only reads the samples and never answers.
  s->fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s->fd_ < 0) return base::fail(base::FailureKind::System, systemError("cannot make a socket for chrony's samples", errno));
  return s;
}

ChronySocket::~ChronySocket() { closeFd(fd_); }

std::optional<std::string> ChronySocket::datagram(const TimeSample& sample) {
  // The stamp in whole microseconds, as a timeval holds it; what that leaves out goes into the
  // offset, so that stamp + offset stays the receiver's time.
  using namespace std::chrono;
  const auto sinceEpoch = duration_cast<nanoseconds>(sample.stamp.time_since_epoch());
  const auto micro = floor<microseconds>(sinceEpoch);
  const auto seconds = floor<std::chrono::seconds>(micro);
  using Seconds = decltype(timeval::tv_sec);
  if (seconds.count() < std::numeric_limits<Seconds>::min() || seconds.count() > std::numeric_limits<Seconds>::max()) {
    return std::nullopt;
  }
  SockSample s{};
  s.tv.tv_sec = static_cast<decltype(s.tv.tv_sec)>(seconds.count());
  s.tv.tv_usec = static_cast<decltype(s.tv.tv_usec)>((micro - seconds).count());
  s.offset = sample.offsetSeconds + duration<double>(sinceEpoch - micro).count();
  s.pulse = 0;
  s.leap = chronyLeap(sample.leap);
  s.magic = kSockMagic;
  return std::string(reinterpret_cast<const char*>(&s), sizeof s);
}

TimeSampleSink::Result ChronySocket::send(const TimeSample& sample) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
  const std::optional<std::string> datagramBytes = datagram(sample);
  if (!datagramBytes) {
    return {Sent::Failed, "the sample's time does not fit this system's " + std::to_string(8 * sizeof(time_t)) +
                              "-bit time_t, so chrony cannot be sent it"};
  }
  const std::string& bytes = *datagramBytes;
  for (;;) {
    const ssize_t n = ::sendto(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                               reinterpret_cast<const sockaddr*>(&address), sizeof address);
    if (n == static_cast<ssize_t>(bytes.size())) return {};
    if (n < 0 && errno == EINTR) continue;
    const int failure = n < 0 ? errno : EMSGSIZE;
    switch (failure) {
      case ENOENT: return {Sent::NotListening, "there is no socket " + path_ + " yet"};
      case ECONNREFUSED: return {Sent::NotListening, "nothing listens at " + path_};
      case EAGAIN: return {Sent::NotListening, "chronyd does not take the samples at " + path_ + " (its queue is full)"};
      case EACCES:
      case EPERM:
        return {Sent::Failed, "permission refused at " + path_ +
                                  ": chronyd made its socket without the group and mode that let the bridge write to it"};
      default: return {Sent::Failed, systemError("cannot send a sample to " + path_, failure)};
    }
  }
}

}  // namespace tamrik::platform
