#include "gps/satellites_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <optional>
#include <numbers>
#include <vector>

#include "core/health_text.h"

namespace tamrik::gps {

namespace {

using core::Constellation;
using core::SkySatellite;
using ui::DrawOp;

constexpr std::uint32_t kInk = 0x202020;
constexpr std::uint32_t kMuted = 0x707070;
constexpr std::uint32_t kGrid = 0xD8D8D8;
constexpr std::uint32_t kStaleInk = 0x2020B0;  // dark red
constexpr std::uint32_t kGood = 0x30B030;
constexpr std::uint32_t kBad = 0x3030D8;
constexpr std::uint32_t kUnknown = 0xE4E4E4;
constexpr std::uint32_t kUsedLine = 0xB05010;   // blue
constexpr std::uint32_t kCnoLine = 0x1080E0;    // orange
constexpr std::uint32_t kEventMark = 0x903090;  // purple

// The constellations in the order they are shown.
constexpr Constellation kShown[] = {Constellation::Gps,    Constellation::Galileo, Constellation::Glonass,
                                    Constellation::BeiDou, Constellation::Qzss,    Constellation::Sbas,
                                    Constellation::Other};

int order(Constellation c) {
  for (int i = 0; i < 7; ++i) {
    if (kShown[i] == c) return i;
  }
  return 6;
}

struct Scaled {
  double s;
  int operator()(double v) const { return static_cast<int>(std::lround(v * s)); }
};

using Box = ui::TextExtent;

Box extentOf(int x, int y, int w, int h, const std::string& text, int pixels, DrawOp::Align align, bool bold = false) {
  DrawOp op;
  op.x = x, op.y = y, op.w = w, op.h = h, op.text = text, op.textPixels = pixels, op.align = align, op.bold = bold;
  return ui::textExtent(op);
}

// The first of the texts that fits in width at that size, else the last.
std::string fitting(std::initializer_list<std::string> texts, int width, int pixels, bool bold) {
  for (const std::string& t : texts) {
    if (ui::textWidth(t, pixels, bold) <= width) return t;
  }
  return *(texts.end() - 1);
}

bool boxTouchesCircle(const Box& b, int cx, int cy, int radius) {
  const int nx = std::clamp(cx, b.x, b.x + b.w), ny = std::clamp(cy, b.y, b.y + b.h);
  const long long dx = nx - cx, dy = ny - cy;
  return dx * dx + dy * dy < static_cast<long long>(radius) * radius;
}

void drawSky(ui::Drawing& d, const std::vector<SkySatellite>& sky, bool current, int x, int y, int size, Scaled px) {
  const int labelRoom = px(16);
  const int r = std::max(10, (size - 2 * labelRoom) / 2);
  const int cx = x + size / 2, cy = y + size / 2;
  d.ellipse(cx - r, cy - r, 2 * r, 2 * r, kMuted, true, 0xFAFAFA, std::max(1, px(1)));
  for (const int elevation : {30, 60}) {
    const int rr = r * (90 - elevation) / 90;
    d.ellipse(cx - rr, cy - rr, 2 * rr, 2 * rr, kGrid, false, 0, std::max(1, px(1)));
  }
  d.line(cx - r, cy, cx + r, cy, kGrid, std::max(1, px(1)));
  d.line(cx, cy - r, cx, cy + r, kGrid, std::max(1, px(1)));
  const int t = px(11);
  std::vector<Box> taken;  // the texts placed so far
  auto fixed = [&](int bx, int by, int bw, int bh, const std::string& text, std::uint32_t ink, int pixels, DrawOp::Align align,
                   bool bold) {
    d.text(bx, by, bw, bh, text, ink, pixels, align, bold);
    taken.push_back(ui::textExtent(d.ops.back()));
  };
  fixed(cx - px(10), cy - r - labelRoom, px(20), labelRoom, "N", kInk, t, DrawOp::Align::Center, true);
  fixed(cx - px(10), cy + r, px(20), labelRoom, "S", kInk, t, DrawOp::Align::Center, true);
  fixed(cx + r + px(2), cy - px(8), labelRoom, px(16), "E", kInk, t, DrawOp::Align::Left, true);
  fixed(cx - r - labelRoom, cy - px(8), labelRoom - px(2), px(16), "W", kInk, t, DrawOp::Align::Right, true);

  // Each marker's number sits in the marker; where another marker, or a text, would cover it, it
  // goes beside the marker instead, on a free spot, with a leader line to it.
  const int m = px(11);  // marker radius
  const int numberPixels = px(9);
  struct Marker {
    const SkySatellite* s;
    PlotPoint p;
  };
  std::vector<Marker> markers;
  for (const SkySatellite& s : sky) {
    if (s.positioned()) markers.push_back({&s, skyPoint(s.azimuth, s.elevation, cx, cy, r)});
  }
  auto numberBox = [&](int bx, int by, const std::string& text) {
    return extentOf(bx - m, by - m, 2 * m, 2 * m, text, numberPixels, DrawOp::Align::Center, true);
  };
  auto free = [&](const Box& b, std::size_t self) {
    if (b.x < x || b.y < y || b.x + b.w > x + size || b.y + b.h > y + size) return false;
    for (const Box& o : taken) {
      if (o.overlaps(b)) return false;
    }
    for (std::size_t k = 0; k < markers.size(); ++k) {
      if (k != self && boxTouchesCircle(b, markers[k].p.x, markers[k].p.y, m + px(1))) return false;
    }
    return true;
  };
  struct Label {
    bool inside = true, shown = true;
    int x = 0, y = 0;  // the centre of the number
  };
  std::vector<Label> labels(markers.size());
  // Inside first, for every marker that is not crowded; then the crowded ones, each on the nearest
  // free spot around its marker.
  for (std::size_t i = 0; i < markers.size(); ++i) {
    labels[i] = {true, true, markers[i].p.x, markers[i].p.y};
    const Box b = numberBox(markers[i].p.x, markers[i].p.y, std::to_string(markers[i].s->svid));
    labels[i].inside = free(b, i);
    if (labels[i].inside) taken.push_back(b);
  }
  for (std::size_t i = 0; i < markers.size(); ++i) {
    if (labels[i].inside) continue;
    const std::string number = std::to_string(markers[i].s->svid);
    const int w = ui::textWidth(number, numberPixels, true);
    labels[i].shown = false;
    for (int ring = 0; ring < 4 && !labels[i].shown; ++ring) {
      for (int k = 0; k < 16; ++k) {
        const double a = k * std::numbers::pi / 8;
        const double reach = m + px(3) + ring * px(8);
        const int lx = markers[i].p.x + static_cast<int>(std::lround(std::sin(a) * (reach + w / 2.0)));
        const int ly = markers[i].p.y - static_cast<int>(std::lround(std::cos(a) * (reach + numberPixels / 2.0 + px(1))));
        const Box b = numberBox(lx, ly, number);
        if (!free(b, i)) continue;
        labels[i] = {false, true, lx, ly};
        taken.push_back(b);
        break;
      }
    }
  }
  for (std::size_t i = 0; i < markers.size(); ++i) {
    const SkySatellite& s = *markers[i].s;
    const PlotPoint p = markers[i].p;
    const Label& l = labels[i];
    const std::uint32_t c = current ? constellationColor(s.constellation) : 0xA0A0A0;
    d.ellipse(p.x - m, p.y - m, 2 * m, 2 * m, c, s.used, c, std::max(1, px(2)));
    if (!l.shown) continue;  // no free spot in reach: the marker stands alone
    d.text(l.x - m, l.y - m, 2 * m, 2 * m, std::to_string(s.svid), l.inside && s.used ? 0xFFFFFF : c, numberPixels,
           DrawOp::Align::Center, true);
    if (!l.inside) {
      // From the marker's edge towards the number.
      const double dx = l.x - p.x, dy = l.y - p.y, len = std::max(1.0, std::hypot(dx, dy));
      d.line(p.x + static_cast<int>(std::lround(dx / len * m)), p.y + static_cast<int>(std::lround(dy / len * m)),
             p.x + static_cast<int>(std::lround(dx / len * (len - numberPixels * 0.6))),
             p.y + static_cast<int>(std::lround(dy / len * (len - numberPixels * 0.6))), c, std::max(1, px(1)));
    }
  }
  // The rings' elevations, where no marker or number stands.
  for (const int elevation : {0, 30, 60}) {
    const int rr = r * (90 - elevation) / 90;
    const std::string text = std::to_string(elevation) + "\xC2\xB0";
    const Box b = extentOf(cx + px(3), cy - rr, px(30), px(12), text, px(9), DrawOp::Align::Left);
    if (free(b, markers.size())) d.text(cx + px(3), cy - rr, px(30), px(12), text, kMuted, px(9));
  }
}

// The key to the markers, and below it (or at unplacedX, unplacedY when given) the satellites
// without a position.
void drawLegend(ui::Drawing& d, const std::vector<SkySatellite>& sky, bool current, int x, int y, int w, int bottom,
                Scaled px, std::optional<PlotPoint> unplacedAt = std::nullopt) {
  const int line = px(17);
  const int t = px(11);
  for (const Constellation c : kShown) {
    const std::uint32_t colour = constellationColor(c);
    d.ellipse(x, y + px(3), px(11), px(11), colour, true, colour);
    d.text(x + px(16), y, w - px(16), line, std::string(constellationCaption(c)), kInk, t);
    y += line;
  }
  d.ellipse(x, y + px(3), px(11), px(11), kMuted, true, kMuted);
  d.text(x + px(16), y, w - px(16), line, "used in the fix", kInk, t);
  y += line;
  d.ellipse(x, y + px(3), px(11), px(11), kMuted, false, 0, std::max(1, px(2)));
  d.text(x + px(16), y, w - px(16), line, "not used", kInk, t);
  y += line + px(8);
  if (unplacedAt) x = unplacedAt->x, y = unplacedAt->y;

  std::vector<const SkySatellite*> unplaced;
  for (const SkySatellite& s : sky) {
    if (!s.positioned()) unplaced.push_back(&s);
  }
  const std::string count = std::to_string(unplaced.size());
  d.text(x, y, w, line, fitting({"Without a position: " + count, "No position: " + count}, w, t, true), kInk, t,
         DrawOp::Align::Left, true);
  y += line;
  // Several to a line: "GPS 12", with its C/N0.
  std::string row;
  std::size_t shown = 0;
  for (std::size_t i = 0; i < unplaced.size(); ++i) {
    const SkySatellite& s = *unplaced[i];
    std::string item = std::string(constellationCaption(s.constellation)) + " " + std::to_string(s.svid);
    if (!row.empty() && ui::textWidth(row + ", " + item + ", ...", px(10)) > w) {
      if (y + 2 * line > bottom) break;
      d.text(x, y, w, line, row, current ? kInk : kMuted, px(10));
      y += line;
      row.clear();
    }
    row += (row.empty() ? "" : ", ") + item;
    shown = i + 1;
  }
  if (!row.empty() && shown < unplaced.size()) row += ", ...";
  if (!row.empty()) d.text(x, y, w, line, row, current ? kInk : kMuted, px(10));
}

void drawSignal(ui::Drawing& d, const std::vector<SkySatellite>& sky, bool current, int x, int y, int w, int h,
                Scaled px) {
  const int axis = px(26);
  const int below = px(44);  // satellite numbers and constellation captions, two rows of each
  const int x0 = x + axis, x1 = x + w, y0 = y, y1 = y + h - below;
  if (x1 - x0 < px(40) || y1 - y0 < px(40)) return;
  // A label every 10 dB-Hz, or every 20 or 30 on a chart too low for them all.
  const int labelStep = (y1 - y0) / 6 >= px(12) ? 10 : (y1 - y0) / 3 >= px(12) ? 20 : 30;
  for (int v = 0; v <= 60; v += 10) {
    const int yy = y1 - (y1 - y0) * v / 60;
    d.line(x0, yy, x1, yy, v == 0 ? kMuted : kGrid);
    if (v % labelStep == 0) d.text(x, yy - px(7), axis - px(4), px(14), std::to_string(v), kMuted, px(9), DrawOp::Align::Right);
  }
  std::vector<SkySatellite> sorted(sky.begin(), sky.end());
  std::stable_sort(sorted.begin(), sorted.end(), [](const SkySatellite& a, const SkySatellite& b) {
    return order(a.constellation) != order(b.constellation) ? order(a.constellation) < order(b.constellation)
                                                            : a.svid < b.svid;
  });
  int groups = 0;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i == 0 || sorted[i].constellation != sorted[i - 1].constellation) ++groups;
  }
  const int slots = static_cast<int>(sorted.size()) + std::max(0, groups - 1);
  if (slots == 0) {
    d.text(x0, y0, x1 - x0, y1 - y0, "No satellites", kMuted, px(11), DrawOp::Align::Center);
    return;
  }
  const int pitch = std::max(1, std::min(px(22), (x1 - x0 - px(4)) / slots));
  const int bar = std::max(1, pitch * 3 / 4);
  // The numbers under the bars and the constellations' captions each take the first of two rows
  // where they cover nothing placed before; one that fits in neither is left out (its bar stays).
  const int numberPixels = px(8), numberRow = px(10), captionRow = px(12);
  const int numbersY = y1 + px(1), captionsY = numbersY + 2 * numberRow + px(1);
  int numberEnd[2] = {x - 1000000, x - 1000000}, captionEnd[2] = {x - 1000000, x - 1000000};
  auto place = [&](int (&ends)[2], int bx, int bw, int rowY, int rowH, const std::string& text, std::uint32_t ink,
                   int pixels, bool bold) {
    for (int row = 0; row < 2; ++row) {
      const Box b = extentOf(bx, rowY + row * rowH, bw, rowH, text, pixels, DrawOp::Align::Center, bold);
      if (b.x <= ends[row] || b.x < x || b.x + b.w > x + w) continue;
      d.text(bx, rowY + row * rowH, bw, rowH, text, ink, pixels, DrawOp::Align::Center, bold);
      ends[row] = b.x + b.w + px(2);
      return;
    }
  };
  int slot = 0;
  std::size_t groupStart = 0;
  auto caption = [&](std::size_t from, std::size_t to, int endSlot) {
    const int gx0 = x0 + px(4) + (endSlot - static_cast<int>(to - from)) * pitch;
    place(captionEnd, gx0 - pitch, static_cast<int>(to - from + 2) * pitch - (pitch - bar), captionsY, captionRow,
          std::string(constellationCaption(sorted[from].constellation)), kInk, px(10), true);
  };
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    if (i > 0 && sorted[i].constellation != sorted[i - 1].constellation) {
      caption(groupStart, i, slot);
      ++slot;
      groupStart = i;
    }
    const SkySatellite& s = sorted[i];
    const std::uint32_t c = current ? constellationColor(s.constellation) : 0xA0A0A0;
    const int bx = x0 + px(4) + slot * pitch;
    const int height = std::max(1, (y1 - y0) * std::min(s.cno, 60) / 60);
    if (s.used) {
      d.rect(bx, y1 - height, bar, height, c);
    } else {
      d.frame(bx, y1 - height, bar, height, c);
      d.ops.back().penWidth = std::max(1, px(1));
    }
    place(numberEnd, bx - px(8), bar + px(16), numbersY, numberRow, std::to_string(s.svid), kMuted, numberPixels, false);
    ++slot;
  }
  caption(groupStart, sorted.size(), slot);
}

// The history's x for the second `ago` seconds before its latest.
int historyX(int x0, int x1, int ago) { return x1 - static_cast<int>(static_cast<long long>(x1 - x0) * ago / (core::SkyHistory::kSeconds - 1)); }

void drawHistory(ui::Drawing& d, const core::SkyHistory& history, core::UtcTime now, int x, int y, int w, int h,
                 Scaled px) {
  const int axis = px(30);
  const int band = px(14);
  const int timeAxis = px(16);
  const int x0 = x + axis, x1 = x + w - axis;
  const int captionRow = px(13);
  const int y0 = y + 2 * captionRow + px(3);  // the events' captions above the plot, on two rows
  const int y1 = y + h - timeAxis - 2 * band - px(6);
  if (x1 - x0 < px(60) || y1 - y0 < px(30)) return;

  // The used count's scale runs to a multiple of four, at least 12.
  int maxUsed = 12;
  for (int i = 0; i < history.count(); ++i) maxUsed = std::max<int>(maxUsed, history.at(i).used);
  maxUsed = (maxUsed + 3) / 4 * 4;
  const int labelStep = (y1 - y0) / 4 >= px(12) ? 1 : (y1 - y0) / 2 >= px(12) ? 2 : 4;  // as room allows
  for (int k = 0; k <= 4; ++k) {
    const int yy = y1 - (y1 - y0) * k / 4;
    d.line(x0, yy, x1, yy, k == 0 ? kMuted : kGrid);
    if (k % labelStep != 0) continue;
    d.text(x, yy - px(7), axis - px(4), px(14), std::to_string(maxUsed * k / 4), kUsedLine, px(9), DrawOp::Align::Right);
    d.text(x1 + px(4), yy - px(7), axis - px(4), px(14), std::to_string(60 * k / 4), kCnoLine, px(9));
  }
  const int bandY = y1 + px(4);
  d.text(x, bandY, axis - px(4), band, "GPS", kInk, px(9), DrawOp::Align::Right);
  d.text(x, bandY + band, axis - px(4), band, "PLL", kInk, px(9), DrawOp::Align::Right);
  d.rect(x0, bandY, x1 - x0, 2 * band - px(1), kUnknown);
  const int timeY = bandY + 2 * band + px(2);
  for (int minutes = 60; minutes >= 0; minutes -= 10) {
    const int xx = historyX(x0, x1, minutes * 60);
    d.line(xx, y0, xx, y1, kGrid);
    d.text(xx - px(30), timeY, px(60), timeAxis, minutes == 0 ? "now" : "-" + std::to_string(minutes) + " min", kMuted,
           px(9), DrawOp::Align::Center);
  }
  if (history.count() == 0) return;

  // One value a pixel column: the latest known second that falls in it.
  const int columns = x1 - x0 + 1;
  struct Column {
    int used = -1;
    double cno = -1;
    int gps = -1, pll = -1;
  };
  std::vector<Column> col(static_cast<std::size_t>(columns));
  for (int i = 0; i < history.count(); ++i) {
    const core::SkySample& s = history.at(i);
    const int c = historyX(x0, x1, history.count() - 1 - i) - x0;
    if (c < 0 || c >= columns) continue;
    Column& k = col[static_cast<std::size_t>(c)];
    if (s.used >= 0) k.used = s.used;
    if (s.meanCno >= 0) k.cno = s.meanCno;
    if (s.gpsSignal >= 0) k.gps = s.gpsSignal;
    if (s.pllLock >= 0) k.pll = s.pllLock;
  }
  // The bands: a rectangle for each run of one state.
  auto bandRuns = [&](int Column::*state, int top) {
    int start = 0;
    for (int c = 1; c <= columns; ++c) {
      if (c < columns && col[static_cast<std::size_t>(c)].*state == col[static_cast<std::size_t>(start)].*state) continue;
      const int v = col[static_cast<std::size_t>(start)].*state;
      if (v >= 0) d.rect(x0 + start, top, c - start, band - px(1), v ? kGood : kBad);
      start = c;
    }
  };
  bandRuns(&Column::gps, bandY);
  bandRuns(&Column::pll, bandY + band);
  // The lines, broken where a value is unknown. Columns without a second of their own (a window
  // wider than an hour of seconds) carry on their neighbour's line.
  auto series = [&](auto value, double top, std::uint32_t colour) {
    int lastX = -1, lastY = 0;
    for (int c = 0; c < columns; ++c) {
      const double v = value(col[static_cast<std::size_t>(c)]);
      if (v < 0) {
        if (lastX >= 0 && c - lastX > 1) lastX = -1;
        continue;
      }
      const int yy = y1 - static_cast<int>(std::lround((y1 - y0) * std::min(v, top) / top));
      if (lastX >= 0) d.line(x0 + lastX, lastY, x0 + c, yy, colour, std::max(1, px(2)));
      else d.line(x0 + c, yy, x0 + c, yy, colour, std::max(1, px(2)));
      lastX = c, lastY = yy;
    }
  };
  series([](const Column& k) { return static_cast<double>(k.used); }, maxUsed, kUsedLine);
  series([](const Column& k) { return k.cno; }, 60.0, kCnoLine);

  // The health record's events, each a mark with its caption and time. A caption stands right of
  // its mark (left of it near the right end), within the plot, on the first of two rows where it
  // covers no other; one that fits on neither is left out (the mark stays).
  const auto latest = history.latest();
  int rowEnd[2] = {x0 - 1, x0 - 1};
  for (const core::SkyEvent& e : history.events()) {
    const auto ago = (latest - std::chrono::floor<std::chrono::seconds>(e.at)).count();
    const int xx = historyX(x0, x1, static_cast<int>(ago));
    d.line(xx, y0 - px(2), xx, bandY + 2 * band, kEventMark, std::max(1, px(1)));
    const std::string caption = std::string(eventCaption(e.kind)) + " " + core::utcTimeText(e.at, now);
    const int width = ui::textWidth(caption, px(9));
    const int left = std::max(x0, xx + px(2) + width > x1 ? xx - px(2) - width : xx + px(2));
    if (left + width > x1) continue;
    for (int row = 0; row < 2; ++row) {
      if (left <= rowEnd[row]) continue;
      d.text(left, y + row * captionRow, width, captionRow, caption, kEventMark, px(9));
      rowEnd[row] = left + width + px(4);
      break;
    }
  }
}

}  // namespace

std::string_view eventCaption(core::HealthEventKind kind) {
  using K = core::HealthEventKind;
  switch (kind) {
    case K::State: return "watch began";
    case K::Connected: return "unit back";
    case K::Disconnected: return "unit away";
    case K::ReportsStopped: return "reports stopped";
    case K::ReportsResumed: return "reports resumed";
    case K::GpsSignalLost: return "GPS signal lost";
    case K::GpsSignalRegained: return "GPS signal back";
    case K::GpsSignalLossesCounted: return "GPS signal losses counted";
    case K::PllLockLost: return "PLL lock lost";
    case K::PllLockRegained: return "PLL locked";
    case K::FixLost: return "fix lost";
    case K::FixRegained: return "fix back";
  }
  return "event";
}

PlotPoint skyPoint(int azimuth, int elevation, int cx, int cy, int r) {
  const double distance = r * (90.0 - std::clamp(elevation, 0, 90)) / 90.0;
  const double a = azimuth * std::numbers::pi / 180.0;
  return {cx + static_cast<int>(std::lround(distance * std::sin(a))), cy - static_cast<int>(std::lround(distance * std::cos(a)))};
}

std::string_view constellationCaption(Constellation c) {
  switch (c) {
    case Constellation::Gps: return "GPS";
    case Constellation::Sbas: return "SBAS";
    case Constellation::Galileo: return "Galileo";
    case Constellation::BeiDou: return "BeiDou";
    case Constellation::Qzss: return "QZSS";
    case Constellation::Glonass: return "GLONASS";
    case Constellation::Imes:
    case Constellation::Other: return "other";
  }
  return "other";
}

std::uint32_t constellationColor(Constellation c) {
  switch (c) {
    case Constellation::Gps: return 0x00A000;      // green
    case Constellation::Galileo: return 0xC06000;  // blue
    case Constellation::Glonass: return 0x2020D0;  // red
    case Constellation::BeiDou: return 0x0090E0;   // orange
    case Constellation::Qzss: return 0xA040A0;     // purple
    case Constellation::Sbas: return 0x909000;     // teal
    case Constellation::Imes:
    case Constellation::Other: return 0x606060;  // grey
  }
  return 0x606060;
}

ui::Drawing drawSatellites(const core::SkyRecord& record, core::UtcTime now, int width, int height, double scale) {
  ui::Drawing d;
  const Scaled px{scale > 0 ? scale : 1.0};
  const int pad = px(10);
  const int title = px(22);
  const bool current = record.skyCurrent(now);
  const std::vector<SkySatellite>& sky = record.sky();
  // A narrow window (a phone's) stacks the sky, its key, the signal and the hour.
  const bool narrow = width < px(600) && height > width;
  const int legendW = narrow ? (width - 3 * pad) / 2 : px(170);
  const int keyH = 9 * px(17);  // the key's rows

  // The top holds the key and a line of the satellites without a position, however low the window.
  const int wideTopH = std::max({px(120), height * 55 / 100, pad + title + px(4) + keyH + px(8) + 2 * px(17)});
  const int skySize = narrow ? std::max(px(100), std::min(width - 2 * pad, height * 38 / 100))
                             : std::max(px(100), std::min(wideTopH - title - pad, width * 38 / 100));
  const int topH = narrow ? pad + title + skySize + px(4) + keyH : wideTopH;
  std::string heading = "Sky";
  std::uint32_t headingInk = kInk;
  if (!record.skyReceived()) {
    heading = "Sky: no satellites received yet";
    headingInk = kStaleInk;
  } else if (!current) {
    heading = "Sky: not current, as last received";
    headingInk = kStaleInk;
  } else {
    int used = 0;
    for (const SkySatellite& s : sky) used += s.used ? 1 : 0;
    heading = "Sky: " + std::to_string(sky.size()) + " satellites, " + std::to_string(used) + " used";
  }
  d.text(pad, pad, narrow ? width - 2 * pad : skySize + legendW, title, heading, headingInk, px(13), DrawOp::Align::Left, true);
  drawSky(d, sky, current, pad, pad + title, skySize, px);
  const int legendX = pad + skySize + pad;
  if (narrow) {
    const int keyY = pad + title + skySize + px(4);
    drawLegend(d, sky, current, pad, keyY, legendW, topH, px, PlotPoint{2 * pad + legendW, keyY});
  } else {
    drawLegend(d, sky, current, legendX, pad + title + px(4), legendW, topH, px);
  }

  // The signal: beside the legend, or below the sky in a narrow window.
  const int signalX = narrow ? pad : legendX + legendW + pad;
  const int signalY = narrow ? topH + pad : pad;
  const int signalH = narrow ? std::max(px(60), (height - signalY) * 36 / 100) : topH;
  const int signalW = width - signalX - pad;
  d.text(signalX, signalY, signalW, title,
         fitting({"Signal by constellation (C/N0, dB-Hz)", "Signal (C/N0, dB-Hz)", "C/N0, dB-Hz", "C/N0"}, signalW, px(13), true),
         kInk, px(13), DrawOp::Align::Left, true);
  drawSignal(d, sky, current, signalX, signalY + title + px(4), signalW, signalH - title - px(4), px);

  const int historyY = narrow ? signalY + signalH + pad : topH + pad;
  d.line(pad, historyY - pad / 2, width - pad, historyY - pad / 2, kGrid);
  const core::SkyHistory& history = record.history();
  std::string hourTitle = "The last hour";
  if (history.count() > 0) hourTitle += " (to " + core::utcTimeText(history.latest(), now) + ")";
  // The title and the two lines' keys on one row where they fit, else a row each.
  const std::string usedKey = "satellites used (left)", cnoKey = "mean C/N0 of the used, dB-Hz (right)";
  const int titleW = ui::textWidth(hourTitle, px(13), true), usedW = ui::textWidth(usedKey, px(10)),
            cnoW = ui::textWidth(cnoKey, px(10));
  int rowY = historyY;
  if (std::max(titleW + px(8), width / 2 - pad) + usedW + px(8) + cnoW <= width - 2 * pad) {
    d.text(pad, rowY, width / 2, title, hourTitle, kInk, px(13), DrawOp::Align::Left, true);
    d.text(width / 2, rowY, width / 2 - pad, title, usedKey, kUsedLine, px(10), DrawOp::Align::Left);
    d.text(width / 2, rowY, width / 2 - pad, title, cnoKey, kCnoLine, px(10), DrawOp::Align::Right);
    rowY += title;
  } else {
    const int keyRow = px(14);
    d.text(pad, rowY, width - 2 * pad, title, hourTitle, kInk, px(13), DrawOp::Align::Left, true);
    rowY += title;
    if (usedW + px(8) + cnoW <= width - 2 * pad) {
      d.text(pad, rowY, width - 2 * pad, keyRow, usedKey, kUsedLine, px(10), DrawOp::Align::Left);
      d.text(pad, rowY, width - 2 * pad, keyRow, cnoKey, kCnoLine, px(10), DrawOp::Align::Right);
      rowY += keyRow;
    } else {
      d.text(pad, rowY, width - 2 * pad, keyRow, usedKey, kUsedLine, px(10), DrawOp::Align::Left);
      d.text(pad, rowY + keyRow, width - 2 * pad, keyRow, cnoKey, kCnoLine, px(10), DrawOp::Align::Left);
      rowY += 2 * keyRow;
    }
  }
  drawHistory(d, history, now, pad, rowY, width - 2 * pad, height - rowY - pad, px);
  return d;
}

}  // namespace tamrik::gps
