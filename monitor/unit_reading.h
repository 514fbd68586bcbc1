#pragma once
// What tamrikctl read from a unit, and the metrics it makes of it: `status --prometheus` writes
// them for one unit, the exporter for every unit it watches, the same names in both.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/health.h"
#include "numbers/dividers.h"
#include "numbers/frequency.h"
#include "core/protocol.h"
#include "core/sky.h"
#include "core/ubx.h"
#include "core/unit.h"

namespace tamrik::monitor {

// The satellites of a NAV-SVINFO are the sky the window draws.
using Satellite = core::SkySatellite;
int usedCount(const std::vector<Satellite>& satellites);

// What the receiver told.
struct ReceiverState {
  std::optional<core::InputStatus> status;           // from the latest input report
  std::optional<core::NavPvt> pvt;                   // the latest NAV-PVT
  std::optional<std::vector<Satellite>> satellites;  // the latest NAV-SVINFO
  std::optional<core::NavClock> clock;               // the latest NAV-CLOCK
  std::optional<core::NavTimeUtc> timeUtc;           // the latest NAV-TIMEUTC
};

// The receiver's UTC time, when the NAV-PVT or NAV-TIMEUTC carries a valid one.
struct ReceiverUtc {
  std::string iso;     // 2025-03-07T08:05:10Z
  double unixSeconds;  // seconds since 1970-01-01T00:00:00Z
};
std::optional<ReceiverUtc> utcOf(const core::NavPvt& pvt);
std::optional<ReceiverUtc> utcOf(const core::NavTimeUtc& utc);
// The receiver's UTC: the NAV-PVT's when it has a valid one, else the NAV-TIMEUTC's (a receiver
// may send NAV-TIMEUTC without NAV-PVT).
std::optional<ReceiverUtc> utcOf(const ReceiverState& receiver);

// The receiver's timing quality, in base units: NAV-CLOCK's estimates, bias and drift, and
// NAV-PVT's time accuracy, fix type, position DOP and satellites used. Each is nothing while its
// message is missing (a NAV-PVT of fewer than 78 bytes carries no DOP).
struct TimingQuality {
  std::optional<double> clockTimeAccuracy;       // s
  std::optional<double> clockFrequencyAccuracy;  // a fraction (s/s)
  std::optional<double> clockBias;               // s
  std::optional<double> clockDrift;              // s/s
  std::optional<int> fixType;                    // NAV-PVT's number, 0 to 5
  std::optional<double> fixTimeAccuracy;         // s
  std::optional<double> positionDop;
  std::optional<int> satellitesInSolution;       // NAV-PVT numSV
};
TimingQuality timingOf(const ReceiverState& receiver);
// The same as the keys of status and watch and their numbers as JSON writes them; nothing for a
// value missing: clock_time_accuracy_s, clock_frequency_accuracy, clock_bias_s, clock_drift,
// fix_type, fix_time_accuracy_s, pdop, num_sv.
struct TimingField {
  const char* key;
  std::optional<std::string> number;
};
std::vector<TimingField> timingFields(const TimingQuality& q);

// A time as ISO 8601 with milliseconds: 2025-03-07T08:05:10.123Z.
std::string isoTime(core::UtcTime t);
double unixSeconds(core::UtcTime t);

double frequencyHz(const std::optional<numbers::Frequency>& f);

struct DividerField {
  const char* key;
  std::int32_t value;
};
std::vector<DividerField> dividerFields(const numbers::Dividers& d);

// One unit as the metrics show it.
struct UnitReading {
  core::UnitIdentity identity;  // serial always set
  std::optional<core::SettingsReport> settings;
  ReceiverState receiver;
  std::optional<core::UtcTime> lastReport;
  // The state is current: the unit is attached and sends its reports. When it is not, only its
  // identity, the time of its last report and the counters are written, never a state of before.
  bool up = false;
  // The receiver's messages are recent enough to stand for its present state: without them the
  // fix, the position, the receiver's time and the satellites are left out.
  bool receiverCurrent = true;
  // The same for the receiver's clock (NAV-CLOCK), which a receiver may send without the others:
  // its accuracies are left out without it, and it keeps nothing else current.
  bool receiverClockCurrent = true;
  // The same for NAV-TIMEUTC, whose UTC stands in for a NAV-PVT's that is missing or not valid.
  bool receiverTimeUtcCurrent = true;
  // The health record, for the counters and the times of the last changes; nullptr for a one-shot
  // reading (status), which has none.
  const core::UnitHealth* health = nullptr;
  // The unit's sky and its last hour, as the Satellites window draws them; nullptr where none is
  // kept. Like health, valid only while the monitor's mutex is held.
  const core::SkyRecord* sky = nullptr;
};

// What of the receiver's state may be shown as present: nothing while the unit is not up, and each
// message only while it is current.
ReceiverState currentReceiver(const UnitReading& unit);

// The metrics of the units in the Prometheus text format: every family once, with a sample per
// unit that has one; families without samples are left out. tamrikctl_build_info carries the
// program's version.
std::string prometheusMetrics(std::span<const UnitReading> units, std::string_view version);

}  // namespace tamrik::monitor
