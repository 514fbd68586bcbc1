#include "platform/qt/qt_drawing_window.h"

#include <QPainter>
#include <QPen>

namespace tamrik::platform::qt {

namespace {

QColor colorOf(std::uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF), static_cast<int>((bgr >> 16) & 0xFF));
}

}  // namespace

QtDrawingWindow::QtDrawingWindow(const std::string& caption, int width, int height, Painter painter)
    : QWidget(nullptr, Qt::Window), painter_(std::move(painter)) {
  setWindowTitle(QString::fromStdString(caption));
  setObjectName("SatellitesWindow");
  resize(width, height);
  setMinimumSize(width / 2, height / 2);
  setAttribute(Qt::WA_OpaquePaintEvent);
}

void QtDrawingWindow::present() {
  if (isMinimized()) showNormal();
  show();
  raise();
  activateWindow();
}

void QtDrawingWindow::paintEvent(QPaintEvent*) { paintDrawing(*this, painter_(width(), height(), 1.0)); }

void paintDrawing(QPaintDevice& device, const ui::Drawing& drawing) {
  QPainter p(&device);
  p.setRenderHint(QPainter::Antialiasing);
  p.setRenderHint(QPainter::TextAntialiasing);
  p.fillRect(QRect(0, 0, device.width(), device.height()), colorOf(drawing.background));
  for (const ui::DrawOp& op : drawing.ops) {
    QPen pen(colorOf(op.color));
    pen.setWidth(op.penWidth);
    switch (op.kind) {
      case ui::DrawOp::Kind::Line:
        p.setPen(pen);
        p.drawLine(op.x, op.y, op.x2, op.y2);
        break;
      case ui::DrawOp::Kind::Rect:
      case ui::DrawOp::Kind::Ellipse: {
        p.setPen(op.outlined ? pen : QPen(Qt::NoPen));
        p.setBrush(op.filled ? QBrush(colorOf(op.fill)) : QBrush(Qt::NoBrush));
        // An outline's pen is centred on the box's edge; keep it inside.
        const double inset = op.outlined ? op.penWidth / 2.0 : 0.0;
        const QRectF box(op.x + inset, op.y + inset, op.w - 2 * inset, op.h - 2 * inset);
        if (op.kind == ui::DrawOp::Kind::Rect) p.drawRect(box);
        else p.drawEllipse(box);
        p.setBrush(Qt::NoBrush);
        break;
      }
      case ui::DrawOp::Kind::Text: {
        QFont font = p.font();
        font.setPixelSize(std::max(1, op.textPixels));
        font.setBold(op.bold);
        p.setFont(font);
        p.setPen(colorOf(op.color));
        const Qt::Alignment horizontal = op.align == ui::DrawOp::Align::Center  ? Qt::AlignHCenter
                                         : op.align == ui::DrawOp::Align::Right ? Qt::AlignRight
                                                                                : Qt::AlignLeft;
        p.drawText(QRect(op.x, op.y, op.w, op.h), static_cast<int>(horizontal | Qt::AlignVCenter) | Qt::TextDontClip,
                   QString::fromStdString(op.text));
        break;
      }
    }
  }
}

}  // namespace tamrik::platform::qt
