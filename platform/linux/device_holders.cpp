#include "platform/linux/device_holders.h"

#include <unistd.h>

#include <cctype>
#include <fstream>
#include <system_error>

namespace tamrik::platform {

namespace fs = std::filesystem;

namespace {

bool isNumber(const std::string& s) {
  if (s.empty()) return false;
  for (const char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The command name of a process, as plain text of at most 32 characters.
std::string processName(const fs::path& process) {
  std::ifstream in(process / "comm");
  std::string name;
  std::getline(in, name);
  std::string shown;
  for (const char c : name.substr(0, 32)) shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
  return shown.empty() ? "?" : shown;
}

}  // namespace

std::string deviceHolders(const fs::path& node, const fs::path& procRoot, int maxProcesses) {
  std::error_code ec;
  const fs::path wanted = fs::weakly_canonical(node, ec);
  std::string holders;
  int looked = 0;
  for (fs::directory_iterator p(procRoot, ec), end; !ec && p != end && looked < maxProcesses; p.increment(ec)) {
    const std::string pid = p->path().filename().string();
    if (!isNumber(pid)) continue;
    ++looked;
    std::error_code fdError;
    for (fs::directory_iterator fd(p->path() / "fd", fdError), fdEnd; !fdError && fd != fdEnd;
         fd.increment(fdError)) {
      std::error_code linkError;
      const fs::path target = fs::read_symlink(fd->path(), linkError);
      if (linkError || (target != node && target != wanted)) continue;
      if (!holders.empty()) holders += ", ";
      holders += processName(p->path()) + " (process " + pid + ")";
      break;
    }
  }
  return holders;
}

}  // namespace tamrik::platform
