#pragma once
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <utility>

#include "ui/drawing.h"

namespace tamrik::platform::win32 {

// A resizable top-level window that shows a ui::Drawing, built afresh for its size whenever it is
// painted, at the window's DPI: the picture gets the window's pixels and the scale dpi / 96, and
// the window takes the size Windows suggests when it moves to a screen of another DPI. Closing it
// hides it; present() shows it again.
class Win32DrawingWindow final {
 public:
  using Painter = std::function<ui::Drawing(int width, int height, double scale)>;

  // width and height: the client area at 96 dots per inch.
  Win32DrawingWindow(const std::string& caption, int width, int height, Painter painter);
  ~Win32DrawingWindow();
  Win32DrawingWindow(const Win32DrawingWindow&) = delete;
  Win32DrawingWindow& operator=(const Win32DrawingWindow&) = delete;

  // Shows the window, or brings it to the front.
  void present();
  // Paints it again soon.
  void refresh();
  bool visible() const { return hwnd_ && IsWindowVisible(hwnd_); }
  HWND hwnd() const { return hwnd_; }

 private:
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void paint();
  HFONT font(int pixels, bool bold);

  Painter painter_;
  HWND hwnd_ = nullptr;
  int dpi_ = 96;
  std::map<std::pair<int, bool>, HFONT> fonts_;
};

}  // namespace tamrik::platform::win32
