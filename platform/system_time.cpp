#include "platform/system_time.h"

namespace tamrik::platform {

namespace {
bool isLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int daysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && isLeapYear(year)) return 29;
  return kDays[month - 1];
}
}  // namespace

bool isValidSystemTime(const SystemTime& t) {
  // The same span the host clock services accept for a calendar date.
  if (t.year < 1601 || t.year > 30827) return false;
  if (t.month < 1 || t.month > 12) return false;
  if (t.dayOfWeek > 6) return false;
  if (t.day < 1 || t.day > daysInMonth(t.year, t.month)) return false;
  if (t.hour > 23 || t.minute > 59 || t.second > 59 || t.milliseconds > 999) return false;
  return true;
}

}  // namespace tamrik::platform
