#pragma once
#include <filesystem>
#include <string>

namespace tamrik::platform {

// The programs that have the device node at `node` open, as far as this process may see them:
// every process under procRoot whose fd/ folder holds a link to the node, as "name (process N)",
// separated by ", ". Processes of other users stay hidden unless this one may look at them (root).
// Empty when none is seen. Looks at no more than maxProcesses processes.
std::string deviceHolders(const std::filesystem::path& node, const std::filesystem::path& procRoot = "/proc",
                          int maxProcesses = 32768);

}  // namespace tamrik::platform
