#include "ui/svg_drawing.h"

#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

namespace tamrik::ui {

namespace {

// The font the window's toolkits fall back to on most systems, then any sans-serif one.
constexpr const char* kFontFamily = "'DejaVu Sans', 'Segoe UI', Arial, sans-serif";

std::string num(double v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f", v);
  std::string s(buffer);
  if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
  return s;
}

std::string stroke(std::uint32_t color, int width) {
  std::string s = "stroke:" + cssColor(color) + ";";
  if (width > 1) s += "stroke-width:" + std::to_string(width) + "px;";
  return s;
}

std::string point(int x, int y) { return std::to_string(x) + "," + std::to_string(y); }

// Lines of one colour and width in a row become one path: a segment that starts where the one
// before ended carries the path on (a series of the strip chart, one segment a pixel column), any
// other starts a new subpath; a point amid a level or upright run is left out. The same picture in
// a fraction of the bytes.
std::size_t writeLines(std::string& out, SvgLooks& looks, const Drawing& d, std::size_t i) {
  const DrawOp& first = d.ops[i];
  std::string path;
  std::vector<std::pair<int, int>> run;  // the points of the subpath being made
  auto flush = [&] {
    for (std::size_t k = 0; k < run.size(); ++k) {
      const bool between = k > 0 && k + 1 < run.size();
      if (between && ((run[k - 1].second == run[k].second && run[k].second == run[k + 1].second) ||
                      (run[k - 1].first == run[k].first && run[k].first == run[k + 1].first))) {
        continue;
      }
      path += (k == 0 ? "M" : " ") + point(run[k].first, run[k].second);  // pairs after M draw lines
    }
    run.clear();
  };
  std::size_t j = i;
  for (; j < d.ops.size(); ++j) {
    const DrawOp& next = d.ops[j];
    if (next.kind != DrawOp::Kind::Line || next.color != first.color || next.penWidth != first.penWidth) break;
    if (run.empty() || run.back() != std::make_pair(next.x, next.y)) {
      flush();
      run.emplace_back(next.x, next.y);
    }
    run.emplace_back(next.x2, next.y2);
  }
  flush();
  out += "<path d=\"" + path + "\"" + looks.classOf("fill:none;" + stroke(first.color, first.penWidth)) + "/>";
  return j;
}

void writeBox(std::string& out, SvgLooks& looks, const DrawOp& op) {
  // An outline's pen is centred on the box's edge; kept inside, as the toolkits keep it.
  const double inset = op.outlined ? op.penWidth / 2.0 : 0.0;
  const double w = op.w - 2 * inset, h = op.h - 2 * inset;
  if (op.kind == DrawOp::Kind::Rect) {
    out += "<rect x=\"" + num(op.x + inset) + "\" y=\"" + num(op.y + inset) + "\" width=\"" + num(w < 0 ? 0 : w) +
           "\" height=\"" + num(h < 0 ? 0 : h) + "\"";
  } else {
    out += "<ellipse cx=\"" + num(op.x + op.w / 2.0) + "\" cy=\"" + num(op.y + op.h / 2.0) + "\" rx=\"" +
           num(w < 0 ? 0 : w / 2) + "\" ry=\"" + num(h < 0 ? 0 : h / 2) + "\"";
  }
  std::string look = "fill:" + (op.filled ? cssColor(op.fill) : std::string("none")) + ";";
  if (op.outlined) look += stroke(op.color, op.penWidth);
  out += looks.classOf(look) + "/>";
}

bool sameLook(const DrawOp& a, const DrawOp& b) {
  return a.color == b.color && a.textPixels == b.textPixels && a.bold == b.bold && a.align == b.align;
}

std::string textLook(SvgLooks& looks, const DrawOp& op) {
  std::string look = "fill:" + cssColor(op.color) + ";font-size:" + std::to_string(op.textPixels < 1 ? 1 : op.textPixels) + "px;";
  if (op.bold) look += "font-weight:bold;";
  if (op.align == DrawOp::Align::Center) look += "text-anchor:middle;";
  if (op.align == DrawOp::Align::Right) look += "text-anchor:end;";
  return looks.classOf(look);
}

// Each text vertically centred in its box and aligned in it as the toolkits align it, never
// clipped. Texts in a row that look alike share their colour, size, weight and anchor in a group.
std::size_t writeTexts(std::string& out, SvgLooks& looks, const Drawing& d, std::size_t i) {
  const DrawOp& first = d.ops[i];
  std::size_t j = i + 1;
  while (j < d.ops.size() && d.ops[j].kind == DrawOp::Kind::Text && sameLook(d.ops[j], first)) ++j;
  auto text = [&](const DrawOp& op, const std::string& look) {
    const int x = op.align == DrawOp::Align::Center ? op.x + op.w / 2 : op.align == DrawOp::Align::Right ? op.x + op.w : op.x;
    out += "<text x=\"" + std::to_string(x) + "\" y=\"" + num(op.y + op.h / 2.0) + "\"" + look + ">" + markupEscaped(op.text) +
           "</text>";
  };
  if (j == i + 1) {
    text(first, textLook(looks, first));
    return j;
  }
  out += "<g" + textLook(looks, first) + ">";
  for (std::size_t k = i; k < j; ++k) text(d.ops[k], "");
  out += "</g>";
  return j;
}

}  // namespace

std::string cssColor(std::uint32_t bgr) {
  char buffer[8];
  std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", static_cast<unsigned>(bgr & 0xFF), static_cast<unsigned>((bgr >> 8) & 0xFF),
                static_cast<unsigned>((bgr >> 16) & 0xFF));
  return buffer;
}

std::string markupEscaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    switch (ch) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default:
        if (static_cast<unsigned char>(ch) < 0x20 && ch != '\t' && ch != '\n') out += "\xEF\xBF\xBD";
        else if (ch == 0x7F) out += "\xEF\xBF\xBD";
        else out += ch;
    }
  }
  return out;
}

std::string SvgLooks::classOf(const std::string& declarations) {
  auto it = names_.find(declarations);
  if (it == names_.end()) {
    std::uint32_t hash = 2166136261u;  // FNV-1a
    for (const char ch : declarations) hash = (hash ^ static_cast<unsigned char>(ch)) * 16777619u;
    char name[16];
    std::snprintf(name, sizeof name, "k%08x", static_cast<unsigned>(hash));
    it = names_.emplace(declarations, name).first;
  }
  return " class=\"" + it->second + "\"";
}

std::string SvgLooks::rules() const {
  std::string out = "svg.drawing text{dominant-baseline:central}";
  for (const auto& [declarations, name] : names_) out += "svg.drawing ." + name + "{" + declarations + "}";
  return out;
}

std::string svgOf(const Drawing& d, int width, int height, const SvgLabel& label, SvgLooks* shared) {
  std::string out;
  out.reserve(64 * d.ops.size() + 512);
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" viewBox=\"0 0 " + std::to_string(width) + " " +
         std::to_string(height) + "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"";
  out += " class=\"drawing";
  if (!label.cssClass.empty()) out += " " + markupEscaped(label.cssClass);
  out += "\"";
  out += " font-family=\"" + markupEscaped(kFontFamily) +
         "\" stroke-linecap=\"square\" stroke-linejoin=\"bevel\">";
  out += "<title>" + markupEscaped(label.title) + "</title>";
  if (!label.description.empty()) out += "<desc>" + markupEscaped(label.description) + "</desc>";
  // Texts stand centred on their box's middle line. (A style sheet in an SVG within a page applies
  // to the whole page: the rules name the drawings' own class.)
  SvgLooks own;
  SvgLooks& looks = shared ? *shared : own;
  std::string body;
  body.reserve(40 * d.ops.size() + 128);
  body += "<rect width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"" +
          looks.classOf("fill:" + cssColor(d.background) + ";") + "/>";
  for (std::size_t i = 0; i < d.ops.size();) {
    const DrawOp& op = d.ops[i];
    switch (op.kind) {
      case DrawOp::Kind::Line: i = writeLines(body, looks, d, i); continue;
      case DrawOp::Kind::Text: i = writeTexts(body, looks, d, i); continue;
      case DrawOp::Kind::Rect:
      case DrawOp::Kind::Ellipse: writeBox(body, looks, op); break;
    }
    ++i;
  }
  if (!shared) out += "<style>" + own.rules() + "</style>";
  out += body;
  out += "</svg>";
  return out;
}

}  // namespace tamrik::ui
