#pragma once
// A main window on simulated units in virtual time, without a display: the fixture of the
// window-level tests. Every feature report the window sends is recorded with its bytes, and every
// pause it takes is noted in the recorder's call log where it happened.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "app/frm_main.h"
#include "platform/host_kernel.h"
#include "platform/sim/sim_clock.h"
#include "platform/sim/simulated_units.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_device_backend.h"
#include "platform/testing/recording_services.h"

namespace tamrik::testing {

struct SimulatedWindow {
  // The window's clock reads UTC from the virtual clock, which starts at utcStart.
  explicit SimulatedWindow(ui::NumberFormat format = ui::NumberFormat::point(),
                           sim::UtcTime utcStart = sim::VirtualClock::defaultUtcStart())
      : simClock(utcStart),
        kernel(
            recorder, clock,
            [this](std::chrono::milliseconds d) {
              pauses.push_back(d);
              recorder.pause(d);
              if (onPause) onPause(d);
              simClock.advance(d);
            },
            [this] { return std::chrono::floor<std::chrono::milliseconds>(simClock.utcAt(simClock.now())); }),
        frm(platform, std::move(format)) {}

  // Adds a Tamrik unit with the given serial (other settings as the config says).
  sim::UnitId addUnit(std::u16string serial, sim::UnitConfig config = {}) {
    config.serial = std::move(serial);
    return units.addUnit(std::move(config));
  }

  // Feature reports sent with a command code, as byte vectors.
  std::vector<std::vector<std::uint8_t>> sent(std::uint8_t code) const {
    std::vector<std::vector<std::uint8_t>> out;
    for (const auto& r : recorder.sentWithCommand(code)) out.push_back(r.bytes);
    return out;
  }

  // Runs timer ticks as the timer would fire them, advancing virtual time by its interval.
  void runTicks(int count) {
    for (int i = 0; i < count; ++i) {
      const auto& timer = frm.model().at("Timer");
      simClock.advance(std::chrono::milliseconds(timer.interval));
      if (timer.enabled) frm.timerTick();
    }
  }

  // Runs ticks until virtual time has moved by at least d.
  void runFor(std::chrono::milliseconds d) {
    const auto end = simClock.now() + d;
    while (simClock.now() < end) runTicks(1);
  }

  ui::WindowModel& model() { return frm.model(); }
  const ui::Control& control(const std::string& name) { return frm.model().at(name); }
  std::string text(const std::string& name) { return frm.model().at(name).text; }
  window::WindowState& state() { return frm.state(); }

  sim::VirtualClock simClock;
  sim::SimulatedUnits units{simClock};
  platform::testing::RecordingDeviceBackend recorder{units};
  platform::testing::RecordingClock clock;
  platform::testing::RecordingShell shell;
  platform::testing::HeadlessToolkit toolkit;
  std::vector<std::chrono::milliseconds> pauses;
  std::function<void(std::chrono::milliseconds)> onPause;  // told of each pause before it runs
  platform::HostKernel kernel;
  platform::Platform platform{recorder, recorder, kernel, shell, toolkit};
  FrmMain frm;
};

}  // namespace tamrik::testing
