#pragma once
// The receiver's sky and its last hour: where the satellites of the latest NAV-SVINFO stand, which
// constellation each belongs to and which the fix uses, and a history of one sample a second over
// the last hour (satellites used, their mean C/N0, the GPS signal and the PLL lock) with the health
// record's events. Fixed memory, window-free; the window and tamrikctl feed it the times.
//
//   tamrik::core::SkyRecord sky;
//   sky.navSvInfo(info, now);   // each NAV-SVINFO
//   sky.inputStatus(s, now);    // each read's InputStatus
//   sky.unitLost();             // the unit went away: nothing it said is current any more
//   sky.event(healthEvent);     // the health record's events, for the strip chart
//   sky.sample(now);            // now and then (each tick): the history up to now's second
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/health.h"
#include "core/protocol.h"
#include "core/ubx.h"

namespace tamrik::core {

// One satellite of a NAV-SVINFO.
struct SkySatellite {
  std::uint8_t svid = 0;
  Constellation constellation = Constellation::Other;
  int azimuth = 0;    // degrees from north, clockwise
  int elevation = 0;  // degrees; 0 or below, or beyond 90 (-91 is "unknown"): no position
  int cno = 0;        // dB-Hz
  bool used = false;  // in the navigation solution
  int channel = 0;    // the receiver's channel that tracks it

  // It has a place in the sky: above the horizon, with an azimuth.
  bool positioned() const { return elevation > 0 && elevation <= 90 && azimuth >= 0 && azimuth <= 360; }
};

// The constellation the sky view shows: NAV-SVINFO's numbering, with IMES (no satellites, ground
// transmitters) among "other".
Constellation skyConstellation(std::uint8_t svid);

// The satellites of a NAV-SVINFO's channel blocks, in the message's order. An idle channel (older
// receivers send one with satellite number 0) is no satellite and is left out.
std::vector<SkySatellite> skyOf(const NavSvInfo& info);

// The used satellites' mean C/N0; nothing when none is used.
std::optional<double> meanUsedCno(const std::vector<SkySatellite>& sky);

// One second of the history. A value the program did not know then (no unit, nothing received,
// or what it had was stale) is unknown, never the last value seen.
struct SkySample {
  std::int16_t used = -1;  // satellites used; -1 unknown
  float meanCno = -1;      // mean C/N0 of the used satellites, dB-Hz; -1 unknown or none used
  std::int8_t gpsSignal = -1;  // 1 present, 0 absent, -1 unknown
  std::int8_t pllLock = -1;    // 1 locked, 0 unlocked, -1 unknown

  bool known() const { return used >= 0 || gpsSignal >= 0 || pllLock >= 0; }
};

struct SkyEvent {
  UtcTime at{};
  HealthEventKind kind = HealthEventKind::State;
};

// The last hour, one sample a second: a ring of kSeconds samples indexed by the second of UTC, so
// that a second nobody sampled (the program was busy, or the clock jumped ahead) stays unknown
// rather than moving the rest. A clock that steps back starts the history again.
class SkyHistory {
 public:
  static constexpr int kSeconds = 3600;
  static constexpr std::size_t kEventCapacity = 256;

  // Stores the sample of now's second, and unknown ones for the seconds skipped since the last.
  void record(UtcTime now, const SkySample& sample);
  void event(const SkyEvent& e);
  void clear();

  // The seconds held: from the first sample to the latest, at most kSeconds.
  int count() const { return count_; }
  // The latest second held (meaningless while count() is 0).
  std::chrono::sys_seconds latest() const { return latest_; }
  // Sample i of the held seconds, 0 the oldest: the second latest() - (count() - 1 - i).
  const SkySample& at(int i) const;
  // The events of the held seconds, oldest first (at most kEventCapacity; the oldest go first).
  std::vector<SkyEvent> events() const;

 private:
  std::array<SkySample, kSeconds> samples_{};
  std::array<SkyEvent, kEventCapacity> events_{};
  std::size_t eventCount_ = 0, eventNext_ = 0;
  int count_ = 0;
  std::chrono::sys_seconds latest_{};
};

// How long a NAV-SVINFO stands for the present: the slow rate sends one every 20 s.
inline constexpr std::chrono::seconds kSkyStaleAfter{25};

// The latest sky, what the unit's reports say, and the history they make.
class SkyRecord {
 public:
  void navSvInfo(const NavSvInfo& info, UtcTime now);
  void inputStatus(const InputStatus& status, UtcTime now);
  void unitLost();
  void event(const HealthEvent& e) { history_.event({e.at, e.kind}); }
  void sample(UtcTime now);

  // The satellites of the latest NAV-SVINFO (kept after it stopped being current).
  const std::vector<SkySatellite>& sky() const { return sky_; }
  bool skyReceived() const { return skyAt_.has_value(); }
  // The latest NAV-SVINFO came within kSkyStaleAfter and the unit has not gone since.
  bool skyCurrent(UtcTime now) const;
  // What the history records for now.
  SkySample present(UtcTime now) const;
  const SkyHistory& history() const { return history_; }

 private:
  std::vector<SkySatellite> sky_;
  std::optional<UtcTime> skyAt_;
  std::optional<InputStatus> status_;
  std::optional<UtcTime> statusAt_;
  // The unit went away, or another was opened: what came before stands for nothing current until
  // the unit sends it again (its reports soon, its sky only with its next NAV-SVINFO).
  bool skyLost_ = false;
  bool statusLost_ = false;
  SkyHistory history_;
};

}  // namespace tamrik::core
