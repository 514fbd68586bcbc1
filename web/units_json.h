#pragma once
// The units as JSON, for /api/units: a list, each unit in the `status --json` schema with what the
// exporter keeps besides: whether it is up, its health record, its sky and its last hour.
//
//   [{"serial": "Q00001", ..., "up": true,
//     "health": {"connected": true, "disconnects": 0, "gps_signal_losses": 0,
//                "gps_signal": {"known": true, "good": true, "since": "...", "losses": 0}, ...,
//                "events": [{"at": "...", "kind": "gps_signal_lost", "caption": "GPS signal lost"}]},
//     "sky": {"current": true, "satellites": [{"svid": 5, "constellation": "GPS", "azimuth": 270,
//             "elevation": 45, "cno": 44, "used": true}]},
//     "history": {"latest": "...", "seconds": 3600, "used": [...], "mean_cno": [...],
//                 "gps_signal": "...", "pll_lock": "..."}}]
//
// A value the unit's state no longer stands for is null: the lights, the settings and the receiver
// of a unit that is not up, and the receiver's fix, position, UTC and satellites when its messages
// stopped. The history runs oldest first, one value a second, null where unknown; the two states a
// character a second: "1" good, "0" bad, "-" unknown.
#include <span>
#include <string>

#include "core/health.h"
#include "monitor/unit_reading.h"

namespace tamrik::web {

std::string unitsJson(std::span<const monitor::UnitReading> units, core::UtcTime now);

}  // namespace tamrik::web
