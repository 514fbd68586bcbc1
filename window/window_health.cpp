#include "window/window_health.h"

#include <algorithm>

#include "core/health_text.h"

namespace tamrik::window {

WindowHealth::WindowHealth(platform::KernelService& kernel) : kernel_(kernel), utc_(kernel), health_(utc_) {
  health_.setListener([this](const core::UnitHealth& unit, const core::HealthEvent& event) { record(unit, event); });
}

WindowHealth::ListenerId WindowHealth::subscribe(Listener listener) {
  listeners_.emplace_back(nextListener_, std::move(listener));
  return nextListener_++;
}

void WindowHealth::unsubscribe(ListenerId id) {
  std::erase_if(listeners_, [id](const auto& entry) { return entry.first == id; });
}

void WindowHealth::record(const core::UnitHealth& unit, const core::HealthEvent& event) {
  events_.push_back({unit.serial, event});
  if (events_.size() > kEventsKept) events_.pop_front();
  // A listener may subscribe or unsubscribe while it is told: the round goes over those there
  // when the event came, skipping any that left meanwhile.
  const auto listeners = listeners_;
  for (const auto& [id, listener] : listeners) {
    const bool still = std::any_of(listeners_.begin(), listeners_.end(), [id](const auto& e) { return e.first == id; });
    if (still) listener(events_.back());
  }
}

void WindowHealth::follow(const core::Unit& unit) {
  const bool open = unit.isOpen();
  if (isConnected_ && (!open || unit.epoch() != connectedEpoch_)) {
    isConnected_ = false;
    health_.disconnected(connectedSerial_);
  }
  if (open && !isConnected_) {
    connectedSerial_ = unit.openUnit().serial;
    connectedEpoch_ = unit.epoch();
    isConnected_ = true;
    health_.connected(connectedSerial_);
  }
}

void WindowHealth::inputStatus(const core::Unit& unit, const core::InputStatus& status) {
  follow(unit);
  if (!isConnected_) return;
  shownSerial_ = connectedSerial_;
  health_.inputStatus(connectedSerial_, status);
}

void WindowHealth::navPvt(const core::Unit& unit, const core::NavPvt& pvt) {
  follow(unit);
  if (isConnected_) health_.navPvt(connectedSerial_, pvt);
}

std::string WindowHealth::gpsTooltip() const { return core::gpsLightTooltip(shown(), now()); }
std::string WindowHealth::pllTooltip() const { return core::pllLightTooltip(shown(), now()); }

}  // namespace tamrik::window
