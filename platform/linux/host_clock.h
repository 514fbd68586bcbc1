#pragma once
#include <cstdint>

#include "platform/linux/linux_system_clock.h"

namespace tamrik::platform {

// The steps of LinuxSystemClock that reach this machine: clock_settime, systemd-timedated on the
// system bus, the steady clock and the real-time clock. Only the program links them, in a library
// of their own (tamrik_host_clock), so that no test can set the machine's clock.
LinuxSystemClock::Steps hostClockSteps();

// Asks systemd-timedated to move the clock by deltaUsec and returns at once; done receives Set when
// the service set the clock, or the refusal its error stands for (timeServiceOutcome), or
// Unavailable when there is no system bus. The service may ask the user for authorization only
// when interactive. The answer arrives through the Qt event loop.
void askTimedatedToShiftClock(std::int64_t deltaUsec, bool interactive, ClockAnswer done);

}  // namespace tamrik::platform
