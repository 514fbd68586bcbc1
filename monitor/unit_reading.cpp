#include "monitor/unit_reading.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <array>
#include <set>
#include <utility>

#include "text/json_writer.h"
#include "text/prometheus_text.h"

namespace tamrik::monitor {

int usedCount(const std::vector<Satellite>& satellites) {
  return static_cast<int>(std::count_if(satellites.begin(), satellites.end(), [](const Satellite& s) { return s.used; }));
}

namespace {

// A date and time of a NAV message, flagged valid by it, as UTC.
std::optional<ReceiverUtc> utcAt(int year, int month, int day, int hour, int minute, int second) {
  const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                         std::chrono::day(static_cast<unsigned>(day))};
  // A leap second is second 60.
  if (!date.ok() || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", year, month, day, hour, minute, second);
  const auto days = std::chrono::sys_days(date).time_since_epoch().count();
  const double seconds = static_cast<double>(days) * 86400.0 + hour * 3600.0 + minute * 60.0 + second;
  return ReceiverUtc{text, seconds};
}

}  // namespace

std::optional<ReceiverUtc> utcOf(const core::NavPvt& pvt) {
  if (!pvt.timeValid()) return std::nullopt;
  return utcAt(pvt.year, pvt.month, pvt.day, pvt.hour, pvt.minute, pvt.second);
}

std::optional<ReceiverUtc> utcOf(const core::NavTimeUtc& utc) {
  if (!utc.timeValid()) return std::nullopt;
  return utcAt(utc.year, utc.month, utc.day, utc.hour, utc.minute, utc.second);
}

std::optional<ReceiverUtc> utcOf(const ReceiverState& receiver) {
  if (receiver.pvt) {
    if (auto utc = utcOf(*receiver.pvt)) return utc;
  }
  return receiver.timeUtc ? utcOf(*receiver.timeUtc) : std::nullopt;
}

TimingQuality timingOf(const ReceiverState& receiver) {
  TimingQuality q;
  if (const auto& c = receiver.clock) {
    q.clockTimeAccuracy = c->tAcc * 1e-9;
    q.clockFrequencyAccuracy = c->fAcc * 1e-12;
    q.clockBias = c->clkB * 1e-9;
    q.clockDrift = c->clkD * 1e-9;
  }
  if (const auto& p = receiver.pvt) {
    q.fixType = p->fixType;
    q.fixTimeAccuracy = p->tAcc * 1e-9;
    if (p->pDOP) q.positionDop = *p->pDOP * 0.01;
    q.satellitesInSolution = p->numSV;
  }
  return q;
}

std::vector<TimingField> timingFields(const TimingQuality& q) {
  const auto text = [](const auto& v) {
    return v ? std::optional(text::jsonNumber(static_cast<double>(*v))) : std::nullopt;
  };
  return {{"clock_time_accuracy_s", text(q.clockTimeAccuracy)}, {"clock_frequency_accuracy", text(q.clockFrequencyAccuracy)},
          {"clock_bias_s", text(q.clockBias)},                  {"clock_drift", text(q.clockDrift)},
          {"fix_type", text(q.fixType)},                        {"fix_time_accuracy_s", text(q.fixTimeAccuracy)},
          {"pdop", text(q.positionDop)},                        {"num_sv", text(q.satellitesInSolution)}};
}

ReceiverState currentReceiver(const UnitReading& u) {
  ReceiverState r;
  if (!u.up) return r;
  r.status = u.receiver.status;
  if (u.receiverCurrent) {
    r.pvt = u.receiver.pvt;
    r.satellites = u.receiver.satellites;
  }
  if (u.receiverClockCurrent) r.clock = u.receiver.clock;
  if (u.receiverTimeUtcCurrent) r.timeUtc = u.receiver.timeUtc;
  return r;
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

double frequencyHz(const std::optional<numbers::Frequency>& f) { return f ? f->hz() : std::nan(""); }

std::vector<DividerField> dividerFields(const numbers::Dividers& d) {
  return {{"gps", d.gps},     {"n31", d.n31},       {"n2_hs", d.n2_hs},   {"n2_ls", d.n2_ls},
          {"n1_hs", d.n1_hs}, {"nc1_ls", d.nc1_ls}, {"nc2_ls", d.nc2_ls}, {"bw", d.bw}};
}

namespace {

using text::Labels;
using R = const UnitReading&;
using Samples = std::vector<std::pair<Labels, double>>;

// A metric family: its name, type and help, and the function that gives each unit's samples.
struct Family {
  std::string_view name;
  std::string_view type;  // "gauge" or "counter"
  std::string_view help;
  void (*collect)(R u, const Labels& unit, Samples& out);
};

// A family with at most one sample per unit: the value the function gives, if any.
template <std::optional<double> (*value)(R)>
void single(R u, const Labels& unit, Samples& out) {
  if (const auto v = value(u)) out.emplace_back(unit, *v);
}

Labels with(Labels labels, std::string name, std::string value) {
  labels.emplace_back(std::move(name), std::move(value));
  return labels;
}

std::optional<double> flag(bool value) { return value ? 1.0 : 0.0; }
// value's number (a flag as 1 or 0) of what there is to show, or nothing.
template <class T, class F>
std::optional<double> of(const T* what, F value) {
  return what ? std::optional(static_cast<double>(value(*what))) : std::nullopt;
}
std::optional<double> count(std::uint64_t value) { return static_cast<double>(value); }

// The time a state took its present value, for ..._last_change_timestamp_seconds.
std::optional<double> changed(const core::StateHistory& s) {
  if (!s.known) return std::nullopt;
  return unixSeconds(s.since);
}

// What a family may show of a unit: its settings and its latest input report only while it is up,
// and the receiver's messages only while they are current too.
const core::SettingsReport* settings(R u) { return u.up && u.settings ? &*u.settings : nullptr; }
const core::InputStatus* status(R u) { return u.up && u.receiver.status ? &*u.receiver.status : nullptr; }
const core::NavPvt* pvt(R u) { return u.up && u.receiverCurrent && u.receiver.pvt ? &*u.receiver.pvt : nullptr; }
const core::NavPvt* position(R u) { return pvt(u) && pvt(u)->hasPosition() ? pvt(u) : nullptr; }
const core::NavClock* navClock(R u) {
  return u.up && u.receiverClockCurrent && u.receiver.clock ? &*u.receiver.clock : nullptr;
}
const core::NavTimeUtc* timeUtc(R u) {
  return u.up && u.receiverTimeUtcCurrent && u.receiver.timeUtc ? &*u.receiver.timeUtc : nullptr;
}
const std::vector<Satellite>* satellites(R u) {
  return u.up && u.receiverCurrent && u.receiver.satellites ? &*u.receiver.satellites : nullptr;
}

// One series per channel and satellite; a repeated pair (a confused receiver) is left out.
std::vector<Satellite> distinct(const std::vector<Satellite>& all) {
  std::vector<Satellite> out;
  std::set<std::pair<int, int>> seen;
  for (const Satellite& sat : all) {
    if (seen.insert({sat.channel, sat.svid}).second) out.push_back(sat);
  }
  return out;
}

// ---- The unit ----

std::optional<double> up(R u) { return flag(u.up); }

void unitInfo(R u, const Labels&, Samples& out) {
  out.push_back({{{"serial", u.identity.serial},
                  {"manufacturer", u.identity.manufacturer},
                  {"product", u.identity.product},
                  {"firmware", u.identity.firmware}},
                 1});
}

std::optional<double> lastReport(R u) {
  return u.lastReport ? std::optional(unixSeconds(*u.lastReport)) : std::nullopt;
}
std::optional<double> connected(R u) { return u.health ? flag(u.health->connected) : std::nullopt; }
std::optional<double> connectedChanged(R u) {
  return u.health ? std::optional(unixSeconds(u.health->connectionChanged)) : std::nullopt;
}
std::optional<double> disconnects(R u) { return u.health ? count(u.health->disconnects) : std::nullopt; }

// ---- Its settings ----

std::optional<double> outputFrequency(R u) {
  return of(settings(u), [](const auto& s) { return numbers::displayedOutputHz(s.dividers); });
}
std::optional<double> phaseDetectorFrequency(R u) {
  return of(settings(u), [](const auto& s) { return frequencyHz(numbers::f3Frequency(s.dividers)); });
}
std::optional<double> oscillatorFrequency(R u) {
  return of(settings(u), [](const auto& s) { return frequencyHz(numbers::oscillatorFrequency(s.dividers)); });
}
void dividers(R u, const Labels& unit, Samples& out) {
  if (const auto* s = settings(u)) {
    for (const DividerField& d : dividerFields(s->dividers)) out.emplace_back(with(unit, "divider", d.key), d.value);
  }
}
std::optional<double> outputEnabled(R u) {
  return of(settings(u), [](const auto& s) { return s.outputEnabled; });
}
std::optional<double> driveStrength(R u) {
  return of(settings(u), [](const auto& s) { return 0.008 * (std::clamp(s.driveIndex, 0, 3) + 1); });
}

// ---- Signal, lock and fix ----

std::optional<double> gpsSignal(R u) {
  return of(status(u), [](const auto& s) { return s.gpsSignal; });
}
std::optional<double> gpsSignalChanged(R u) {
  return status(u) && u.health ? changed(u.health->gpsSignal) : std::nullopt;
}
std::optional<double> pllLock(R u) {
  return of(status(u), [](const auto& s) { return s.pllLock; });
}
std::optional<double> pllLockChanged(R u) { return status(u) && u.health ? changed(u.health->pllLock) : std::nullopt; }
std::optional<double> unitSignalLosses(R u) {
  return of(status(u), [](const auto& s) { return static_cast<double>(s.lossCount); });
}
std::optional<double> gpsSignalLosses(R u) { return u.health ? count(u.health->gpsSignalLosses) : std::nullopt; }
std::optional<double> pllLockLosses(R u) { return u.health ? count(u.health->pllLock.losses) : std::nullopt; }
std::optional<double> receiverFix(R u) {
  return u.up && u.receiverCurrent && u.health && u.health->fix.known ? flag(u.health->fix.good) : std::nullopt;
}
std::optional<double> receiverFixChanged(R u) {
  return u.up && u.receiverCurrent && u.health ? changed(u.health->fix) : std::nullopt;
}
std::optional<double> receiverFixLosses(R u) { return u.health ? count(u.health->fix.losses) : std::nullopt; }

// ---- Position and time ----

std::optional<double> latitude(R u) {
  return of(position(u), [](const auto& p) { return p.lat * 1e-7; });
}
std::optional<double> longitude(R u) {
  return of(position(u), [](const auto& p) { return p.lon * 1e-7; });
}
std::optional<double> height(R u) {
  return of(position(u), [](const auto& p) { return p.height * 1e-3; });
}
std::optional<double> receiverTime(R u) {
  // NAV-PVT's UTC, else NAV-TIMEUTC's: each only while its own message is current.
  auto utc = pvt(u) ? utcOf(*pvt(u)) : std::nullopt;
  if (!utc && timeUtc(u)) utc = utcOf(*timeUtc(u));
  return utc ? std::optional(utc->unixSeconds) : std::nullopt;
}

// ---- The receiver's clock ----

std::optional<double> timeAccuracy(R u) {
  return of(navClock(u), [](const auto& c) { return c.tAcc * 1e-9; });
}
std::optional<double> frequencyAccuracy(R u) {
  return of(navClock(u), [](const auto& c) { return c.fAcc * 1e-12; });
}

// The timing quality of what is current.
TimingQuality timing(R u) {
  ReceiverState r;
  if (pvt(u)) r.pvt = *pvt(u);
  if (navClock(u)) r.clock = *navClock(u);
  return timingOf(r);
}
template <class T>
std::optional<double> number(const std::optional<T>& v) {
  return v ? std::optional(static_cast<double>(*v)) : std::nullopt;
}
std::optional<double> clockBias(R u) { return number(timing(u).clockBias); }
std::optional<double> clockDrift(R u) { return number(timing(u).clockDrift); }
std::optional<double> fixTimeAccuracy(R u) { return number(timing(u).fixTimeAccuracy); }
std::optional<double> fixType(R u) { return number(timing(u).fixType); }
std::optional<double> positionDop(R u) { return number(timing(u).positionDop); }
std::optional<double> satellitesInSolution(R u) { return number(timing(u).satellitesInSolution); }

// ---- Satellites ----

// The counts are of the satellites with a series of their own, so that each total is the sum of
// its parts: tamrik_satellites of tamrik_constellation_satellites and of tamrik_satellite_cno_dbhz's
// series, and the same for the used ones.
std::optional<double> satelliteCount(R u) {
  return of(satellites(u), [](const auto& s) { return static_cast<double>(distinct(s).size()); });
}
std::optional<double> satellitesUsed(R u) {
  return of(satellites(u), [](const auto& s) { return static_cast<double>(usedCount(distinct(s))); });
}
template <bool used>
void byConstellation(R u, const Labels& unit, Samples& out) {
  const auto* s = satellites(u);
  if (!s) return;
  std::array<int, core::kConstellations.size()> counts{};
  for (const Satellite& sat : distinct(*s)) {
    if (!used || sat.used) ++counts[static_cast<std::size_t>(core::constellationOf(sat.svid))];
  }
  for (const core::Constellation c : core::kConstellations) {
    out.emplace_back(with(unit, "constellation", std::string(core::constellationName(c))), counts[static_cast<std::size_t>(c)]);
  }
}
// Each satellite's value; with positionedOnly, only those with a place in the sky (a receiver that
// has none for a satellite reports a stand-in elevation, 0 or -91, which is no elevation).
template <double (*value)(const Satellite&), bool positionedOnly = false>
void perSatellite(R u, const Labels& unit, Samples& out) {
  const auto* s = satellites(u);
  if (!s) return;
  for (const Satellite& sat : distinct(*s)) {
    if (positionedOnly && !sat.positioned()) continue;
    out.emplace_back(with(with(unit, "channel", std::to_string(sat.channel)), "svid", std::to_string(sat.svid)), value(sat));
  }
}
double cno(const Satellite& s) { return s.cno; }
double elevation(const Satellite& s) { return s.elevation; }
double used(const Satellite& s) { return s.used ? 1 : 0; }

// Every family, in the order they are written.
constexpr Family kFamilies[] = {
    {"tamrik_up", "gauge", "1 while the unit is attached and sends its reports, else 0 (the state metrics are then left out).",
     single<up>},
    {"tamrik_unit_info", "gauge", "The unit's identity in its labels; always 1.", unitInfo},
    {"tamrik_last_report_timestamp_seconds", "gauge", "When the unit's latest input report came, in seconds since 1970.",
     single<lastReport>},
    {"tamrik_unit_connected", "gauge", "1 while the unit is attached.", single<connected>},
    {"tamrik_unit_connected_last_change_timestamp_seconds", "gauge",
     "When the unit was attached or went away, the later of the two, in seconds since 1970.", single<connectedChanged>},
    {"tamrik_unit_disconnects_total", "counter", "Times the unit went away (unplugged, or its device failed).",
     single<disconnects>},
    {"tamrik_output_frequency_hertz", "gauge", "Output frequency the unit's divider set gives.", single<outputFrequency>},
    {"tamrik_phase_detector_frequency_hertz", "gauge", "F3, the PLL's input: GPS reference over N31.",
     single<phaseDetectorFrequency>},
    {"tamrik_oscillator_frequency_hertz", "gauge", "Fosc, the PLL's oscillator.", single<oscillatorFrequency>},
    {"tamrik_divider", "gauge", "The unit's divider set: GPS reference in Hz, dividers and bandwidth code.", dividers},
    {"tamrik_output_enabled", "gauge", "1 when the clock output is switched on.", single<outputEnabled>},
    {"tamrik_drive_strength_amperes", "gauge", "Output drive strength.", single<driveStrength>},
    {"tamrik_gps_signal", "gauge", "1 while the unit has a GPS signal.", single<gpsSignal>},
    {"tamrik_gps_signal_last_change_timestamp_seconds", "gauge",
     "When the GPS signal came or went, or was first seen as it is, in seconds since 1970.", single<gpsSignalChanged>},
    {"tamrik_pll_lock", "gauge", "1 while the PLL is locked.", single<pllLock>},
    {"tamrik_pll_lock_last_change_timestamp_seconds", "gauge",
     "When the PLL locked or lost its lock, or was first seen as it is, in seconds since 1970.", single<pllLockChanged>},
    {"tamrik_unit_signal_losses", "gauge",
     "The unit's own count of GPS signal losses, 0 to 255, running on from 0 after 255 and starting again at "
     "a power cycle; tamrik_gps_signal_losses_total is the running total.",
     single<unitSignalLosses>},
    {"tamrik_gps_signal_losses_total", "counter", "GPS signal losses the unit counted while watched.",
     single<gpsSignalLosses>},
    {"tamrik_pll_lock_losses_total", "counter", "Times the PLL was seen losing its lock.", single<pllLockLosses>},
    {"tamrik_receiver_fix", "gauge", "1 while the receiver has a valid fix (2D, 3D or time only).", single<receiverFix>},
    {"tamrik_receiver_fix_last_change_timestamp_seconds", "gauge",
     "When the receiver's fix came or went, or was first seen as it is, in seconds since 1970.",
     single<receiverFixChanged>},
    {"tamrik_receiver_fix_losses_total", "counter", "Times the receiver was seen losing its fix.",
     single<receiverFixLosses>},
    {"tamrik_position_latitude_degrees", "gauge", "The receiver's latitude.", single<latitude>},
    {"tamrik_position_longitude_degrees", "gauge", "The receiver's longitude.", single<longitude>},
    {"tamrik_position_height_meters", "gauge", "The receiver's height above the ellipsoid.", single<height>},
    {"tamrik_receiver_time_seconds", "gauge",
     "UTC as the receiver tells it (NAV-PVT, else NAV-TIMEUTC), in seconds since 1970.", single<receiverTime>},
    {"tamrik_receiver_time_accuracy_seconds", "gauge", "The receiver's estimate of its time's accuracy (NAV-CLOCK tAcc).",
     single<timeAccuracy>},
    {"tamrik_receiver_frequency_accuracy_ratio", "gauge",
     "The receiver's estimate of its clock's frequency accuracy, as a fraction (NAV-CLOCK fAcc, in ps/s).",
     single<frequencyAccuracy>},
    {"tamrik_receiver_clock_bias_seconds", "gauge", "The receiver's clock bias (NAV-CLOCK clkB).", single<clockBias>},
    {"tamrik_receiver_clock_drift_ratio", "gauge",
     "The receiver's clock drift in seconds per second (NAV-CLOCK clkD, in ns/s).", single<clockDrift>},
    {"tamrik_receiver_pvt_time_accuracy_seconds", "gauge",
     "The receiver's estimate of its navigation solution's time accuracy (NAV-PVT tAcc).", single<fixTimeAccuracy>},
    {"tamrik_receiver_fix_type", "gauge",
     "The receiver's fix type (NAV-PVT fixType): 0 none, 1 dead reckoning only, 2 2D, 3 3D, 4 GNSS with dead "
     "reckoning, 5 time only.",
     single<fixType>},
    {"tamrik_receiver_position_dop", "gauge", "Position dilution of precision (NAV-PVT pDOP).", single<positionDop>},
    {"tamrik_receiver_pvt_satellites_used", "gauge", "Satellites used in the navigation solution (NAV-PVT numSV).",
     single<satellitesInSolution>},
    {"tamrik_satellites", "gauge", "Satellites the receiver reports (NAV-SVINFO; idle channels are none).",
     single<satelliteCount>},
    {"tamrik_satellites_used", "gauge", "Satellites the receiver reports as used in the navigation solution.",
     single<satellitesUsed>},
    {"tamrik_constellation_satellites", "gauge", "Satellites the receiver reports, by constellation.",
     byConstellation<false>},
    {"tamrik_constellation_satellites_used", "gauge",
     "Satellites the receiver reports as used in the navigation solution, by constellation.", byConstellation<true>},
    {"tamrik_satellite_cno_dbhz", "gauge", "Carrier-to-noise ratio of each satellite.", perSatellite<cno>},
    {"tamrik_satellite_elevation_degrees", "gauge", "Elevation of each satellite that has a position.",
     perSatellite<elevation, true>},
    {"tamrik_satellite_used", "gauge", "1 when the satellite is used in the navigation solution.", perSatellite<used>},
};

}  // namespace

std::string prometheusMetrics(std::span<const UnitReading> units, std::string_view version) {
  text::PrometheusText text;
  text.family("tamrikctl_build_info", "gauge", "The version of tamrikctl in its label; always 1.");
  text.sample({{"version", std::string(version)}}, 1);
  for (const Family& family : kFamilies) {
    Samples samples;
    for (const UnitReading& u : units) family.collect(u, {{"serial", u.identity.serial}}, samples);
    // A family without samples is left out.
    if (samples.empty()) continue;
    text.family(family.name, family.type, family.help);
    for (const auto& [labels, value] : samples) text.sample(labels, value);
  }
  return text.str();
}

}  // namespace tamrik::monitor
