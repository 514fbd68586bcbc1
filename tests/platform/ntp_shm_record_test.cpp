// NTP's shared-memory record as ntpd's SHM driver reads it, on every system the program is built
// for: the fields of a sample by the mode-1 protocol, and what the writer tells of ntpd.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

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

// A record whose every store is written down, to see the protocol's order.
struct WatchedRecord {
  struct Field {
    const char* name;
    std::vector<std::string>* stores;
    long long value = 0;
    template <class T>
    Field& operator=(T v) {
      value = static_cast<long long>(v);
      stores->push_back(std::string(name) + "=" + std::to_string(value));
      return *this;
    }
    operator long long() const { return value; }
  };
  std::vector<std::string> stores;
  Field mode{"mode", &stores}, count{"count", &stores}, valid{"valid", &stores};
  Field clockTimeStampSec{"clock", &stores}, clockTimeStampUSec{"clock_us", &stores}, clockTimeStampNSec{"clock_ns", &stores};
  Field receiveTimeStampSec{"receive", &stores}, receiveTimeStampUSec{"receive_us", &stores},
      receiveTimeStampNSec{"receive_ns", &stores};
  Field leap{"leap", &stores}, precision{"precision", &stores};
};

TEST(NtpShmRecord, ValidIsClearedAndCountOddWhileTheFieldsAreWritten) {
  WatchedRecord record;
  record.count.value = 6;
  record.valid.value = 1;  // ntpd has not taken the sample before
  const auto fields = ntpShmFieldsOf({at(1'700'000'000, 5'000), 0.0, Leap::None});
  ASSERT_TRUE(fields);
  storeNtpShmFields(record, *fields);
  const std::vector<std::string>& s = record.stores;
  ASSERT_GE(s.size(), 4u);
  EXPECT_EQ(s[0], "valid=0");
  EXPECT_EQ(s[1], "count=7");
  EXPECT_EQ(s[s.size() - 2], "count=8");
  EXPECT_EQ(s.back(), "valid=1");
  for (std::size_t i = 2; i + 2 < s.size(); ++i) {
    EXPECT_EQ(s[i].rfind("valid", 0), std::string::npos) << s[i];
    EXPECT_EQ(s[i].rfind("count", 0), std::string::npos) << s[i];
  }
}

TEST(NtpShmRecord, TheWriterTellsWhichSamplesNtpdTookAndWhenItStopsTakingThem) {
  NtpShmTime record{};
  NtpShmWriter writer;
  const TimeSample sample{at(1'700'000'000, 0), -0.1, Leap::None};
  using Sent = TimeSampleSink::Sent;

  // The first sample waits; nothing came before it.
  TimeSampleSink::Result told = writer.write(record, sample);
  EXPECT_TRUE(told.waits);
  EXPECT_FALSE(told.earlierTaken);
  // No ntpd: each next sample finds the one before still there, and after the limit the writer says so.
  for (int i = 1; i < 3; ++i) {  // ntpd is given three samples
    told = writer.write(record, sample);
    EXPECT_EQ(told.sent, Sent::Delivered) << i;
    EXPECT_EQ(told.earlierTaken, std::optional<bool>(false)) << i;
  }
  told = writer.write(record, sample);
  EXPECT_EQ(told.sent, Sent::NotListening);
  EXPECT_EQ(told.earlierTaken, std::optional<bool>(false));
  EXPECT_EQ(writer.write(record, sample).reason, told.reason);  // the same words while it lasts
  EXPECT_EQ(record.valid, 1);                                   // written all the same

  // ntpd starts; two samples now and then between two of its looks are no absence.
  for (int i = 0; i < 2 * NtpShmWriter::kUntakenLimit; ++i) {
    const bool took = i % 2 == 0;
    if (took) {
      EXPECT_TRUE(takeLikeNtpd(record).taken);
    }
    told = writer.write(record, sample);
    EXPECT_EQ(told.sent, Sent::Delivered) << i;
    EXPECT_EQ(told.earlierTaken, std::optional<bool>(took)) << i;
  }

  // A time the record cannot hold: nothing written, and the sample before still waits for ntpd.
  told = writer.write(record, {at(1'700'000'000, 0), 1e13, Leap::None});
  EXPECT_EQ(told.sent, Sent::Failed);
  EXPECT_FALSE(told.waits);
  EXPECT_FALSE(told.earlierTaken);
  EXPECT_TRUE(takeLikeNtpd(record).taken);
  EXPECT_EQ(writer.write(record, sample).earlierTaken, std::optional<bool>(true));

  // A new record (ntpd restarted): what waited in the old one is not known.
  NtpShmTime fresh{};
  writer.forgetWaiting();
  EXPECT_FALSE(writer.write(fresh, sample).earlierTaken);
}

}  // namespace
}  // namespace tamrik::platform
