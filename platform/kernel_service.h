#pragma once
#include <chrono>
#include <cstdint>
#include <string>

#include "platform/device_handle.h"
#include "platform/system_clock.h"
#include "platform/system_time.h"

namespace tamrik::platform {

enum class OpenMode { Plain, Overlapped };

// UTC as the computer's clock tells it, to the millisecond.
using UtcNow = std::chrono::sys_time<std::chrono::milliseconds>;

// Operating-system services beyond HID: opening and closing devices, pausing, events and the clock.
class KernelService {
 public:
  virtual ~KernelService() = default;

  // Opens a device path for reading and writing, shared. kInvalidHandle when it cannot be opened
  // (absent, no permission, or held exclusively by another program).
  virtual DeviceHandle openDevice(const std::string& path, OpenMode mode) = 0;
  // Why the latest openDevice that gave kInvalidHandle failed.
  virtual OpenFailure lastOpenFailure() { return {}; }

  // Closes a handle. Harmless for kNoHandle and kInvalidHandle (returns false for them).
  virtual bool closeHandle(DeviceHandle handle) = 0;

  virtual void sleep(std::chrono::milliseconds duration) = 0;

  // The computer's clock now (UTC).
  virtual UtcNow utcNow() = 0;

  // Sets the computer's clock; answer (which may be empty) receives the outcome once, now or later
  // from the event loop. Only a setting with ClockPrompt::Allowed may ask the user for the right to.
  virtual void setSystemTime(const SystemTime& utc, ClockPrompt prompt, ClockAnswer answer) = 0;
};

}  // namespace tamrik::platform
