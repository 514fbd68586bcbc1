#pragma once
#include <chrono>
#include <functional>

namespace tamrik::sim {

using SteadyTime = std::chrono::steady_clock::time_point;
using UtcTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;

// The time base of the simulated units. Everything they do (report cadence, receiver epochs,
// relock delays, scheduled faults) is computed from now(), and reads that have to wait call
// waitUntil(), so the same units run in real time for the program and in virtual time for tests.
class SimClock {
 public:
  virtual ~SimClock() = default;
  virtual SteadyTime now() = 0;
  // Lets time pass until t (no effect when t is not in the future): a real clock sleeps, a virtual
  // clock jumps there.
  virtual void waitUntil(SteadyTime t) = 0;
  // UTC at the steady instant t. Linear in t: one steady second is one UTC second, so receiver
  // epochs at whole UTC seconds fall one steady second apart.
  virtual UtcTime utcAt(SteadyTime t) = 0;
};

// The machine's steady clock; UTC is the system clock as read once at construction.
class RealClock final : public SimClock {
 public:
  RealClock();
  SteadyTime now() override;
  void waitUntil(SteadyTime t) override;
  UtcTime utcAt(SteadyTime t) override;

 private:
  SteadyTime steadyStart_;
  UtcTime utcStart_;
};

// A clock that moves only when told to: by advance(), or by a simulated read that waits.
class VirtualClock final : public SimClock {
 public:
  // 2025-03-07 08:05:09.400 UTC: deliberately not on a whole second.
  static UtcTime defaultUtcStart();

  explicit VirtualClock(UtcTime utcStart = defaultUtcStart());

  SteadyTime now() override { return now_; }
  void waitUntil(SteadyTime t) override;
  UtcTime utcAt(SteadyTime t) override;

  void advance(std::chrono::nanoseconds d);
  std::chrono::nanoseconds elapsed() const { return now_ - origin_; }
  SteadyTime origin() const { return origin_; }

  // A sleeper for platform::HostKernel that advances this clock instead of waiting.
  std::function<void(std::chrono::milliseconds)> sleeper();

 private:
  SteadyTime origin_;
  SteadyTime now_;
  UtcTime utcStart_;
};

}  // namespace tamrik::sim
