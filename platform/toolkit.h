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

// Whether a round of pending events also handles the user's input (clicks, keys, a request to close
// the window). Deferred input stays queued, in its order, until a round that handles input, at the
// latest the one of the top-level event loop; repaints and timers run either way.
enum class UserInput { Handle, Defer };

// The window toolkit. The controls and the timer are held as data in ui::WindowModel, which a
// toolkit renders and whose user events it reports through ui::WindowEvents; what the logic asks of
// the toolkit directly is a modal message box and a chance for the window to process what is pending.
class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // Shows a modal message box and returns the button pressed.
  virtual MessageAnswer messageBox(const MessageBoxRequest& request) = 0;

  // Shows a message box with an OK button that does not wait for the user: it returns at once and
  // the box stays on screen, beside the working window, until the user closes it.
  virtual void showNotice(const MessageBoxRequest& request) = 0;

  // Lets the window process its pending events (repaints, timer ticks and, unless deferred, the
  // user's input) and returns.
  virtual void processPendingEvents(UserInput input) = 0;
  void processPendingEvents() { processPendingEvents(UserInput::Handle); }
};

}  // namespace tamrik::platform
