#pragma once
#include "platform/device_setup_service.h"
#include "platform/hid_service.h"
#include "platform/kernel_service.h"
#include "platform/shell_service.h"
#include "platform/toolkit.h"

namespace tamrik::platform {

// The five services the program's logic uses; it calls nothing else of the operating system.
struct Platform {
  HidService& hid;
  DeviceSetupService& deviceSetup;
  KernelService& kernel;
  ShellService& shell;
  Toolkit& toolkit;
};

}  // namespace tamrik::platform
