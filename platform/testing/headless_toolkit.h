#pragma once
#include <deque>
#include <functional>
#include <vector>

#include "platform/toolkit.h"

namespace tamrik::platform::testing {

// A toolkit without a display: message boxes are answered from a queue the test fills (Ok, or No
// for Yes/No questions, when it is empty) and recorded; processing pending events runs whatever the
// test scheduled, so a test can click Cancel in the middle of a search, or let timer ticks run while
// a box is open, and then the queued user input unless the round defers it.
class HeadlessToolkit final : public Toolkit {
 public:
  MessageAnswer messageBox(const MessageBoxRequest& request) override {
    shown.push_back(request);
    if (whileShown) whileShown();  // what runs while a real box waits for the user
    if (!answers.empty()) {
      const MessageAnswer a = answers.front();
      answers.pop_front();
      return a;
    }
    return request.buttons == MessageButtons::YesNo ? MessageAnswer::No : MessageAnswer::Ok;
  }

  void showNotice(const MessageBoxRequest& request) override { notices.push_back(request); }

  using Toolkit::processPendingEvents;
  void processPendingEvents(UserInput input) override {
    ++eventRounds;
    if (onProcessEvents) onProcessEvents();
    if (input == UserInput::Handle) handleUserInput();
  }

  // The user's input that reached the window and waits for it: runs, in order, in the next event
  // round that handles input, or when the test calls handleUserInput() as the top-level event
  // loop would.
  void handleUserInput() {
    while (!userInput.empty()) {
      auto action = std::move(userInput.front());
      userInput.pop_front();
      action();
    }
  }

  std::vector<MessageBoxRequest> shown;
  std::vector<MessageBoxRequest> notices;
  std::deque<MessageAnswer> answers;
  std::function<void()> onProcessEvents;
  std::function<void()> whileShown;
  std::deque<std::function<void()>> userInput;
  int eventRounds = 0;
};

}  // namespace tamrik::platform::testing
