#include "platform/linux/linux_system_clock.h"

#include <cerrno>

#ifdef TAMRIK_HAVE_QT_DBUS
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#endif

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

int realSetRealtime(const timespec& ts) { return ::clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : errno; }

std::int64_t realtimeNowUsec() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// How long a blocking call to the time service may take: long enough for the user to answer
// the authorization prompt.
constexpr int kTimeServiceTimeoutMs = 90'000;

}  // namespace

std::optional<std::int64_t> unixMicroseconds(const SystemTime& utc) {
  if (!isValidSystemTime(utc) || utc.year < 1970) return std::nullopt;
  const std::int64_t days = daysFromCivil(utc.year, utc.month, utc.day);
  const std::int64_t seconds = days * 86400 + std::int64_t{utc.hour} * 3600 + utc.minute * 60 + utc.second;
  return seconds * 1'000'000 + std::int64_t{utc.milliseconds} * 1000;
}

void askTimedatedToShiftClock(std::int64_t deltaUsec, std::function<void(bool)> done) {
#ifdef TAMRIK_HAVE_QT_DBUS
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) {
    done(false);
    return;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.timedate1"),
                                                     QStringLiteral("/org/freedesktop/timedate1"),
                                                     QStringLiteral("org.freedesktop.timedate1"),
                                                     QStringLiteral("SetTime"));
  // SetTime(x usec_utc, b relative, b interactive): relative, so that the offset measured at the
  // request is applied whenever the user answers the prompt.
  call << QVariant::fromValue<qlonglong>(deltaUsec) << true << true;
  call.setInteractiveAuthorizationAllowed(true);
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, kTimeServiceTimeoutMs));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [done = std::move(done)](QDBusPendingCallWatcher* w) {
    done(!w->isError());
    w->deleteLater();
  });
#else
  (void)deltaUsec;
  done(false);
#endif
}

LinuxSystemClock::LinuxSystemClock()
    : LinuxSystemClock(Steps{realSetRealtime, askTimedatedToShiftClock, [] { return std::chrono::steady_clock::now(); },
                             realtimeNowUsec}) {}

LinuxSystemClock::LinuxSystemClock(Steps steps) : steps_(std::move(steps)) {
  if (!steps_.now) steps_.now = [] { return std::chrono::steady_clock::now(); };
  if (!steps_.realtimeUsec) steps_.realtimeUsec = realtimeNowUsec;
}

bool LinuxSystemClock::set(const SystemTime& utc) {
  const std::optional<std::int64_t> usec = unixMicroseconds(utc);
  if (!usec) return false;

  const timespec ts{static_cast<time_t>(*usec / 1'000'000), static_cast<long>(*usec % 1'000'000) * 1000};
  const int err = steps_.setRealtime ? steps_.setRealtime(ts) : EPERM;
  if (err == 0) return true;
  // Only a missing right sends the request on to the time service; any other error would
  // be refused there too.
  if (err != EPERM && err != EACCES) return false;

  ServiceState& service = *service_;
  if (!steps_.askTimeService || service.pending) return false;
  const auto now = steps_.now();
  if (service.refusedAt && now - *service.refusedAt < kRetryAfterRefusal) return false;
  service.pending = true;
  // The state is shared with the answer, which may arrive after this clock object is gone.
  steps_.askTimeService(*usec - steps_.realtimeUsec(), [state = service_, clock = steps_.now](bool ok) {
    state->pending = false;
    if (ok) state->refusedAt.reset();
    else state->refusedAt = clock();
  });
  return true;
}

}  // namespace tamrik::platform
