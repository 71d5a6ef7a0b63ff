// An appointment's time zone: read from its stored rules ([MS-OXOCAL] 2.2.1.39 and 2.2.1.41),
// applied to instants, and written as a VTIMEZONE (RFC 5545 3.6.5).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "message/civil_time.h"
#include "message/tnef.h"

namespace kestrox {

// A SYSTEMTIME as a zone's rule holds it. With `year` 0 it recurs: `day` is the week of the
// month (1-4, 5 the last) on which the `day_of_week` falls.
struct SystemTime {
  std::uint16_t year = 0;
  std::uint16_t month = 0;  // 0: no change of time at all
  std::uint16_t day_of_week = 0;
  std::uint16_t day = 0;
  std::uint16_t hour = 0;
  std::uint16_t minute = 0;
  std::uint16_t second = 0;
};

// One rule of a zone. Minutes to add to local time to get UTC: `bias` + `standard_bias` in
// standard time, `bias` + `daylight_bias` in daylight saving time. Daylight saving time starts at
// `daylight_date` (in standard time) and ends at `standard_date` (in daylight saving time).
struct TimeZoneRule {
  std::int32_t bias = 0;
  std::int32_t standard_bias = 0;
  std::int32_t daylight_bias = 0;
  SystemTime standard_date;
  SystemTime daylight_date;

  bool has_daylight_saving() const { return standard_date.month != 0 && daylight_date.month != 0; }
  // East of Greenwich positive, in minutes.
  std::int32_t standard_offset() const { return -(bias + standard_bias); }
  std::int32_t daylight_offset() const { return -(bias + daylight_bias); }
};

struct TimeZone {
  std::string name;  // empty when the stored form names none
  TimeZoneRule rule;
};

// PidLidTimeZoneStruct: bias, standard bias, daylight bias, then the two dates with their years.
std::optional<TimeZoneRule> read_time_zone_struct(Bytes value);

// A TZDEFINITION (PidLidAppointmentTimeZoneDefinitionRecur and its kin): the zone's key name and
// the rule in effect in `year`, the last whose year is not after it (the first where all are).
std::optional<TimeZone> read_time_zone_definition(Bytes value, int year);

// Local time of an instant, and the instant of a local time (a time that the change to daylight
// saving time skips is read as standard time; one that the change back repeats, as its first,
// daylight saving, instance).
Seconds local_from_utc(const TimeZoneRule& rule, Seconds utc);
Seconds utc_from_local(const TimeZoneRule& rule, Seconds local);

// A stable name for a zone whose stored form names none, from its offsets and changes.
std::string made_up_zone_name(const TimeZoneRule& rule);

// The content lines of a VTIMEZONE for `tzid` (free of control characters, ',', ';', '\\' and
// '"'): its STANDARD observance, and its DAYLIGHT one where the rule changes the time, each
// recurring yearly from 1601.
std::vector<std::string> vtimezone_lines(const TimeZoneRule& rule, const std::string& tzid);

}  // namespace kestrox
