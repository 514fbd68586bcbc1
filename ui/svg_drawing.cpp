#include "ui/svg_drawing.h"

#include <cstdio>

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
  return " stroke=\"" + cssColor(color) + "\" stroke-width=\"" + std::to_string(width < 1 ? 1 : width) + "\"";
}

// Lines of one colour and width drawn end to start (a series of the strip chart, one segment a
// pixel column) become one polyline: the same picture in a fraction of the bytes.
std::size_t writeLines(std::string& out, const Drawing& d, std::size_t i) {
  const DrawOp& first = d.ops[i];
  std::size_t j = i + 1;
  std::string points = std::to_string(first.x) + "," + std::to_string(first.y) + " " + std::to_string(first.x2) + "," +
                       std::to_string(first.y2);
  while (j < d.ops.size()) {
    const DrawOp& prev = d.ops[j - 1];
    const DrawOp& next = d.ops[j];
    if (next.kind != DrawOp::Kind::Line || next.color != first.color || next.penWidth != first.penWidth ||
        next.x != prev.x2 || next.y != prev.y2) {
      break;
    }
    points += " " + std::to_string(next.x2) + "," + std::to_string(next.y2);
    ++j;
  }
  if (j == i + 1) {
    out += "<line x1=\"" + std::to_string(first.x) + "\" y1=\"" + std::to_string(first.y) + "\" x2=\"" +
           std::to_string(first.x2) + "\" y2=\"" + std::to_string(first.y2) + "\"" + stroke(first.color, first.penWidth) +
           "/>";
  } else {
    out += "<polyline points=\"" + points + "\" fill=\"none\"" + stroke(first.color, first.penWidth) + "/>";
  }
  return j;
}

void writeBox(std::string& out, const DrawOp& op) {
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
  out += " fill=\"" + (op.filled ? cssColor(op.fill) : std::string("none")) + "\"";
  if (op.outlined) out += stroke(op.color, op.penWidth);
  out += "/>";
}

void writeText(std::string& out, const DrawOp& op) {
  // Vertically centred in its box, aligned in it as the toolkits align it; never clipped.
  int x = op.x;
  const char* anchor = "start";
  if (op.align == DrawOp::Align::Center) x = op.x + op.w / 2, anchor = "middle";
  if (op.align == DrawOp::Align::Right) x = op.x + op.w, anchor = "end";
  out += "<text x=\"" + std::to_string(x) + "\" y=\"" + num(op.y + op.h / 2.0) + "\" dominant-baseline=\"central\" font-size=\"" +
         std::to_string(op.textPixels < 1 ? 1 : op.textPixels) + "\"";
  if (op.bold) out += " font-weight=\"bold\"";
  if (op.align != DrawOp::Align::Left) out += std::string(" text-anchor=\"") + anchor + "\"";
  out += " fill=\"" + cssColor(op.color) + "\">" + markupEscaped(op.text) + "</text>";
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

std::string svgOf(const Drawing& d, int width, int height, const SvgLabel& label) {
  std::string out;
  out.reserve(64 * d.ops.size() + 512);
  out += "<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" viewBox=\"0 0 " + std::to_string(width) + " " +
         std::to_string(height) + "\" width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\"";
  if (!label.cssClass.empty()) out += " class=\"" + markupEscaped(label.cssClass) + "\"";
  out += " font-family=\"" + markupEscaped(kFontFamily) +
         "\" stroke-linecap=\"square\" stroke-linejoin=\"bevel\">";
  out += "<title>" + markupEscaped(label.title) + "</title>";
  if (!label.description.empty()) out += "<desc>" + markupEscaped(label.description) + "</desc>";
  out += "<rect width=\"" + std::to_string(width) + "\" height=\"" + std::to_string(height) + "\" fill=\"" +
         cssColor(d.background) + "\"/>";
  for (std::size_t i = 0; i < d.ops.size();) {
    const DrawOp& op = d.ops[i];
    switch (op.kind) {
      case DrawOp::Kind::Line: i = writeLines(out, d, i); continue;
      case DrawOp::Kind::Rect:
      case DrawOp::Kind::Ellipse: writeBox(out, op); break;
      case DrawOp::Kind::Text: writeText(out, op); break;
    }
    ++i;
  }
  out += "</svg>";
  return out;
}

}  // namespace tamrik::ui
