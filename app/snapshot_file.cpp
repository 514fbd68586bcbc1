#include "app/snapshot_file.h"

#include <cstdio>
#include <fstream>

#include "ui/snapshot_json.h"

namespace tamrik {

bool writeSnapshotFile(const ui::WindowModel& model, const std::string& path, const ui::SnapshotExtras& extras) {
  if (path.empty()) return false;
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << ui::snapshotJson(model, extras) << '\n';
    if (!out.flush()) return false;
  }
  return std::rename(temporary.c_str(), path.c_str()) == 0;
}

std::string recordedClockJson(const std::vector<platform::SystemTime>& settings) {
  std::string last = "null";
  if (!settings.empty()) {
    const platform::SystemTime& t = settings.back();
    char text[48];
    std::snprintf(text, sizeof text, "\"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ\"", unsigned{t.year}, unsigned{t.month},
                  unsigned{t.day}, unsigned{t.hour}, unsigned{t.minute}, unsigned{t.second}, unsigned{t.milliseconds});
    last = text;
  }
  return "{\"count\":" + std::to_string(settings.size()) + ",\"last\":" + last + "}";
}

}  // namespace tamrik
