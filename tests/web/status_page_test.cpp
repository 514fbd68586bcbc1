// The status page and /api/units from readings made by hand: a unit that is up shows the window's
// lights, settings, position and sky; one that is away shows neither a lock nor a signal nor its old
// settings, in the page and in the JSON alike; and whatever a unit calls itself stays text.
#include <gtest/gtest.h>

#include <iostream>
#include <string>
#include <vector>

#include "core/health.h"
#include "core/sky.h"
#include "monitor/unit_reading.h"
#include "platform/sim/ubx_frame.h"
#include "web/status_page.h"
#include "web/units_json.h"

namespace tamrik::web {
namespace {

using namespace std::chrono_literals;

struct FixedUtc final : core::UtcClock {
  core::UtcTime t = std::chrono::sys_days(std::chrono::year(2025) / 3 / 7) + 21h;
  core::UtcTime now() override { return t; }
};

std::size_t count(const std::string& s, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
  return n;
}

struct Unit {
  Unit() {
    reading.identity.serial = "Q<1>";
    reading.identity.manufacturer = "Maker \"&\" Co";
    reading.identity.product = "<script>alert(1)</script>";
    reading.identity.firmware = "1.20";
    core::SettingsReport s;
    s.dividers = {2875000, 3, 11, 480, 11, 46, 46, 9};
    s.outputEnabled = true;
    s.driveIndex = 3;
    reading.settings = s;
    const core::InputStatus status{2, true, true};
    reading.receiver.status = status;
    core::NavPvt pvt;
    pvt.valid = 0x07;
    pvt.fixType = 3;
    pvt.flags = 0x01;
    pvt.lat = 460569000, pvt.lon = 145058000, pvt.height = 341500;
    pvt.year = 2025, pvt.month = 3, pvt.day = 7, pvt.hour = 21;
    reading.receiver.pvt = pvt;
    sim::ubx::NavSvInfo m;
    m.channels = {{0, 5, 0x01, 7, 44, 45, 270}, {1, 211, 0x00, 7, 30, 30, 90}, {2, 133, 0x00, 0, 0, -91, 0}};
    const auto payload = sim::ubx::navSvInfoPayload(m);
    sky.navSvInfo(*core::NavSvInfo::read(payload), clock.t);
    sky.inputStatus(status, clock.t);
    reading.receiver.satellites = sky.sky();
    health.connected(reading.identity.serial);
    health.inputStatus(reading.identity.serial, status);
    sky.sample(clock.t);
    reading.up = true;
    reading.health = health.unit(reading.identity.serial);
    reading.sky = &sky;
  }
  void unplug() {
    clock.t += 3s;
    health.disconnected(reading.identity.serial);
    sky.unitLost();
    sky.sample(clock.t);
    reading.up = false;
  }
  FixedUtc clock;
  core::Health health{clock};
  core::SkyRecord sky;
  monitor::UnitReading reading;
};

TEST(StatusPage, AUnitThatIsUpShowsTheWindowsLightsSettingsPositionAndSky) {
  Unit u;
  const std::string page = statusPage(std::span(&u.reading, 1), u.clock.t);
  EXPECT_NE(page.find("<strong style=\"background:#c0ffc0\">GPS signal OK</strong>"), std::string::npos);
  EXPECT_NE(page.find("<strong style=\"background:#c0ffc0\">PLL lock OK</strong>"), std::string::npos);
  EXPECT_NE(page.find("GPS signal OK since"), std::string::npos);  // the window's tooltip text
  EXPECT_NE(page.find("10000000 Hz"), std::string::npos);
  EXPECT_NE(page.find("32mA"), std::string::npos);
  EXPECT_NE(page.find("46.0569, 14.5058"), std::string::npos);
  EXPECT_NE(page.find("maps/search/?api=1&amp;query=46.0569,14.5058"), std::string::npos);
  EXPECT_EQ(count(page, "<svg "), 1u);  // one picture, which fits a phone and a desktop
  EXPECT_EQ(count(page, "role=\"img\""), 1u);
  EXPECT_NE(page.find("<noscript><meta http-equiv=\"refresh\" content=\"5\"></noscript>"), std::string::npos);
  // Nothing from elsewhere: no source or style sheet is named, the one outside link is the map's.
  EXPECT_EQ(page.find(" src="), std::string::npos);
  EXPECT_EQ(page.find("stylesheet"), std::string::npos);
  EXPECT_EQ(count(page, "href=\"http"), 1u);

  const std::string json = unitsJson(std::span(&u.reading, 1), u.clock.t);
  EXPECT_TRUE(json.starts_with("[{\"serial\":\"Q<1>\",\"manufacturer\":\"Maker \\\"&\\\" Co\""));
  EXPECT_NE(json.find("\"output_hz\":10000000"), std::string::npos);
  EXPECT_NE(json.find("\"gps_signal\":true,\"pll_lock\":true,\"loss_count\":2"), std::string::npos);
  EXPECT_NE(json.find("\"up\":true,\"health\":{\"connected\":true"), std::string::npos);
  EXPECT_NE(json.find("\"sky\":{\"current\":true,\"satellites\":[{\"svid\":5,\"constellation\":\"GPS\",\"azimuth\":270,"
                      "\"elevation\":45,\"cno\":44,\"used\":true}"),
            std::string::npos);
  EXPECT_NE(json.find("{\"svid\":133,\"constellation\":\"SBAS\",\"azimuth\":null,\"elevation\":null"), std::string::npos);
  EXPECT_NE(json.find("\"history\":{\"latest\":\"2025-03-07T21:00:00.000Z\",\"seconds\":1,\"used\":[1],\"mean_cno\":[44.0],"
                      "\"gps_signal\":\"1\",\"pll_lock\":\"1\"}"),
            std::string::npos);

  // A receiver that sends NAV-TIMEUTC and no NAV-PVT: its UTC all the same, on the page and in the JSON.
  u.reading.receiver.pvt.reset();
  core::NavTimeUtc t;
  t.year = 2025, t.month = 3, t.day = 7, t.hour = 21, t.minute = 0, t.second = 4, t.valid = 0x07;
  u.reading.receiver.timeUtc = t;
  EXPECT_NE(statusPage(std::span(&u.reading, 1), u.clock.t).find(">2025-03-07T21:00:04Z</time>"), std::string::npos);
  EXPECT_NE(unitsJson(std::span(&u.reading, 1), u.clock.t).find("\"utc\":\"2025-03-07T21:00:04Z\""), std::string::npos);
}

TEST(StatusPage, AUnitAwayIsShownAwayNeverLockedAndItsStringsStayText) {
  Unit u;
  u.unplug();
  const std::string page = statusPage(std::span(&u.reading, 1), u.clock.t);
  EXPECT_NE(page.find("data-up=\"false\""), std::string::npos);
  EXPECT_NE(page.find(">GPS signal not known: unit away</strong>"), std::string::npos);
  EXPECT_NE(page.find(">PLL lock not known: unit away</strong>"), std::string::npos);
  EXPECT_EQ(page.find("PLL lock OK"), std::string::npos);
  EXPECT_EQ(page.find("GPS signal OK<"), std::string::npos);
  EXPECT_EQ(page.find("46.0569"), std::string::npos);  // no position of before
  EXPECT_NE(page.find("Sky: not current"), std::string::npos);
  EXPECT_NE(page.find("unit away"), std::string::npos);  // among the latest events
  // The window's tooltip under each light, which here does not claim the lights show the last state.
  EXPECT_EQ(page.find("the lights show"), std::string::npos);
  EXPECT_EQ(count(page, "; its last known state: "), 2u);
  // The unit's own strings, escaped wherever they stand (heading, ids, identity, the picture's title).
  EXPECT_EQ(page.find("<script>alert"), std::string::npos);
  EXPECT_EQ(page.find("Q<1>"), std::string::npos);
  EXPECT_NE(page.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
  EXPECT_NE(page.find("Maker &quot;&amp;&quot; Co"), std::string::npos);
  EXPECT_GE(count(page, "Q&lt;1&gt;"), 4u);

  const std::string json = unitsJson(std::span(&u.reading, 1), u.clock.t);
  EXPECT_NE(json.find("\"output_hz\":null,\"dividers\":null,\"f3_hz\":null,\"fosc_hz\":null,\"output_enabled\":null,"
                      "\"drive\":null,\"gps_signal\":null,\"pll_lock\":null,\"loss_count\":null,\"position\":null,"
                      "\"utc\":null,\"clock_time_accuracy_s\":null,"),
            std::string::npos);
  EXPECT_NE(json.find("\"num_sv\":null,\"satellites\":[],\"up\":false"), std::string::npos);
  EXPECT_NE(json.find("\"up\":false,\"health\":{\"connected\":false"), std::string::npos);
  // Its last lights are no present state: known no more, neither good nor bad; the losses stay.
  EXPECT_NE(json.find("\"gps_signal\":{\"known\":false,\"good\":null,\"since\":null,\"since_exact\":null,\"losses\":"),
            std::string::npos);
  EXPECT_NE(json.find("\"pll_lock\":{\"known\":false,\"good\":null"), std::string::npos);
  EXPECT_NE(json.find("\"sky\":{\"current\":false,\"satellites\":[]}"), std::string::npos);
  EXPECT_NE(json.find("\"seconds\":4,\"used\":[1,null,null,null]"), std::string::npos);  // the hour: known, then not
  EXPECT_NE(json.find("\"gps_signal\":\"1---\""), std::string::npos);
}

// Four units watched for a whole hour, with thirty satellites and an event every two minutes: the
// page stays under 100 kB, light enough for a phone on a slow link (the hour's lines are drawn as
// polylines, each look of the pictures written once).
TEST(StatusPage, FourUnitsWithAWholeHourOfThirtySatellitesStayUnderAHundredKilobytes) {
  Unit u;
  sim::ubx::NavSvInfo m;
  for (std::uint8_t i = 0; i < 30; ++i) {
    m.channels.push_back({i, static_cast<std::uint8_t>(i < 20 ? i + 1 : 211 + i), static_cast<std::uint8_t>(i % 2), 7,
                          static_cast<std::uint8_t>(20 + i), static_cast<std::int8_t>(5 + 2 * i), static_cast<std::int16_t>(12 * i)});
  }
  for (int second = 1; second <= 3600; ++second) {
    u.clock.t += 1s;
    if (second % 5 == 0) {
      // The signals wander, as real ones do: the mean C/N0's line has a new height every time.
      for (std::size_t i = 0; i < m.channels.size(); ++i) m.channels[i].cno = static_cast<std::uint8_t>(20 + i + (second / 5 + i) % 7);
      u.sky.navSvInfo(*core::NavSvInfo::read(sim::ubx::navSvInfoPayload(m)), u.clock.t);
    }
    u.sky.inputStatus({0, second % 300 > 20, true}, u.clock.t);
    if (second % 120 == 0) {
      core::HealthEvent e;
      e.kind = core::HealthEventKind::GpsSignalLost;
      e.at = u.clock.t;
      u.sky.event(e);
    }
    u.sky.sample(u.clock.t);
  }
  std::vector<monitor::UnitReading> four(4, u.reading);
  for (std::size_t i = 0; i < four.size(); ++i) four[i].identity.serial = "Q0000" + std::to_string(i);
  const std::string page = statusPage(four, u.clock.t);
  const std::string json = unitsJson(std::span(&u.reading, 1), u.clock.t);
  std::cout << "page " << page.size() << " bytes for four units, /api/units " << json.size() << " bytes a unit\n";
  EXPECT_LT(page.size(), 100u * 1000);
  EXPECT_NE(json.find("\"seconds\":3600"), std::string::npos);
}

}  // namespace
}  // namespace tamrik::web
