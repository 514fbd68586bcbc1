// The Satellites picture's texts never cover each other: on every real capture and on made-up skies
// with satellites close together, many bars and a busy hour, at the window's size, a phone's and
// twice the window's. A number that cannot be placed may be left out, but not most of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "core/ubx.h"
#include "gps/satellites_view.h"
#include "platform/sim/simulation_options.h"
#include "platform/sim/ubx_frame.h"
#include "tests/support/captures.h"

namespace tamrik::gps {
namespace {

using namespace std::chrono_literals;

const core::UtcTime kStart = std::chrono::sys_days(std::chrono::year(2025) / 3 / 7) + 21h;

struct Size {
  int w, h;
  double scale;
};
constexpr Size kSizes[] = {{kSatellitesWidth, kSatellitesHeight, 1.0}, {390, 844, 1.0}, {360, 640, 1.0},
                           {kSatellitesWidth / 2, kSatellitesHeight / 2, 1.0},  // the smallest the window gets
                           {2 * kSatellitesWidth, 2 * kSatellitesHeight, 2.0}};

// Every pair of texts whose letters would cover each other, and every text that runs off the picture.
std::string collisions(const ui::Drawing& d, const Size& size) {
  std::ostringstream out;
  std::vector<const ui::DrawOp*> texts;
  for (const ui::DrawOp& op : d.ops) {
    if (op.kind == ui::DrawOp::Kind::Text) texts.push_back(&op);
  }
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const ui::TextExtent a = ui::textExtent(*texts[i]);
    if (a.x < 0 || a.y < 0 || a.x + a.w > size.w || a.y + a.h > size.h) out << "'" << texts[i]->text << "' off the picture; ";
    for (std::size_t j = i + 1; j < texts.size(); ++j) {
      if (a.overlaps(ui::textExtent(*texts[j]))) out << "'" << texts[i]->text << "' covers '" << texts[j]->text << "'; ";
    }
  }
  return out.str();
}

// The sky plot's numbers: bold, in the satellites' marker size.
std::multiset<std::string> skyNumbers(const ui::Drawing& d, double scale) {
  std::multiset<std::string> numbers;
  for (const ui::DrawOp& op : d.ops) {
    if (op.kind == ui::DrawOp::Kind::Text && op.bold && op.textPixels == static_cast<int>(9 * scale) &&
        op.text.find_first_not_of("0123456789") == std::string::npos) {
      numbers.insert(op.text);
    }
  }
  return numbers;
}

void expectTidy(const core::SkyRecord& record, core::UtcTime now, const std::string& what) {
  for (const Size& size : kSizes) {
    SCOPED_TRACE(what + " at " + std::to_string(size.w) + "x" + std::to_string(size.h));
    const ui::Drawing d = drawSatellites(record, now, size.w, size.h, size.scale);
    EXPECT_EQ(collisions(d, size), "");
  }
}

core::HealthEvent event(core::HealthEventKind kind, core::UtcTime at) {
  core::HealthEvent e;
  e.kind = kind;
  e.at = at;
  return e;
}

core::NavSvInfo svInfo(const std::vector<std::uint8_t>& payload) { return *core::NavSvInfo::read(payload); }

// Every NAV-SVINFO of every capture, its sky and the hour so far, at each size; and at the window's
// size every satellite with a position has its number on the plot.
TEST(SatellitesLayout, NoTextCoversAnotherOnAnyCapture) {
  std::vector<std::filesystem::path> captures;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(tamrik::testing::captureFolder(), error)) {
    if (entry.path().extension() == ".ubx") captures.push_back(entry.path());
  }
  TAMRIK_REQUIRE_CAPTURE(!captures.empty(), "*.ubx");
  int skies = 0;
  for (const auto& path : captures) {
    const auto bytes = sim::readCaptureFile(path.string());
    ASSERT_TRUE(bytes) << path;
    core::MessageAssembler a;
    core::SkyRecord record;
    core::UtcTime now = kStart;
    for (const std::uint8_t b : *bytes) {
      if (!core::parseReceiverByte(a, b) || a.messageClass != core::kClassNav || a.messageId != core::kIdNavSvInfo) continue;
      const auto info = core::NavSvInfo::read(a.message());
      if (!info) continue;
      now += 1s;
      record.navSvInfo(*info, now);
      record.inputStatus({0, true, skies % 7 != 0}, now);
      if (skies % 5 == 0) record.event(event(core::HealthEventKind::GpsSignalLost, now));
      record.sample(now);
      ++skies;
      expectTidy(record, now, path.filename().string() + " sky " + std::to_string(skies));
      std::multiset<std::string> placed;
      for (const core::SkySatellite& s : record.sky()) {
        if (s.positioned()) placed.insert(std::to_string(s.svid));
      }
      EXPECT_EQ(skyNumbers(drawSatellites(record, now, kSatellitesWidth, kSatellitesHeight, 1.0), 1.0), placed)
          << path.filename() << " sky " << skies;
    }
  }
  EXPECT_GT(skies, 100);
}

// Made-up skies: a cluster of satellites a degree or two apart (the numbers go beside their markers,
// each still shown), sixty satellites in every constellation (the bars' numbers take two rows and
// a third at least are shown), and an hour with an event every few seconds.
TEST(SatellitesLayout, CrowdedSkiesManyBarsAndABusyHourStayLegible) {
  sim::ubx::NavSvInfo cluster;
  // chn, svid, flags, quality, cno, elev, azim
  cluster.channels = {{0, 12, 0x01, 7, 40, 45, 100}, {1, 24, 0x01, 7, 41, 46, 101}, {2, 26, 0x00, 7, 30, 44, 102},
                      {3, 120, 0x00, 7, 35, 45, 98},  {4, 5, 0x01, 7, 38, 47, 100},  {5, 211, 0x01, 7, 33, 43, 101},
                      {6, 2, 0x01, 7, 44, 89, 0},     {7, 3, 0x01, 7, 42, 88, 180},  {8, 7, 0x00, 7, 20, 1, 0},
                      {9, 8, 0x00, 7, 20, 2, 3},      {10, 9, 0x00, 7, 20, 29, 12}};
  core::SkyRecord crowded;
  crowded.navSvInfo(svInfo(sim::ubx::navSvInfoPayload(cluster)), kStart);
  expectTidy(crowded, kStart, "a cluster");
  std::multiset<std::string> all;
  for (const auto& c : cluster.channels) all.insert(std::to_string(c.svid));
  EXPECT_EQ(skyNumbers(drawSatellites(crowded, kStart, kSatellitesWidth, kSatellitesHeight, 1.0), 1.0), all);

  // Sixty: GPS, SBAS, Galileo, GLONASS, BeiDou and QZSS numbers, spread over the sky.
  sim::ubx::NavSvInfo many;
  for (std::uint8_t chn = 0; chn < 60; ++chn) {
    const std::uint8_t svids[] = {1, 120, 211, 65, 159, 193};
    const auto svid = static_cast<std::uint8_t>(svids[chn % 6] + chn / 6);
    many.channels.push_back({chn, svid, static_cast<std::uint8_t>(chn % 3 ? 1 : 0), 7, static_cast<std::uint8_t>(20 + chn % 30),
                             static_cast<std::int8_t>(5 + (chn * 7) % 80), static_cast<std::int16_t>((chn * 37) % 360)});
  }
  core::SkyRecord busy;
  core::UtcTime now = kStart;
  for (int second = 0; second < 3600; ++second) {
    now = kStart + std::chrono::seconds(second);
    if (second % 20 == 0) busy.navSvInfo(svInfo(sim::ubx::navSvInfoPayload(many)), now);
    busy.inputStatus({0, second % 90 > 5, true}, now);
    if (second % 90 == 0) busy.event(event(core::HealthEventKind::GpsSignalLost, now));
    if (second % 90 == 6) busy.event(event(core::HealthEventKind::GpsSignalRegained, now));
    busy.sample(now);
  }
  expectTidy(busy, now, "sixty satellites and a busy hour");
  const ui::Drawing d = drawSatellites(busy, now, kSatellitesWidth, kSatellitesHeight, 1.0);
  const auto barNumbers = std::count_if(d.ops.begin(), d.ops.end(), [](const ui::DrawOp& op) {
    return op.kind == ui::DrawOp::Kind::Text && !op.bold && op.textPixels == 8 &&
           op.text.find_first_not_of("0123456789") == std::string::npos;
  });
  EXPECT_GE(barNumbers, 20);  // three-digit numbers, four bars to a number's width: a third at least
  const auto captions = std::count_if(d.ops.begin(), d.ops.end(), [](const ui::DrawOp& op) {
    return op.kind == ui::DrawOp::Kind::Text && op.text.starts_with("GPS signal");
  });
  EXPECT_GE(captions, 4);  // some events keep their captions, on both rows
}

}  // namespace
}  // namespace tamrik::gps
