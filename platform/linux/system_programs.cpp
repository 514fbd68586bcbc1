#include "platform/linux/system_programs.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

extern char** environ;

namespace tamrik::platform {

namespace {

constexpr std::size_t kKeptBytes = 4u << 20;

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Reads what is there; false at the end.
bool readInto(int fd, std::string& into) {
  std::array<char, 8192> buffer{};
  const ssize_t n = ::read(fd, buffer.data(), buffer.size());
  if (n > 0) {
    if (into.size() < kKeptBytes) into.append(buffer.data(), std::min<std::size_t>(static_cast<std::size_t>(n), kKeptBytes - into.size()));
    return true;
  }
  return n < 0 && (errno == EINTR || errno == EAGAIN);
}

std::string lastLine(std::string_view text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.remove_suffix(1);
  const std::size_t start = text.rfind('\n');
  std::string line(start == std::string_view::npos ? text : text.substr(start + 1));
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  return line;
}

}  // namespace

std::string ProgramRun::whyNot(std::string_view what) const {
  if (!started) return std::string(what) + " could not be run: " + failure;
  if (timedOut) return std::string(what) + " did not end in time";
  std::string line = lastLine(err);
  if (line.empty()) line = lastLine(out);
  return std::string(what) + " failed (status " + std::to_string(status) + ")" + (line.empty() ? "" : ": " + line);
}

ProgramRun runProgram(const std::vector<std::string>& argv, std::chrono::milliseconds limit) {
  ProgramRun run;
  if (argv.empty()) {
    run.failure = "no program";
    return run;
  }
  int outPipe[2] = {-1, -1};
  int errPipe[2] = {-1, -1};
  if (::pipe2(outPipe, O_CLOEXEC) != 0 || ::pipe2(errPipe, O_CLOEXEC) != 0) {
    run.failure = std::strerror(errno);
    for (int* fd : {&outPipe[0], &outPipe[1], &errPipe[0], &errPipe[1]}) closeFd(*fd);
    return run;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outPipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, errPipe[1], 2);
  // Its own process group, so that a kill at the limit reaches what it started too.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  posix_spawnattr_setpgroup(&attributes, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, s);
  posix_spawnattr_setsigdefault(&attributes, &defaults);

  std::vector<std::string> environment;
  for (char** e = environ; e && *e; ++e) {
    const std::string_view entry(*e);
    if (entry.starts_with("LC_") || entry.starts_with("LANG=") || entry.starts_with("LANGUAGE=")) continue;
    environment.emplace_back(entry);
  }
  environment.emplace_back("LC_ALL=C");
  std::vector<char*> envp;
  for (std::string& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args(argv);
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  pid_t pid = -1;
  const int spawned = ::posix_spawnp(&pid, argp[0], &actions, &attributes, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  closeFd(outPipe[1]);
  closeFd(errPipe[1]);
  if (spawned != 0) {
    run.failure = std::strerror(spawned);
    closeFd(outPipe[0]);
    closeFd(errPipe[0]);
    return run;
  }
  run.started = true;

  const Clock::time_point deadline = Clock::now() + limit;
  int fds[2] = {outPipe[0], errPipe[0]};
  std::string* into[2] = {&run.out, &run.err};
  while (fds[0] >= 0 || fds[1] >= 0) {
    pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    const int left = remainingMs(deadline);
    if (left == 0) {
      run.timedOut = true;
      break;
    }
    const int ready = ::poll(p, 2, left);
    if (ready < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i] >= 0 && (p[i].revents & (POLLIN | POLLHUP | POLLERR)) && !readInto(fds[i], *into[i])) closeFd(fds[i]);
    }
  }
  closeFd(fds[0]);
  closeFd(fds[1]);
  if (run.timedOut) ::kill(-pid, SIGKILL);
  // Its output ended: it ends too, or is made to within the limit.
  int status = 0;
  for (;;) {
    const pid_t done = ::waitpid(pid, &status, run.timedOut ? 0 : WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;
    if (done == 0) {
      if (remainingMs(deadline) == 0) {
        run.timedOut = true;
        ::kill(-pid, SIGKILL);
      } else {
        ::poll(nullptr, 0, 10);
      }
    }
  }
  if (!run.timedOut) run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  return run;
}

base::Result<std::string> askLocalService(std::uint16_t port, std::string_view request, std::chrono::milliseconds limit,
                                          const std::function<bool(std::string_view)>& done) {
  const Clock::time_point deadline = Clock::now() + limit;
  const std::string where = "127.0.0.1:" + std::to_string(port);
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return base::fail(base::FailureKind::System, "cannot make a socket: " + std::string(std::strerror(errno)));
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 && errno != EINPROGRESS) {
    return base::fail(base::FailureKind::System, "nothing listens at " + where + " (" + std::strerror(errno) + ")");
  }
  pollfd p{fd, POLLOUT, 0};
  if (::poll(&p, 1, remainingMs(deadline)) <= 0) return base::fail(base::FailureKind::System, "no connection to " + where + " in time");
  int error = 0;
  socklen_t length = sizeof error;
  ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
  if (error != 0) return base::fail(base::FailureKind::System, "nothing listens at " + where + " (" + std::strerror(error) + ")");

  std::string got;
  bool sent = false;
  while (true) {
    if (!sent && !got.empty() && got.find('\n') != std::string::npos) {
      // After the service's greeting: the request, whole (it is short).
      if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
        return base::fail(base::FailureKind::System, "cannot send to " + where + ": " + std::strerror(errno));
      }
      sent = true;
    }
    if (sent && done(got)) return got;
    const int left = remainingMs(deadline);
    if (left == 0) return base::fail(base::FailureKind::System, where + " did not answer in time");
    p = {fd, POLLIN, 0};
    if (::poll(&p, 1, left) < 0 && errno != EINTR) return base::fail(base::FailureKind::System, std::strerror(errno));
    if (p.revents == 0) continue;
    std::array<char, 8192> buffer{};
    const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (n == 0) {
      if (sent && done(got)) return got;
      return base::fail(base::FailureKind::System, where + " closed the connection");
    }
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return base::fail(base::FailureKind::System, "reading from " + where + ": " + std::strerror(errno));
    }
    if (got.size() < kKeptBytes) got.append(buffer.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace tamrik::platform
