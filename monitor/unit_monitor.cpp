#include "monitor/unit_monitor.h"

#include "core/message_keeper.h"

#include <algorithm>

namespace tamrik::monitor {

using namespace std::chrono_literals;

// One unit: its own core::Unit, its receiver stream and what it said last.
struct UnitMonitor::Watched final : core::ReceiverSink {
  Watched(UnitMonitor& m, std::string name) : monitor(m), unit(m.services_), stream(*this) {
    serial = std::move(name);
    reading.identity.serial = serial;
  }

  void onInputStatus(const core::InputStatus& status) override {
    std::lock_guard<std::mutex> lock(monitor.mutex_);
    reading.receiver.status = status;
    sky.inputStatus(status, monitor.health_.clock().now());
    monitor.health_.inputStatus(serial, status);
  }
  void onReceiverBytes(std::span<const std::uint8_t>) override { heard = true; }
  void onNavPvt(const core::NavPvt& pvt) override {
    std::lock_guard<std::mutex> lock(monitor.mutex_);
    lastMessage = monitor.clock_.now();
    reading.receiver.pvt = pvt;
    monitor.health_.navPvt(serial, pvt);
  }
  void onNavSvInfo(const core::NavSvInfo& info) override {
    std::lock_guard<std::mutex> lock(monitor.mutex_);
    lastMessage = monitor.clock_.now();
    reading.receiver.satellites = core::skyOf(info);
    sky.navSvInfo(info, monitor.health_.clock().now());
  }
  void onNavClock(const core::NavClock& clock) override {
    std::lock_guard<std::mutex> lock(monitor.mutex_);
    lastClock = monitor.clock_.now();
    reading.receiver.clock = clock;
  }
  void onNavTimeUtc(const core::NavTimeUtc& utc) override {
    std::lock_guard<std::mutex> lock(monitor.mutex_);
    lastTimeUtc = monitor.clock_.now();
    reading.receiver.timeUtc = utc;
  }

  UnitMonitor& monitor;
  std::string serial;
  core::Unit unit;
  core::ReceiverStream stream;
  UnitReading reading;  // under the monitor's mutex
  core::SkyRecord sky;  // under the monitor's mutex
  bool heard = false;   // the read just done brought receiver bytes
  core::MessageKeeper<sim::SteadyTime> keeper{[this] { return unit.setNavMessageRates(); }};
  sim::SteadyTime lastReadback{};
  std::optional<sim::SteadyTime> lastMessage;  // NAV-PVT or NAV-SVINFO; under the monitor's mutex
  std::optional<sim::SteadyTime> lastClock;    // NAV-CLOCK; under the monitor's mutex
  std::optional<sim::SteadyTime> lastTimeUtc;  // NAV-TIMEUTC; under the monitor's mutex
};

UnitMonitor::UnitMonitor(core::UnitServices services, sim::SimClock& clock, core::Health& health, Options options)
    : services_(services),
      clock_(clock),
      health_(health),
      options_(std::move(options)),
      scanner_(std::make_unique<core::Unit>(services)),
      nextScan_(clock.now()) {
  // Each unit's last hour carries its health events, as the Satellites window's does. A listener
  // set before (watch's) is told first, as it was.
  healthListenerBefore_ = health_.listener();
  health_.setListener([this](const core::UnitHealth& u, const core::HealthEvent& e) {
    if (healthListenerBefore_) healthListenerBefore_(u, e);
    for (const auto& w : units_) {
      if (w->serial == u.serial) w->sky.event(e);
    }
  });
}

UnitMonitor::~UnitMonitor() {
  // The units are closed while the devices they were opened on are still there.
  units_.clear();
  scanner_.reset();
  health_.setListener(std::move(healthListenerBefore_));
}

void UnitMonitor::step() {
  const sim::SteadyTime began = clock_.now();
  scan();
  bool anyOpen = false;
  for (auto& w : units_) {
    if (!w->unit.isOpen()) continue;
    anyOpen = true;
    read(*w);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    health_.check();
    // The last hour gets its sample of this second (a round takes well under one).
    const core::UtcTime now = health_.clock().now();
    for (auto& w : units_) w->sky.sample(now);
  }
  if (!anyOpen) {
    const sim::SteadyTime now = clock_.now();
    clock_.waitUntil(std::min(nextScan_, now + std::chrono::duration_cast<sim::SteadyTime::duration>(100ms)));
  } else {
    clock_.waitUntil(began + std::chrono::duration_cast<sim::SteadyTime::duration>(kRoundInterval));
  }
}

void UnitMonitor::scan() {
  const sim::SteadyTime now = clock_.now();
  if (now < nextScan_) return;
  nextScan_ = now + std::chrono::duration_cast<sim::SteadyTime::duration>(kScanInterval);
  if (options_.serial) {
    // The one unit asked for, once it is open, needs no looking for.
    for (const auto& w : units_) {
      if (w->serial == *options_.serial && w->unit.isOpen()) return;
    }
  }
  for (const core::UnitEntry& entry : scanner_->units().units) {
    if (options_.serial && entry.serial != *options_.serial) continue;
    auto it = std::find_if(units_.begin(), units_.end(), [&](const auto& w) { return w->serial == entry.serial; });
    if (it == units_.end()) {
      units_.push_back(std::make_unique<Watched>(*this, entry.serial));
      it = std::prev(units_.end());
    }
    if (!(*it)->unit.isOpen()) open(**it);
  }
}

void UnitMonitor::open(Watched& w) {
  if (w.unit.open(w.serial) != core::OpenOutcome::Opened) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    health_.connected(w.serial);
  }
  const sim::SteadyTime now = clock_.now();
  if (options_.readSettings && w.unit.usable()) {
    core::UnitReadback readback = w.unit.readback();
    std::lock_guard<std::mutex> lock(mutex_);
    w.reading.identity = std::move(readback.identity);
    w.reading.identity.serial = w.serial;
    w.reading.settings = readback.settings;
  }
  w.lastReadback = now;
  // A failed command here is no loss; the next read tells whether the unit is still there.
  (void)w.unit.setNavMessageRates();
  w.keeper.switchedOn(now);
}

void UnitMonitor::read(Watched& w) {
  w.heard = false;
  if (w.unit.readReceiver(w.stream, kReadWait) == core::ReadOutcome::Lost) {
    lose(w);
    return;
  }
  const sim::SteadyTime now = clock_.now();
  w.keeper.afterRead(w.heard, now);
  if (options_.readSettings && now - w.lastReadback > kSettingsInterval && w.unit.usable()) {
    // The settings may have been changed by another program meanwhile.
    core::UnitReadback readback = w.unit.readback();
    w.lastReadback = now;
    if (readback.settings) {
      std::lock_guard<std::mutex> lock(mutex_);
      w.reading.settings = readback.settings;
    }
  }
}

void UnitMonitor::lose(Watched& w) {
  w.unit.close();
  std::lock_guard<std::mutex> lock(mutex_);
  w.sky.unitLost();
  health_.disconnected(w.serial);
}

std::vector<UnitReading> UnitMonitor::readingsLocked() {
  std::vector<UnitReading> readings;
  const sim::SteadyTime now = clock_.now();
  for (const auto& w : units_) {
    UnitReading r = w->reading;
    r.receiverCurrent = w->lastMessage && now - *w->lastMessage < kReceiverSilenceLimit;
    r.receiverClockCurrent = w->lastClock && now - *w->lastClock < kReceiverSilenceLimit;
    r.receiverTimeUtcCurrent = w->lastTimeUtc && now - *w->lastTimeUtc < kReceiverSilenceLimit;
    r.health = health_.unit(w->serial);
    r.sky = &w->sky;
    if (r.health) {
      r.lastReport = r.health->lastReport;
      r.up = r.health->current();
    }
    readings.push_back(std::move(r));
  }
  return readings;
}

}  // namespace tamrik::monitor
