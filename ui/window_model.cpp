#include "ui/window_model.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace tamrik::ui {

const char* kindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::Frame: return "frame";
    case ControlKind::Label: return "label";
    case ControlKind::TextBox: return "textbox";
    case ControlKind::ComboBox: return "combobox";
    case ControlKind::CheckBox: return "checkbox";
    case ControlKind::Button: return "button";
    case ControlKind::PictureBox: return "picturebox";
    case ControlKind::Shape: return "shape";
    case ControlKind::Line: return "line";
    case ControlKind::Timer: return "timer";
  }
  return "unknown";
}

std::string announcedName(const Control& c) {
  if (c.kind != ControlKind::Label || c.text.empty() || c.text.starts_with(c.accessibleName)) {
    return c.accessibleName.empty() ? c.text : c.accessibleName;
  }
  return c.accessibleName + ": " + c.text;
}

WindowModel::WindowModel() = default;

void WindowModel::add(Control control) {
  const std::string name = control.name;
  if (controls_.count(name)) throw std::invalid_argument("duplicate control " + name);
  control.zOrder = nextZ_++;
  controls_.emplace(name, std::move(control));
  order_.push_back(name);
}

bool WindowModel::has(const std::string& name) const { return controls_.count(name) != 0; }

const Control& WindowModel::at(const std::string& name) const {
  auto it = controls_.find(name);
  if (it == controls_.end()) throw std::out_of_range("no control named " + name);
  return it->second;
}

Control& WindowModel::get(const std::string& name) {
  auto it = controls_.find(name);
  if (it == controls_.end()) throw std::out_of_range("no control named " + name);
  return it->second;
}

void WindowModel::changed(const std::string& name) {
  if (observer_) observer_(name);
}

Control& WindowModel::loadArrayElement(const std::string& arrayName, int index) {
  const std::string name = arrayName + "(" + std::to_string(index) + ")";
  Control copy = at(arrayName + "(0)");
  copy.name = name;
  copy.visible = false;
  copy.tabIndex = -1;
  if (copy.accessibleName.ends_with(" 0")) {
    copy.accessibleName.replace(copy.accessibleName.size() - 1, 1, std::to_string(index));
  }
  add(std::move(copy));
  changed(name);
  return get(name);
}

void WindowModel::setWindowWidth(int twips) {
  if (window_.widthTwips == twips) return;
  window_.widthTwips = twips;
  changed("");
}

void WindowModel::setWindowCaption(const std::string& caption) {
  window_.caption = caption;
  changed("");
}

void WindowModel::show() {
  shown_ = true;
  changed("");
}

void WindowModel::setTwipsPerPixel(double x, double y) {
  twipsPerPixelX_ = x > 0 ? x : 15.0;
  twipsPerPixelY_ = y > 0 ? y : 15.0;
  changed("");
}

int WindowModel::scaleWidth(const std::string& pictureBox) const {
  return std::max(0, static_cast<int>(at(pictureBox).width / twipsPerPixelX_) - 4);
}

int WindowModel::scaleHeight(const std::string& pictureBox) const {
  return std::max(0, static_cast<int>(at(pictureBox).height / twipsPerPixelY_) - 4);
}

namespace {
template <typename T>
bool assign(T& field, const T& value) {
  if (field == value) return false;
  field = value;
  return true;
}
}  // namespace

void WindowModel::setText(const std::string& name, const std::string& text) {
  Control& c = get(name);
  if (!assign(c.text, text)) return;
  c.selStart = std::min<int>(c.selStart, static_cast<int>(c.text.size()));
  changed(name);
}

void WindowModel::setEnabled(const std::string& name, bool enabled) {
  if (assign(get(name).enabled, enabled)) changed(name);
}

void WindowModel::setVisible(const std::string& name, bool visible) {
  if (assign(get(name).visible, visible)) changed(name);
}

void WindowModel::setLeft(const std::string& name, int v) {
  if (assign(get(name).left, v)) changed(name);
}

void WindowModel::setTop(const std::string& name, int v) {
  if (assign(get(name).top, v)) changed(name);
}

void WindowModel::setWidth(const std::string& name, int v) {
  if (assign(get(name).width, std::max(0, v))) changed(name);
}

void WindowModel::setHeight(const std::string& name, int v) {
  if (assign(get(name).height, std::max(0, v))) changed(name);
}

void WindowModel::setLine(const std::string& name, int x1, int y1, int x2, int y2) {
  Control& c = get(name);
  bool any = assign(c.x1, x1);
  any = assign(c.y1, y1) || any;
  any = assign(c.x2, x2) || any;
  any = assign(c.y2, y2) || any;
  if (any) changed(name);
}

void WindowModel::setBackColor(const std::string& name, std::uint32_t bgr) {
  if (assign(get(name).backColor, std::optional<std::uint32_t>(bgr & 0xFFFFFFu))) changed(name);
}

void WindowModel::setFillColor(const std::string& name, std::uint32_t bgr) {
  if (assign(get(name).fillColor, bgr & 0xFFFFFFu)) changed(name);
}

void WindowModel::setBorderColor(const std::string& name, std::uint32_t bgr) {
  if (assign(get(name).borderColor, bgr & 0xFFFFFFu)) changed(name);
}

void WindowModel::setBorder(const std::string& name, bool border) {
  if (assign(get(name).border, border)) changed(name);
}

void WindowModel::setTooltip(const std::string& name, const std::string& tooltip) {
  if (assign(get(name).tooltip, tooltip)) changed(name);
}

void WindowModel::setChecked(const std::string& name, bool checked) {
  if (assign(get(name).checked, checked)) changed(name);
}

void WindowModel::clearItems(const std::string& name) {
  Control& c = get(name);
  if (c.items.empty() && c.selected == -1) return;
  c.items.clear();
  c.selected = -1;
  changed(name);
}

void WindowModel::addItem(const std::string& name, const std::string& item) {
  get(name).items.push_back(item);
  changed(name);
}

void WindowModel::setSelected(const std::string& name, int index) {
  Control& c = get(name);
  if (index < -1 || index >= static_cast<int>(c.items.size())) return;
  if (assign(c.selected, index)) changed(name);
}

void WindowModel::setSelStart(const std::string& name, int position) {
  Control& c = get(name);
  const int clamped = std::clamp(position, 0, static_cast<int>(c.text.size()));
  if (assign(c.selStart, clamped)) changed(name);
}

void WindowModel::setInterval(const std::string& name, int milliseconds) {
  if (assign(get(name).interval, milliseconds)) changed(name);
}

void WindowModel::bringToFront(const std::string& name) {
  get(name).zOrder = nextZ_++;
  changed(name);
}

void WindowModel::setFocus(const std::string& name) {
  if (!name.empty()) (void)at(name);
  if (focus_ == name) return;
  focus_ = name;
  changed(name);
}

std::string WindowModel::selectedText(const std::string& name) const {
  const Control& c = at(name);
  if (c.selected < 0 || c.selected >= static_cast<int>(c.items.size())) return {};
  return c.items[static_cast<std::size_t>(c.selected)];
}

}  // namespace tamrik::ui
