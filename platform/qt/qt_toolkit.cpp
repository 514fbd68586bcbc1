#include "platform/qt/qt_toolkit.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <algorithm>
#include <cmath>
#include <vector>

namespace tamrik::platform::qt {

namespace {



QColor fromBgr(std::uint32_t bgr) { return QColor(bgr & 0xFF, (bgr >> 8) & 0xFF, (bgr >> 16) & 0xFF); }

QString qs(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

// Qt shows a plain-text tooltip on one line however long it is; as rich text a long one wraps to a
// readable width. Its text stays literal: markup in it is escaped.
constexpr qsizetype kOneLineTooltip = 80;

QString tooltipText(const std::string& tooltip) {
  const QString text = qs(tooltip);
  if (text.size() <= kOneLineTooltip) return text;
  return "<qt>" + text.toHtmlEscaped() + "</qt>";
}

QColor systemColor(ui::SystemColor c, const QPalette& palette) {
  switch (c) {
    case ui::SystemColor::WindowBackground: return palette.color(QPalette::Base);
    case ui::SystemColor::WindowText: return palette.color(QPalette::Text);
    case ui::SystemColor::ApplicationWorkspace: return palette.color(QPalette::Mid);
    case ui::SystemColor::None: break;
  }
  return {};
}

// A filled rectangle: the bars of the satellite chart and the search progress.
class ShapeWidget final : public QWidget {
 public:
  using QWidget::QWidget;
  QColor fill{128, 128, 128};
  QColor border{128, 128, 128};
  bool solid = true;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    if (solid) p.fillRect(rect(), fill);
    p.setPen(border);
    p.drawRect(rect().adjusted(0, 0, -1, -1));
  }
};

// A straight line; the widget covers the line's bounding box.
class LineWidget final : public QWidget {
 public:
  using QWidget::QWidget;
  QColor color{224, 224, 224};
  QPoint from, to;  // relative to the widget

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    p.setPen(color);
    p.drawLine(from, to);
  }
};

// A picture box: a sunken 2-pixel frame whose children sit inside the frame.
class PictureWidget final : public QFrame {
 public:
  explicit PictureWidget(QWidget* parent) : QFrame(parent) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    setAutoFillBackground(true);
  }
};

// A frame: an etched rectangle whose top line runs through the middle of the caption, as
// classic frames draw it, so the caption sits on the border rather than above the box.
class FrameWidget final : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    const QFontMetrics metrics(font());
    const QRect box = rect().adjusted(0, metrics.height() / 2, -1, -1);
    p.setPen(palette().color(QPalette::Mid));
    p.drawRect(box.adjusted(0, 0, -1, -1));
    p.setPen(palette().color(QPalette::Light));
    p.drawRect(box.adjusted(1, 1, 0, 0));
    if (title().isEmpty()) return;
    const QRect caption(kCaptionIndent, 0, metrics.horizontalAdvance(title()) + 2 * kCaptionGap, metrics.height());
    p.fillRect(caption, palette().color(QPalette::Window));
    style()->drawItemText(&p, caption, Qt::AlignCenter | Qt::TextShowMnemonic, palette(), isEnabled(), title(),
                          QPalette::WindowText);
  }

 private:
  static constexpr int kCaptionIndent = 6;
  static constexpr int kCaptionGap = 2;
};

// Labels, shapes and lines are drawn on their container's surface, beneath every control that is
// a window of its own (boxes, buttons, frames, pictures), whatever their order of creation.
bool drawnOnContainer(ui::ControlKind kind) {
  return kind == ui::ControlKind::Label || kind == ui::ControlKind::Shape || kind == ui::ControlKind::Line;
}

QFont fontFor(const ui::Font& f) {
  // The design names classic Windows fonts; map them to metric-compatible or close families.
  static const QStringList kSans = {"Liberation Sans", "Arimo", "DejaVu Sans", "Sans Serif"};
  QFont font;
  const QString family = f.family.empty() ? QString("MS Sans Serif") : qs(f.family);
  QStringList candidates = {family};
  candidates += kSans;
  font.setFamilies(candidates);
  const double points = f.pointSize > 0 ? f.pointSize : 9.75;
  // The window's default font is a bitmap font whose glyphs are narrower than today's outline fonts
  // at the same nominal size: scale it so that every caption fits its designed box. Arial has a
  // metric-compatible stand-in and keeps its size; the tiny chart digits keep theirs to stay legible.
  const bool bitmapDefault = f.family.empty() || f.family == "MS Sans Serif";
  font.setPointSizeF(points * (bitmapDefault ? 0.86 : 1.0));
  return font;
}

}  // namespace

MessageAnswer QtToolkit::messageBox(const MessageBoxRequest& request) {
  QMessageBox box(parent_);
  box.setWindowTitle(qs(request.title));
  box.setTextFormat(Qt::PlainText);
  box.setText(qs(request.text));
  box.setIcon(request.icon == MessageIcon::Critical ? QMessageBox::Critical : QMessageBox::Information);
  if (request.buttons == MessageButtons::YesNo) {
    box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes ? MessageAnswer::Yes : MessageAnswer::No;
  }
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
  return MessageAnswer::Ok;
}

void QtToolkit::showNotice(const MessageBoxRequest& request) {
  auto* box = new QMessageBox(parent_);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->setWindowTitle(qs(request.title));
  box->setTextFormat(Qt::PlainText);
  box->setText(qs(request.text));
  box->setIcon(request.icon == MessageIcon::Critical ? QMessageBox::Critical : QMessageBox::Information);
  box->setStandardButtons(QMessageBox::Ok);
  box->show();
}

void QtToolkit::processPendingEvents(UserInput input) {
  // Excluded input events are not dropped: Qt keeps them queued for a later round.
  QCoreApplication::processEvents(input == UserInput::Defer ? QEventLoop::ExcludeUserInputEvents
                                                            : QEventLoop::AllEvents);
}

QtWindow::QtWindow(ui::WindowModel& model, ui::WindowEvents& events) : model_(model), events_(events) {
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    const double dpiX = screen->logicalDotsPerInchX() > 0 ? screen->logicalDotsPerInchX() : 96.0;
    const double dpiY = screen->logicalDotsPerInchY() > 0 ? screen->logicalDotsPerInchY() : 96.0;
    model_.setTwipsPerPixel(1440.0 / dpiX, 1440.0 / dpiY);
  }
  setFont(fontFor({}));
  for (const auto& name : model_.order()) create(model_.at(name));
  for (const auto& name : model_.order()) sync(name);
  syncWindow();
  buildTabChain();
  updateFocusReach();
  model_.setObserver([this](const std::string& name) {
    if (name.empty()) syncWindow();
    else sync(name);
  });
}

QtWindow::~QtWindow() { model_.setObserver({}); }

namespace {
// Controls that take input from the keyboard.
bool takesFocus(ui::ControlKind kind) {
  return kind == ui::ControlKind::TextBox || kind == ui::ControlKind::ComboBox || kind == ui::ControlKind::CheckBox ||
         kind == ui::ControlKind::Button;
}
}  // namespace

void QtWindow::buildTabChain() {
  std::vector<std::pair<int, QWidget*>> chain;
  for (const auto& [name, w] : widgets_) {
    const ui::Control& c = model_.at(name);
    if (takesFocus(c.kind) && c.tabIndex >= 0) chain.emplace_back(c.tabIndex, w);
  }
  std::stable_sort(chain.begin(), chain.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  tabChain_.clear();
  for (std::size_t i = 0; i < chain.size(); ++i) {
    tabChain_.emplace_back(chain[i].second, chain[i].second->focusPolicy());
    if (i > 0) QWidget::setTabOrder(chain[i - 1].second, chain[i].second);
  }
}

bool QtWindow::inSight(const QWidget* w) const {
  QRect r = w->rect();
  for (const QWidget* cur = w; cur != this && cur->parentWidget(); cur = cur->parentWidget()) {
    r.translate(cur->pos());
    r &= cur->parentWidget()->rect();  // clipped by its container, and at last by the window
    if (r.isEmpty()) return false;
  }
  return true;
}

void QtWindow::updateFocusReach() {
  // A control out of sight (below the window, below its frame's visible part, or right of the
  // narrow window) takes no focus: neither Tab nor the window's first focus lands where the user
  // cannot see what is typed.
  for (const auto& [w, policy] : tabChain_) w->setFocusPolicy(inSight(w) ? policy : Qt::NoFocus);
  QWidget* focused = focusWidget();
  if (focused && focused != this && focused->focusPolicy() == Qt::NoFocus) {
    if (!focusNextChild()) focused->clearFocus();
  }
}

QWidget* QtWindow::widgetFor(const std::string& name) const {
  auto it = widgets_.find(name);
  return it == widgets_.end() ? nullptr : it->second;
}

int QtWindow::px(int twips, bool vertical) const {
  const double tpp = vertical ? model_.twipsPerPixelY() : model_.twipsPerPixelX();
  return static_cast<int>(std::lround(twips / tpp));
}

QWidget* QtWindow::containerWidget(const std::string& container) {
  if (container.empty()) return this;
  if (QWidget* w = widgetFor(container)) return w;
  return create(model_.at(container));
}

QWidget* QtWindow::create(const ui::Control& c) {
  if (QWidget* existing = widgetFor(c.name)) return existing;
  const std::string name = c.name;
  QWidget* parent = c.kind == ui::ControlKind::Timer ? this : containerWidget(c.container);
  QWidget* w = nullptr;
  switch (c.kind) {
    case ui::ControlKind::Frame:
      w = new FrameWidget(parent);
      break;
    case ui::ControlKind::Label: {
      auto* label = new QLabel(parent);
      label->setTextFormat(Qt::PlainText);  // device texts are never interpreted as markup
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      label->installEventFilter(this);
      w = label;
      break;
    }
    case ui::ControlKind::TextBox: {
      auto* edit = new QLineEdit(parent);
      connect(edit, &QLineEdit::textEdited, this, [this, name, edit](const QString& text) {
        // The widget already shows what the user typed: store it without writing it back.
        userEdit_ = name;
        model_.setSelStart(name, edit->cursorPosition());
        model_.setText(name, text.toStdString());
        model_.setSelStart(name, edit->cursorPosition());
        userEdit_.clear();
        events_.change(name);
      });
      connect(edit, &QLineEdit::cursorPositionChanged, this, [this, name](int, int now) {
        if (!syncing_) model_.setSelStart(name, now);
      });
      connect(edit, &QLineEdit::returnPressed, this, [this, name] { events_.keyPress(name, 13); });
      w = edit;
      break;
    }
    case ui::ControlKind::ComboBox: {
      auto* combo = new QComboBox(parent);
      connect(combo, &QComboBox::activated, this, [this, name](int index) {
        model_.setSelected(name, index);
        events_.click(name);
      });
      w = combo;
      break;
    }
    case ui::ControlKind::CheckBox: {
      auto* box = new QCheckBox(parent);
      connect(box, &QCheckBox::clicked, this, [this, name](bool checked) {
        model_.setChecked(name, checked);
        events_.click(name);
      });
      w = box;
      break;
    }
    case ui::ControlKind::Button: {
      auto* button = new QPushButton(parent);
      connect(button, &QPushButton::clicked, this, [this, name] { events_.click(name); });
      w = button;
      break;
    }
    case ui::ControlKind::PictureBox:
      w = new PictureWidget(parent);
      w->installEventFilter(this);  // its double click
      break;
    case ui::ControlKind::Shape:
      w = new ShapeWidget(parent);
      w->setAttribute(Qt::WA_TransparentForMouseEvents);
      break;
    case ui::ControlKind::Line:
      w = new LineWidget(parent);
      w->setAttribute(Qt::WA_TransparentForMouseEvents);
      break;
    case ui::ControlKind::Timer: {
      timer_ = new QTimer(this);
      connect(timer_, &QTimer::timeout, this, [this] { events_.timerTick(); });
      return nullptr;
    }
  }
  w->setObjectName(qs(name));
  if (!c.font.family.empty()) w->setFont(fontFor(c.font));
  widgets_[name] = w;
  return w;
}

void QtWindow::syncGeometry(const ui::Control& c, QWidget* w) {
  const ui::Control* container = c.container.empty() ? nullptr : &model_.at(c.container);
  if (c.kind == ui::ControlKind::Line) {
    int x1 = c.x1, y1 = c.y1, x2 = c.x2, y2 = c.y2;
    int offset = 0;
    if (!(container && container->pixelScale)) {
      x1 = px(x1, false), x2 = px(x2, false), y1 = px(y1, true), y2 = px(y2, true);
    } else {
      offset = 2;  // inside the picture box's sunken border
    }
    const int left = std::min(x1, x2), top = std::min(y1, y2);
    w->setGeometry(left + offset, top + offset, std::abs(x2 - x1) + 1, std::abs(y2 - y1) + 1);
    auto* line = static_cast<LineWidget*>(w);
    line->from = QPoint(x1 - left, y1 - top);
    line->to = QPoint(x2 - left, y2 - top);
    clipToFrame(container, w);
    return;
  }
  // A picture box places its children inside its 2-pixel border.
  const int inset = container && container->kind == ui::ControlKind::PictureBox ? 2 : 0;
  if (container && container->pixelScale) {
    w->setGeometry(c.left + inset, c.top + inset, c.width, c.height);
  } else {
    w->setGeometry(px(c.left, false) + inset, px(c.top, true) + inset, px(c.width, false), px(c.height, true));
  }
  clipToFrame(container, w);
}

void QtWindow::clipToFrame(const ui::Control* container, QWidget* w) {
  // A frame shows its controls inside its border only, as the design's toolkit does: a control that
  // runs over the border is cut off there instead of being drawn across it.
  if (!container || container->kind != ui::ControlKind::Frame || !w->parentWidget()) return;
  const QRect frame = w->parentWidget()->rect();
  const QRect inside = frame.adjusted(kFrameBorder, 0, -kFrameBorder, -kFrameBorder);
  const QRect visible = inside.intersected(w->geometry());
  if (visible == w->geometry()) {
    w->clearMask();
  } else if (visible.isEmpty()) {
    w->setMask(QRegion(-1, -1, 1, 1));  // nothing of it inside the frame
  } else {
    w->setMask(QRegion(visible.translated(-w->pos())));
  }
}

void QtWindow::sync(const std::string& name) {
  if (!model_.has(name)) return;
  const ui::Control& c = model_.at(name);
  if (c.kind == ui::ControlKind::Timer) {
    if (!timer_) create(c);
    timer_->setInterval(std::max(1, c.interval));
    if (c.enabled && !timer_->isActive()) timer_->start();
    if (!c.enabled && timer_->isActive()) timer_->stop();
    return;
  }
  QWidget* w = widgetFor(name);
  if (!w) w = create(c);
  syncing_ = true;
  const QSignalBlocker block(w);
  syncGeometry(c, w);
  w->setEnabled(c.enabled);
  w->setToolTip(tooltipText(c.tooltip));
  w->setAccessibleName(qs(ui::announcedName(c)));
  w->setAccessibleDescription(qs(c.tooltip));
  QPalette pal = w->palette();
  const ui::Control* container = c.container.empty() ? nullptr : &model_.at(c.container);
  if (c.backColor) {
    pal.setColor(QPalette::Window, fromBgr(*c.backColor));
    pal.setColor(QPalette::Base, fromBgr(*c.backColor));
    w->setAutoFillBackground(true);
  } else if (c.systemBackColor != ui::SystemColor::None) {
    pal.setColor(QPalette::Window, systemColor(c.systemBackColor, palette()));
    w->setAutoFillBackground(true);
  } else if (c.kind == ui::ControlKind::Label && container && container->pixelScale && container->backColor) {
    // The chart's scale numbers blank the scale lines behind them, so the digits stay readable.
    pal.setColor(QPalette::Window, fromBgr(*container->backColor));
    w->setAutoFillBackground(true);
  }
  if (c.foreColor) pal.setColor(QPalette::WindowText, fromBgr(*c.foreColor));
  else if (c.systemForeColor == ui::SystemColor::WindowText) pal.setColor(QPalette::WindowText, palette().color(QPalette::Text));
  w->setPalette(pal);

  switch (c.kind) {
    case ui::ControlKind::Frame: static_cast<QGroupBox*>(w)->setTitle(qs(c.text)); break;
    case ui::ControlKind::Label: {
      auto* label = static_cast<QLabel*>(w);
      label->setText(qs(c.text));
      label->setFrameStyle(c.border ? QFrame::Box | QFrame::Plain : QFrame::NoFrame);
      break;
    }
    case ui::ControlKind::TextBox: {
      auto* edit = static_cast<QLineEdit*>(w);
      if (userEdit_ == name) break;
      if (edit->text() != qs(c.text)) edit->setText(qs(c.text));
      if (edit->cursorPosition() != c.selStart) edit->setCursorPosition(c.selStart);
      break;
    }
    case ui::ControlKind::ComboBox: {
      auto* combo = static_cast<QComboBox*>(w);
      QStringList items;
      for (const auto& item : c.items) items << qs(item);
      QStringList current;
      for (int i = 0; i < combo->count(); ++i) current << combo->itemText(i);
      if (current != items) {
        combo->clear();
        combo->addItems(items);
      }
      combo->setCurrentIndex(c.selected);
      break;
    }
    case ui::ControlKind::CheckBox: {
      auto* box = static_cast<QCheckBox*>(w);
      box->setText(qs(c.text));
      box->setChecked(c.checked);
      break;
    }
    case ui::ControlKind::Button: static_cast<QPushButton*>(w)->setText(qs(c.text)); break;
    case ui::ControlKind::Shape: {
      auto* shape = static_cast<ShapeWidget*>(w);
      shape->fill = fromBgr(c.fillColor);
      shape->border = fromBgr(c.borderColor);
      shape->solid = c.solidFill;
      shape->update();
      break;
    }
    case ui::ControlKind::Line: {
      auto* line = static_cast<LineWidget*>(w);
      line->color = c.systemForeColor != ui::SystemColor::None ? systemColor(c.systemForeColor, palette())
                                                                : fromBgr(c.borderColor);
      line->update();
      break;
    }
    default: break;
  }
  w->setVisible(c.visible);
  syncing_ = false;
  applyZOrder(c.container);
  if (takesFocus(c.kind) && !tabChain_.empty()) updateFocusReach();  // it may have moved
  if (model_.focus() == name && !w->hasFocus() && isVisible()) w->setFocus();
}

void QtWindow::applyZOrder(const std::string& container) {
  constexpr long long kWindowLayer = 1LL << 40;  // above every control drawn on the container
  std::vector<std::pair<long long, QWidget*>> siblings;
  for (const auto& [name, w] : widgets_) {
    const ui::Control& c = model_.at(name);
    if (c.container == container) siblings.emplace_back(drawnOnContainer(c.kind) ? c.zOrder : c.zOrder + kWindowLayer, w);
  }
  std::sort(siblings.begin(), siblings.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [z, w] : siblings) w->raise();
}

void QtWindow::syncWindow() {
  const auto& g = model_.window();
  setWindowTitle(qs(g.caption));
  // The outer width includes a 15-twip border on each side; the height includes the caption.
  const int width = px(g.widthTwips - 30, false);
  const int height = px(6375, true);
  setFixedSize(width, height);
  updateFocusReach();
  if (model_.shown() && !isVisible()) show();
}

void QtWindow::closeEvent(QCloseEvent* event) {
  if (!closing_) {
    closing_ = true;
    events_.unload();
  }
  event->accept();
}

bool QtWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseButtonDblClick) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* w = qobject_cast<QWidget*>(watched);
    if (w && mouse->button() == Qt::LeftButton) {
      events_.doubleClick(w->objectName().toStdString());
      return true;
    }
  }
  if (event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    auto* w = qobject_cast<QWidget*>(watched);
    const std::string name = w ? w->objectName().toStdString() : std::string();
    const bool picture = model_.has(name) && model_.at(name).kind == ui::ControlKind::PictureBox;
    if (w && !picture && mouse->button() == Qt::LeftButton && w->rect().contains(mouse->position().toPoint())) {
      events_.click(w->objectName().toStdString());
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

}  // namespace tamrik::platform::qt
