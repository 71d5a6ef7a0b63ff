// Calendar arithmetic on the proleptic Gregorian calendar, counted from 1601-01-01.
#include "message/civil_time.h"

#include <cstdio>

namespace kestrox {

namespace {

// Floor division, for instants before the epoch (local times in the first hours of 1601).
std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

// 1601 starts a 400-year cycle of the Gregorian calendar, so the count goes by cycles from it.
constexpr std::int64_t kDaysPer400Years = 146097;

bool is_leap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

}  // namespace

int days_in_month(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && is_leap(year) ? 29 : kDays[month - 1];
}

std::int64_t days_from_civil(int year, int month, int day) {
  // Years counted from March, so that the leap day ends a year.
  const std::int64_t y = static_cast<std::int64_t>(year) - (month <= 2 ? 1 : 0) - 1600;
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t year_of_era = y - era * 400;
  const std::int64_t month_from_march = month > 2 ? month - 3 : month + 9;
  const std::int64_t day_of_year = (153 * month_from_march + 2) / 5 + day - 1;
  const std::int64_t day_of_era =
      year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  // 1600-03-01 is day 0 of that count; 1601-01-01 comes 306 days later.
  return era * kDaysPer400Years + day_of_era - 306;
}

CivilTime civil_from_seconds(Seconds seconds) {
  const std::int64_t days = floor_div(seconds, kSecondsPerDay);
  const std::int64_t in_day = seconds - days * kSecondsPerDay;
  const std::int64_t from_march = days + 306;
  const std::int64_t era = floor_div(from_march, kDaysPer400Years);
  const std::int64_t day_of_era = from_march - era * kDaysPer400Years;
  const std::int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const std::int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const std::int64_t month_from_march = (5 * day_of_year + 2) / 153;
  CivilTime time;
  time.day = static_cast<int>(day_of_year - (153 * month_from_march + 2) / 5 + 1);
  time.month =
      static_cast<int>(month_from_march < 10 ? month_from_march + 3 : month_from_march - 9);
  time.year = static_cast<int>(1600 + era * 400 + year_of_era + (time.month <= 2 ? 1 : 0));
  time.hour = static_cast<int>(in_day / 3600);
  time.minute = static_cast<int>(in_day / 60 % 60);
  time.second = static_cast<int>(in_day % 60);
  return time;
}

Seconds seconds_from_civil(const CivilTime& time) {
  return days_from_civil(time.year, time.month, time.day) * kSecondsPerDay +
         Seconds{time.hour} * 3600 + Seconds{time.minute} * 60 + time.second;
}

int day_of_week(Seconds seconds) {
  // 1601-01-01 was a Monday.
  return static_cast<int>((floor_div(seconds, kSecondsPerDay) % 7 + 7 + 1) % 7);
}

bool in_writable_range(Seconds seconds) {
  return seconds >= 0 && seconds < days_from_civil(kLastYear + 1, 1, 1) * kSecondsPerDay;
}

std::optional<std::string> ical_date_time(Seconds seconds, bool utc) {
  if (!in_writable_range(seconds)) return std::nullopt;
  const CivilTime t = civil_from_seconds(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d%s", t.year, t.month, t.day, t.hour,
                t.minute, t.second, utc ? "Z" : "");
  return std::string(text);
}

std::optional<std::string> ical_date(Seconds seconds) {
  if (!in_writable_range(seconds)) return std::nullopt;
  const CivilTime t = civil_from_seconds(seconds);
  char text[16];
  std::snprintf(text, sizeof text, "%04d%02d%02d", t.year, t.month, t.day);
  return std::string(text);
}

}  // namespace kestrox
