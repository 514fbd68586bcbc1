#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/openable_url.h"
#include "platform/shell_service.h"

namespace tamrik::platform {

// Opens web links with the desktop's default handler through xdg-open, started in the background
// so that the window never waits for the browser.
class XdgShell final : public ShellService {
 public:
  // Starts a program given as an argument vector (argv[0] an absolute path); true when it ran and
  // exited with status 0.
  using Spawner = std::function<bool(const std::vector<std::string>& argv)>;

  XdgShell();  // xdg-open from PATH, started for real
  XdgShell(std::string opener, Spawner spawn);

  // Refuses anything but a plain http(s) link (see isOpenableUrl) and fails when no opener is found.
  bool openUrl(const std::string& url) override;

 private:
  std::string opener_;  // empty: look up xdg-open on PATH at each call
  Spawner spawn_;
};

// The command that starts opener with url in the background and returns at once: a shell gets
// both as positional parameters, never as part of its script.
std::vector<std::string> backgroundOpenCommand(const std::string& opener, const std::string& url);

// Runs argv in a new session with standard streams on /dev/null and waits for it; meant for a
// command that backgrounds its real work and exits at once, so that nothing is left unreaped.
bool spawnAndReap(const std::vector<std::string>& argv);

// The first executable regular file called name in the ':'-separated searchPath. Entries that are
// not absolute (an empty one means the working directory) are skipped.
std::optional<std::string> findExecutable(std::string_view name, std::string_view searchPath);

}  // namespace tamrik::platform
