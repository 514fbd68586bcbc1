#include "ui/advanced_toggle.h"

namespace tamrik::ui {

void toggleAdvanced(WindowModel& model, bool& collapsed) {
  if (collapsed) {
    collapsed = false;
    model.setWindowWidth(kWideWidthTwips);
    model.setText("Advanced", "Advanced  <<<");
  } else {
    collapsed = true;
    model.setWindowWidth(kNarrowWidthTwips);
    model.setText("Advanced", "Advanced  >>>");
  }
}

}  // namespace tamrik::ui
