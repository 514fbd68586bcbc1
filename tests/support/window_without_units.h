#pragma once
// The main window with no unit attached, on recording services and a virtual sleeper: what the
// tests of a window renderer (Qt, Win32) put their window on. Nothing polls; the test drives it.
#include <functional>

#include "app/frm_main.h"
#include "platform/host_kernel.h"
#include "platform/routing_device_backend.h"
#include "platform/testing/headless_toolkit.h"
#include "platform/testing/recording_services.h"

namespace tamrik::testing {

struct WindowWithoutUnits {
  platform::RoutingDeviceBackend noDevices{{}};
  platform::testing::RecordingClock clock;
  platform::testing::VirtualSleeper sleeper;
  platform::HostKernel kernel{noDevices, clock, std::ref(sleeper)};
  platform::testing::RecordingShell shell;
  platform::testing::HeadlessToolkit toolkit;
  platform::Platform platform{noDevices, noDevices, kernel, shell, toolkit};
  FrmMain frm{platform, ui::NumberFormat::point()};
};

}  // namespace tamrik::testing
