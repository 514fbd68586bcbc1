#pragma once
#include <QWidget>
#include <functional>
#include <string>

#include "ui/drawing.h"

namespace tamrik::platform::qt {

// A top-level window that shows a ui::Drawing, built afresh for its size whenever it is painted.
// Sizes are Qt's device-independent pixels, so the picture follows the screen's scale; the
// drawing's scale is 1.
class QtDrawingWindow final : public QWidget {
 public:
  // Builds the picture for a width and height in pixels at a scale.
  using Painter = std::function<ui::Drawing(int width, int height, double scale)>;

  QtDrawingWindow(const std::string& caption, int width, int height, Painter painter);

  // Paints the window again soon (once, however often it is asked before then).
  void refresh() { update(); }
  // Shows the window, or raises it when it is already shown.
  void present();

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Painter painter_;
};

// Paints a drawing with a QPainter on any paint device (a widget, an image).
void paintDrawing(QPaintDevice& device, const ui::Drawing& drawing);

}  // namespace tamrik::platform::qt
