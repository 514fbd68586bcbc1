#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tamrik::ui {

// A picture as data: what a window that draws itself (rather than holding controls) shows, in the
// order it is painted. The logic builds it for a size in the window's pixels; each toolkit paints
// it with its own means. Colours are 0xBBGGRR, as everywhere in the window.
struct DrawOp {
  enum class Kind { Line, Rect, Ellipse, Text };
  enum class Align { Left, Center, Right };
  Kind kind = Kind::Line;
  // Line: from (x, y) to (x2, y2). Rect and Ellipse: the box at (x, y) of w by h. Text: its box,
  // the text vertically centred in it.
  int x = 0, y = 0, w = 0, h = 0;
  int x2 = 0, y2 = 0;
  std::uint32_t color = 0;      // pen of lines and outlines; the text's colour
  bool filled = false;          // Rect and Ellipse: filled with fill
  std::uint32_t fill = 0;
  bool outlined = true;         // Rect and Ellipse: outlined with color
  int penWidth = 1;
  std::string text;             // UTF-8
  int textPixels = 12;          // text height in pixels
  bool bold = false;
  Align align = Align::Left;
};

// Where a text's letters stand, about: its box's height centred on the box, and a width from its
// characters at a common sans-serif font's widths (DejaVu Sans, a little wider: digits 0.64 of the
// height, capitals 0.67, small letters 0.56, spaces and stops 0.3; bold a tenth more), placed in the
// box as the text is aligned. Layouts use it to keep texts off each other; it errs on the large side.
struct TextExtent {
  int x = 0, y = 0, w = 0, h = 0;
  bool overlaps(const TextExtent& o) const { return x < o.x + o.w && o.x < x + w && y < o.y + o.h && o.y < y + h; }
};
inline int textWidth(std::string_view text, int pixels, bool bold = false) {
  int thousandths = 0;  // of the height
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if ((c & 0xC0) == 0x80) continue;  // a UTF-8 continuation byte
    if (c >= '0' && c <= '9') thousandths += bold ? 720 : 660;
    else if (c >= 'A' && c <= 'Z') thousandths += bold ? 800 : 720;
    else if (c >= 'a' && c <= 'z') thousandths += bold ? 660 : 590;
    else if (c < 0x80) thousandths += bold ? 420 : 380;
    else thousandths += bold ? 800 : 720;
  }
  return (thousandths * pixels + 999) / 1000;
}
inline TextExtent textExtent(const DrawOp& op) {
  const int w = textWidth(op.text, op.textPixels, op.bold);
  const int h = op.textPixels + (op.textPixels + 4) / 5;  // the line: ascent and descent
  const int x = op.align == DrawOp::Align::Left ? op.x : op.align == DrawOp::Align::Right ? op.x + op.w - w : op.x + (op.w - w) / 2;
  return {x, op.y + (op.h - h) / 2, w, h};
}

struct Drawing {
  std::uint32_t background = 0xFFFFFF;
  std::vector<DrawOp> ops;

  void line(int x1, int y1, int x2, int y2, std::uint32_t color, int width = 1) {
    DrawOp op;
    op.kind = DrawOp::Kind::Line;
    op.x = x1, op.y = y1, op.x2 = x2, op.y2 = y2, op.color = color, op.penWidth = width;
    ops.push_back(std::move(op));
  }
  void rect(int x, int y, int w, int h, std::uint32_t fill) { box(DrawOp::Kind::Rect, x, y, w, h, fill, true, fill, false); }
  void frame(int x, int y, int w, int h, std::uint32_t color) { box(DrawOp::Kind::Rect, x, y, w, h, color, false, 0, true); }
  void ellipse(int x, int y, int w, int h, std::uint32_t color, bool filled, std::uint32_t fill, int width = 1) {
    box(DrawOp::Kind::Ellipse, x, y, w, h, color, filled, fill, true, width);
  }
  void text(int x, int y, int w, int h, std::string s, std::uint32_t color, int pixels, DrawOp::Align align = DrawOp::Align::Left,
            bool bold = false) {
    DrawOp op;
    op.kind = DrawOp::Kind::Text;
    op.x = x, op.y = y, op.w = w, op.h = h, op.text = std::move(s), op.color = color, op.textPixels = pixels;
    op.align = align, op.bold = bold;
    ops.push_back(std::move(op));
  }

 private:
  void box(DrawOp::Kind kind, int x, int y, int w, int h, std::uint32_t color, bool filled, std::uint32_t fill, bool outlined,
           int width = 1) {
    DrawOp op;
    op.kind = kind;
    op.x = x, op.y = y, op.w = w, op.h = h, op.color = color, op.filled = filled, op.fill = fill, op.outlined = outlined;
    op.penWidth = width;
    ops.push_back(std::move(op));
  }
};

}  // namespace tamrik::ui
