#pragma once
#include <windows.h>

#include <vector>

#include "platform/toolkit.h"

namespace tamrik::platform::win32 {

// Message boxes, notices and event processing with Win32. Message texts are always plain text.
class Win32Toolkit final : public Toolkit {
 public:
  Win32Toolkit() = default;
  ~Win32Toolkit() override;
  Win32Toolkit(const Win32Toolkit&) = delete;
  Win32Toolkit& operator=(const Win32Toolkit&) = delete;

  // The main window: it owns the message boxes, which disable it while they wait, and the notices,
  // which stay in front of it without blocking it. Its keyboard input goes through the dialog
  // manager (Tab, Shift+Tab, Space on buttons).
  void setOwner(HWND owner) { owner_ = owner; }

  MessageAnswer messageBox(const MessageBoxRequest& request) override;
  void showNotice(const MessageBoxRequest& request) override;
  using Toolkit::processPendingEvents;
  void processPendingEvents(UserInput input) override;

  // The top-level event loop: runs until the quit message and returns its exit code.
  int run();

  // Event rounds and message boxes running now: 0 when the top-level loop is in control.
  int nesting() const { return nesting_; }

  // The notices on screen, oldest first.
  const std::vector<HWND>& notices() const { return notices_; }

  // Handles one message as the event loop does.
  void dispatch(MSG& msg);

 private:
  static LRESULT CALLBACK noticeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  HWND owner_ = nullptr;
  int nesting_ = 0;
  std::vector<HWND> notices_;
};

}  // namespace tamrik::platform::win32
