#pragma once
#include <QWidget>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/toolkit.h"
#include "ui/window_events.h"
#include "ui/window_model.h"

class QTimer;

namespace tamrik::platform::qt {

// Message boxes and event processing with Qt Widgets. Message texts are always plain text.
class QtToolkit final : public Toolkit {
 public:
  explicit QtToolkit(QWidget* parentWindow = nullptr) : parent_(parentWindow) {}
  void setParentWindow(QWidget* w) { parent_ = w; }
  MessageAnswer messageBox(const MessageBoxRequest& request) override;
  void showNotice(const MessageBoxRequest& request) override;
  using Toolkit::processPendingEvents;
  void processPendingEvents(UserInput input) override;

 private:
  QWidget* parent_;
};

// Renders a ui::WindowModel as a real window and reports the user's actions to WindowEvents.
// Every change of the model is mirrored at once; the model stays the single source of truth.
class QtWindow final : public QWidget {
 public:
  QtWindow(ui::WindowModel& model, ui::WindowEvents& events);
  ~QtWindow() override;

  // The widget that renders a control, or nullptr.
  QWidget* widgetFor(const std::string& name) const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* create(const ui::Control& c);
  QWidget* containerWidget(const std::string& container);
  void sync(const std::string& name);
  void syncWindow();
  void syncGeometry(const ui::Control& c, QWidget* w);
  // Cuts a control of a frame off at the frame's border.
  void clipToFrame(const ui::Control* container, QWidget* w);
  // The width of a frame's etched border, in pixels: two lines.
  static constexpr int kFrameBorder = 2;
  void applyZOrder(const std::string& container);
  void buildTabChain();
  void updateFocusReach();
  bool inSight(const QWidget* w) const;
  int px(int twips, bool vertical) const;

  ui::WindowModel& model_;
  ui::WindowEvents& events_;
  std::map<std::string, QWidget*> widgets_;
  // The controls that take keyboard focus, in the order of their tab indices, with the focus
  // policy each had when it was made.
  std::vector<std::pair<QWidget*, Qt::FocusPolicy>> tabChain_;
  QTimer* timer_ = nullptr;
  bool syncing_ = false;
  std::string userEdit_;  // the text box whose edit is being stored in the model
  bool closing_ = false;
};

}  // namespace tamrik::platform::qt
