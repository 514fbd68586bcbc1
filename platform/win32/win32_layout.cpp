#include "platform/win32/win32_layout.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace tamrik::platform::win32 {

using ui::Control;
using ui::ControlKind;
using ui::WindowModel;

namespace {

// The outer width includes a 15-twip border on each side; the client area is 6375 twips high.
constexpr int kBorderTwips = 15;
constexpr int kClientHeightTwips = 6375;

const Control* containerOf(const WindowModel& model, const Control& c) {
  return c.container.empty() ? nullptr : &model.at(c.container);
}

bool isContainer(ControlKind kind) { return kind == ControlKind::Frame || kind == ControlKind::PictureBox; }

PixelRect intersect(const PixelRect& a, const PixelRect& b) {
  const int left = std::max(a.left, b.left), top = std::max(a.top, b.top);
  const int right = std::min(a.right(), b.right()), bottom = std::min(a.bottom(), b.bottom());
  return {left, top, std::max(0, right - left), std::max(0, bottom - top)};
}

// The smallest tab index of a control that takes focus, among c and what it holds.
int tabKey(const WindowModel& model, const Control& c) {
  if (takesFocus(c.kind)) return c.tabIndex >= 0 ? c.tabIndex : INT_MAX;
  if (!isContainer(c.kind)) return INT_MAX;
  int key = INT_MAX;
  for (const auto& name : model.order()) {
    const Control& child = model.at(name);
    if (child.container == c.name) key = std::min(key, tabKey(model, child));
  }
  return key;
}

}  // namespace

int Scale::fromTwips(int twips) const { return static_cast<int>(std::lround(twips * static_cast<double>(dpi) / 1440.0)); }

int Scale::fromDesignPixels(int pixels) const {
  return static_cast<int>(std::lround(pixels * static_cast<double>(dpi) / 96.0));
}

int Scale::lineWidth() const { return std::max(1, fromDesignPixels(1)); }

PixelRect clientArea(const WindowModel& model, Scale scale) {
  return {0, 0, scale.fromTwips(model.window().widthTwips - 2 * kBorderTwips), scale.fromTwips(kClientHeightTwips)};
}

bool pixelScaled(const WindowModel& model, const Control& c) {
  const Control* container = containerOf(model, c);
  return container && container->pixelScale;
}

bool isWindowed(const WindowModel& model, const Control& c) {
  switch (c.kind) {
    case ControlKind::Shape:
    case ControlKind::Line:
    case ControlKind::Timer:
      return false;
    default:
      return !pixelScaled(model, c);
  }
}

PixelRect placeInContainer(const WindowModel& model, const Control& c, Scale scale) {
  if (c.kind == ControlKind::Line) return lineBounds(model, c, scale);
  const Control* container = containerOf(model, c);
  const int inset = container && container->kind == ControlKind::PictureBox ? scale.pictureBorder() : 0;
  if (container && container->pixelScale) {
    return {scale.fromDesignPixels(c.left) + inset, scale.fromDesignPixels(c.top) + inset,
            scale.fromDesignPixels(c.width), scale.fromDesignPixels(c.height)};
  }
  return {scale.fromTwips(c.left) + inset, scale.fromTwips(c.top) + inset, scale.fromTwips(c.width),
          scale.fromTwips(c.height)};
}

PixelLine lineInContainer(const WindowModel& model, const Control& c, Scale scale) {
  const Control* container = containerOf(model, c);
  const int inset = container && container->kind == ControlKind::PictureBox ? scale.pictureBorder() : 0;
  if (container && container->pixelScale) {
    return {scale.fromDesignPixels(c.x1) + inset, scale.fromDesignPixels(c.y1) + inset,
            scale.fromDesignPixels(c.x2) + inset, scale.fromDesignPixels(c.y2) + inset};
  }
  return {scale.fromTwips(c.x1) + inset, scale.fromTwips(c.y1) + inset, scale.fromTwips(c.x2) + inset,
          scale.fromTwips(c.y2) + inset};
}

PixelRect lineBounds(const WindowModel& model, const Control& c, Scale scale) {
  const PixelLine l = lineInContainer(model, c, scale);
  const int w = scale.lineWidth();
  return {std::min(l.x1, l.x2), std::min(l.y1, l.y2), std::abs(l.x2 - l.x1) + w, std::abs(l.y2 - l.y1) + w};
}

PixelRect placeInWindow(const WindowModel& model, const std::string& name, Scale scale) {
  const Control* c = &model.at(name);
  PixelRect r = placeInContainer(model, *c, scale);
  for (const Control* container = containerOf(model, *c); container; container = containerOf(model, *container)) {
    const PixelRect outer = placeInContainer(model, *container, scale);
    r.left += outer.left;
    r.top += outer.top;
  }
  return r;
}

bool inSight(const WindowModel& model, const std::string& name, Scale scale) {
  PixelRect seen = placeInWindow(model, name, scale);
  for (const Control* c = containerOf(model, model.at(name)); c; c = containerOf(model, *c)) {
    seen = intersect(seen, placeInWindow(model, c->name, scale));
  }
  return !intersect(seen, clientArea(model, scale)).empty();
}

bool effectivelyEnabled(const WindowModel& model, const std::string& name) {
  for (const Control* c = &model.at(name); c; c = containerOf(model, *c)) {
    if (!c->enabled) return false;
  }
  return true;
}

bool effectivelyVisible(const WindowModel& model, const std::string& name) {
  for (const Control* c = &model.at(name); c; c = containerOf(model, *c)) {
    if (!c->visible) return false;
  }
  return true;
}

bool takesFocus(ControlKind kind) {
  return kind == ControlKind::TextBox || kind == ControlKind::ComboBox || kind == ControlKind::CheckBox ||
         kind == ControlKind::Button;
}

std::vector<std::string> stackingOrder(const WindowModel& model, const std::string& container) {
  struct Entry {
    const Control* control;
    bool label;
    int key;
  };
  std::vector<Entry> entries;
  for (const auto& name : model.order()) {
    const Control& c = model.at(name);
    if (c.container != container || !isWindowed(model, c)) continue;
    const bool label = c.kind == ControlKind::Label;
    entries.push_back({&c, label, label ? 0 : tabKey(model, c)});
  }
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    if (a.label != b.label) return !a.label;
    if (a.key != b.key) return a.key < b.key;
    return a.control->zOrder > b.control->zOrder;
  });
  std::vector<std::string> names;
  for (const Entry& e : entries) names.push_back(e.control->name);
  return names;
}

std::string literalCaption(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    out += ch;
    if (ch == '&') out += '&';
  }
  return out;
}

}  // namespace tamrik::platform::win32
