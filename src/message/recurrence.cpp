// The recurrence pattern of a series, read field by field, and its RRULE and EXDATE.
#include "message/recurrence.h"

#include <algorithm>

#include "message/cursor.h"

namespace kestrox {

namespace {

constexpr std::uint32_t kMinutesPerDay = 1440;

// The ExceptionInfo fields that an override flag says are present.
constexpr std::uint16_t kOverrideSubject = 0x0001;
constexpr std::uint16_t kOverrideMeetingType = 0x0002;
constexpr std::uint16_t kOverrideReminderDelta = 0x0004;
constexpr std::uint16_t kOverrideReminderSet = 0x0008;
constexpr std::uint16_t kOverrideLocation = 0x0010;
constexpr std::uint16_t kOverrideBusyStatus = 0x0020;
constexpr std::uint16_t kOverrideAttachment = 0x0040;
constexpr std::uint16_t kOverrideSubType = 0x0080;
constexpr std::uint16_t kOverrideColor = 0x0100;

// A count of 4-byte dates and the dates. A count that claims more than the bytes left leaves no
// telling which of them are dates: none are taken, and false says reading stops.
bool read_dates(Cursor& in, std::vector<std::uint32_t>& dates) {
  const auto count = in.read_u32_le();
  if (!count || *count > in.left() / 4) return false;
  dates.reserve(*count);
  for (std::uint32_t i = 0; i < *count; ++i) dates.push_back(*in.read_u32_le());
  return true;
}

// An 8-bit string of an ExceptionInfo: its length plus one, its length, then its bytes.
std::optional<Bytes> read_exception_text(Cursor& in) {
  const auto length_plus_one = in.read_u16_le();  // SubjectLength / LocationLength
  const auto length = in.read_u16_le();           // SubjectLength2 / LocationLength2
  if (!length_plus_one || !length) return std::nullopt;
  return in.read_bytes(*length);
}

std::optional<RecurrenceException> read_exception(Cursor& in) {
  RecurrenceException exception;
  const auto start = in.read_u32_le();           // StartDateTime
  const auto end = in.read_u32_le();             // EndDateTime
  const auto original_start = in.read_u32_le();  // OriginalStartDate
  const auto flags = in.read_u16_le();           // OverrideFlags
  if (!flags) return std::nullopt;
  exception.start = *start;
  exception.end = *end;
  exception.original_start = *original_start;
  if (*flags & kOverrideSubject) {
    exception.subject = read_exception_text(in);
    if (!exception.subject) return std::nullopt;
  }
  // MeetingType, ReminderDelta, ReminderSet: 4 bytes each.
  for (std::uint16_t flag : {kOverrideMeetingType, kOverrideReminderDelta, kOverrideReminderSet}) {
    if ((*flags & flag) && !in.skip(4)) return std::nullopt;
  }
  if (*flags & kOverrideLocation) {
    exception.location = read_exception_text(in);
    if (!exception.location) return std::nullopt;
  }
  // BusyStatus, Attachment, SubType, AppointmentColor: 4 bytes each.
  for (std::uint16_t flag :
       {kOverrideBusyStatus, kOverrideAttachment, kOverrideSubType, kOverrideColor}) {
    if ((*flags & flag) && !in.skip(4)) return std::nullopt;
  }
  return exception;
}

bool gregorian_months(std::uint16_t calendar_type) {
  // The default, the Gregorian calendars in their languages, and the calendars that only count
  // the years of Gregorian months otherwise (Japanese, Taiwan, Korean, Thai eras).
  switch (calendar_type) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
    case 7:
    case 9:
    case 10:
    case 11:
    case 12:
      return true;
    default:
      return false;
  }
}

std::string by_day(std::uint32_t days_of_week) {
  static constexpr const char* kDays[7] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  std::string list;
  for (int day = 0; day < 7; ++day) {
    if (days_of_week & (1u << day)) list += (list.empty() ? "" : ",") + std::string(kDays[day]);
  }
  return list;
}

// BYMONTHDAY for a day of the month. A day that a month lacks falls on its last day, as Outlook
// places it: the last of the days from the 28th to it.
std::string by_month_day(std::uint32_t day) {
  if (day < 29) return "BYMONTHDAY=" + std::to_string(day);
  std::string days = "BYMONTHDAY=28";
  for (std::uint32_t d = 29; d <= day; ++d) days += "," + std::to_string(d);
  return days + ";BYSETPOS=-1";
}

std::string set_position(std::uint32_t nth) { return nth == 5 ? "-1" : std::to_string(nth); }

}  // namespace

std::optional<RecurrencePattern> read_recurrence(Bytes value) {
  Cursor in(value);
  RecurrencePattern pattern;
  if (!in.skip(4)) return std::nullopt;        // ReaderVersion, WriterVersion
  const auto frequency = in.read_u16_le();     // RecurFrequency
  const auto pattern_type = in.read_u16_le();  // PatternType
  if (!pattern_type) return std::nullopt;
  pattern.frequency = *frequency;
  pattern.pattern_type = *pattern_type;
  const auto calendar_type = in.read_u16_le();                 // CalendarType
  const bool head = calendar_type && in.skip(4);               // FirstDateTime
  const auto period = head ? in.read_u32_le() : std::nullopt;  // Period
  if (!period || !in.skip(4)) return pattern;                  // SlidingFlag
  pattern.calendar_type = *calendar_type;
  pattern.period = *period;

  // PatternTypeSpecific.
  switch (pattern.pattern_type) {
    case kPatternDay:
      break;
    case kPatternWeek: {
      const auto days = in.read_u32_le();
      if (!days) return pattern;
      pattern.days_of_week = *days;
      break;
    }
    case kPatternMonthNth:
    case kPatternHjMonthNth: {
      const auto days = in.read_u32_le();
      const auto nth = in.read_u32_le();
      if (!nth) return pattern;
      pattern.days_of_week = *days;
      pattern.nth = *nth;
      break;
    }
    default: {  // Month, MonthEnd and their Hijri kin: the day of the month
      const auto day = in.read_u32_le();
      if (!day) return pattern;
      pattern.day_of_month = *day;
      break;
    }
  }
  const auto end_type = in.read_u32_le();          // EndType
  const auto occurrence_count = in.read_u32_le();  // OccurrenceCount
  const auto first_dow = in.read_u32_le();         // FirstDOW
  if (!first_dow) return pattern;
  pattern.end_type = *end_type;
  pattern.occurrence_count = *occurrence_count;
  pattern.first_day_of_week = *first_dow;
  pattern.rule_complete = true;

  if (!read_dates(in, pattern.deleted_dates)) return pattern;  // DeletedInstanceDates
  if (!read_dates(in, pattern.modified_dates)) {               // ModifiedInstanceDates
    // Without the changed instances, the deleted ones cannot be told from them.
    pattern.deleted_dates.clear();
    return pattern;
  }
  pattern.start_date = in.read_u32_le();  // StartDate
  pattern.end_date = in.read_u32_le();    // EndDate
  if (!pattern.end_date) return pattern;

  // What an appointment adds to the pattern.
  if (!in.skip(8)) return pattern;                // ReaderVersion2, WriterVersion2
  pattern.start_time_offset = in.read_u32_le();   // StartTimeOffset
  pattern.end_time_offset = in.read_u32_le();     // EndTimeOffset
  const auto exception_count = in.read_u16_le();  // ExceptionCount
  if (!exception_count) return pattern;
  for (std::uint16_t i = 0; i < *exception_count; ++i) {
    auto exception = read_exception(in);  // ExceptionInfo
    if (!exception) return pattern;
    pattern.exceptions.push_back(std::move(*exception));
  }
  pattern.complete = true;
  return pattern;
}

RecurrenceRule recurrence_rule(const RecurrencePattern& pattern, const std::string& until,
                               int first_month) {
  RecurrenceRule result;
  const bool monthly_type =
      pattern.pattern_type == kPatternMonth || pattern.pattern_type == kPatternMonthNth;
  if (pattern.pattern_type == kPatternMonthEnd) {
    result.note =
        "repeats on the last day of the month, which is not written as a rule: "
        "only the first occurrence is in the calendar file";
    return result;
  }
  if (pattern.pattern_type == kPatternHjMonth || pattern.pattern_type == kPatternHjMonthNth ||
      pattern.pattern_type == kPatternHjMonthEnd ||
      (monthly_type && !gregorian_months(pattern.calendar_type))) {
    result.note =
        "repeats by the months of a non-Gregorian calendar, which are not written as a "
        "rule: only the first occurrence is in the calendar file";
    return result;
  }
  const char* const kDamaged =
      "its recurrence pattern is damaged: only the first occurrence is in the calendar file";
  if (!pattern.rule_complete || pattern.period == 0 ||
      (pattern.end_type == kEndAfterDate && until.empty()) ||
      (pattern.end_type == kEndAfterCount && pattern.occurrence_count == 0)) {
    result.note = kDamaged;
    return result;
  }

  std::string rule;
  switch (pattern.pattern_type) {
    case kPatternDay:
      if (pattern.period % kMinutesPerDay != 0) break;
      rule = "FREQ=DAILY;INTERVAL=" + std::to_string(pattern.period / kMinutesPerDay);
      break;
    case kPatternWeek:
      if ((pattern.days_of_week & 0x7F) == 0) break;
      // Also "every weekday", which Outlook keeps as a daily series of this type.
      rule = "FREQ=WEEKLY;INTERVAL=" + std::to_string(pattern.period) +
             ";BYDAY=" + by_day(pattern.days_of_week);
      break;
    case kPatternMonth:
    case kPatternMonthNth: {
      std::string on;
      if (pattern.pattern_type == kPatternMonth) {
        if (pattern.day_of_month < 1 || pattern.day_of_month > 31) break;
        on = by_month_day(pattern.day_of_month);
      } else {
        if ((pattern.days_of_week & 0x7F) == 0 || pattern.nth < 1 || pattern.nth > 5) break;
        on = "BYDAY=" + by_day(pattern.days_of_week) + ";BYSETPOS=" + set_position(pattern.nth);
      }
      if (pattern.frequency == kRecurYearly) {
        if (pattern.period % 12 != 0 || first_month < 1 || first_month > 12) break;
        rule = "FREQ=YEARLY;INTERVAL=" + std::to_string(pattern.period / 12) +
               ";BYMONTH=" + std::to_string(first_month) + ";" + on;
      } else {
        rule = "FREQ=MONTHLY;INTERVAL=" + std::to_string(pattern.period) + ";" + on;
      }
      break;
    }
    default:
      break;
  }
  if (rule.empty()) {
    result.note = kDamaged;
    return result;
  }
  if (pattern.end_type == kEndAfterDate) {
    rule += ";UNTIL=" + until;
  } else if (pattern.end_type == kEndAfterCount) {
    rule += ";COUNT=" + std::to_string(pattern.occurrence_count);
  }
  static constexpr const char* kDays[7] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};
  if (pattern.pattern_type == kPatternWeek && pattern.first_day_of_week < 7)
    rule += ";WKST=" + std::string(kDays[pattern.first_day_of_week]);
  result.rule = std::move(rule);
  return result;
}

std::vector<Seconds> deleted_instance_dates(const RecurrencePattern& pattern) {
  // The original dates of the changed instances: from the exceptions where they were all read,
  // else the dates the changed instances have now, which are those for a change of time alone.
  std::vector<std::uint32_t> changed;
  if (pattern.complete) {
    for (const RecurrenceException& exception : pattern.exceptions)
      changed.push_back(exception.original_start / kMinutesPerDay * kMinutesPerDay);
  } else {
    changed = pattern.modified_dates;
  }
  std::sort(changed.begin(), changed.end());
  std::vector<Seconds> dates;
  for (std::uint32_t date : pattern.deleted_dates) {
    if (!std::binary_search(changed.begin(), changed.end(), date))
      dates.push_back(Seconds{date} * kSecondsPerMinute);
  }
  return dates;
}

}  // namespace kestrox
