#include "core/health.h"

#include <algorithm>

namespace tamrik::core {

namespace {

// A state seen for the first time, or again after the unit was away: it holds from now, perhaps
// from earlier.
void foundAs(StateHistory& s, bool good, UtcTime now) {
  s.known = true;
  s.good = good;
  s.since = now;
  s.sinceExact = false;
}

// How long the state that ends now had lasted.
void lastedUntil(HealthEvent& e, const StateHistory& s, UtcTime now) {
  e.lasted = now - s.since;
  e.lastedExact = s.sinceExact;
}

// The state was seen changing. Returns the event it makes.
HealthEvent change(StateHistory& s, bool good, UtcTime now, HealthEventKind lost, HealthEventKind regained) {
  HealthEvent e;
  e.at = now;
  e.kind = good ? regained : lost;
  lastedUntil(e, s, now);
  if (good) {
    // The bad spell that ends began with the latest loss: it lasted this long.
    if (s.lastLoss && *s.lastLoss == s.since && s.sinceExact) s.lastLossLasted = now - *s.lastLoss;
  } else {
    ++s.losses;
    s.lastLoss = now;
    s.lastLossLasted.reset();
    s.lastLossBetweenReports = false;
  }
  s.good = good;
  s.since = now;
  s.sinceExact = true;
  return e;
}

}  // namespace

std::string_view healthEventName(HealthEventKind kind) {
  switch (kind) {
    case HealthEventKind::State: return "state";
    case HealthEventKind::Connected: return "unit_connected";
    case HealthEventKind::Disconnected: return "unit_disconnected";
    case HealthEventKind::ReportsStopped: return "reports_stopped";
    case HealthEventKind::ReportsResumed: return "reports_resumed";
    case HealthEventKind::GpsSignalLost: return "gps_signal_lost";
    case HealthEventKind::GpsSignalRegained: return "gps_signal_regained";
    case HealthEventKind::GpsSignalLossesCounted: return "gps_signal_losses_counted";
    case HealthEventKind::PllLockLost: return "pll_lock_lost";
    case HealthEventKind::PllLockRegained: return "pll_lock_regained";
    case HealthEventKind::FixLost: return "fix_lost";
    case HealthEventKind::FixRegained: return "fix_regained";
  }
  return "state";
}

// What the record keeps beside what it shows.
struct Health::Entry {
  UnitHealth shown;
  bool firstReportPending = false;  // connected, no report yet
  bool fixPending = false;          // connected, no NAV-PVT yet
  bool reportedBefore = false;      // some connection had a report
  bool silenceTold = false;         // ReportsStopped was said for this silence
  UtcTime awaySince{};
};

Health::Health(UtcClock& clock) : clock_(clock) {}
Health::~Health() = default;

Health::Entry& Health::entry(std::string_view serial) {
  for (auto& e : units_) {
    if (e->shown.serial == serial) return *e;
  }
  units_.push_back(std::make_unique<Entry>());
  units_.back()->shown.serial = std::string(serial);
  return *units_.back();
}

const UnitHealth* Health::unit(std::string_view serial) const {
  for (const auto& e : units_) {
    if (e->shown.serial == serial) return &e->shown;
  }
  return nullptr;
}

std::vector<const UnitHealth*> Health::units() const {
  std::vector<const UnitHealth*> all;
  for (const auto& e : units_) all.push_back(&e->shown);
  return all;
}

void Health::tell(const UnitHealth& u, const HealthEvent& e) {
  if (listener_) listener_(u, e);
}

void Health::connected(std::string_view serial) {
  Entry& e = entry(serial);
  UnitHealth& u = e.shown;
  if (u.connected) return;
  u.connected = true;
  u.connectionChanged = clock_.now();
  u.reporting = false;
  u.silentSince = u.connectionChanged;
  e.firstReportPending = true;
  e.fixPending = true;
  // The fix is told by the receiver's messages, which come later than the first report: until
  // then it is not known, rather than as it was before.
  u.fix.known = false;
  e.silenceTold = false;
}

void Health::disconnected(std::string_view serial) {
  Entry& e = entry(serial);
  UnitHealth& u = e.shown;
  if (!u.connected) return;
  const UtcTime now = clock_.now();
  HealthEvent event;
  event.kind = HealthEventKind::Disconnected;
  event.at = now;
  event.lasted = now - u.connectionChanged;
  event.lastedExact = true;
  u.connected = false;
  u.reporting = false;
  ++u.disconnects;
  u.connectionChanged = now;
  e.awaySince = now;
  e.firstReportPending = false;
  e.fixPending = false;
  tell(u, event);
}

void Health::inputStatus(std::string_view serial, const InputStatus& status) {
  Entry& e = entry(serial);
  UnitHealth& u = e.shown;
  if (!u.connected) connected(serial);
  const UtcTime now = clock_.now();
  u.lastReport = now;
  e.silenceTold = false;

  if (e.firstReportPending) {
    e.firstReportPending = false;
    HealthEvent event;
    event.at = now;
    if (e.reportedBefore) {
      event.kind = HealthEventKind::Connected;
      event.lasted = u.connectionChanged - e.awaySince;  // how long it was away
      event.lastedExact = true;
      // Back with the same count or more: the unit kept counting while it was away (it was not
      // powered off), and what it counted meanwhile are losses. A lower count is a power cycle,
      // which starts the count again and is no fault.
      if (u.status && status.lossCount >= u.status->lossCount) {
        u.gpsSignalLosses += static_cast<std::uint32_t>(status.lossCount - u.status->lossCount);
      }
    } else {
      event.kind = HealthEventKind::State;
    }
    foundAs(u.gpsSignal, status.gpsSignal, now);
    foundAs(u.pllLock, status.pllLock, now);
    u.status = status;
    u.reporting = true;
    e.reportedBefore = true;
    tell(u, event);
    return;
  }

  if (!u.reporting) {
    u.reporting = true;
    HealthEvent event;
    event.kind = HealthEventKind::ReportsResumed;
    event.at = now;
    event.lasted = now - u.silentSince;
    event.lastedExact = true;
    tell(u, event);
  }

  const std::uint32_t counted = countedLosses(u.status->lossCount, status.lossCount);
  u.gpsSignalLosses += counted;
  std::vector<HealthEvent> events;
  StateHistory& gps = u.gpsSignal;
  if (gps.good != status.gpsSignal) {
    events.push_back(change(gps, status.gpsSignal, now, HealthEventKind::GpsSignalLost, HealthEventKind::GpsSignalRegained));
    if (!status.gpsSignal) events.back().counted = counted;
  } else if (counted > 0 && status.gpsSignal) {
    // Lost and back again between two reports: only the unit's counter saw it.
    gps.lastLoss = now;
    gps.lastLossLasted.reset();
    gps.lastLossBetweenReports = true;
    HealthEvent event;
    event.kind = HealthEventKind::GpsSignalLossesCounted;
    event.at = now;
    event.counted = counted;
    events.push_back(event);
  }
  if (u.pllLock.good != status.pllLock) {
    events.push_back(change(u.pllLock, status.pllLock, now, HealthEventKind::PllLockLost, HealthEventKind::PllLockRegained));
  }
  u.status = status;
  for (const HealthEvent& event : events) tell(u, event);
}

void Health::navPvt(std::string_view serial, const NavPvt& pvt) {
  Entry& e = entry(serial);
  UnitHealth& u = e.shown;
  if (!u.connected) return;
  const UtcTime now = clock_.now();
  const bool good = pvt.fixGood();
  if (e.fixPending) {
    e.fixPending = false;
    foundAs(u.fix, good, now);
    return;
  }
  if (u.fix.good != good) tell(u, change(u.fix, good, now, HealthEventKind::FixLost, HealthEventKind::FixRegained));
}

void Health::check() {
  const UtcTime now = clock_.now();
  for (auto& entry : units_) {
    Entry& e = *entry;
    UnitHealth& u = e.shown;
    if (!u.connected || e.silenceTold) continue;
    const UtcTime heard = e.firstReportPending ? u.connectionChanged : u.lastReport.value_or(u.connectionChanged);
    if (now - heard < kReportSilenceLimit) continue;
    u.reporting = false;
    u.silentSince = heard;
    e.silenceTold = true;
    HealthEvent event;
    event.kind = HealthEventKind::ReportsStopped;
    event.at = now;
    tell(u, event);
  }
}

}  // namespace tamrik::core
