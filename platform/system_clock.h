#pragma once
#include "platform/system_time.h"

namespace tamrik::platform {

// Sets the computer's clock. Implementations receive only times that passed isValidSystemTime.
class SystemClock {
 public:
  virtual ~SystemClock() = default;
  virtual bool set(const SystemTime& utc) = 0;
};

}  // namespace tamrik::platform
