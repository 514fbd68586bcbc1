#pragma once
// What happened to each unit while the program watched it: when the GPS signal, the PLL lock and
// the receiver's fix were lost and came back, how long each state lasted, the unit's own count of
// signal losses as a running total, and the unit going away and coming back.
//
// Health is fed through a narrow door: the status bytes of the unit's input reports, its decoded
// NAV-PVT messages, and the unit's connections and disconnections. It reads the time from the clock it
// is given, so the window, tamrikctl and tests each bring their own. Not thread-safe.
//
//   tamrik::core::Health health(clock);
//   health.setListener([](const tamrik::core::HealthEvent& e) { ... });  // optional
//   health.connected("Q00001");                       // the unit was opened
//   health.inputStatus("Q00001", status);             // each read's InputStatus
//   health.navPvt("Q00001", pvt);                     // each NAV-PVT
//   health.check();                                   // now and then: finds units gone quiet
//   health.disconnected("Q00001");                    // a read failed: the unit is away
//   const tamrik::core::UnitHealth* record = health.unit("Q00001");
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/protocol.h"
#include "core/ubx.h"

namespace tamrik::core {

using UtcTime = std::chrono::sys_time<std::chrono::milliseconds>;
using HealthDuration = std::chrono::milliseconds;

// Where Health reads UTC.
class UtcClock {
 public:
  virtual ~UtcClock() = default;
  virtual UtcTime now() = 0;
};

// A unit sends input reports many times a second; one that has sent none for this long while it is
// connected has stopped reporting, and what it last said is no longer its present state.
inline constexpr HealthDuration kReportSilenceLimit{1000};

// The losses the unit's 8-bit signal loss counter adds from one reading to the next: the counter
// runs on past 255 from 0, so 254 then 1 is 3.
constexpr std::uint32_t countedLosses(std::uint8_t before, std::uint8_t after) {
  return static_cast<std::uint8_t>(after - before);
}

// One of the unit's two-valued states: the GPS signal, the PLL lock or the receiver's fix.
struct StateHistory {
  bool known = false;  // false until the first report (or message) told it
  bool good = false;   // signal present, PLL locked, fix valid
  UtcTime since{};     // when it took its present value
  // False when the value was first seen at `since` (at the start, or when the unit came back): it
  // may have held before.
  bool sinceExact = false;
  // Times it was seen going from good to bad, while connected, since the record began.
  std::uint64_t losses = 0;
  // The latest loss: when it began, and how long it lasted once it ended.
  std::optional<UtcTime> lastLoss;
  std::optional<HealthDuration> lastLossLasted;
  // The latest loss was seen only in the unit's counter, the flag never showing it: it began and
  // ended shortly before lastLoss, between two reports.
  bool lastLossBetweenReports = false;
};

// What Health knows of one unit.
struct UnitHealth {
  std::string serial;
  bool connected = false;
  UtcTime connectionChanged{};  // when it was connected or went away, the latest of the two
  std::uint64_t disconnects = 0;

  // The latest input report's status, and when it came.
  std::optional<InputStatus> status;
  std::optional<UtcTime> lastReport;
  // Connected and reporting: an input report came within kReportSilenceLimit. False while no report
  // has come since the unit was connected.
  bool reporting = false;
  UtcTime silentSince{};  // while connected but not reporting: since when

  // The unit's signal loss counter unwrapped: the losses it counted since the record began. A power
  // cycle (the unit back with a lower count) starts the unit's count again and adds nothing.
  std::uint64_t gpsSignalLosses = 0;

  StateHistory gpsSignal;
  StateHistory pllLock;
  StateHistory fix;

  // The present state is known and current: connected, reporting.
  bool current() const { return connected && reporting; }
};

enum class HealthEventKind {
  State,              // the first report after the start of watching: the state as found
  Connected,          // the unit came (back) and sent its first report: the state as found
  Disconnected,       // the unit went away (unplugged, or its handle failed)
  ReportsStopped,     // connected, but no input report for kReportSilenceLimit
  ReportsResumed,     // reports again after they had stopped
  GpsSignalLost,
  GpsSignalRegained,
  GpsSignalLossesCounted,  // the unit counted losses between two reports, the flag never showing them
  PllLockLost,
  PllLockRegained,
  FixLost,
  FixRegained,
};
// "state", "unit_connected", "unit_disconnected", "reports_stopped", "reports_resumed",
// "gps_signal_lost", "gps_signal_regained", "gps_signal_losses_counted", "pll_lock_lost",
// "pll_lock_regained", "fix_lost", "fix_regained".
std::string_view healthEventName(HealthEventKind kind);

struct HealthEvent {
  HealthEventKind kind = HealthEventKind::State;
  UtcTime at{};
  // How long the state that ended lasted (a lost signal: how long the signal had been there; a
  // regained one: how long it had been away). Empty when that state's start was never seen;
  // lastedExact false when it was first seen already so (the time is then at least that).
  std::optional<HealthDuration> lasted;
  bool lastedExact = false;
  // GpsSignalLost and GpsSignalLossesCounted: the losses the unit's counter added with this report.
  std::uint32_t counted = 0;
};

class Health {
 public:
  using Listener = std::function<void(const UnitHealth&, const HealthEvent&)>;

  explicit Health(UtcClock& clock);
  ~Health();
  Health(const Health&) = delete;
  Health& operator=(const Health&) = delete;

  // Told of every event as it happens, after the record took it in.
  void setListener(Listener listener) { listener_ = std::move(listener); }
  // The listener set, for one who adds to it rather than replacing it.
  const Listener& listener() const { return listener_; }

  // The unit was opened. Its first report then tells its state (Connected, or State the first time).
  void connected(std::string_view serial);
  // The unit went away. Its states stay as last known; it is no longer current.
  void disconnected(std::string_view serial);
  // The status bytes of an input report that just came.
  void inputStatus(std::string_view serial, const InputStatus& status);
  // A decoded NAV-PVT: the receiver's fix.
  void navPvt(std::string_view serial, const NavPvt& pvt);
  // Finds connected units whose reports stopped. Call it now and then (each round of reading).
  void check();

  // The record of a unit, or nullptr for one never connected.
  const UnitHealth* unit(std::string_view serial) const;
  // Every record, in the order the units were first connected.
  std::vector<const UnitHealth*> units() const;

  UtcClock& clock() { return clock_; }

 private:
  struct Entry;
  Entry& entry(std::string_view serial);
  void tell(const UnitHealth& u, const HealthEvent& e);

  UtcClock& clock_;
  Listener listener_;
  std::vector<std::unique_ptr<Entry>> units_;
};

}  // namespace tamrik::core
