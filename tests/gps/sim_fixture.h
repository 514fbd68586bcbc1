#pragma once
// The GPS monitor in a window model on simulated units in virtual time, and the frame builders
// the GPS tests share.
#include <chrono>
#include <functional>
#include <vector>

#include "readback/device_link.h"
#include "gps/gps_monitor.h"
#include "platform/host_kernel.h"
#include "platform/sim/simulated_units.h"
#include "platform/sim/ubx_frame.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_device_backend.h"
#include "platform/testing/recording_services.h"
#include "ui/satellite_chart.h"

namespace tamrik::gps::testing {

using Bytes = std::vector<std::uint8_t>;
namespace ubx = sim::ubx;

inline Bytes join(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// The NAV-PVT of the examples: 51.4778 N, 0.0014 W, 45.61 m, 2025-03-07 08:05:09.
inline ubx::NavPvt examplePvt() {
  ubx::NavPvt m;
  m.time = {2025, 3, 7, 8, 5, 9, 0};
  m.valid = 0x07;
  m.lat = 514778000;
  m.lon = -14000;
  m.height = 45610;
  return m;
}
inline Bytes clockFrame(std::int32_t clkD, std::uint32_t fAcc = 100) {
  return ubx::navClockFrame({.clkD = clkD, .fAcc = fAcc});
}

struct SimulatedMonitor {
  explicit SimulatedMonitor(sim::SimulatedUnits& units, sim::VirtualClock& virtualClock,
                            ui::NumberFormat format = ui::NumberFormat::point())
      : simClock(virtualClock),
        recorder(units),
        kernel(recorder, clock,
               [this](std::chrono::milliseconds d) {
                 pauses.push_back(d);
                 simClock.advance(d);
               }),
        model(chartModel()),
        state(platform, model, std::move(format)) {}

  static ui::WindowModel chartModel() {
    ui::WindowModel m = ui::WindowModel::mainWindow();
    ui::buildSatelliteChart(m);
    return m;
  }

  // Start-up as the window runs it: find and open a unit, read it back, start the timer.
  void start() {
    link.Scan_USB_devices();
    link.FindTheHid();
    link.ReadUnitSettings();
    model.setEnabled("Timer", true);
  }
  // A timer tick, virtual time having moved by the timer's interval.
  void tick() {
    simClock.advance(std::chrono::milliseconds(model.at("Timer").interval));
    monitor.PollInputReports();
  }
  void runFor(std::chrono::milliseconds d) {
    const auto end = simClock.now() + d;
    while (simClock.now() < end) tick();
  }
  // Ticks until the condition holds; false when it did not within the limit.
  bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::minutes(2)) {
    const auto end = simClock.now() + limit;
    while (!done()) {
      if (simClock.now() >= end) return false;
      tick();
    }
    return true;
  }

  std::vector<Bytes> sent(std::uint8_t code) const {
    std::vector<Bytes> out;
    for (const auto& r : recorder.sentWithCommand(code)) out.push_back(r.bytes);
    return out;
  }
  std::size_t reads() const { return recorder.count(platform::testing::RecordingDeviceBackend::CallKind::Read); }
  const std::string& text(const std::string& name) const { return model.at(name).text; }
  const ui::Control& control(const std::string& name) const { return model.at(name); }

  sim::VirtualClock& simClock;
  platform::testing::RecordingDeviceBackend recorder;
  platform::testing::RecordingClock clock;
  platform::testing::RecordingShell shell;
  platform::testing::HeadlessToolkit toolkit;
  std::vector<std::chrono::milliseconds> pauses;
  platform::HostKernel kernel;
  platform::Platform platform{recorder, recorder, kernel, shell, toolkit};
  ui::WindowModel model;
  window::WindowState state;
  readback::DeviceLink link{state};
  GpsMonitor monitor{state, link};
};

}  // namespace tamrik::gps::testing
