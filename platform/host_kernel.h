#pragma once
#include <chrono>
#include <functional>

#include "platform/device_backend.h"
#include "platform/kernel_service.h"
#include "platform/system_clock.h"

namespace tamrik::platform {

// The kernel service of a running program: devices come from a device backend, the clock from a
// system clock, pauses from a sleeper (the thread's real sleep unless a test passes its own), the
// time of day from a UTC source (the machine's clock unless a test passes its own).
class HostKernel final : public KernelService {
 public:
  using Sleeper = std::function<void(std::chrono::milliseconds)>;
  using UtcSource = std::function<UtcNow()>;

  HostKernel(DeviceBackend& devices, SystemClock& clock, Sleeper sleeper = {}, UtcSource utc = {});

  DeviceHandle openDevice(const std::string& path, OpenMode mode) override;
  OpenFailure lastOpenFailure() override { return devices_.lastOpenFailure(); }
  bool closeHandle(DeviceHandle handle) override;
  void sleep(std::chrono::milliseconds duration) override;
  UtcNow utcNow() override { return utc_(); }
  void setSystemTime(const SystemTime& utc, ClockPrompt prompt, ClockAnswer answer) override;

 private:
  DeviceBackend& devices_;
  SystemClock& clock_;
  Sleeper sleeper_;
  UtcSource utc_;
};

}  // namespace tamrik::platform
