// Instants and calendar dates: seconds since 1601-01-01 00:00, the epoch of FILETIME and of the
// minute counts of a recurrence pattern.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrox {

// Seconds since 1601-01-01 00:00, in UTC or in a zone's local time as the context says.
using Seconds = std::int64_t;

inline constexpr Seconds kSecondsPerMinute = 60;
inline constexpr Seconds kSecondsPerDay = 86400;

struct CivilTime {
  int year = 1601;
  int month = 1;  // 1-12
  int day = 1;    // 1-31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

// Days since 1601-01-01 of a date of the proleptic Gregorian calendar (month and day in range).
std::int64_t days_from_civil(int year, int month, int day);
CivilTime civil_from_seconds(Seconds seconds);
Seconds seconds_from_civil(const CivilTime& time);
// 0 Sunday to 6 Saturday.
int day_of_week(Seconds seconds);
int days_in_month(int year, int month);

// A FILETIME (100-nanosecond ticks since 1601-01-01 UTC) in whole seconds.
inline Seconds seconds_from_filetime(std::uint64_t ticks) {
  return static_cast<Seconds>(ticks / 10'000'000);
}

// The years iCalendar and RFC 5322 dates can show (four digits), and that FILETIME reaches.
inline constexpr int kFirstYear = 1601;
inline constexpr int kLastYear = 9999;
bool in_writable_range(Seconds seconds);

// "YYYYMMDDTHHMMSS", with "Z" after it for UTC; "YYYYMMDD" for a date. Nothing outside the
// writable range.
std::optional<std::string> ical_date_time(Seconds seconds, bool utc);
std::optional<std::string> ical_date(Seconds seconds);

}  // namespace kestrox
