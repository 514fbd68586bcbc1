#pragma once
#include <string>

#include "ui/window_model.h"

namespace tamrik {

// Writes the window's JSON snapshot to path, replacing the file in one step so that a reader never
// sees half a document. False when it cannot be written.
bool writeSnapshotFile(const ui::WindowModel& model, const std::string& path);

}  // namespace tamrik
