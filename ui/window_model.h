#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tamrik::ui {

enum class ControlKind { Frame, Label, TextBox, ComboBox, CheckBox, Button, PictureBox, Shape, Line, Timer };

const char* kindName(ControlKind kind);

// Colours are 24-bit values written 0xBBGGRR. "System" colours follow the desktop's scheme.
enum class SystemColor { None, WindowBackground, WindowText, ApplicationWorkspace };

struct Font {
  std::string family;  // empty: the window's default font
  double pointSize = 0;
  bool cyrillic = false;  // the design asked for the Cyrillic character set
};

// One control of the window as the logic sees it. Geometry is in twips relative to the container,
// except inside a picture box with a pixel scale (PicSat), where it is in pixels.
struct Control {
  std::string name;       // "Out1Freq", or "Sat(5)" for an element of a control array
  ControlKind kind = ControlKind::Label;
  std::string container;  // "" for the window itself
  std::string text;       // caption or text
  std::string tooltip;
  // The name screen readers and desktop automation know the control by: for a text box or combo
  // box the caption of the label beside it, for a label that shows a value what the value is.
  std::string accessibleName;
  bool enabled = true;
  bool visible = true;
  int left = 0, top = 0, width = 0, height = 0;
  int x1 = 0, y1 = 0, x2 = 0, y2 = 0;  // lines
  std::optional<std::uint32_t> backColor;
  std::optional<std::uint32_t> foreColor;
  SystemColor systemBackColor = SystemColor::None;
  SystemColor systemForeColor = SystemColor::None;
  std::uint32_t fillColor = 0;    // shapes
  std::uint32_t borderColor = 0;  // shapes and lines
  bool solidFill = false;          // shapes
  Font font;
  int tabIndex = -1;
  std::vector<std::string> items;  // combo boxes
  int selected = -1;               // combo boxes: list index, -1 for none
  bool checked = false;            // check boxes
  bool border = false;             // labels: single-line border
  int selStart = 0;                // text boxes: caret position
  int zOrder = 0;                  // larger is in front
  int interval = 0;                // timer: milliseconds
  bool pixelScale = false;         // picture box whose children are placed in pixels
};

// The name a screen reader announces for a control: its accessible name (its text when it has none).
// A label that shows a value is announced with its value: "Device name: Tamrik GPS Reference Clock".
std::string announcedName(const Control& c);

struct WindowGeometry {
  std::string caption;
  int widthTwips = 0;
  int heightTwips = 0;
};

// The window's controls as data. The logic reads and writes them here; a toolkit renders them and
// is told of every change through the observer. Nothing here needs a display.
class WindowModel {
 public:
  using Observer = std::function<void(const std::string& controlName)>;  // "" for the window itself

  WindowModel();

  // The design-time layout of the main window.
  static WindowModel mainWindow();

  void add(Control control);
  bool has(const std::string& name) const;
  const Control& at(const std::string& name) const;  // throws std::out_of_range for an unknown name
  const std::vector<std::string>& order() const { return order_; }  // creation order

  // Creates element index of a control array as a copy of its template "Name(0)", invisible. When
  // the template's accessible name ends in " 0", the copy's ends in its own index.
  Control& loadArrayElement(const std::string& arrayName, int index);

  // The window.
  const WindowGeometry& window() const { return window_; }
  void setWindowWidth(int twips);
  void setWindowCaption(const std::string& caption);
  bool shown() const { return shown_; }
  void show();

  // Screen resolution the window is rendered at, in twips per pixel (15 at 96 dots per inch).
  double twipsPerPixelX() const { return twipsPerPixelX_; }
  double twipsPerPixelY() const { return twipsPerPixelY_; }
  void setTwipsPerPixel(double x, double y);

  // Inner size in pixels of a picture box with a pixel scale: its outer size in whole pixels less
  // the 2-pixel sunken border on each side.
  int scaleWidth(const std::string& pictureBox) const;
  int scaleHeight(const std::string& pictureBox) const;

  // Changes; each notifies the observer when the value actually changes.
  void setText(const std::string& name, const std::string& text);
  void setEnabled(const std::string& name, bool enabled);
  void setVisible(const std::string& name, bool visible);
  void setLeft(const std::string& name, int v);
  void setTop(const std::string& name, int v);
  void setWidth(const std::string& name, int v);
  void setHeight(const std::string& name, int v);
  void setLine(const std::string& name, int x1, int y1, int x2, int y2);
  void setBackColor(const std::string& name, std::uint32_t bgr);
  void setFillColor(const std::string& name, std::uint32_t bgr);
  void setBorderColor(const std::string& name, std::uint32_t bgr);
  void setBorder(const std::string& name, bool border);
  void setTooltip(const std::string& name, const std::string& tooltip);
  void setChecked(const std::string& name, bool checked);
  void clearItems(const std::string& name);
  void addItem(const std::string& name, const std::string& item);
  void setSelected(const std::string& name, int index);  // -1 clears; out-of-range indices are ignored
  void setSelStart(const std::string& name, int position);  // clamped to the text's length
  void setInterval(const std::string& name, int milliseconds);
  void bringToFront(const std::string& name);

  // Keyboard focus: the name of the focused control, "" for none.
  const std::string& focus() const { return focus_; }
  void setFocus(const std::string& name);

  // The text of a combo box's selected entry, "" when nothing is selected.
  std::string selectedText(const std::string& name) const;

  void setObserver(Observer observer) { observer_ = std::move(observer); }

 private:
  Control& get(const std::string& name);
  void changed(const std::string& name);

  std::map<std::string, Control> controls_;
  std::vector<std::string> order_;
  WindowGeometry window_;
  bool shown_ = false;
  double twipsPerPixelX_ = 15.0;
  double twipsPerPixelY_ = 15.0;
  std::string focus_;
  int nextZ_ = 1;
  Observer observer_;
};

}  // namespace tamrik::ui
