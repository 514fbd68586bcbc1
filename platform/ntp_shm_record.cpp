#include "platform/ntp_shm_record.h"

#include <chrono>
#include <cmath>
#include <limits>
#include <string>

namespace tamrik::platform {

namespace {

// A time split as the record holds it: whole seconds and the nanoseconds after them (0 to
// 999,999,999, also for times before 1970).
struct SplitTime {
  std::time_t seconds = 0;
  unsigned nanoseconds = 0;
};

bool split(std::int64_t nanosecondsSinceEpoch, SplitTime& out) {
  constexpr std::int64_t kPerSecond = 1'000'000'000;
  std::int64_t seconds = nanosecondsSinceEpoch / kPerSecond;
  std::int64_t rest = nanosecondsSinceEpoch % kPerSecond;
  if (rest < 0) {
    rest += kPerSecond;
    --seconds;
  }
  if (seconds < std::numeric_limits<std::time_t>::min() || seconds > std::numeric_limits<std::time_t>::max()) return false;
  out.seconds = static_cast<std::time_t>(seconds);
  out.nanoseconds = static_cast<unsigned>(rest);
  return true;
}

int ntpLeap(Leap leap) {
  switch (leap) {
    case Leap::Insert: return kNtpLeapInsert;
    case Leap::Delete: return kNtpLeapDelete;
    case Leap::None: break;
  }
  return kNtpLeapNone;
}

}  // namespace

std::optional<NtpShmFields> ntpShmFieldsOf(const TimeSample& sample) {
  using namespace std::chrono;
  const std::int64_t stamp = duration_cast<nanoseconds>(sample.stamp.time_since_epoch()).count();
  // Rounded to the nanosecond, the record's grain. Stamps and offsets beyond 126 years from 1970
  // are no receiver's; below that limit their sum cannot overflow.
  constexpr double kLimit = 4e18;
  const double offset = std::round(sample.offsetSeconds * 1e9);
  if (!(std::fabs(offset) < kLimit) || std::fabs(static_cast<double>(stamp)) >= kLimit) return std::nullopt;
  SplitTime clock;
  SplitTime receive;
  if (!split(stamp + static_cast<std::int64_t>(offset), clock) || !split(stamp, receive)) return std::nullopt;
  return NtpShmFields{clock.seconds, clock.nanoseconds, receive.seconds, receive.nanoseconds, ntpLeap(sample.leap)};
}

bool writeNtpShmSample(NtpShmTime& record, const TimeSample& sample) {
  const std::optional<NtpShmFields> fields = ntpShmFieldsOf(sample);
  if (!fields) return false;
  storeNtpShmFields(record, *fields);
  return true;
}

TimeSampleSink::Result NtpShmWriter::write(NtpShmTime& record, const TimeSample& sample) {
  TimeSampleSink::Result result;
  const bool leftOver = record.valid != 0;
  if (waiting_) result.earlierTaken = !leftOver;
  if (!writeNtpShmSample(record, sample)) {
    // The record keeps the earlier sample, which still waits for ntpd.
    result.earlierTaken.reset();
    result.sent = TimeSampleSink::Sent::Failed;
    result.reason = "the sample's time does not fit this system's " + std::to_string(8 * sizeof(std::time_t)) + "-bit time_t";
    return result;
  }
  waiting_ = true;
  result.waits = true;
  untaken_ = leftOver ? untaken_ + 1 : 0;
  if (untaken_ >= kUntakenLimit) {
    // The same words while it lasts: the bridge says a reason when it changes.
    result.sent = TimeSampleSink::Sent::NotListening;
    result.reason = "ntpd left the last " + std::to_string(kUntakenLimit) +
                    " samples untaken (it is not running, or does not read this unit)";
  }
  return result;
}

}  // namespace tamrik::platform
