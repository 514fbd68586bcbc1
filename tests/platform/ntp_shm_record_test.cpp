// NTP's shared-memory record as ntpd's SHM driver reads it, on every system the program is built
// for: the fields of a sample, and the mode-1 protocol against a reader on another thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/ntp_shm_record.h"
#include "tests/support/ntp_shm_reader.h"

namespace tamrik::platform {
namespace {

using namespace std::chrono_literals;
using std::chrono::system_clock;

system_clock::time_point at(std::int64_t seconds, std::int64_t nanoseconds) {
  return system_clock::time_point(std::chrono::duration_cast<system_clock::duration>(std::chrono::seconds(seconds) +
                                                                                     std::chrono::nanoseconds(nanoseconds)));
}

TEST(NtpShmRecord, HoldsTheReceiversTimeAndTheStampAsNtpdTakesThem) {
  NtpShmTime record{};
  record.nsamples = 3;  // what ntpd sets when it attaches
  record.dummy[7] = 77;

  // The receiver's second began 104.583 ms before the stamp.
  ASSERT_TRUE(writeNtpShmSample(record, {at(1'700'000'000, 123'456'789), -0.104583, Leap::Insert}));
  NtpdSample taken = takeLikeNtpd(record);
  ASSERT_TRUE(taken.taken);
  EXPECT_EQ(taken.record.mode, 1);
  EXPECT_EQ(taken.record.count, 2);
  EXPECT_EQ(taken.record.clockTimeStampSec, 1'700'000'000);
  EXPECT_EQ(taken.record.clockTimeStampNSec, 18'873'789u);
  EXPECT_EQ(taken.record.clockTimeStampUSec, 18'873);
  EXPECT_EQ(taken.record.receiveTimeStampSec, 1'700'000'000);
  EXPECT_EQ(taken.record.receiveTimeStampNSec, 123'456'789u);
  EXPECT_EQ(taken.record.receiveTimeStampUSec, 123'456);  // truncated, as ntpd needs to take the nanoseconds
  EXPECT_EQ(taken.record.leap, kNtpLeapInsert);
  EXPECT_EQ(taken.record.precision, kNtpShmPrecision);
  EXPECT_EQ(taken.record.nsamples, 3);
  EXPECT_EQ(taken.record.dummy[7], 77);
  EXPECT_EQ(record.valid, 0);  // ntpd took it
  EXPECT_FALSE(takeLikeNtpd(record).taken);

  // The receiver's second before the stamp's: the clock's seconds go back one, its nanoseconds stay
  // positive.
  ASSERT_TRUE(writeNtpShmSample(record, {at(1'700'000'001, 50'000'000), -0.104583, Leap::Delete}));
  taken = takeLikeNtpd(record);
  ASSERT_TRUE(taken.taken);
  EXPECT_EQ(taken.record.count, 4);
  EXPECT_EQ(taken.record.clockTimeStampSec, 1'700'000'000);
  EXPECT_EQ(taken.record.clockTimeStampNSec, 945'417'000u);
  EXPECT_EQ(taken.record.receiveTimeStampSec, 1'700'000'001);
  EXPECT_EQ(taken.record.leap, kNtpLeapDelete);

  ASSERT_TRUE(writeNtpShmSample(record, {at(1'700'000'002, 0), 0.25, Leap::None}));
  EXPECT_EQ(takeLikeNtpd(record).record.leap, kNtpLeapNone);

  // A time no time_t holds leaves the record as it was.
  EXPECT_FALSE(writeNtpShmSample(record, {at(1'700'000'003, 0), 1e13, Leap::None}));
  EXPECT_EQ(record.count, 6);
  EXPECT_EQ(record.valid, 0);
}

TEST(NtpShmRecord, TheWriterTellsWhenNtpdLeavesTheSamplesUntaken) {
  NtpShmTime record{};
  NtpShmWriter writer;
  const TimeSample sample{at(1'700'000'000, 0), -0.1, Leap::None};
  using Sent = TimeSampleSink::Sent;
  // No ntpd: the first sample finds the record empty, the next ones find the one before.
  for (int i = 0; i < NtpShmWriter::kUntakenLimit; ++i) EXPECT_EQ(writer.write(record, sample).sent, Sent::Delivered) << i;
  const TimeSampleSink::Result told = writer.write(record, sample);
  EXPECT_EQ(told.sent, Sent::NotListening);
  EXPECT_EQ(writer.write(record, sample).reason, told.reason);  // the same words while it lasts
  EXPECT_EQ(record.valid, 1);                                   // written all the same

  // ntpd starts; two samples now and then between two of its looks are no absence.
  for (int i = 0; i < 2 * NtpShmWriter::kUntakenLimit; ++i) {
    if (i % 2 == 0) {
      EXPECT_TRUE(takeLikeNtpd(record).taken);
    }
    EXPECT_EQ(writer.write(record, sample).sent, Sent::Delivered) << i;
  }
  EXPECT_EQ(writer.write(record, {at(1'700'000'000, 0), 1e13, Leap::None}).sent, Sent::Failed);
}

TEST(NtpShmRecord, CountIsOddWhileTheFieldsChange) {
  // ntpd takes a copy when count is the same before and after it. That misses a write that begins
  // between its look at valid and its look at count (a window of a few instructions once a second);
  // the writer's part is that count stays odd while it changes the fields, so that a copy over
  // which count held one even value is a whole sample. Sample k is stamped k seconds after the
  // start with an offset of k % 1000 microseconds: a copy mixed from two samples shows another offset.
  constexpr std::int64_t kStart = 1'700'000'000;
  constexpr int kMostSamples = 20'000'000;
  constexpr int kCopies = 100'000;
  constexpr int kLeastSamples = 1'000'000;
  NtpShmTime record{};
  std::atomic<bool> reading{false};
  std::atomic<bool> enough{false};
  std::atomic<int> samples{0};
  std::atomic<bool> written{false};
  std::thread writer([&] {
    while (!reading) std::this_thread::yield();
    for (int k = 1; k <= kMostSamples && !enough; ++k) {
      (void)writeNtpShmSample(record, {at(kStart + k, 0), (k % 1000) * 1e-6, Leap::None});
      samples.store(k, std::memory_order_relaxed);
    }
    written = true;
  });
  reading = true;
  int whole = 0;
  int mixed = 0;
  while (!written && (whole + mixed < kCopies || samples.load(std::memory_order_relaxed) < kLeastSamples)) {
    const int before = record.count;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    const NtpShmTime copy = record;
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (before % 2 != 0 || record.count != before || copy.receiveTimeStampSec == 0) continue;
    const std::int64_t micro = (copy.receiveTimeStampSec - kStart) % 1000;
    const bool same = copy.clockTimeStampSec == copy.receiveTimeStampSec && copy.receiveTimeStampNSec == 0 &&
                      copy.clockTimeStampNSec == static_cast<unsigned>(micro * 1000) && copy.clockTimeStampUSec == micro;
    ++(same ? whole : mixed);
  }
  enough = true;
  writer.join();
  EXPECT_EQ(mixed, 0) << "of " << whole + mixed << " copies over an even count";
  EXPECT_GT(whole, 0);
}

}  // namespace
}  // namespace tamrik::platform
