#pragma once
// What tamrikctl runs on: the time base of its waits and of simulated units, the pauses between
// device requests, and the computer's own HID devices. The program runs on the machine's clock
// and devices; tests run on a virtual clock without real units.

#include <memory>

#include "platform/device_backend.h"
#include "platform/host_kernel.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"

namespace tamrik::ctl {

class Host {
 public:
  virtual ~Host() = default;
  // The time of --wait and --duration, and of simulated units.
  virtual sim::SimClock& clock() = 0;
  // Pauses between device requests; empty: the thread sleeps.
  virtual platform::HostKernel::Sleeper sleeper() { return {}; }
  // The computer's HID devices, or nullptr for none. Asked only by commands that reach a unit.
  virtual platform::DeviceBackend* realUnits() { return nullptr; }
  // Told of the simulated units once they are built, and once more before they go away.
  virtual void simulationStarted(sim::SimulatedUnits&) {}
  virtual void simulationEnding(sim::SimulatedUnits&) {}
};

// The machine's steady clock, its precise pauses and its HID devices through hidapi, opened on
// first use.
class SystemHost final : public Host {
 public:
  SystemHost();
  ~SystemHost() override;
  sim::SimClock& clock() override { return clock_; }
  platform::HostKernel::Sleeper sleeper() override;
  platform::DeviceBackend* realUnits() override;

 private:
  sim::RealClock clock_;
  std::unique_ptr<platform::DeviceBackend> realUnits_;
};

}  // namespace tamrik::ctl
