#pragma once
#include <string>

namespace tamrik::platform {

enum class MessageIcon { Critical, Information };
enum class MessageButtons { Ok, YesNo };
enum class MessageAnswer { Ok, Yes, No };

struct MessageBoxRequest {
  MessageIcon icon = MessageIcon::Information;
  MessageButtons buttons = MessageButtons::Ok;
  std::string title;
  std::string text;  // shown as plain text, never interpreted as markup
};

// The window toolkit. The controls and the timer are held as data in ui::WindowModel, which a
// toolkit renders and whose user events it reports through ui::WindowEvents; what the logic asks of
// the toolkit directly is a modal message box and a chance for the window to process what is pending.
class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // Shows a modal message box and returns the button pressed.
  virtual MessageAnswer messageBox(const MessageBoxRequest& request) = 0;

  // Lets the window process its pending events (input, repaints, timer ticks) and returns.
  virtual void processPendingEvents() = 0;
};

}  // namespace tamrik::platform
