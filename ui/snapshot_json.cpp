#include "ui/snapshot_json.h"

#include "text/json_string.h"

namespace tamrik::ui {

namespace {

class Writer {
 public:
  void key(const std::string& k) {
    comma();
    out_ += text::jsonString(k);
    out_ += ':';
    fresh_ = true;
  }
  void open(char c) {
    comma();
    out_ += c;
    fresh_ = true;
  }
  void close(char c) {
    out_ += c;
    fresh_ = false;
  }
  void raw(const std::string& v) {
    comma();
    out_ += v;
    fresh_ = false;
  }
  void str(const std::string& v) { raw(text::jsonString(v)); }
  void num(long long v) { raw(std::to_string(v)); }
  void boolean(bool v) { raw(v ? "true" : "false"); }
  std::string take() { return std::move(out_); }

 private:
  void comma() {
    if (!fresh_) out_ += ',';
    fresh_ = false;
  }
  std::string out_;
  bool fresh_ = true;
};

const char* systemColorName(SystemColor c) {
  switch (c) {
    case SystemColor::WindowBackground: return "window_background";
    case SystemColor::WindowText: return "window_text";
    case SystemColor::ApplicationWorkspace: return "application_workspace";
    case SystemColor::None: break;
  }
  return "";
}

}  // namespace

std::string snapshotJson(const WindowModel& model, const SnapshotExtras& extras) {
  Writer w;
  w.open('{');
  w.key("window");
  w.open('{');
  w.key("caption");
  w.str(model.window().caption);
  w.key("width_twips");
  w.num(model.window().widthTwips);
  w.key("height_twips");
  w.num(model.window().heightTwips);
  w.key("shown");
  w.boolean(model.shown());
  w.close('}');
  w.key("focus");
  w.str(model.focus());
  w.key("controls");
  w.open('{');
  for (const auto& name : model.order()) {
    const Control& c = model.at(name);
    w.key(name);
    w.open('{');
    w.key("kind");
    w.str(kindName(c.kind));
    w.key("container");
    w.str(c.container);
    w.key("text");
    w.str(c.text);
    w.key("enabled");
    w.boolean(c.enabled);
    w.key("visible");
    w.boolean(c.visible);
    w.key("back_color");
    if (c.backColor) w.num(*c.backColor);
    else w.str(systemColorName(c.systemBackColor));
    if (c.foreColor || c.systemForeColor != SystemColor::None) {
      w.key("fore_color");
      if (c.foreColor) w.num(*c.foreColor);
      else w.str(systemColorName(c.systemForeColor));
    }
    w.key("left");
    w.num(c.left);
    w.key("top");
    w.num(c.top);
    w.key("width");
    w.num(c.width);
    w.key("height");
    w.num(c.height);
    w.key("accessible_name");
    w.str(c.accessibleName);
    if (!c.tooltip.empty()) {
      w.key("tooltip");
      w.str(c.tooltip);
    }
    if (c.tabIndex >= 0) {
      w.key("tab_index");
      w.num(c.tabIndex);
    }
    switch (c.kind) {
      case ControlKind::ComboBox:
        w.key("items");
        w.open('[');
        for (const auto& item : c.items) w.str(item);
        w.close(']');
        w.key("selected");
        w.num(c.selected);
        break;
      case ControlKind::CheckBox:
        w.key("checked");
        w.boolean(c.checked);
        break;
      case ControlKind::Label:
        w.key("border");
        w.boolean(c.border);
        break;
      case ControlKind::Shape:
        w.key("fill_color");
        w.num(c.fillColor);
        w.key("border_color");
        w.num(c.borderColor);
        break;
      case ControlKind::Line:
        w.key("x1");
        w.num(c.x1);
        w.key("y1");
        w.num(c.y1);
        w.key("x2");
        w.num(c.x2);
        w.key("y2");
        w.num(c.y2);
        w.key("border_color");
        if (c.systemForeColor != SystemColor::None) w.str(systemColorName(c.systemForeColor));
        else w.num(c.borderColor);
        break;
      case ControlKind::TextBox:
        w.key("sel_start");
        w.num(c.selStart);
        break;
      case ControlKind::Timer:
        w.key("interval");
        w.num(c.interval);
        break;
      case ControlKind::PictureBox:
        if (c.pixelScale) {
          w.key("scale_width");
          w.num(model.scaleWidth(name));
          w.key("scale_height");
          w.num(model.scaleHeight(name));
        }
        break;
      default:
        break;
    }
    if (!c.font.family.empty()) {
      w.key("font");
      w.str(c.font.family);
    }
    w.close('}');
  }
  w.close('}');
  for (const auto& [name, value] : extras) {
    w.key(name);
    w.raw(value);
  }
  w.close('}');
  return w.take();
}

}  // namespace tamrik::ui
