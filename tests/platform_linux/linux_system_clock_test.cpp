#include "platform/linux/linux_system_clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <vector>

namespace tamrik::platform {
namespace {

// None of these tests may reach the real clock: every step is a recorder, and the real clock is
// only given times it must refuse before making any call.

SystemTime at(int y, int mo, int d, int h, int mi, int s, int ms) {
  return SystemTime{static_cast<std::uint16_t>(y), static_cast<std::uint16_t>(mo), 0, static_cast<std::uint16_t>(d),
                    static_cast<std::uint16_t>(h), static_cast<std::uint16_t>(mi), static_cast<std::uint16_t>(s),
                    static_cast<std::uint16_t>(ms)};
}

struct Recorder {
  int realtimeResult = 0;
  std::vector<timespec> realtimeCalls;
  std::vector<std::int64_t> serviceCalls;  // the offsets asked for
  std::vector<std::function<void(bool)>> answers;  // the service's answers, given by the test
  std::chrono::steady_clock::time_point now{};
  std::int64_t realtime = 1'709'210'000'000'000;  // what the machine's clock reads

  LinuxSystemClock::Steps steps() {
    return {[this](const timespec& ts) {
              realtimeCalls.push_back(ts);
              return realtimeResult;
            },
            [this](std::int64_t delta, std::function<void(bool)> done) {
              serviceCalls.push_back(delta);
              answers.push_back(std::move(done));
            },
            [this] { return now; }, [this] { return realtime; }};
  }
};

TEST(LinuxSystemClock, CalendarTimeBecomesUnixMicroseconds) {
  EXPECT_EQ(unixMicroseconds(at(1970, 1, 1, 0, 0, 0, 0)), 0);
  EXPECT_EQ(unixMicroseconds(at(2000, 3, 1, 0, 0, 0, 0)), 951'868'800'000'000);
  EXPECT_EQ(unixMicroseconds(at(2024, 2, 29, 12, 34, 56, 789)), 1'709'210'096'789'000);
  EXPECT_EQ(unixMicroseconds(at(2100, 12, 31, 23, 59, 59, 999)), 4'133'980'799'999'000);
  EXPECT_EQ(unixMicroseconds(at(30827, 12, 31, 23, 59, 59, 999)), 910'670'515'199'999'000);
  // Before 1970 or out of range: no time to set.
  EXPECT_FALSE(unixMicroseconds(at(1969, 12, 31, 23, 59, 59, 999)));
  EXPECT_FALSE(unixMicroseconds(at(2023, 2, 29, 0, 0, 0, 0)));
  EXPECT_FALSE(unixMicroseconds(at(2024, 1, 1, 0, 0, 0, 1000)));
}

TEST(LinuxSystemClock, DirectSettingIsTriedFirstAndOnlyMissingRightsGoToTheService) {
  Recorder rec;
  LinuxSystemClock clock(rec.steps());
  EXPECT_TRUE(clock.set(at(2024, 2, 29, 12, 34, 56, 789)));
  ASSERT_EQ(rec.realtimeCalls.size(), 1u);
  EXPECT_EQ(rec.realtimeCalls[0].tv_sec, 1'709'210'096);
  EXPECT_EQ(rec.realtimeCalls[0].tv_nsec, 789'000'000);
  EXPECT_TRUE(rec.serviceCalls.empty());

  // Without the right, the service is asked to move the clock by the offset measured now.
  rec.realtimeResult = EPERM;
  EXPECT_TRUE(clock.set(at(2024, 2, 29, 12, 34, 57, 0)));
  EXPECT_EQ(rec.serviceCalls, (std::vector<std::int64_t>{97'000'000}));
  rec.answers.back()(true);

  rec.realtimeResult = EINVAL;
  EXPECT_FALSE(clock.set(at(2024, 2, 29, 12, 34, 58, 0)));
  EXPECT_EQ(rec.serviceCalls.size(), 1u);

  // Invalid times never reach either step.
  EXPECT_FALSE(clock.set(at(2024, 13, 1, 0, 0, 0, 0)));
  EXPECT_FALSE(clock.set(at(1601, 1, 1, 0, 0, 0, 0)));
  EXPECT_EQ(rec.realtimeCalls.size(), 3u);
}

TEST(LinuxSystemClock, OneRequestAtATimeAndARefusedServiceIsLeftAloneForAWhile) {
  Recorder rec;
  rec.realtimeResult = EPERM;
  LinuxSystemClock clock(rec.steps());
  const SystemTime t = at(2030, 6, 15, 8, 0, 0, 0);
  EXPECT_TRUE(clock.set(t));
  EXPECT_FALSE(clock.set(t));  // the user has not answered the first prompt yet
  EXPECT_EQ(rec.serviceCalls.size(), 1u);
  rec.answers.back()(false);
  EXPECT_FALSE(clock.set(t));
  rec.now += LinuxSystemClock::kRetryAfterRefusal - std::chrono::seconds(1);
  EXPECT_FALSE(clock.set(t));
  EXPECT_EQ(rec.serviceCalls.size(), 1u);
  rec.now += std::chrono::seconds(1);
  EXPECT_TRUE(clock.set(t));
  EXPECT_EQ(rec.serviceCalls.size(), 2u);
}

TEST(LinuxSystemClock, AnAnswerAfterTheClockIsGoneIsHarmless) {
  Recorder rec;
  rec.realtimeResult = EPERM;
  {
    LinuxSystemClock clock(rec.steps());
    EXPECT_TRUE(clock.set(at(2030, 6, 15, 8, 0, 0, 0)));
  }
  rec.answers.back()(true);
}

TEST(LinuxSystemClock, MissingStepsAndTheRealClockRefuseImpossibleTimes) {
  EXPECT_FALSE(LinuxSystemClock(LinuxSystemClock::Steps{}).set(at(2030, 1, 1, 0, 0, 0, 0)));
  // The real steps, with times refused before any call is made.
  LinuxSystemClock real;
  EXPECT_FALSE(real.set(at(2030, 2, 30, 0, 0, 0, 0)));
  EXPECT_FALSE(real.set(at(1969, 7, 20, 20, 17, 0, 0)));
}

}  // namespace
}  // namespace tamrik::platform
