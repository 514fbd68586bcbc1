#pragma once
// The health record in words: the texts a status light's tooltip shows for the GPS signal and the
// PLL lock, for example
//   "PLL locked since 14:02:11 UTC (3 h 12 min); 2 losses since the program started, the last at
//    10:49:07 UTC for 41 s"
// and, while the unit is away, that it is away since when and that the lights show its last known
// state.
#include <string>

#include "core/health.h"

namespace tamrik::core {

// "14:02:11 UTC"; a time more than a day before `now` gets its date: "2025-03-05 14:02:11 UTC".
std::string utcTimeText(UtcTime t, UtcTime now);
// Whole seconds in the two largest units that apply: "41 s", "12 min 5 s", "3 h 12 min", "2 d 3 h"
// (a zero second unit is left out: "3 h").
std::string durationText(HealthDuration d);

// What a light shows while its unit is away or silent: the window keeps the last known state; the
// status page shows that the state is not known now.
enum class LightWhileDown { LastKnown, NotKnown };

// The tooltips of the GPS and the PLL light for a unit's record (nullptr: no unit seen yet).
std::string gpsLightTooltip(const UnitHealth* unit, UtcTime now, LightWhileDown shown = LightWhileDown::LastKnown);
std::string pllLightTooltip(const UnitHealth* unit, UtcTime now, LightWhileDown shown = LightWhileDown::LastKnown);

}  // namespace tamrik::core
