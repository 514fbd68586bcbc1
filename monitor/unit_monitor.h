#pragma once
// Every attached unit (or the one of --unit), watched for as long as the program runs, for `watch`
// and `exporter`: units are found as they come, each is read in turn, its receiver's messages are
// switched on again when another program switched them off, a unit that goes away is waited for,
// and everything goes into a health record, the latest reading of each unit and its sky with the
// last hour (fed as the Satellites window feeds its own).
//
// It runs on the caller's thread, one bounded round at a time (step). Another thread may look at
// what it keeps (inspect) while it runs: the state changes only under its mutex, never during a
// read from a unit.

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "monitor/unit_reading.h"
#include "core/health.h"
#include "core/receiver_stream.h"
#include "core/sky.h"
#include "core/unit.h"
#include "platform/sim/sim_clock.h"

namespace tamrik::monitor {

// Health's UTC from a simulation clock (the machine's, or a test's virtual one).
class SimUtcClock final : public core::UtcClock {
 public:
  explicit SimUtcClock(sim::SimClock& clock) : clock_(clock) {}
  core::UtcTime now() override { return std::chrono::floor<std::chrono::milliseconds>(clock_.utcAt(clock_.now())); }

 private:
  sim::SimClock& clock_;
};

class UnitMonitor {
 public:
  struct Options {
    std::optional<std::string> serial;  // only this unit; without one, every unit
    // Read each unit's identity and settings back when it is opened and every settingsInterval
    // after (the exporter's metrics carry them; watch does not need them).
    bool readSettings = false;
  };
  // Units are looked for this often while one is missing.
  static constexpr std::chrono::milliseconds kScanInterval{1000};
  static constexpr std::chrono::seconds kSettingsInterval{60};
  // A receiver that sent no NAV message for this long has no present fix, position or satellites
  // (its slowest rates send NAV-PVT every 10 and NAV-SVINFO every 20 solutions).
  static constexpr std::chrono::seconds kReceiverSilenceLimit{25};
  // The longest a read of one unit waits for its first report.
  static constexpr std::chrono::milliseconds kReadWait{20};
  // A round takes at least this long: the reports that came meanwhile wait in the device's queue
  // (a second of them fits one read) and are read together, instead of one wake-up per report.
  static constexpr std::chrono::milliseconds kRoundInterval{50};

  UnitMonitor(core::UnitServices services, sim::SimClock& clock, core::Health& health, Options options);
  ~UnitMonitor();
  UnitMonitor(const UnitMonitor&) = delete;
  UnitMonitor& operator=(const UnitMonitor&) = delete;

  // One round: looks for units when it is time, reads every open unit once and checks who went
  // quiet, then pauses until kRoundInterval has passed since the round began. Waits at most a
  // little more than kReadWait per open unit; with none open, it pauses until the next look.
  void step();

  // The latest reading of every unit seen, in the order they were first found, with its health
  // record, under the mutex: f(const std::vector<UnitReading>&).
  template <typename F>
  void inspect(F&& f) {
    std::lock_guard<std::mutex> lock(mutex_);
    f(readingsLocked());
  }

  // The health record and everything else the monitor keeps change only under this mutex.
  std::mutex& mutex() { return mutex_; }

 private:
  struct Watched;
  void scan();
  void open(Watched& w);
  void read(Watched& w);
  void lose(Watched& w);
  std::vector<UnitReading> readingsLocked();

  core::UnitServices services_;
  sim::SimClock& clock_;
  core::Health& health_;
  core::Health::Listener healthListenerBefore_;  // the health record's listener before ours
  Options options_;
  std::unique_ptr<core::Unit> scanner_;  // lists the units; never keeps one open
  std::vector<std::unique_ptr<Watched>> units_;
  sim::SteadyTime nextScan_{};
  std::mutex mutex_;
};

}  // namespace tamrik::monitor
