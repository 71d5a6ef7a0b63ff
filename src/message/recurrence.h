// A series' recurrence as Outlook stores it (PidLidAppointmentRecur, [MS-OXOCAL] 2.2.1.44), and
// the RRULE and EXDATE of RFC 5545 that say the same.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "message/civil_time.h"
#include "message/tnef.h"

namespace kestrox {

// RecurFrequency.
inline constexpr std::uint16_t kRecurDaily = 0x200A;
inline constexpr std::uint16_t kRecurWeekly = 0x200B;
inline constexpr std::uint16_t kRecurMonthly = 0x200C;
inline constexpr std::uint16_t kRecurYearly = 0x200D;
// PatternType.
inline constexpr std::uint16_t kPatternDay = 0x0000;
inline constexpr std::uint16_t kPatternWeek = 0x0001;
inline constexpr std::uint16_t kPatternMonth = 0x0002;
inline constexpr std::uint16_t kPatternMonthNth = 0x0003;
inline constexpr std::uint16_t kPatternMonthEnd = 0x0004;
inline constexpr std::uint16_t kPatternHjMonth = 0x000A;
inline constexpr std::uint16_t kPatternHjMonthNth = 0x000B;
inline constexpr std::uint16_t kPatternHjMonthEnd = 0x000C;
// EndType.
inline constexpr std::uint32_t kEndAfterDate = 0x2021;
inline constexpr std::uint32_t kEndAfterCount = 0x2022;
inline constexpr std::uint32_t kEndNever = 0x2023;

// An occurrence that differs from the pattern (ExceptionInfo): times in local minutes since 1601.
struct RecurrenceException {
  std::uint32_t start = 0;
  std::uint32_t end = 0;
  std::uint32_t original_start = 0;
  std::optional<Bytes> subject;   // 8-bit, in the message's code page
  std::optional<Bytes> location;  // the same
};

// The pattern as far as it could be read. Dates are local minutes since 1601 (midnight for the
// dates of instances), offsets minutes after local midnight.
struct RecurrencePattern {
  std::uint16_t frequency = 0;
  std::uint16_t pattern_type = 0;
  std::uint16_t calendar_type = 0;
  std::uint32_t period = 0;        // minutes (daily), weeks, or months (monthly and yearly)
  std::uint32_t days_of_week = 0;  // bit 0 Sunday to bit 6 Saturday
  std::uint32_t day_of_month = 0;
  std::uint32_t nth = 0;  // 1-4, 5 the last
  std::uint32_t end_type = 0;
  std::uint32_t occurrence_count = 0;
  std::uint32_t first_day_of_week = 0;       // 0 Sunday
  std::vector<std::uint32_t> deleted_dates;  // original dates of deleted and modified instances
  std::vector<std::uint32_t> modified_dates;
  std::optional<std::uint32_t> start_date;
  std::optional<std::uint32_t> end_date;
  std::optional<std::uint32_t> start_time_offset;
  std::optional<std::uint32_t> end_time_offset;
  std::vector<RecurrenceException> exceptions;
  // Through the end type and occurrence count: what an RRULE needs besides an end date.
  bool rule_complete = false;
  // Every field through the exceptions was read, and every count held.
  bool complete = false;
};

// The pattern in `value`, or nothing where even its frequency and type cannot be read. Reading
// stops at a field that does not fit, or at a count that claims more than the bytes left; what
// came before it is kept.
std::optional<RecurrencePattern> read_recurrence(Bytes value);

// The RRULE value ("FREQ=WEEKLY;..."), or an empty rule and a note for the user where none can
// say the pattern (month-end and non-Gregorian patterns, a damaged pattern).
struct RecurrenceRule {
  std::string rule;
  std::string note;
};

// `until`: the UNTIL value in the form the series' DTSTART takes (a date, or a UTC date-time),
// used when the series ends after a date; empty when that date cannot be given. `first_month`:
// the month (1-12) of the first occurrence, which a yearly series repeats in.
RecurrenceRule recurrence_rule(const RecurrencePattern& pattern, const std::string& until,
                               int first_month);

// The local dates of the deleted instances that were not moved or changed: those to exclude.
std::vector<Seconds> deleted_instance_dates(const RecurrencePattern& pattern);

}  // namespace kestrox
