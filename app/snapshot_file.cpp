#include "app/snapshot_file.h"

#include <cstdio>
#include <fstream>

#include "ui/snapshot_json.h"

namespace tamrik {

bool writeSnapshotFile(const ui::WindowModel& model, const std::string& path) {
  if (path.empty()) return false;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << ui::snapshotJson(model) << '\n';
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

}  // namespace tamrik
