#pragma once
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <tuple>

#include "platform/win32/win32_layout.h"
#include "ui/window_events.h"
#include "ui/window_model.h"

struct IAccPropServices;

namespace tamrik::platform::win32 {

// A window's text (a control's caption or contents).
std::wstring windowText(HWND hwnd);

// Renders a ui::WindowModel as a Win32 window and reports the user's actions to WindowEvents.
// Every change of the model is mirrored at once; the model stays the single source of truth.
//
// Frames and picture boxes are container windows that draw their own border; labels are owner-drawn
// static windows (plain text, no mnemonics), so that screen readers find their texts; shapes, lines
// and the whole satellite chart are drawn by their container. Positions come from the model's
// twips at the window's DPI, and the window lays itself out again when it moves to a screen of
// another DPI.
class Win32Window final {
 public:
  Win32Window(ui::WindowModel& model, ui::WindowEvents& events);
  ~Win32Window();
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  HWND hwnd() const { return hwnd_; }
  // The window of a control; nullptr for what its container draws (shapes, lines, the chart's
  // contents) and for the timer.
  HWND handleFor(const std::string& name) const;
  int dpi() const { return scale_.dpi; }
  // The tooltip control that holds every control's tooltip.
  HWND tooltips() const { return tooltip_; }
  // The font a control is drawn with at the window's DPI.
  HFONT fontFor(const std::string& name);

  // Called once the user has closed the window and the unload has run; the window is hidden then.
  // The program ends its event loop here.
  void setClosedHandler(std::function<void()> handler) { closed_ = std::move(handler); }
  bool closed() const { return closing_; }

  // Whether screen readers get the accessible names: Windows' annotation service took them.
  bool annotated() const { return accProps_ != nullptr; }

 private:
  struct Item {
    HWND hwnd = nullptr;
    int stackedZ = 0;     // the zOrder the window was stacked with
    PixelRect drawn;      // what a drawn item covered when last painted, in its container
    bool drawnVisible = false;
    std::wstring tooltip;    // the tooltip registered for the window
    std::wstring announced;  // the name and description given to screen readers
  };
  using FontKey = std::tuple<std::string, int, bool, int>;

  static bool registerClasses();
  static LRESULT CALLBACK windowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK controlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR id,
                                      DWORD_PTR self);
  LRESULT handle(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handleControl(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

  HWND containerWindow(const std::string& container);
  void create(const ui::Control& c);
  void sync(const std::string& name);
  void syncGeometry(const ui::Control& c, HWND w);
  void syncContent(const ui::Control& c, HWND w);
  void syncDescendants(const std::string& container);
  void syncWindow();
  void syncTimer(const ui::Control& c);
  void syncTooltip(const ui::Control& c, Item& item);
  void wrapTooltips();
  void syncAccessibility(const ui::Control& c, Item& item);
  void invalidateDrawn(const ui::Control& c, Item& item);
  void relayout();
  void stack(const std::string& container);
  void updateFocusReach();

  void paint(HWND hwnd);
  void paintSurface(const std::string& container, HDC dc, const RECT& area, int fromZ, int belowZ);
  void drawFrame(const ui::Control& c, HDC dc, const RECT& box);
  void drawPictureBorder(const ui::Control& c, HDC dc, const RECT& box);
  void drawItem(const ui::Control& c, HDC dc);
  void drawLabelText(const ui::Control& c, HDC dc, const RECT& box);
  void drawLabel(const DRAWITEMSTRUCT& item);

  void onCommand(HWND control, int code);
  void onEdited(const std::string& name, HWND edit);
  void trackCaret(const std::string& name, HWND edit);
  void onComboPicked(const std::string& name, HWND combo);
  void fitComboHeight(HWND combo, int height);

  HFONT font(const ui::Font& f);
  HBRUSH brush(COLORREF color);
  COLORREF backgroundOf(const std::string& container) const;
  COLORREF textColorOf(const ui::Control& c) const;
  const std::string* nameOf(HWND hwnd) const;

  ui::WindowModel& model_;
  ui::WindowEvents& events_;
  Scale scale_;
  HWND hwnd_ = nullptr;
  HWND tooltip_ = nullptr;
  std::map<std::string, Item> items_;
  std::map<HWND, std::string> names_;
  std::map<FontKey, HFONT> fonts_;
  std::map<COLORREF, HBRUSH> brushes_;
  std::string defaultFace_;
  void* theme_ = nullptr;  // HTHEME of buttons, for the themed frame border
  bool themeOpened_ = false;
  IAccPropServices* accProps_ = nullptr;
  bool comStarted_ = false;
  std::function<void()> closed_;
  bool built_ = false;
  bool syncing_ = false;
  bool destroying_ = false;
  bool closing_ = false;
  bool timerRunning_ = false;
  int timerInterval_ = 0;
  std::string userEdit_;  // the text box whose edit is being stored in the model
  HWND lastFocus_ = nullptr;
  HWND pressedLabel_ = nullptr;
  std::tuple<HWND, int, LONG> lastPick_{nullptr, -1, 0};
};

}  // namespace tamrik::platform::win32
