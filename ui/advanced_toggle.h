#pragma once
#include "ui/window_model.h"

namespace tamrik::ui {

inline constexpr int kNarrowWidthTwips = 4770;
inline constexpr int kWideWidthTwips = 9450;

// Switches the window between its narrow form (the left column only) and its wide form (with the
// "Advanced" column). collapsed is the window's AdvancedCollapsed flag.
void toggleAdvanced(WindowModel& model, bool& collapsed);

}  // namespace tamrik::ui
