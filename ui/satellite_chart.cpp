#include "ui/satellite_chart.h"

#include <cmath>
#include <string>

#include "ui/main_window_controls.h"

namespace tamrik::ui {

namespace {
constexpr const char* kChart = names::PicSat;

std::string indexed(const char* array, int i) { return std::string(array) + "(" + std::to_string(i) + ")"; }

// A single-precision value assigned to an integer pixel property, which rounds to the nearest.
int toPixels(float v) { return static_cast<int>(std::lround(v)); }

void placeStub(WindowModel& model, int i, int sh) {
  const std::string bar = barName(i);
  model.setLeft(bar, 8 * i + 1);
  model.setWidth(bar, 7);
  model.setVisible(bar, true);
  model.setHeight(bar, 2);
  model.setTop(bar, sh - 2);
}
}  // namespace

std::string barName(int index) { return indexed(names::Sat, index); }

void buildSatelliteChart(WindowModel& model) {
  for (int i = 1; i < kSatelliteBars; ++i) model.loadArrayElement(names::Sat, i);
  for (int i = 1; i <= 4; ++i) {
    model.loadArrayElement(names::CNoLine, i);
    model.loadArrayElement(names::CNoLbl, i);
  }
  const float sh = static_cast<float>(model.scaleHeight(kChart));
  for (int i = 0; i <= 4; ++i) {
    const int y = toPixels(static_cast<float>(i + 1) * sh / 6.0f);
    const std::string line = indexed(names::CNoLine, i);
    model.setLine(line, 0, y, 256, y);
    model.setVisible(line, true);
    const std::string label = indexed(names::CNoLbl, i);
    model.setTop(label, toPixels(static_cast<float>(5 - i) * sh / 6.0f - 4.0f));
    model.setText(label, std::to_string(10 * (i + 1)));
    model.setVisible(label, true);
    model.bringToFront(label);
  }
  const int shPixels = model.scaleHeight(kChart);
  for (int i = 0; i < kSatelliteBars; ++i) {
    placeStub(model, i, shPixels);
    model.bringToFront(barName(i));
  }
  model.setLeft(indexed(names::CNoLbl, 0), model.at(indexed(names::CNoLbl, 0)).left + 2);
  model.setLeft(indexed(names::CNoLbl, 4), model.at(indexed(names::CNoLbl, 4)).left + 1);
}

void resetSatelliteBars(WindowModel& model, bool blacken) {
  for (int i = 0; i < kSatelliteBars; ++i) {
    placeStub(model, i, model.scaleHeight(kChart));
    if (blacken) {
      model.setFillColor(barName(i), 0);
      model.setBorderColor(barName(i), 0);
    }
  }
}

void setSatelliteBar(WindowModel& model, int chn, int cno, std::uint32_t color) {
  if (chn < 0 || chn >= kSatelliteBars) return;
  const std::string bar = barName(chn);
  const float sh = static_cast<float>(model.scaleHeight(kChart));
  const int height = toPixels((sh - 1.0f) * static_cast<float>(cno) / 60.0f + 1.0f);
  model.setFillColor(bar, color);
  model.setBorderColor(bar, color);
  model.setHeight(bar, height);
  model.setTop(bar, model.scaleHeight(kChart) - height);
}

}  // namespace tamrik::ui
