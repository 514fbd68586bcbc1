#include "platform/linux/host_clock.h"

#include <cerrno>
#include <ctime>

#ifdef TAMRIK_HAVE_QT_DBUS
#include <QtDBus/QDBusConnection>
#include <QtDBus/QDBusMessage>
#include <QtDBus/QDBusPendingCallWatcher>
#endif

namespace tamrik::platform {

namespace {

int realSetRealtime(const timespec& ts) { return ::clock_settime(CLOCK_REALTIME, &ts) == 0 ? 0 : errno; }

std::int64_t realtimeNowUsec() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000 + ts.tv_nsec / 1000;
}

// How long a call to the time service may take: with a prompt, long enough for the user to answer
// it; without, a service that does not answer soon is taken as unavailable.
constexpr int kPromptTimeoutMs = 90'000;
constexpr int kQuietTimeoutMs = 10'000;

}  // namespace

void askTimedatedToShiftClock(std::int64_t deltaUsec, bool interactive, ClockAnswer done) {
#ifdef TAMRIK_HAVE_QT_DBUS
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected()) return done(ClockOutcome::Unavailable);
  QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.timedate1"),
                                                     QStringLiteral("/org/freedesktop/timedate1"),
                                                     QStringLiteral("org.freedesktop.timedate1"),
                                                     QStringLiteral("SetTime"));
  // SetTime(x usec_utc, b relative, b interactive): relative, so that the offset measured at the
  // request is applied whenever the user answers the prompt.
  call << QVariant::fromValue<qlonglong>(deltaUsec) << true << interactive;
  call.setInteractiveAuthorizationAllowed(interactive);
  auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, interactive ? kPromptTimeoutMs : kQuietTimeoutMs));
  QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [done = std::move(done)](QDBusPendingCallWatcher* w) {
    done(w->isError() ? timeServiceOutcome(w->error().name().toStdString()) : ClockOutcome::Set);
    w->deleteLater();
  });
#else
  (void)deltaUsec;
  (void)interactive;
  done(ClockOutcome::Unavailable);
#endif
}

LinuxSystemClock::Steps hostClockSteps() {
  return {realSetRealtime, askTimedatedToShiftClock, [] { return std::chrono::steady_clock::now(); },
          realtimeNowUsec};
}

}  // namespace tamrik::platform
