#pragma once
#include <cstdint>

namespace tamrik::platform {

// A UTC calendar time as the clock-setting actions fill it. Fields are not checked here; the clock
// service refuses values out of range (a millisecond value of 1000, month 13, ...).
struct SystemTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;
  std::uint16_t dayOfWeek = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
  std::uint16_t milliseconds = 0;

  friend bool operator==(const SystemTime&, const SystemTime&) = default;
};

// True when every field lies in its calendar range (day checked against the month and leap years).
bool isValidSystemTime(const SystemTime& t);

}  // namespace tamrik::platform
