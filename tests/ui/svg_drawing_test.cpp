// A drawing as SVG: each kind of op in the toolkits' colours (the ops' 0xBBGGRR as #rrggbb), pens,
// fills and alignments, a chain of line segments as one polyline, and texts that stay text: no
// string in a drawing, however it is made, becomes markup.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>

#include "ui/svg_drawing.h"

namespace tamrik::ui {
namespace {

std::size_t count(const std::string& s, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
  return n;
}

// The SVG with each element's classes written out as the style declarations of their rules, and
// the rules gone: what the browser applies to each element, to compare.
std::string withLooksInline(const std::string& svg) {
  std::map<std::string, std::string> rules;
  const std::regex rule(R"re(svg\.drawing \.(k[0-9a-f]{8})\{([^}]*)\})re");
  for (std::sregex_iterator it(svg.begin(), svg.end(), rule), end; it != end; ++it) rules[(*it)[1]] = (*it)[2];
  std::string out = std::regex_replace(svg, rule, "");
  const std::regex use(R"re( class="(k[0-9a-f]{8})")re");
  std::string result;
  auto last = out.cbegin();
  for (std::sregex_iterator it(out.begin(), out.end(), use), end; it != end; ++it) {
    result.append(last, (*it)[0].first);
    const auto found = rules.find((*it)[1]);
    result += " style=\"" + (found == rules.end() ? std::string("?") : found->second) + "\"";
    last = (*it)[0].second;
  }
  result.append(last, out.cend());
  return result;
}

TEST(SvgDrawing, EveryKindOfOpIsDrawnAsTheToolkitsPaintIt) {
  Drawing d;
  d.background = 0xF0E0D0;
  d.line(0, 0, 10, 10, 0x0000FF, 2);  // red, on its own
  d.line(20, 5, 30, 5, 0x00FF00);     // green: a chain whose level middle point goes, then a line apart
  d.line(30, 5, 40, 5, 0x00FF00);
  d.line(40, 5, 50, 8, 0x00FF00);
  d.line(60, 0, 60, 9, 0x00FF00);
  d.line(60, 9, 70, 9, 0xFF0000);     // blue: starts at the green's end, but in its own colour
  d.line(80, 1, 80, 1, 0xFF0000);     // a dot: a line of no length
  d.rect(5, 6, 20, 10, 0x102030);
  d.frame(1, 2, 30, 40, 0x000000);
  d.ops.back().penWidth = 2;
  d.ellipse(10, 20, 22, 22, 0x00A000, false, 0, 2);
  d.ellipse(50, 20, 22, 22, 0x00A000, true, 0x00A000, 2);
  d.text(100, 10, 40, 20, "left", 0x707070, 9);
  d.text(100, 30, 40, 20, "middle", 0x707070, 11, DrawOp::Align::Center, true);
  d.text(100, 50, 40, 20, "below", 0x707070, 11, DrawOp::Align::Center, true);
  d.text(100, 50, 40, 20, "right", 0x707070, 13, DrawOp::Align::Right);
  const std::string compact = svgOf(d, 200, 100, {"Sky of Q1", "A sky", "wide"});
  const std::string svg = withLooksInline(compact);
  // A look is written once: the two green ellipses' outline and fill differ, the texts' share.
  EXPECT_EQ(count(compact, "{fill:#707070;font-size:11px;font-weight:bold;text-anchor:middle;}"), 1u);

  EXPECT_TRUE(svg.starts_with("<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" viewBox=\"0 0 200 100\""));
  EXPECT_NE(svg.find("class=\"drawing wide\""), std::string::npos);
  EXPECT_NE(svg.find("<title>Sky of Q1</title><desc>A sky</desc>"), std::string::npos);
  EXPECT_NE(svg.find("<rect width=\"200\" height=\"100\" style=\"fill:#d0e0f0;\"/>"), std::string::npos);
  EXPECT_NE(svg.find("<path d=\"M0,0 10,10\" style=\"fill:none;stroke:#ff0000;stroke-width:2px;\"/>"), std::string::npos);
  EXPECT_NE(svg.find("<path d=\"M20,5 40,5 50,8M60,0 60,9\" style=\"fill:none;stroke:#00ff00;\"/>"), std::string::npos);
  EXPECT_NE(svg.find("<path d=\"M60,9 70,9M80,1 80,1\" style=\"fill:none;stroke:#0000ff;\"/>"), std::string::npos);
  // A filled rectangle without outline; an outline kept inside its box as the toolkits keep it.
  EXPECT_NE(svg.find("<rect x=\"5\" y=\"6\" width=\"20\" height=\"10\" style=\"fill:#302010;\"/>"), std::string::npos);
  EXPECT_NE(svg.find("<rect x=\"2\" y=\"3\" width=\"28\" height=\"38\" style=\"fill:none;stroke:#000000;stroke-width:2px;\"/>"),
            std::string::npos);
  EXPECT_NE(svg.find("<ellipse cx=\"21\" cy=\"31\" rx=\"10\" ry=\"10\" style=\"fill:none;stroke:#00a000;stroke-width:2px;\"/>"),
            std::string::npos);
  EXPECT_NE(svg.find("<ellipse cx=\"61\" cy=\"31\" rx=\"10\" ry=\"10\" style=\"fill:#00a000;stroke:#00a000;stroke-width:2px;\""), std::string::npos);
  // Texts on their box's middle line, anchored as aligned, at their size and weight; two alike in a
  // row share a group.
  EXPECT_NE(svg.find("text{dominant-baseline:central}"), std::string::npos);
  EXPECT_NE(svg.find("<text x=\"100\" y=\"20\" style=\"fill:#707070;font-size:9px;\">left</text>"), std::string::npos);
  EXPECT_NE(svg.find("<g style=\"fill:#707070;font-size:11px;font-weight:bold;text-anchor:middle;\"><text x=\"120\" "
                     "y=\"40\">middle</text><text x=\"120\" y=\"60\">below</text></g>"),
            std::string::npos);
  EXPECT_NE(svg.find("<text x=\"140\" y=\"60\" style=\"fill:#707070;font-size:13px;text-anchor:end;\">right</text>"),
            std::string::npos);
  EXPECT_TRUE(svg.ends_with("</svg>"));
}

TEST(SvgDrawing, NoTextOrLabelBecomesMarkup) {
  Drawing d;
  const std::string hostile = "</text><script>alert('x')</script>\"><img src=x onerror=1>&amp;\x01";
  d.text(0, 0, 10, 10, hostile, 0, 9);
  const std::string svg = svgOf(d, 10, 10, {hostile, hostile, "a\" onload=\"x"});
  EXPECT_EQ(svg.find("<script"), std::string::npos);
  EXPECT_EQ(svg.find("<img"), std::string::npos);
  EXPECT_EQ(svg.find("\" onload"), std::string::npos);
  EXPECT_EQ(svg.find('\x01'), std::string::npos);
  EXPECT_EQ(count(svg, "&lt;/text&gt;&lt;script&gt;alert(&#39;x&#39;)&lt;/script&gt;&quot;&gt;&lt;img src=x onerror=1&gt;"
                       "&amp;amp;\xEF\xBF\xBD"),
            3u);
  // One element of each: the text, the title, the description; nothing opened by the strings.
  EXPECT_EQ(count(svg, "<text"), 1u);
  EXPECT_EQ(count(svg, "<"), count(svg, ">"));
}

}  // namespace
}  // namespace tamrik::ui
