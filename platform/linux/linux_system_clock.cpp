#include "platform/linux/linux_system_clock.h"

#include <cerrno>

namespace tamrik::platform {

namespace {

// Days from 1970-01-01 to the given proleptic Gregorian date (negative before it).
std::int64_t daysFromCivil(std::int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const std::int64_t yoe = y - era * 400;                     // [0, 399]
  const int shiftedMonth = m > 2 ? m - 3 : m + 9;             // March = 0
  const std::int64_t doy = (153 * shiftedMonth + 2) / 5 + d - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::optional<std::int64_t> unixMicroseconds(const SystemTime& utc) {
  if (!isValidSystemTime(utc) || utc.year < 1970) return std::nullopt;
  const std::int64_t days = daysFromCivil(utc.year, utc.month, utc.day);
  const std::int64_t seconds = days * 86400 + std::int64_t{utc.hour} * 3600 + utc.minute * 60 + utc.second;
  return seconds * 1'000'000 + std::int64_t{utc.milliseconds} * 1000;
}

ClockOutcome timeServiceOutcome(std::string_view name) {
  // systemd-timedated refuses SetTime with this error while automatic synchronisation (NTP) is on.
  if (name == "org.freedesktop.timedate1.AutomaticTimeSyncEnabled") return ClockOutcome::AutomaticSync;
  if (name == "org.freedesktop.DBus.Error.AccessDenied" ||
      name == "org.freedesktop.DBus.Error.InteractiveAuthorizationRequired") {
    return ClockOutcome::NotPermitted;
  }
  return ClockOutcome::Unavailable;
}

LinuxSystemClock::LinuxSystemClock(Steps steps) : steps_(std::move(steps)) {}

void LinuxSystemClock::set(const SystemTime& utc, ClockPrompt prompt, ClockAnswer answer) {
  if (!answer) answer = [](ClockOutcome) {};
  const std::optional<std::int64_t> usec = unixMicroseconds(utc);
  if (!usec) return answer(ClockOutcome::Invalid);

  const timespec ts{static_cast<time_t>(*usec / 1'000'000), static_cast<long>(*usec % 1'000'000) * 1000};
  const int err = steps_.setRealtime ? steps_.setRealtime(ts) : EPERM;
  if (err == 0) return answer(ClockOutcome::Set);
  // Only a missing right sends the request on to the time service; the kernel refuses other
  // times (EINVAL) as out of range, and so would the service.
  if (err != EPERM && err != EACCES) return answer(ClockOutcome::Invalid);

  ServiceState& service = *service_;
  if (service.pending) return answer(ClockOutcome::Busy);
  if (!steps_.askTimeService || !steps_.now || !steps_.realtimeUsec) return answer(ClockOutcome::Unavailable);
  const bool interactive = prompt == ClockPrompt::Allowed;
  if (!interactive && service.refusal && steps_.now() - service.refusedAt < kRetryAfterRefusal) {
    return answer(*service.refusal);
  }
  service.pending = true;
  // The state is shared with the answer, which may arrive after this clock object is gone.
  steps_.askTimeService(*usec - steps_.realtimeUsec(), interactive,
                        [state = service_, now = steps_.now, answer = std::move(answer)](ClockOutcome outcome) {
                          state->pending = false;
                          if (outcome == ClockOutcome::Set) {
                            state->refusal.reset();
                          } else {
                            state->refusal = outcome;
                            state->refusedAt = now();
                          }
                          answer(outcome);
                        });
}

}  // namespace tamrik::platform
