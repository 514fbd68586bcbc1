#pragma once
// The window's health record: what happened to the units the window had open while it ran, fed by
// the same core code tamrikctl's watch and exporter use (core/health.h). The GPS monitor feeds it
// with the input reports' status and the receiver's NAV-PVT, and tells it whenever the window's
// connection opens or closes a unit; the status lights' tooltips are made from it.
//
// Owned by WindowState (state.health) for the life of the window; reached from FrmMain as
// frm.state().health. Everything runs on the window's thread.
//
//   WindowHealth& h = frm.state().health;
//   const core::UnitHealth* unit = h.shown();   // the unit the lights show, nullptr before any
//   for (const WindowHealthEvent& e : h.events()) ...  // the latest events, oldest first
//   auto id = h.subscribe([](const WindowHealthEvent& e) { ... });  // each event as it happens
//   h.unsubscribe(id);
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/health.h"
#include "core/unit.h"
#include "platform/kernel_service.h"

namespace tamrik::window {

// One event of the record, with the unit it happened to.
struct WindowHealthEvent {
  std::string serial;
  core::HealthEvent event;  // event.at is its UTC time
};

class WindowHealth {
 public:
  using Listener = std::function<void(const WindowHealthEvent&)>;
  using ListenerId = std::uint64_t;
  // The events kept: more than a night of trouble at a few events a minute.
  static constexpr std::size_t kEventsKept = 4096;

  explicit WindowHealth(platform::KernelService& kernel);
  WindowHealth(const WindowHealth&) = delete;
  WindowHealth& operator=(const WindowHealth&) = delete;

  // UTC now, as the record reads it (the kernel's clock).
  core::UtcTime now() const { return kernel_.utcNow(); }
  // The record's clock, for other records that must keep the same time.
  core::UtcClock& clock() { return utc_; }

  // The whole record: every unit the window had open.
  const core::Health& record() const { return health_; }
  // The serial of the unit whose report the status lights show last, "" before the first report.
  const std::string& shownSerial() const { return shownSerial_; }
  // That unit's record, nullptr before the first report.
  const core::UnitHealth* shown() const { return health_.unit(shownSerial_); }

  // The latest events of every unit, oldest first, at most kEventsKept.
  const std::deque<WindowHealthEvent>& events() const { return events_; }
  // Told of each event after the record took it in. A listener may unsubscribe itself.
  ListenerId subscribe(Listener listener);
  void unsubscribe(ListenerId id);

  // The feed, for the GPS monitor.
  // Follows the window's connection: a unit opened (or another one opened in its place) is
  // connected, one closed is away.
  void follow(const core::Unit& unit);
  // The status of the first report of a read from the open unit; the lights now show it.
  void inputStatus(const core::Unit& unit, const core::InputStatus& status);
  void navPvt(const core::Unit& unit, const core::NavPvt& pvt);
  // Finds a unit that stopped reporting while open.
  void check() { health_.check(); }

  // The status lights' tooltips for the shown unit, now.
  std::string gpsTooltip() const;
  std::string pllTooltip() const;

 private:
  class KernelUtc final : public core::UtcClock {
   public:
    explicit KernelUtc(platform::KernelService& kernel) : kernel_(kernel) {}
    core::UtcTime now() override { return kernel_.utcNow(); }

   private:
    platform::KernelService& kernel_;
  };

  void record(const core::UnitHealth& unit, const core::HealthEvent& event);

  platform::KernelService& kernel_;
  KernelUtc utc_;
  core::Health health_;
  std::string shownSerial_;
  // The unit the record was last told is connected, and the opening it came with.
  std::string connectedSerial_;
  std::uint64_t connectedEpoch_ = 0;
  bool isConnected_ = false;
  std::deque<WindowHealthEvent> events_;
  std::vector<std::pair<ListenerId, Listener>> listeners_;
  ListenerId nextListener_ = 1;
};

}  // namespace tamrik::window
