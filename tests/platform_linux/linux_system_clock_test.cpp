#include "platform/linux/linux_system_clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <type_traits>
#include <vector>

namespace tamrik::platform {
namespace {

// No test may reach the machine's clock or the system bus: the clock is made only from the
// recording steps below, and the real steps live in a library this test does not link.
static_assert(!std::is_default_constructible_v<LinuxSystemClock>, "the real steps must be asked for by name");

using Outcomes = std::vector<ClockOutcome>;

SystemTime at(int y, int mo, int d, int h, int mi, int s, int ms) {
  return SystemTime{static_cast<std::uint16_t>(y), static_cast<std::uint16_t>(mo), 0, static_cast<std::uint16_t>(d),
                    static_cast<std::uint16_t>(h), static_cast<std::uint16_t>(mi), static_cast<std::uint16_t>(s),
                    static_cast<std::uint16_t>(ms)};
}

struct Recorder {
  int realtimeResult = EPERM;  // an ordinary user
  std::vector<timespec> realtimeCalls;
  struct ServiceCall {
    std::int64_t delta;
    bool interactive;
  };
  std::vector<ServiceCall> serviceCalls;
  std::vector<ClockAnswer> pending;  // the service's answers, given by the test
  std::chrono::steady_clock::time_point now{};
  std::int64_t realtime = 1'709'210'000'000'000;  // what the machine's clock reads
  Outcomes outcomes;                              // what the clock answered, in order

  LinuxSystemClock::Steps steps() {
    return {[this](const timespec& ts) {
              realtimeCalls.push_back(ts);
              return realtimeResult;
            },
            [this](std::int64_t delta, bool interactive, ClockAnswer done) {
              serviceCalls.push_back({delta, interactive});
              pending.push_back(std::move(done));
            },
            [this] { return now; }, [this] { return realtime; }};
  }
  ClockAnswer answer() {
    return [this](ClockOutcome o) { outcomes.push_back(o); };
  }
  void serviceAnswers(ClockOutcome o) {
    if (pending.empty()) return ADD_FAILURE() << "the service was not asked";
    auto done = std::move(pending.back());
    pending.pop_back();
    done(o);
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

TEST(LinuxSystemClock, DirectSettingFirstThenTheServicePromptingOnlyWhenAllowed) {
  Recorder rec;
  rec.realtimeResult = 0;  // a process with the right to set the clock
  LinuxSystemClock clock(rec.steps());
  clock.set(at(2024, 2, 29, 12, 34, 56, 789), ClockPrompt::Never, rec.answer());
  ASSERT_EQ(rec.realtimeCalls.size(), 1u);
  EXPECT_EQ(rec.realtimeCalls[0].tv_sec, 1'709'210'096);
  EXPECT_EQ(rec.realtimeCalls[0].tv_nsec, 789'000'000);

  // Without the right, the service is asked to move the clock by the offset measured now, and may
  // prompt the user only for a setting that allows it.
  for (ClockPrompt prompt : {ClockPrompt::Allowed, ClockPrompt::Never}) {
    rec.realtimeResult = prompt == ClockPrompt::Allowed ? EPERM : EACCES;  // EACCES: a sandbox's refusal
    clock.set(at(2024, 2, 29, 12, 34, 57, 0), prompt, rec.answer());
    rec.serviceAnswers(ClockOutcome::Set);
  }
  ASSERT_EQ(rec.serviceCalls.size(), 2u);
  EXPECT_EQ(rec.serviceCalls[0].delta, 97'000'000);
  EXPECT_TRUE(rec.serviceCalls[0].interactive);
  EXPECT_FALSE(rec.serviceCalls[1].interactive);

  // Times the kernel refuses as out of range, and invalid times, go no further; without steps
  // there is nothing to set the clock with.
  rec.realtimeResult = EINVAL;
  clock.set(at(2024, 2, 29, 12, 34, 59, 0), ClockPrompt::Allowed, rec.answer());
  clock.set(at(1601, 1, 1, 0, 0, 0, 0), ClockPrompt::Allowed, rec.answer());
  LinuxSystemClock(LinuxSystemClock::Steps{}).set(at(2030, 1, 1, 0, 0, 0, 0), ClockPrompt::Allowed, rec.answer());
  EXPECT_EQ(rec.realtimeCalls.size(), 4u);
  EXPECT_EQ(rec.serviceCalls.size(), 2u);
  EXPECT_EQ(rec.outcomes, (Outcomes{ClockOutcome::Set, ClockOutcome::Set, ClockOutcome::Set, ClockOutcome::Invalid,
                                    ClockOutcome::Invalid, ClockOutcome::Unavailable}));
}

// A setting due every second while the user reads the prompt, and after the service refused: one
// request at a time, and a refusal is not asked again for settings that may not prompt.
TEST(LinuxSystemClock, NeitherTheServiceNorTheUserIsFlooded) {
  Recorder rec;
  const SystemTime t = at(2030, 6, 15, 8, 0, 0, 0);
  {
    LinuxSystemClock clock(rec.steps());
    clock.set(t, ClockPrompt::Allowed, rec.answer());
    clock.set(t, ClockPrompt::Never, rec.answer());
    rec.serviceAnswers(ClockOutcome::AutomaticSync);
    rec.now += LinuxSystemClock::kRetryAfterRefusal - std::chrono::seconds(1);
    clock.set(t, ClockPrompt::Never, rec.answer());
    EXPECT_EQ(rec.serviceCalls.size(), 1u);
    // A new click asks again at once (the user may have turned synchronisation off meanwhile).
    clock.set(t, ClockPrompt::Allowed, rec.answer());
    rec.serviceAnswers(ClockOutcome::NotPermitted);
    // The next click's prompt is answered with the password: the refusal before it no longer
    // holds, and the settings that follow go to the service at once.
    clock.set(t, ClockPrompt::Allowed, rec.answer());
    rec.serviceAnswers(ClockOutcome::Set);
    clock.set(t, ClockPrompt::Never, rec.answer());
    rec.serviceAnswers(ClockOutcome::NotPermitted);
    rec.now += LinuxSystemClock::kRetryAfterRefusal;
    clock.set(t, ClockPrompt::Never, rec.answer());
  }
  ASSERT_EQ(rec.serviceCalls.size(), 5u);
  EXPECT_FALSE(rec.serviceCalls[4].interactive);
  rec.serviceAnswers(ClockOutcome::Set);  // after the clock object is gone: harmless
  EXPECT_EQ(rec.outcomes, (Outcomes{ClockOutcome::Busy, ClockOutcome::AutomaticSync, ClockOutcome::AutomaticSync,
                                    ClockOutcome::NotPermitted, ClockOutcome::Set, ClockOutcome::NotPermitted,
                                    ClockOutcome::Set}));
}

TEST(LinuxSystemClock, ServiceErrorsSayWhyTheClockWasNotSet) {
  EXPECT_EQ(timeServiceOutcome("org.freedesktop.timedate1.AutomaticTimeSyncEnabled"), ClockOutcome::AutomaticSync);
  EXPECT_EQ(timeServiceOutcome("org.freedesktop.DBus.Error.AccessDenied"), ClockOutcome::NotPermitted);
  EXPECT_EQ(timeServiceOutcome("org.freedesktop.DBus.Error.InteractiveAuthorizationRequired"),
            ClockOutcome::NotPermitted);
  EXPECT_EQ(timeServiceOutcome("org.freedesktop.DBus.Error.ServiceUnknown"), ClockOutcome::Unavailable);
}

}  // namespace
}  // namespace tamrik::platform
