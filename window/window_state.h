#pragma once
#include <cstdint>
#include <vector>

#include "platform/platform.h"
#include "ui/main_window_controls.h"
#include "ui/number_text.h"
#include "ui/window_model.h"
#include "window/unit_link.h"
#include "window/window_health.h"

namespace tamrik::window {

// The window's own flags; all start false. (Whether a unit is open and its settings loaded, and
// whether the user asked for another unit, are the connection's: UnitLink.)
struct WindowFlags {
  bool ScanDone = false;
  bool BlinkOn = false;
  bool SearchRunning = false;
  bool SetClockRequested = false;
  bool AdvancedCollapsed = false;
  bool Unloading = false;  // the window is going away; long actions end as if cancelled
};

// The state every subsystem of the main window works on: the services, the controls, the
// connection to the unit, its health record and the flags. The main window owns it for the life of the program.
struct WindowState {
  WindowState(platform::Platform& p, ui::WindowModel& m, ui::NumberFormat f)
      : platform(p),
        model(m),
        numberFormat(std::move(f)),
        controls(m),
        link({p.hid, p.deviceSetup, p.kernel}, controls.Timer),
        health(p.kernel) {}

  platform::Platform& platform;
  ui::WindowModel& model;
  ui::NumberFormat numberFormat;
  // The controls, by their names in the design: ui/main_window_controls.h.
  ui::MainWindowControls controls;
  // The connection to the unit. The unit's epoch counts every opening and closing, so that an
  // action that lets the window process events in its middle can tell that the unit it started
  // with is no longer the one open.
  UnitLink link;
  // What happened to the units the window had open (window/window_health.h): the status lights'
  // tooltips come from it.
  WindowHealth health;
  WindowFlags flags;
  // Reference frequencies the divider search never uses; start-up fills it.
  std::vector<std::int32_t> ExcludedReferences;
  // Counts settings readbacks, which rewrite every settings control.
  std::uint64_t readbackCount = 0;
};

}  // namespace tamrik::window
