// NTP's shared-memory record as ntpd's SHM driver reads it, on every system the program is built
// for: the fields of a sample by the mode-1 protocol, and what the writer tells of ntpd.
#include <gtest/gtest.h>

#include <chrono>

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

}  // namespace
}  // namespace tamrik::platform
