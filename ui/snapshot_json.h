#pragma once
#include <string>

#include "ui/window_model.h"

namespace tamrik::ui {

// The whole control state as one JSON document, for whole-program tests and bug reports:
// {"window": {...}, "controls": {"<name>": {...}}, "focus": "<name>"}.
std::string snapshotJson(const WindowModel& model);

// JSON string literal for arbitrary bytes: valid UTF-8 passes through, control characters are
// escaped and every byte that is not part of valid UTF-8 becomes \u00XX, so device texts can never
// break the document.
std::string jsonString(const std::string& text);

}  // namespace tamrik::ui
