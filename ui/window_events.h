#pragma once
#include <string>

namespace tamrik::ui {

// What a toolkit reports of the user's actions on the window. Before it reports a change of a text,
// a check box or a list selection, the toolkit has already stored the new value in the model.
class WindowEvents {
 public:
  virtual ~WindowEvents() = default;
  virtual void click(const std::string& control) = 0;
  // A double click with the left button on a control (or on what a picture box draws inside it,
  // reported as the picture box). Only some controls act on one.
  virtual void doubleClick(const std::string& /*control*/) {}
  virtual void keyPress(const std::string& control, int keyAscii) = 0;
  virtual void change(const std::string& control) = 0;
  virtual void timerTick() = 0;
  // The window is being closed; the handler runs the unload and the window closes afterwards.
  virtual void unload() = 0;
};

}  // namespace tamrik::ui
