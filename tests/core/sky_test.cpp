// The sky of a NAV-SVINFO, and the last hour the record keeps of it: exactly one hour, seconds
// nobody sampled left unknown, and nothing stale recorded as present.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/sky.h"
#include "platform/sim/ubx_frame.h"

namespace tamrik::core {
namespace {

using namespace std::chrono_literals;

const UtcTime kStart = std::chrono::sys_days(std::chrono::year(2025) / 3 / 7) + 21h;

TEST(Sky, EachBlockKeepsItsPlaceConstellationAndUse) {
  sim::ubx::NavSvInfo m;
  // chn, svid, flags, quality, cno, elev, azim
  m.channels = {{0, 5, 0x01, 7, 44, 45, 270},  {1, 133, 0x00, 7, 30, 30, 200}, {2, 211, 0x01, 7, 40, 60, 10},
                {3, 33, 0x01, 7, 38, 12, 359},  {4, 160, 0x00, 4, 20, 5, 90},  {5, 193, 0x00, 4, 25, 80, 180},
                {6, 65, 0x01, 7, 36, 20, 45},   {255, 255, 0x00, 1, 0, 15, 0}, {7, 175, 0x00, 0, 0, 0, 0},
                {8, 100, 0x00, 0, 12, -91, 0},  {9, 7, 0x01, 7, 30, -5, 120}};
  const auto payload = sim::ubx::navSvInfoPayload(m);
  const auto info = NavSvInfo::read(payload);
  ASSERT_TRUE(info);
  const std::vector<SkySatellite> sky = skyOf(*info);
  ASSERT_EQ(sky.size(), m.channels.size());

  const Constellation expected[] = {Constellation::Gps,    Constellation::Sbas,  Constellation::Galileo,
                                    Constellation::BeiDou, Constellation::BeiDou, Constellation::Qzss,
                                    Constellation::Glonass, Constellation::Glonass, Constellation::Other,
                                    Constellation::Other,  Constellation::Gps};
  for (std::size_t i = 0; i < sky.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sky[i].svid, m.channels[i].svid);
    EXPECT_EQ(sky[i].constellation, expected[i]);
    EXPECT_EQ(sky[i].azimuth, m.channels[i].azim);
    EXPECT_EQ(sky[i].elevation, m.channels[i].elev);
    EXPECT_EQ(sky[i].cno, m.channels[i].cno);
    EXPECT_EQ(sky[i].used, (m.channels[i].flags & 1) != 0);
  }
  // On the horizon, below it and "unknown" have no place; a satellite without a channel has one.
  EXPECT_TRUE(sky[7].positioned());
  EXPECT_FALSE(sky[8].positioned());
  EXPECT_FALSE(sky[9].positioned());
  EXPECT_FALSE(sky[10].positioned());
  // Used: 44, 40, 38, 36 and 30 (the used one below the horizon counts, as the fix uses it).
  EXPECT_DOUBLE_EQ(*meanUsedCno(sky), 188.0 / 5);
  EXPECT_FALSE(meanUsedCno({sky[1], sky[4]}));
}

// Older receivers report an idle channel as satellite 0: no satellite, wherever it stands in the
// message, so that a sky of 14 satellites on 16 channels is 14 satellites.
TEST(Sky, IdleChannelsAreNoSatellites) {
  sim::ubx::NavSvInfo m;
  for (int i = 0; i < 16; ++i) {
    const bool idle = i == 3 || i == 15;
    const int svid = idle ? 0 : (i < 8 ? i + 1 : 65 + i);  // GPS, then GLONASS
    m.channels.push_back({static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(svid),
                          static_cast<std::uint8_t>(idle || i > 10 ? 0x00 : 0x01), static_cast<std::uint8_t>(idle ? 0 : 7),
                          static_cast<std::uint8_t>(idle || i > 12 ? 0 : 35), static_cast<std::int8_t>(idle ? 0 : 30),
                          static_cast<std::int16_t>(idle ? 0 : 20 * i)});
  }
  const auto payload = sim::ubx::navSvInfoPayload(m);
  const auto info = NavSvInfo::read(payload);
  ASSERT_TRUE(info);
  ASSERT_EQ(info->channels(), 16);
  const std::vector<SkySatellite> sky = skyOf(*info);
  ASSERT_EQ(sky.size(), 14u);
  EXPECT_TRUE(std::none_of(sky.begin(), sky.end(), [](const SkySatellite& s) { return s.svid == 0; }));
  EXPECT_EQ(sky[3].svid, 5);
  EXPECT_EQ(sky.back().svid, 65 + 14);
  SkyRecord record;
  record.navSvInfo(*info, kStart);
  EXPECT_EQ(record.sky().size(), 14u);
  EXPECT_EQ(record.present(kStart).used, 10);
}

TEST(Sky, ConstellationRangesEndWhereNavSvInfosNumberingEndsThem) {
  using C = Constellation;
  const std::pair<int, C> edges[] = {
      {0, C::Other},     {1, C::Gps},        {32, C::Gps},       {33, C::BeiDou},  {64, C::BeiDou},
      {65, C::Glonass},  {96, C::Glonass},   {97, C::Other},     {119, C::Other},  {120, C::Sbas},
      {158, C::Sbas},    {159, C::BeiDou},   {163, C::BeiDou},   {164, C::Other},  {173, C::Other},
      {182, C::Other},   {192, C::Other},    {193, C::Qzss},     {197, C::Qzss},   {210, C::Other},
      {211, C::Galileo}, {246, C::Galileo},  {247, C::Other},    {254, C::Other},  {255, C::Glonass}};
  for (const auto& [svid, constellation] : edges) {
    EXPECT_EQ(skyConstellation(static_cast<std::uint8_t>(svid)), constellation) << svid;
  }
}

TEST(SkyHistory, KeepsExactlyOneHourAndLeavesUnsampledSecondsUnknown) {
  SkyHistory h;
  EXPECT_EQ(h.count(), 0);
  auto sampleFor = [](int second) { return SkySample{static_cast<std::int16_t>(second % 13), 30.5f, 1, second % 2 == 0}; };
  // An hour and ten minutes, sampled twenty times a second: one sample a second stays, the last.
  for (int s = 0; s < 4200; ++s) {
    for (int k = 0; k < 20; ++k) h.record(kStart + std::chrono::seconds(s) + k * 50ms, sampleFor(k == 19 ? s : 99));
    if (s == 1800) h.event({kStart + 1800s, HealthEventKind::PllLockLost});
    if (s == 500) h.event({kStart + 500s, HealthEventKind::GpsSignalLost});
  }
  ASSERT_EQ(h.count(), SkyHistory::kSeconds);
  EXPECT_EQ(h.latest(), std::chrono::floor<std::chrono::seconds>(kStart + 4199s));
  for (int i = 0; i < h.count(); ++i) {
    const SkySample want = sampleFor(4200 - 3600 + i);
    ASSERT_EQ(h.at(i).used, want.used) << i;
    ASSERT_EQ(h.at(i).pllLock, want.pllLock) << i;
  }
  // The event of second 500 is older than the hour held; that of 1800 is in it.
  const auto events = h.events();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, HealthEventKind::PllLockLost);

  // Ten seconds nobody sampled: they stay unknown, and the hour still ends at the latest second.
  h.record(kStart + 4210s, sampleFor(4210));
  EXPECT_EQ(h.count(), SkyHistory::kSeconds);
  for (int i = h.count() - 11; i < h.count() - 1; ++i) EXPECT_FALSE(h.at(i).known()) << i;
  EXPECT_EQ(h.at(h.count() - 12).used, sampleFor(4199).used);
  EXPECT_EQ(h.at(h.count() - 1).used, sampleFor(4210).used);

  // More than an hour away: nothing of before is left; a clock stepped back starts again.
  h.record(kStart + 9000s, sampleFor(9000));
  for (int i = 0; i < h.count() - 1; ++i) ASSERT_FALSE(h.at(i).known()) << i;
  EXPECT_TRUE(h.events().empty());
  h.record(kStart + 100s, sampleFor(100));
  EXPECT_EQ(h.count(), 1);
  EXPECT_EQ(h.at(0).used, sampleFor(100).used);
}

TEST(SkyRecord, StaleOrLostReadingsAreRecordedAsUnknown) {
  sim::ubx::NavSvInfo m;
  m.channels = {{0, 5, 0x01, 7, 40, 45, 270}, {1, 12, 0x01, 7, 30, 30, 200}, {2, 14, 0x00, 7, 20, 10, 10}};
  const auto payload = sim::ubx::navSvInfoPayload(m);
  SkyRecord r;
  EXPECT_FALSE(r.present(kStart).known());
  r.navSvInfo(*NavSvInfo::read(payload), kStart);
  r.inputStatus({3, true, false}, kStart);
  SkySample s = r.present(kStart + 500ms);
  EXPECT_EQ(s.used, 2);
  EXPECT_FLOAT_EQ(s.meanCno, 35.0f);
  EXPECT_EQ(s.gpsSignal, 1);
  EXPECT_EQ(s.pllLock, 0);

  // Reports stop: the lights are unknown after a second, the sky after the slow rate's margin.
  s = r.present(kStart + 2s);
  EXPECT_EQ(s.gpsSignal, -1);
  EXPECT_EQ(s.used, 2);
  EXPECT_TRUE(r.skyCurrent(kStart + kSkyStaleAfter));
  EXPECT_FALSE(r.skyCurrent(kStart + kSkyStaleAfter + 1s));
  EXPECT_EQ(r.present(kStart + 26s).used, -1);

  // The unit goes: nothing is current, though the last sky is kept to be shown as the last one.
  r.inputStatus({3, true, true}, kStart + 3s);
  r.unitLost();
  EXPECT_FALSE(r.present(kStart + 3s).known());
  EXPECT_EQ(r.sky().size(), 3u);
  r.sample(kStart + 3s);
  EXPECT_FALSE(r.history().at(r.history().count() - 1).known());
  // Back at once: its reports are current again, the sky from before only with its next NAV-SVINFO.
  r.inputStatus({3, true, true}, kStart + 4s);
  EXPECT_FALSE(r.skyCurrent(kStart + 4s));
  s = r.present(kStart + 4s);
  EXPECT_EQ(std::make_pair(s.used, s.pllLock), std::make_pair(std::int16_t{-1}, std::int8_t{1}));
  r.navSvInfo(*NavSvInfo::read(payload), kStart + 5s);
  EXPECT_EQ(r.present(kStart + 5s).used, 2);
}

}  // namespace
}  // namespace tamrik::core
