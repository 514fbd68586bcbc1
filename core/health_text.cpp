#include "core/health_text.h"

#include <cstdio>

namespace tamrik::core {

namespace {

using namespace std::chrono_literals;

struct LightWords {
  const char* good;
  const char* bad;
};

std::string lossesText(std::uint64_t n) {
  if (n == 0) return "no losses";
  return std::to_string(n) + (n == 1 ? " loss" : " losses");
}

std::string lightTooltip(const UnitHealth* u, const StateHistory* s, std::uint64_t losses, LightWords words,
                         UtcTime now, LightWhileDown shown) {
  const char* before = shown == LightWhileDown::LastKnown ? "; the lights show its last known state: "
                                                          : "; its last known state: ";
  if (!u || (u->connected && !s->known)) return "No report from the unit yet";
  std::string text;
  UtcTime end = now;
  if (!u->connected) {
    text = "The unit has been away since " + utcTimeText(u->connectionChanged, now) + " (" +
           durationText(now - u->connectionChanged) + ")";
    if (!s->known) return text;
    text += before;
    end = u->connectionChanged;
  } else if (!u->reporting) {
    text = "No report from the unit since " + utcTimeText(u->silentSince, now) + " (" +
           durationText(now - u->silentSince) + ")" + before;
    end = u->silentSince;
  }
  text += std::string(s->good ? words.good : words.bad) + " since " + (s->sinceExact ? "" : "at least ") +
          utcTimeText(s->since, now) + " (" + durationText(end - s->since) + "); " + lossesText(losses) +
          " since the program started";
  if (losses > 0 && s->lastLoss) {
    if (s->lastLossBetweenReports) {
      text += ", the last shortly before " + utcTimeText(*s->lastLoss, now);
    } else {
      text += ", the last at " + utcTimeText(*s->lastLoss, now);
      if (s->lastLossLasted) text += " for " + durationText(*s->lastLossLasted);
    }
  }
  return text;
}

}  // namespace

std::string utcTimeText(UtcTime t, UtcTime now) {
  const auto day = std::chrono::floor<std::chrono::days>(t);
  const std::chrono::hh_mm_ss<std::chrono::seconds> hms(std::chrono::floor<std::chrono::seconds>(t - day));
  char text[40];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d UTC", static_cast<int>(hms.hours().count()),
                static_cast<int>(hms.minutes().count()), static_cast<int>(hms.seconds().count()));
  if (now - t <= 24h) return text;
  const std::chrono::year_month_day date(day);
  char dated[64];
  std::snprintf(dated, sizeof dated, "%04d-%02u-%02u %s", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()), text);
  return dated;
}

std::string durationText(HealthDuration d) {
  const long long s = d.count() > 0 ? d.count() / 1000 : 0;
  auto two = [](long long big, const char* bigUnit, long long small, const char* smallUnit) {
    std::string text = std::to_string(big) + " " + bigUnit;
    if (small > 0) text += " " + std::to_string(small) + " " + smallUnit;
    return text;
  };
  if (s < 60) return std::to_string(s) + " s";
  if (s < 3600) return two(s / 60, "min", s % 60, "s");
  if (s < 86400) return two(s / 3600, "h", s % 3600 / 60, "min");
  return two(s / 86400, "d", s % 86400 / 3600, "h");
}

std::string gpsLightTooltip(const UnitHealth* unit, UtcTime now, LightWhileDown shown) {
  return lightTooltip(unit, unit ? &unit->gpsSignal : nullptr, unit ? unit->gpsSignalLosses : 0,
                      {"GPS signal OK", "No GPS signal"}, now, shown);
}

std::string pllLightTooltip(const UnitHealth* unit, UtcTime now, LightWhileDown shown) {
  return lightTooltip(unit, unit ? &unit->pllLock : nullptr, unit ? unit->pllLock.losses : 0,
                      {"PLL locked", "No PLL lock"}, now, shown);
}

}  // namespace tamrik::core
