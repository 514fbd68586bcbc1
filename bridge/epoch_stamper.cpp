#include "bridge/epoch_stamper.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace tamrik::bridge {

namespace {

using namespace std::chrono;
using platform::Leap;

// A split of the gaps into short and long counts only when the long ones are this many times the
// short ones, there are at least this many of them, and they recur about once a second.
constexpr double kLeastRatio = 2.5;
constexpr std::size_t kLeastEpochs = 4;
constexpr auto kRhythmLow = milliseconds(800);
constexpr auto kRhythmHigh = milliseconds(1250);
// Two whole epochs' times and stamps that differ by less than this are taken to follow each other.
constexpr auto kLeastStep = milliseconds(500);

std::uint32_t u32(std::span<const std::uint8_t> p) {
  return static_cast<std::uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

std::optional<system_clock::time_point> utcInstant(std::uint16_t y, std::uint8_t mo, std::uint8_t d, std::uint8_t h,
                                                   std::uint8_t mi, std::uint8_t s, std::int32_t nano) {
  const year_month_day date{year{y}, month{mo}, day{d}};
  if (!date.ok() || h > 23 || mi > 59 || s > 59 || nano <= -1'000'000'000 || nano >= 1'000'000'000) return std::nullopt;
  const auto t = sys_days(date) + hours(h) + minutes(mi) + seconds(s) + nanoseconds(nano);
  return time_point_cast<system_clock::duration>(t);
}

EpochStamper::Outcome EpochStamper::onRead(SteadyTime steady, RealTime real, std::span<const std::uint8_t> bytes, bool answer) {
  Outcome outcome;
  if (bytes.empty()) return outcome;
  if (answer) {
    outcome_ = &outcome;
    (void)stream_.feedReceiverBytes(bytes);
    outcome_ = nullptr;
    return outcome;
  }
  if (lastBytes_) {
    const auto gap = duration_cast<nanoseconds>(steady - *lastBytes_);
    learn(steady, gap);
    if (quietGap_ && gap >= *quietGap_) {
      startBurst(steady, real);
      outcome.epochStart = true;
    }
  }
  lastBytes_ = steady;
  outcome_ = &outcome;
  (void)stream_.feedReceiverBytes(bytes);
  outcome_ = nullptr;
  return outcome;
}

void EpochStamper::unitLost() {
  inBurst_ = false;
  whole_ = false;
  lastBytes_.reset();
  stream_.resync();
  announced_.reset();
  pendingLs_.reset();
  lastTime_.reset();
  previous_.reset();
}

void EpochStamper::learn(SteadyTime at, nanoseconds gap) {
  gaps_.push_back({at, gap});
  while (!gaps_.empty() && gaps_.front().endedAt < at - kHistory) gaps_.pop_front();

  std::vector<nanoseconds> sorted;
  for (const Gap& g : gaps_) sorted.push_back(g.length);
  std::sort(sorted.begin(), sorted.end());
  // Of the splits into short and long gaps whose long ones follow the receiver's one-second
  // rhythm, the one with the clearest step between the two.
  std::optional<nanoseconds> best;
  double bestRatio = 0;
  for (std::size_t i = 0; i + 1 < sorted.size(); ++i) {
    const double shortest = std::max<double>(static_cast<double>(sorted[i].count()), 1e5);
    const double ratio = static_cast<double>(sorted[i + 1].count()) / shortest;
    if (ratio < kLeastRatio || ratio <= bestRatio || sorted.size() - 1 - i < kLeastEpochs) continue;
    const nanoseconds threshold{static_cast<nanoseconds::rep>(std::sqrt(shortest * static_cast<double>(sorted[i + 1].count())))};
    std::vector<nanoseconds> periods;
    std::optional<SteadyTime> previous;
    for (const Gap& g : gaps_) {
      if (g.length < threshold) continue;
      if (previous) periods.push_back(duration_cast<nanoseconds>(g.endedAt - *previous));
      previous = g.endedAt;
    }
    if (periods.size() + 1 < kLeastEpochs) continue;
    std::nth_element(periods.begin(), periods.begin() + static_cast<std::ptrdiff_t>(periods.size() / 2), periods.end());
    const nanoseconds median = periods[periods.size() / 2];
    if (median < kRhythmLow || median > kRhythmHigh) continue;
    best = threshold;
    bestRatio = ratio;
  }
  quietGap_ = best;
}

void EpochStamper::startBurst(SteadyTime steady, RealTime real) {
  if (inBurst_ && !gave_) {
    if (!whole_) ++withheld_.cut;
    else if (!sampled_) ++withheld_.noTime;
    else ++withheld_.notFollowing;
  }
  inBurst_ = true;
  gave_ = false;
  burstSteady_ = steady;
  whole_ = true;
  sampled_ = false;
  burstReal_ = real;
  epochTow_.reset();
  // No frame runs across a quiet gap; the burst is whole only from a frame at its start.
  stream_.resync();
}

void EpochStamper::Messages::onMessage(std::uint8_t messageClass, std::uint8_t, std::span<const std::uint8_t> payload) {
  EpochStamper& s = stamper;
  // Only the zeros that pad a short report may stand between two frames of a whole burst.
  if (!s.stream_.frameAdjoins()) s.whole_ = false;
  if (messageClass != core::kClassNav || payload.size() < 4) return;
  const std::uint32_t tow = u32(payload);
  if (!s.epochTow_) s.epochTow_ = tow;
  if (*s.epochTow_ != tow) s.whole_ = false;  // two epochs in one burst: the receiver fell behind
}

void EpochStamper::Messages::onNavPvt(const core::NavPvt& m) {
  if (m.timeValid()) stamper.onTime(m.iTOW, utcInstant(m.year, m.month, m.day, m.hour, m.minute, m.second, m.nano));
}

void EpochStamper::Messages::onNavTimeUtc(const core::NavTimeUtc& m) {
  if (m.timeValid()) stamper.onTime(m.iTOW, utcInstant(m.year, m.month, m.day, m.hour, m.minute, m.second, m.nano));
}

void EpochStamper::Messages::onNavTimeLs(const core::NavTimeLs& m) {
  EpochStamper& s = stamper;
  if (s.lastTime_ && s.lastTime_->first == m.iTOW) {
    s.announce(m, s.lastTime_->second);
  } else {
    s.pendingLs_ = m;
  }
}

void EpochStamper::onTime(std::uint32_t tow, std::optional<RealTime> time) {
  if (!time) return;
  lastTime_ = {tow, *time};
  if (pendingLs_ && pendingLs_->iTOW == tow) {
    announce(*pendingLs_, *time);
    pendingLs_.reset();
  }
  if (inBurst_ && whole_ && !sampled_) {
    sampled_ = true;
    // The receiver's time has to have moved on since the last whole epoch as the host's clock
    // did; a burst that brings an old epoch's time late (or a receiver that steps its time) gives
    // no sample, nor does the epoch after it.
    const bool follows = previous_ && abs((*time - previous_->second) - (burstSteady_ - previous_->first)) < kLeastStep;
    previous_ = {burstSteady_, *time};
    if (follows && outcome_) {
      outcome_->sample = sampleFor(*time);
      gave_ = true;
    }
  }
}

void EpochStamper::announce(const core::NavTimeLs& m, RealTime epochTime) {
  if (!m.eventKnown() || m.lsChange == 0 || m.timeToLsEvent < 0) {
    announced_.reset();
    return;
  }
  // The change takes place at the end of a UTC day; a second or two either way in how a receiver
  // counts up to it does not move it to another day.
  const auto event = epochTime + seconds(m.timeToLsEvent) - seconds(2);
  announced_ = Announcement{time_point_cast<system_clock::duration>(floor<days>(event) + days(1)),
                            m.lsChange > 0 ? Leap::Insert : Leap::Delete};
}

platform::TimeSample EpochStamper::sampleFor(RealTime epochTime) {
  platform::TimeSample s;
  s.stamp = burstReal_;
  s.offsetSeconds = duration<double>(epochTime - burstReal_).count();
  if (announced_) {
    if (epochTime >= announced_->dayEnd) {
      announced_.reset();  // it has taken place
    } else if (floor<days>(epochTime) + days(1) == announced_->dayEnd) {
      s.leap = announced_->leap;
    }
  }
  return s;
}

}  // namespace tamrik::bridge
