#include "platform/ntp_shm_record.h"

#include <atomic>
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

// Keeps the compiler and the processor from moving the record's stores across it, as ntpd's
// reader fences its copy.
void barrier() { std::atomic_thread_fence(std::memory_order_seq_cst); }

}  // namespace

bool writeNtpShmSample(NtpShmTime& record, const TimeSample& sample) {
  using namespace std::chrono;
  const std::int64_t stamp = duration_cast<nanoseconds>(sample.stamp.time_since_epoch()).count();
  // Rounded to the nanosecond, the record's grain. Stamps and offsets beyond 126 years from 1970
  // are no receiver's; below that limit their sum cannot overflow.
  constexpr double kLimit = 4e18;
  const double offset = std::round(sample.offsetSeconds * 1e9);
  if (!(std::fabs(offset) < kLimit) || std::fabs(static_cast<double>(stamp)) >= kLimit) return false;
  SplitTime clock;
  SplitTime receive;
  if (!split(stamp + static_cast<std::int64_t>(offset), clock) || !split(stamp, receive)) return false;

  record.valid = 0;
  record.count = record.count + 1;
  barrier();
  record.mode = 1;
  record.clockTimeStampSec = clock.seconds;
  // ntpd takes the nanoseconds only when the microseconds are their truncation.
  record.clockTimeStampUSec = static_cast<int>(clock.nanoseconds / 1000);
  record.clockTimeStampNSec = clock.nanoseconds;
  record.receiveTimeStampSec = receive.seconds;
  record.receiveTimeStampUSec = static_cast<int>(receive.nanoseconds / 1000);
  record.receiveTimeStampNSec = receive.nanoseconds;
  record.leap = ntpLeap(sample.leap);
  record.precision = kNtpShmPrecision;
  barrier();
  record.count = record.count + 1;
  record.valid = 1;
  return true;
}

TimeSampleSink::Result NtpShmWriter::write(NtpShmTime& record, const TimeSample& sample) {
  const bool leftOver = record.valid != 0;
  if (!writeNtpShmSample(record, sample)) {
    return {TimeSampleSink::Sent::Failed, "the sample's time does not fit this system's " +
                                              std::to_string(8 * sizeof(std::time_t)) + "-bit time_t"};
  }
  untaken_ = leftOver ? untaken_ + 1 : 0;
  if (untaken_ >= kUntakenLimit) {
    // The same words while it lasts: the bridge says a reason when it changes.
    return {TimeSampleSink::Sent::NotListening, "ntpd left the last " + std::to_string(kUntakenLimit) +
                                                    " samples untaken (it is not running, or does not read this unit)"};
  }
  return {};
}

}  // namespace tamrik::platform
