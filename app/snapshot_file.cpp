#include "app/snapshot_file.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "ui/snapshot_json.h"

namespace tamrik {

namespace {
// The path is UTF-8 on every system; on Windows it becomes UTF-16, not the ANSI code page.
std::filesystem::path fromUtf8(const std::string& path) { return std::u8string(path.begin(), path.end()); }
}  // namespace

bool writeSnapshotFile(const ui::WindowModel& model, const std::string& path, const ui::SnapshotExtras& extras) {
  if (path.empty()) return false;
  const std::filesystem::path target = fromUtf8(path);
  const std::filesystem::path temporary = fromUtf8(path + ".tmp");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << ui::snapshotJson(model, extras) << '\n';
    if (!out.flush()) return false;
  }
  // Replaces an older snapshot in one step, on Windows too (where C's rename refuses to).
  std::error_code error;
  std::filesystem::rename(temporary, target, error);
  return !error;
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

void addSkyExtras(ui::SnapshotExtras& extras, const core::SkyRecord& sky, core::UtcTime now) {
  std::string list = "[";
  for (const core::SkySatellite& s : sky.sky()) {
    if (list.size() > 1) list += ",";
    list += "{\"svid\":" + std::to_string(s.svid) + ",\"constellation\":\"" +
            std::string(core::constellationName(s.constellation)) + "\",\"azimuth\":" + std::to_string(s.azimuth) +
            ",\"elevation\":" + std::to_string(s.elevation) + ",\"cno\":" + std::to_string(s.cno) +
            ",\"used\":" + (s.used ? "true" : "false") + "}";
  }
  extras.emplace_back("sky", list + "]");
  extras.emplace_back("sky_current", sky.skyCurrent(now) ? "true" : "false");
  extras.emplace_back("history_samples", std::to_string(sky.history().count()));
}

}  // namespace tamrik
