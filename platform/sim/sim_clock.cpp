#include "platform/sim/sim_clock.h"

#include <thread>

namespace tamrik::sim {

RealClock::RealClock()
    : steadyStart_(std::chrono::steady_clock::now()),
      utcStart_(std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now())) {}

SteadyTime RealClock::now() { return std::chrono::steady_clock::now(); }

void RealClock::waitUntil(SteadyTime t) {
  if (t > std::chrono::steady_clock::now()) std::this_thread::sleep_until(t);
}

UtcTime RealClock::utcAt(SteadyTime t) {
  return utcStart_ + std::chrono::duration_cast<std::chrono::nanoseconds>(t - steadyStart_);
}

UtcTime VirtualClock::defaultUtcStart() {
  using namespace std::chrono;
  return UtcTime(sys_days(year(2025) / March / 7).time_since_epoch() + hours(8) + minutes(5) + seconds(9) +
                 milliseconds(400));
}

// The origin sits an hour after the steady clock's epoch so that arithmetic just before it stays
// well-defined.
VirtualClock::VirtualClock(UtcTime utcStart)
    : origin_(SteadyTime(std::chrono::hours(1))), now_(origin_), utcStart_(utcStart) {}

void VirtualClock::waitUntil(SteadyTime t) {
  if (t > now_) now_ = t;
}

UtcTime VirtualClock::utcAt(SteadyTime t) {
  return utcStart_ + std::chrono::duration_cast<std::chrono::nanoseconds>(t - origin_);
}

void VirtualClock::advance(std::chrono::nanoseconds d) {
  if (d.count() > 0) now_ += std::chrono::duration_cast<SteadyTime::duration>(d);
}

std::function<void(std::chrono::milliseconds)> VirtualClock::sleeper() {
  return [this](std::chrono::milliseconds d) { advance(d); };
}

}  // namespace tamrik::sim
