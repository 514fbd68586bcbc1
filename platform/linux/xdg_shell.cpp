#include "platform/linux/xdg_shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

extern char** environ;

namespace tamrik::platform {

std::vector<std::string> backgroundOpenCommand(const std::string& opener, const std::string& url) {
  // $1 is the opener, $2 the link; the script itself never changes.
  return {"/bin/sh", "-c", "\"$1\" \"$2\" </dev/null >/dev/null 2>&1 &", "tamrik-open", opener, url};
}

bool spawnAndReap(const std::vector<std::string>& argv) {
  if (argv.empty() || argv.front().empty() || argv.front().front() != '/') return false;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  bool ready = true;
  for (int fd = 0; fd <= 2; ++fd) {
    ready = ready && posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0) == 0;
  }
  // A fresh session keeps the browser alive when the program's terminal goes away; signals the
  // program ignores or blocks are handed back to their defaults.
  sigset_t none;
  sigset_t defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&defaults, sig);
  ready = ready && posix_spawnattr_setsigmask(&attr, &none) == 0 && posix_spawnattr_setsigdefault(&attr, &defaults) == 0 &&
          posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF) == 0;

  pid_t pid = -1;
  const int rc = ready ? posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ) : -1;
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;

  int status = 0;
  pid_t waited;
  do {
    waited = ::waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  return waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<std::string> findExecutable(std::string_view name, std::string_view searchPath) {
  if (name.empty() || name.find('/') != std::string_view::npos) return std::nullopt;
  while (true) {
    const std::size_t colon = searchPath.find(':');
    const std::string_view dir = searchPath.substr(0, colon);
    if (!dir.empty() && dir.front() == '/') {
      std::string candidate(dir);
      candidate += '/';
      candidate += name;
      struct stat st {};
      if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0) {
        return candidate;
      }
    }
    if (colon == std::string_view::npos) return std::nullopt;
    searchPath.remove_prefix(colon + 1);
  }
}

XdgShell::XdgShell() : XdgShell(std::string{}, spawnAndReap) {}

XdgShell::XdgShell(std::string opener, Spawner spawn) : opener_(std::move(opener)), spawn_(std::move(spawn)) {}

bool XdgShell::openUrl(const std::string& url) {
  if (!isOpenableUrl(url) || !spawn_) return false;
  std::string opener = opener_;
  if (opener.empty()) {
    const char* path = std::getenv("PATH");
    const auto found = findExecutable("xdg-open", path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
    if (!found) return false;
    opener = *found;
  }
  return spawn_(backgroundOpenCommand(opener, url));
}

}  // namespace tamrik::platform
