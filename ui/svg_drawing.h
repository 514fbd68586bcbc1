#pragma once
// A ui::Drawing as SVG, for a web page: the picture a toolkit paints from the same ops, in the same
// order, with the same colours, pen widths, fills and text alignments. Texts stay text (<text>,
// readable and selectable), every one escaped, so that nothing a unit says becomes markup.
//
//   const std::string svg = ui::svgOf(drawing, 820, 600, {"Satellites of Q00001", "The sky ..."});
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include "ui/drawing.h"

namespace tamrik::ui {

struct SvgLabel {
  std::string_view title;        // the picture's accessible name
  std::string_view description;  // what it shows, in words
  std::string_view cssClass;     // "" for none
};

// The looks (colours, pens, fonts) of drawings as the rules of a style sheet, each look written
// once and named after itself, so that drawings on one page that share a look share its rule.
class SvgLooks {
 public:
  // ' class="k…"' for the CSS declarations ("fill:#202020;font-size:11px;").
  std::string classOf(const std::string& declarations);
  // The rules of every look named so far, for a <style> element.
  std::string rules() const;

 private:
  std::map<std::string, std::string> names_;
};

// The drawing at width by height pixels: an inline <svg> element with role="img", its title and
// description, scaling to the width it is given by the page. Its looks go into its own <style>,
// or into `shared` for the page to write once, before the drawings, for all of them.
std::string svgOf(const Drawing& drawing, int width, int height, const SvgLabel& label, SvgLooks* shared = nullptr);

// Text for XML or HTML content and attribute values: &, <, >, " and ' escaped, and C0 control
// characters (other than tab and line feed) replaced by U+FFFD.
std::string markupEscaped(std::string_view text);

// "#rrggbb" for a 0xBBGGRR colour.
std::string cssColor(std::uint32_t bgr);

}  // namespace tamrik::ui
