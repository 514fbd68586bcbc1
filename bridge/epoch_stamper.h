#pragma once
// The receiver's epochs in the bridge's reads, and a time sample for each.
//
// Once a second the receiver computes a solution and sends its messages in one burst; between
// bursts the line is quiet. The stamper learns how long the quiet gaps are from that rhythm (the
// gaps between reads that carry receiver bytes fall into short ones inside a burst and one long
// one a second), so that nothing about one receiver's line rate or output is built in. An epoch
// starts with the first read carrying receiver bytes after a quiet gap; its stamp is the host's
// real-time clock when that read returned, which is a far steadier mark than the end of the
// burst, whose length changes from second to second.
//
// The receiver's messages come through the core's receiver stream. The epoch's time comes from its
// NAV-PVT or NAV-TIMEUTC, taken only when the receiver says it is
// valid and fully resolved, and only when the burst was seen whole up to it: it began with a UBX
// frame right after the gap, its frames followed each other without foreign bytes (the zeros
// that pad a short report aside), all carried the same epoch, and its time moved on from the
// last whole epoch's as the host's clock did (so the first epoch after a start or a return of
// the unit only anchors the next one). Leap seconds come from the
// receiver's NAV-TIMELS announcement. No sample otherwise: not before the rhythm is known, not
// for a burst that was cut, mixed or had no valid time, not during a leap second itself.

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <span>
#include <utility>

#include "core/receiver_stream.h"
#include "core/ubx.h"
#include "platform/bridge_io.h"

namespace tamrik::bridge {

class EpochStamper {
 public:
  using SteadyTime = std::chrono::steady_clock::time_point;
  using RealTime = std::chrono::system_clock::time_point;

  struct Outcome {
    bool epochStart = false;  // this read began a new epoch's burst
    std::optional<platform::TimeSample> sample;
  };

  EpochStamper() = default;
  EpochStamper(const EpochStamper&) = delete;
  EpochStamper& operator=(const EpochStamper&) = delete;

  // One read's receiver bytes (none: a read of reports without any), with the moments it
  // returned on the steady and on the real-time clock.
  // `answer`: the bytes are the receiver's answer to a poll a client sent, in the quiet part of
  // the second; they are read for their messages but tell nothing of the epochs' rhythm.
  Outcome onRead(SteadyTime steady, RealTime real, std::span<const std::uint8_t> bytes, bool answer = false);
  // The unit went away: the burst in progress and the leap announcement are forgotten (the unit
  // that comes back says anew); the rhythm is kept.
  void unitLost();

  // The quiet gap that separates epochs, once the rhythm is known.
  std::optional<std::chrono::nanoseconds> quietGap() const { return quietGap_; }

  // The epochs that ended without a sample, by why.
  struct Withheld {
    std::uint64_t cut = 0;           // the burst was not seen whole (cut, mixed, foreign bytes)
    std::uint64_t noTime = 0;        // whole, but no valid, fully resolved time in it
    std::uint64_t notFollowing = 0;  // its time did not follow the last whole epoch's as the host's clock did
  };
  const Withheld& withheld() const { return withheld_; }

  // How long a history of gaps the rhythm is learned from.
  static constexpr std::chrono::seconds kHistory{12};

 private:
  struct Gap {
    SteadyTime endedAt;
    std::chrono::nanoseconds length;
  };
  struct Announcement {
    RealTime dayEnd;  // midnight UTC at the end of the day that ends with the change
    platform::Leap leap = platform::Leap::None;
  };

  // What the stream delivers of each burst.
  struct Messages final : core::ReceiverSink {
    explicit Messages(EpochStamper& s) : stamper(s) {}
    void onMessage(std::uint8_t messageClass, std::uint8_t messageId, std::span<const std::uint8_t> payload) override;
    void onNavPvt(const core::NavPvt& m) override;
    void onNavTimeUtc(const core::NavTimeUtc& m) override;
    void onNavTimeLs(const core::NavTimeLs& m) override;
    EpochStamper& stamper;
  };

  void learn(SteadyTime at, std::chrono::nanoseconds gap);
  void startBurst(SteadyTime steady, RealTime real);
  void onTime(std::uint32_t tow, std::optional<RealTime> time);
  void announce(const core::NavTimeLs& m, RealTime epochTime);
  platform::TimeSample sampleFor(RealTime epochTime);

  std::optional<SteadyTime> lastBytes_;
  std::deque<Gap> gaps_;
  std::optional<std::chrono::nanoseconds> quietGap_;

  // The burst in progress.
  bool inBurst_ = false;
  bool whole_ = false;   // seen whole so far, from a frame at its start
  bool sampled_ = false;  // its time was taken (a sample given, or refused as not following)
  bool gave_ = false;     // a sample was given
  Withheld withheld_;
  SteadyTime burstSteady_{};
  RealTime burstReal_{};
  std::optional<std::uint32_t> epochTow_;      // iTOW of the burst's NAV messages
  Messages messages_{*this};
  core::ReceiverStream stream_{messages_};
  Outcome* outcome_ = nullptr;  // of the read being fed

  // The leap second announced, and a NAV-TIMELS of the burst waiting for the time of its epoch.
  std::optional<Announcement> announced_;
  std::optional<core::NavTimeLs> pendingLs_;
  std::optional<std::pair<std::uint32_t, RealTime>> lastTime_;  // the last valid time, with its iTOW
  std::optional<std::pair<SteadyTime, RealTime>> previous_;      // the last whole epoch's stamp and time
};

// The instant the UTC fields name (nano may run below zero or past the second), or nothing when
// they are no calendar time. A leap second (second 60) is none either.
std::optional<std::chrono::system_clock::time_point> utcInstant(std::uint16_t year, std::uint8_t month, std::uint8_t day,
                                                                std::uint8_t hour, std::uint8_t minute, std::uint8_t second,
                                                                std::int32_t nano);

}  // namespace tamrik::bridge
