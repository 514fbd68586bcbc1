#pragma once
#include <string>
#include <utility>
#include <vector>

#include "ui/window_model.h"

namespace tamrik::ui {

// The whole control state as one JSON document, for whole-program tests and bug reports:
// {"window": {...}, "controls": {"<name>": {...}}, "focus": "<name>"}. Each extra member (a name
// and a JSON value) follows the controls, for program state that lives outside the window.
using SnapshotExtras = std::vector<std::pair<std::string, std::string>>;
std::string snapshotJson(const WindowModel& model, const SnapshotExtras& extras = {});

}  // namespace tamrik::ui
