#include "monitor/unit_reading.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <functional>
#include <set>
#include <utility>

#include "text/prometheus_text.h"

namespace tamrik::monitor {

int usedCount(const std::vector<Satellite>& satellites) {
  return static_cast<int>(std::count_if(satellites.begin(), satellites.end(), [](const Satellite& s) { return s.used; }));
}

std::optional<ReceiverUtc> utcOf(const core::NavPvt& pvt) {
  if (!pvt.timeValid()) return std::nullopt;
  const std::chrono::year_month_day date{std::chrono::year(pvt.year), std::chrono::month(pvt.month),
                                         std::chrono::day(pvt.day)};
  // A leap second is second 60.
  if (!date.ok() || pvt.hour > 23 || pvt.minute > 59 || pvt.second > 60) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(pvt.year), pvt.month, pvt.day,
                pvt.hour, pvt.minute, pvt.second);
  const auto days = std::chrono::sys_days(date).time_since_epoch().count();
  const double seconds = static_cast<double>(days) * 86400.0 + pvt.hour * 3600.0 + pvt.minute * 60.0 + pvt.second;
  return ReceiverUtc{text, seconds};
}

std::string isoTime(core::UtcTime t) {
  const auto day = std::chrono::floor<std::chrono::days>(t);
  const std::chrono::year_month_day date(day);
  const std::chrono::hh_mm_ss<std::chrono::milliseconds> hms(t - day);
  char text[40];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(hms.hours().count()), static_cast<int>(hms.minutes().count()),
                static_cast<int>(hms.seconds().count()), static_cast<int>(hms.subseconds().count()));
  return text;
}

double unixSeconds(core::UtcTime t) { return static_cast<double>(t.time_since_epoch().count()) / 1000.0; }

double frequencyHz(const std::optional<core::Frequency>& f) { return f ? f->hz() : std::nan(""); }

std::vector<DividerField> dividerFields(const core::Dividers& d) {
  return {{"gps", d.gps},     {"n31", d.n31},       {"n2_hs", d.n2_hs},   {"n2_ls", d.n2_ls},
          {"n1_hs", d.n1_hs}, {"nc1_ls", d.nc1_ls}, {"nc2_ls", d.nc2_ls}, {"bw", d.bw}};
}

namespace {

using Samples = std::vector<std::pair<text::Labels, double>>;

// Writes the families one at a time, each with the samples every unit gives it.
class Families {
 public:
  explicit Families(std::span<const UnitReading> units) : units_(units) {}

  using Collect = std::function<void(const UnitReading&, const text::Labels& unit, Samples&)>;
  void add(std::string_view name, std::string_view type, std::string_view help, const Collect& collect) {
    Samples samples;
    for (const UnitReading& u : units_) collect(u, {{"serial", u.identity.serial}}, samples);
    if (samples.empty()) return;
    text_.family(name, type, help);
    for (const auto& [labels, value] : samples) text_.sample(labels, value);
  }
  // A gauge or counter with one sample per unit for which value gives one.
  void each(std::string_view name, std::string_view type, std::string_view help,
            const std::function<std::optional<double>(const UnitReading&)>& value) {
    add(name, type, help, [&](const UnitReading& u, const text::Labels& unit, Samples& s) {
      if (const auto v = value(u)) s.emplace_back(unit, *v);
    });
  }
  const std::string& str() const { return text_.str(); }

 private:
  std::span<const UnitReading> units_;
  text::PrometheusText text_;
};

text::Labels with(text::Labels labels, std::string name, std::string value) {
  labels.emplace_back(std::move(name), std::move(value));
  return labels;
}

std::optional<double> flag(bool value) { return value ? 1.0 : 0.0; }

// The time a state took its present value, for ..._last_change_timestamp_seconds.
std::optional<double> changed(const core::StateHistory& s) {
  if (!s.known) return std::nullopt;
  return unixSeconds(s.since);
}

// One series per channel and satellite; a repeated pair (a confused receiver) is left out.
std::vector<Satellite> distinct(const std::vector<Satellite>& all) {
  std::vector<Satellite> satellites;
  std::set<std::pair<int, int>> seen;
  for (const Satellite& sat : all) {
    if (seen.insert({sat.channel, sat.svid}).second) satellites.push_back(sat);
  }
  return satellites;
}

}  // namespace

std::string prometheusMetrics(std::span<const UnitReading> units) {
  using R = const UnitReading&;
  Families f(units);
  f.each("tamrik_up", "gauge", "1 while the unit is attached and sends its reports, else 0 (the state metrics are then left out).",
         [](R u) { return flag(u.up); });
  f.add("tamrik_unit_info", "gauge", "The unit's identity in its labels; always 1.", [](R u, const text::Labels&, Samples& s) {
    s.push_back({{{"serial", u.identity.serial},
                  {"manufacturer", u.identity.manufacturer},
                  {"product", u.identity.product},
                  {"firmware", u.identity.firmware}},
                 1});
  });
  f.each("tamrik_last_report_timestamp_seconds", "gauge", "When the unit's latest input report came, in seconds since 1970.",
         [](R u) { return u.lastReport ? std::optional(unixSeconds(*u.lastReport)) : std::nullopt; });
  f.each("tamrik_unit_connected", "gauge", "1 while the unit is attached.",
         [](R u) { return u.health ? flag(u.health->connected) : std::nullopt; });
  f.each("tamrik_unit_connected_last_change_timestamp_seconds", "gauge",
         "When the unit was attached or went away, the later of the two, in seconds since 1970.", [](R u) {
           return u.health ? std::optional(unixSeconds(u.health->connectionChanged)) : std::nullopt;
         });
  f.each("tamrik_unit_disconnects_total", "counter", "Times the unit went away (unplugged, or its device failed).",
         [](R u) { return u.health ? std::optional(static_cast<double>(u.health->disconnects)) : std::nullopt; });

  auto settings = [](R u) { return u.up && u.settings ? &*u.settings : nullptr; };
  f.each("tamrik_output_frequency_hertz", "gauge", "Output frequency the unit's divider set gives.", [&](R u) {
    const auto* s = settings(u);
    return s ? std::optional(core::displayedOutputHz(s->dividers)) : std::nullopt;
  });
  f.each("tamrik_phase_detector_frequency_hertz", "gauge", "F3, the PLL's input: GPS reference over N31.", [&](R u) {
    const auto* s = settings(u);
    return s ? std::optional(frequencyHz(core::f3Frequency(s->dividers))) : std::nullopt;
  });
  f.each("tamrik_oscillator_frequency_hertz", "gauge", "Fosc, the PLL's oscillator.", [&](R u) {
    const auto* s = settings(u);
    return s ? std::optional(frequencyHz(core::oscillatorFrequency(s->dividers))) : std::nullopt;
  });
  f.add("tamrik_divider", "gauge", "The unit's divider set: GPS reference in Hz, dividers and bandwidth code.",
        [&](R u, const text::Labels& unit, Samples& s) {
          if (const auto* set = settings(u)) {
            for (const DividerField& d : dividerFields(set->dividers)) s.emplace_back(with(unit, "divider", d.key), d.value);
          }
        });
  f.each("tamrik_output_enabled", "gauge", "1 when the clock output is switched on.", [&](R u) {
    const auto* s = settings(u);
    return s ? flag(s->outputEnabled) : std::nullopt;
  });
  f.each("tamrik_drive_strength_amperes", "gauge", "Output drive strength.", [&](R u) {
    const auto* s = settings(u);
    return s ? std::optional(0.008 * (std::clamp(s->driveIndex, 0, 3) + 1)) : std::nullopt;
  });

  auto status = [](R u) { return u.up && u.receiver.status ? &*u.receiver.status : nullptr; };
  f.each("tamrik_gps_signal", "gauge", "1 while the unit has a GPS signal.", [&](R u) {
    const auto* s = status(u);
    return s ? flag(s->gpsSignal) : std::nullopt;
  });
  f.each("tamrik_gps_signal_last_change_timestamp_seconds", "gauge",
         "When the GPS signal came or went, or was first seen as it is, in seconds since 1970.",
         [&](R u) { return status(u) && u.health ? changed(u.health->gpsSignal) : std::nullopt; });
  f.each("tamrik_pll_lock", "gauge", "1 while the PLL is locked.", [&](R u) {
    const auto* s = status(u);
    return s ? flag(s->pllLock) : std::nullopt;
  });
  f.each("tamrik_pll_lock_last_change_timestamp_seconds", "gauge",
         "When the PLL locked or lost its lock, or was first seen as it is, in seconds since 1970.",
         [&](R u) { return status(u) && u.health ? changed(u.health->pllLock) : std::nullopt; });
  f.each("tamrik_unit_signal_loss_count", "gauge",
         "The unit's own count of GPS signal losses, 0 to 255, running on from 0 after 255 and starting again at "
         "a power cycle; tamrik_gps_signal_losses_total is the running total.",
         [&](R u) {
           const auto* s = status(u);
           return s ? std::optional(static_cast<double>(s->lossCount)) : std::nullopt;
         });
  f.each("tamrik_gps_signal_losses_total", "counter", "GPS signal losses the unit counted while watched.",
         [](R u) { return u.health ? std::optional(static_cast<double>(u.health->gpsSignalLosses)) : std::nullopt; });
  f.each("tamrik_pll_lock_losses_total", "counter", "Times the PLL was seen losing its lock.",
         [](R u) { return u.health ? std::optional(static_cast<double>(u.health->pllLock.losses)) : std::nullopt; });
  f.each("tamrik_receiver_fix", "gauge", "1 while the receiver has a valid fix (2D, 3D or time only).",
         [](R u) { return u.up && u.receiverCurrent && u.health && u.health->fix.known ? flag(u.health->fix.good) : std::nullopt; });
  f.each("tamrik_receiver_fix_last_change_timestamp_seconds", "gauge",
         "When the receiver's fix came or went, or was first seen as it is, in seconds since 1970.",
         [](R u) { return u.up && u.receiverCurrent && u.health ? changed(u.health->fix) : std::nullopt; });
  f.each("tamrik_receiver_fix_losses_total", "counter", "Times the receiver was seen losing its fix.",
         [](R u) { return u.health ? std::optional(static_cast<double>(u.health->fix.losses)) : std::nullopt; });

  auto pvt = [](R u) { return u.up && u.receiverCurrent && u.receiver.pvt ? &*u.receiver.pvt : nullptr; };
  auto position = [&](R u) { return pvt(u) && pvt(u)->hasPosition() ? pvt(u) : nullptr; };
  f.each("tamrik_position_latitude_degrees", "gauge", "The receiver's latitude.", [&](R u) {
    const auto* p = position(u);
    return p ? std::optional(p->lat * 1e-7) : std::nullopt;
  });
  f.each("tamrik_position_longitude_degrees", "gauge", "The receiver's longitude.", [&](R u) {
    const auto* p = position(u);
    return p ? std::optional(p->lon * 1e-7) : std::nullopt;
  });
  f.each("tamrik_position_height_meters", "gauge", "The receiver's height above the ellipsoid.", [&](R u) {
    const auto* p = position(u);
    return p ? std::optional(p->height * 1e-3) : std::nullopt;
  });
  f.each("tamrik_receiver_time_seconds", "gauge", "UTC as the receiver tells it, in seconds since 1970.", [&](R u) {
    const auto utc = pvt(u) ? utcOf(*pvt(u)) : std::nullopt;
    return utc ? std::optional(utc->unixSeconds) : std::nullopt;
  });

  auto satellites = [](R u) { return u.up && u.receiverCurrent && u.receiver.satellites ? &*u.receiver.satellites : nullptr; };
  f.each("tamrik_satellites", "gauge", "Satellites the receiver reports.", [&](R u) {
    const auto* s = satellites(u);
    return s ? std::optional(static_cast<double>(s->size())) : std::nullopt;
  });
  f.each("tamrik_satellites_used", "gauge", "Satellites used in the navigation solution.", [&](R u) {
    const auto* s = satellites(u);
    return s ? std::optional(static_cast<double>(usedCount(*s))) : std::nullopt;
  });
  auto byConstellation = [&](bool used) {
    return [&, used](R u, const text::Labels& unit, Samples& out) {
      const auto* s = satellites(u);
      if (!s) return;
      std::array<int, core::kConstellations.size()> counts{};
      for (const Satellite& sat : *s) {
        if (used ? sat.used : sat.cno > 0) ++counts[static_cast<std::size_t>(core::constellationOf(static_cast<std::uint8_t>(sat.svid)))];
      }
      for (const core::Constellation c : core::kConstellations) {
        out.emplace_back(with(unit, "constellation", std::string(core::constellationName(c))),
                         counts[static_cast<std::size_t>(c)]);
      }
    };
  };
  f.add("tamrik_constellation_satellites", "gauge",
        "Satellites the receiver hears (a signal above 0 dB-Hz), by constellation.", byConstellation(false));
  f.add("tamrik_constellation_satellites_used", "gauge", "Satellites used in the navigation solution, by constellation.",
        byConstellation(true));
  auto perSatellite = [&](const std::function<double(const Satellite&)>& value) {
    return [&, value](R u, const text::Labels& unit, Samples& out) {
      const auto* s = satellites(u);
      if (!s) return;
      for (const Satellite& sat : distinct(*s)) {
        out.emplace_back(with(with(unit, "channel", std::to_string(sat.channel)), "svid", std::to_string(sat.svid)),
                         value(sat));
      }
    };
  };
  f.add("tamrik_satellite_cno_dbhz", "gauge", "Carrier-to-noise ratio of each satellite.",
        perSatellite([](const Satellite& s) { return s.cno; }));
  f.add("tamrik_satellite_elevation_degrees", "gauge", "Elevation of each satellite.",
        perSatellite([](const Satellite& s) { return s.elevation; }));
  f.add("tamrik_satellite_used", "gauge", "1 when the satellite is used in the navigation solution.",
        perSatellite([](const Satellite& s) { return s.used ? 1 : 0; }));
  return f.str();
}

}  // namespace tamrik::monitor
