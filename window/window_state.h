#pragma once
#include <cstdint>
#include <vector>

#include "core/unit_session.h"
#include "platform/platform.h"
#include "ui/number_text.h"
#include "ui/window_model.h"

namespace tamrik {

// Window-level flags; all start false.
struct WindowFlags {
  bool ScanDone = false;
  bool ReconnectRequested = false;
  bool SettingsLoaded = false;
  bool BlinkOn = false;
  bool SearchRunning = false;
  bool SetClockRequested = false;
  bool AdvancedCollapsed = false;
  bool Unloading = false;  // the window is going away; long actions end as if cancelled
};

// The state every subsystem of the main window works on: the services, the controls, the open unit
// and the flags. The main window owns it for the life of the program.
struct WindowState {
  WindowState(platform::Platform& p, ui::WindowModel& m, ui::NumberFormat f)
      : platform(p), model(m), numberFormat(std::move(f)), session({p.hid, p.deviceSetup, p.kernel}) {}

  platform::Platform& platform;
  ui::WindowModel& model;
  ui::NumberFormat numberFormat;
  // The open unit. The session alone opens and closes units and says whether one is open; its
  // epoch counts every opening and closing, so that an action that lets the window process events
  // in its middle can tell that the unit it started with is no longer the one open.
  core::UnitSession session;
  WindowFlags flags;
  // Reference frequencies the divider search never uses; start-up fills it.
  std::vector<std::int32_t> ExcludedReferences;
  // Counts settings readbacks, which rewrite every settings control.
  std::uint64_t readbackCount = 0;
};

}  // namespace tamrik
