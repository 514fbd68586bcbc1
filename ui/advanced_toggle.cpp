#include "ui/advanced_toggle.h"

#include "ui/main_window_controls.h"

namespace tamrik::ui {

void toggleAdvanced(WindowModel& model, bool& collapsed) {
  if (collapsed) {
    collapsed = false;
    model.setWindowWidth(kWideWidthTwips);
    model.setText(names::Advanced, "Advanced  <<<");
  } else {
    collapsed = true;
    model.setWindowWidth(kNarrowWidthTwips);
    model.setText(names::Advanced, "Advanced  >>>");
  }
}

}  // namespace tamrik::ui
