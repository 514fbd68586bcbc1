#pragma once
#include <string>
#include <vector>

#include "core/sky.h"
#include "platform/system_time.h"
#include "ui/snapshot_json.h"

namespace tamrik {

// Writes the window's JSON snapshot to path, replacing the file in one step so that a reader never
// sees half a document. False when it cannot be written.
bool writeSnapshotFile(const ui::WindowModel& model, const std::string& path, const ui::SnapshotExtras& extras = {});

// The clock settings a run on simulated units recorded instead of making them:
// {"count": N, "last": "YYYY-MM-DDThh:mm:ss.mmmZ"} ("last" is null before the first).
std::string recordedClockJson(const std::vector<platform::SystemTime>& settings);

// The receiver's sky: "sky", one entry per satellite of the latest NAV-SVINFO
// ({"svid", "constellation", "azimuth", "elevation", "cno", "used"}), "sky_current" (false once it is
// stale or the unit went away) and "history_samples", the seconds the last hour holds.
void addSkyExtras(ui::SnapshotExtras& extras, const core::SkyRecord& sky, core::UtcTime now);

}  // namespace tamrik
