#pragma once
// One unit's reading as a JSON object: what `status --json` prints, and what the exporter's API
// gives for each unit, with the same keys.

#include "core/protocol.h"
#include "core/unit.h"
#include "monitor/unit_reading.h"
#include "text/json_writer.h"

namespace tamrik::monitor {

// The identity, the settings and the receiver's state (currentReceiver's for a watched unit). A
// state that was not received (no input report yet, no settings read) is null; no position, UTC or
// timing value is null; no satellites an empty list. UTC is NAV-PVT's, else NAV-TIMEUTC's.
text::JsonObject statusJson(const core::UnitIdentity& identity, const core::SettingsReport* settings,
                            const ReceiverState& receiver);

}  // namespace tamrik::monitor
