// The status page and /api/units for four units watched for a whole hour, thirty satellites each
// with signals that wander and an event every two minutes: the server's time per request, and the
// bytes it sends (as counters).
#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "core/health.h"
#include "core/sky.h"
#include "monitor/unit_reading.h"
#include "platform/sim/ubx_frame.h"
#include "web/status_page.h"
#include "web/units_json.h"

namespace {

using namespace std::chrono_literals;
using namespace tamrik;

struct FixedUtc final : core::UtcClock {
  core::UtcTime t = std::chrono::sys_days(std::chrono::year(2025) / 3 / 7) + 21h;
  core::UtcTime now() override { return t; }
};

// One unit, up, with an hour of history behind it.
struct Unit {
  explicit Unit(const std::string& serial) {
    reading.identity.serial = serial;
    reading.identity.manufacturer = "Tamrik";
    reading.identity.product = "Tamrik GPS Reference Clock";
    reading.identity.firmware = "1.20";
    core::SettingsReport s;
    s.dividers = {2875000, 3, 11, 480, 11, 46, 46, 9};
    s.outputEnabled = true;
    reading.settings = s;
    sim::ubx::NavSvInfo m;
    for (std::uint8_t i = 0; i < 30; ++i) {
      m.channels.push_back({i, static_cast<std::uint8_t>(i < 20 ? i + 1 : 211 + i), static_cast<std::uint8_t>(i % 2), 7,
                            20, static_cast<std::int8_t>(5 + 2 * i), static_cast<std::int16_t>(12 * i)});
    }
    health.connected(serial);
    for (int second = 1; second <= 3600; ++second) {
      clock.t += 1s;
      const core::InputStatus status{0, second % 300 > 20, true};
      if (second % 5 == 0) {
        for (std::size_t i = 0; i < m.channels.size(); ++i) {
          m.channels[i].cno = static_cast<std::uint8_t>(20 + i + (second / 5 + i) % 7);
        }
        sky.navSvInfo(*core::NavSvInfo::read(sim::ubx::navSvInfoPayload(m)), clock.t);
      }
      sky.inputStatus(status, clock.t);
      health.inputStatus(serial, status);
      if (second % 120 == 0) {
        core::HealthEvent e;
        e.kind = core::HealthEventKind::GpsSignalLost;
        e.at = clock.t;
        sky.event(e);
      }
      sky.sample(clock.t);
    }
    reading.receiver.status = core::InputStatus{0, true, true};
    reading.receiver.satellites = sky.sky();
    reading.up = true;
    reading.health = health.unit(serial);
    reading.sky = &sky;
  }
  FixedUtc clock;
  core::Health health{clock};
  core::SkyRecord sky;
  monitor::UnitReading reading;
};

struct FourUnits {
  FourUnits() {
    for (int i = 1; i <= 4; ++i) units.push_back(std::make_unique<Unit>("SIM00" + std::to_string(i)));
    for (const auto& u : units) readings.push_back(u->reading);
    now = units.front()->clock.t;
  }
  std::vector<std::unique_ptr<Unit>> units;
  std::vector<monitor::UnitReading> readings;
  core::UtcTime now{};
};

FourUnits& four() {
  static FourUnits f;
  return f;
}

void BM_StatusPage(benchmark::State& state) {
  FourUnits& f = four();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string page = web::statusPage(f.readings, f.now);
    bytes = page.size();
    benchmark::DoNotOptimize(page.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_StatusPage)->Unit(benchmark::kMillisecond);

void BM_UnitsJson(benchmark::State& state) {
  FourUnits& f = four();
  std::size_t bytes = 0;
  for (auto _ : state) {
    const std::string json = web::unitsJson(f.readings, f.now);
    bytes = json.size();
    benchmark::DoNotOptimize(json.data());
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_UnitsJson)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
