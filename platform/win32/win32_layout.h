#pragma once
#include <string>
#include <vector>

#include "ui/window_model.h"

// Where the Win32 window puts each control of the window model, in which order its windows are
// stacked and which of them the keyboard reaches. Plain C++, so that it is tested on every system.
namespace tamrik::platform::win32 {

// The window's resolution. The model is laid out in twips (1440 to the inch) and, inside the
// satellite chart, in pixels of a 96 dots-per-inch screen; both become device pixels here, so the
// window has the same size in inches at 100 % (96 dpi) and at 200 % (192 dpi).
struct Scale {
  int dpi = 96;
  int fromTwips(int twips) const;
  int fromDesignPixels(int pixels) const;
  // The sunken border of a picture box: 2 design pixels.
  int pictureBorder() const { return fromDesignPixels(2); }
  // A line one design pixel wide, never thinner than one device pixel.
  int lineWidth() const;
};

struct PixelRect {
  int left = 0, top = 0, width = 0, height = 0;
  int right() const { return left + width; }
  int bottom() const { return top + height; }
  bool empty() const { return width <= 0 || height <= 0; }
  bool operator==(const PixelRect&) const = default;
};

struct PixelLine {
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;
};

// The window's client area, without caption and borders: the model's width less its 15-twip
// borders, and 6375 twips high.
PixelRect clientArea(const ui::WindowModel& model, Scale scale);

// Whether a picture box lays its children out in design pixels (the satellite chart).
bool pixelScaled(const ui::WindowModel& model, const ui::Control& c);

// Whether a control is a window of its own. Shapes and lines are drawn by their container, and so
// is everything inside the satellite chart; labels elsewhere are static windows, so that screen
// readers find them. The timer is no window.
bool isWindowed(const ui::WindowModel& model, const ui::Control& c);

// A control's rectangle in its container's client area (inside a picture box's border).
PixelRect placeInContainer(const ui::WindowModel& model, const ui::Control& c, Scale scale);
PixelLine lineInContainer(const ui::WindowModel& model, const ui::Control& c, Scale scale);
// The bounding box of a line, one line width wide at least.
PixelRect lineBounds(const ui::WindowModel& model, const ui::Control& c, Scale scale);

// A control's rectangle in the window's client area.
PixelRect placeInWindow(const ui::WindowModel& model, const std::string& name, Scale scale);

// Whether some part of the control can be seen: its rectangle clipped by each container's and at
// last by the window's client area is not empty. Visibility is not considered.
bool inSight(const ui::WindowModel& model, const std::string& name, Scale scale);

// Enabled, and so is every container around it: a disabled frame disables what it holds.
bool effectivelyEnabled(const ui::WindowModel& model, const std::string& name);
bool effectivelyVisible(const ui::WindowModel& model, const std::string& name);

// Controls that take input from the keyboard.
bool takesFocus(ui::ControlKind kind);

// The windowed children of a container ("" for the window), front first. The ones that are not
// labels come first, by the smallest tab index of what they are or hold, so that the dialog
// manager's Tab, which walks the windows in this order and enters frames, follows the tab indices
// (as long as no two frames' tab indices interleave among the controls in sight, as in this
// window); labels lie beneath every other window, as they are drawn on their container's surface,
// and among themselves the later one in front.
std::vector<std::string> stackingOrder(const ui::WindowModel& model, const std::string& container);

// A caption for a button or check box that shows every character as it is: Win32 would take
// "&x" as a keyboard mnemonic and hide the ampersand.
std::string literalCaption(const std::string& text);

}  // namespace tamrik::platform::win32
