// Time zone rules: the two stored forms, conversion of instants, and VTIMEZONE.
#include "message/time_zone.h"

#include <algorithm>
#include <cstdio>

#include "message/cursor.h"
#include "text/charsets.h"

namespace kestrox {

namespace {

// A TZRULE of a TZDEFINITION, whole.
constexpr std::size_t kTzRuleSize = 66;
constexpr std::uint8_t kTzDefinitionMajorVersion = 0x02;

std::optional<SystemTime> read_system_time(Cursor& in) {
  SystemTime time;
  const auto year = in.read_u16_le();               // wYear
  const auto month = in.read_u16_le();              // wMonth
  const auto day_of_week = in.read_u16_le();        // wDayOfWeek
  const auto day = in.read_u16_le();                // wDay
  const auto hour = in.read_u16_le();               // wHour
  const auto minute = in.read_u16_le();             // wMinute
  const auto second = in.read_u16_le();             // wSecond
  if (!second || !in.skip(2)) return std::nullopt;  // wMilliseconds
  time.year = *year;
  time.month = *month;
  time.day_of_week = *day_of_week;
  time.day = *day;
  time.hour = *hour;
  time.minute = *minute;
  time.second = *second;
  return time;
}

std::optional<std::int32_t> read_i32(Cursor& in) {
  const auto value = in.read_u32_le();
  if (!value) return std::nullopt;
  return static_cast<std::int32_t>(*value);
}

// A rule's biases: a zone more than a day off UTC, or a daylight saving of more than a day, is
// no zone at all.
bool plausible(const TimeZoneRule& rule) {
  auto within_a_day = [](std::int64_t minutes) { return minutes > -1440 && minutes < 1440; };
  return within_a_day(rule.bias) && within_a_day(rule.standard_bias) &&
         within_a_day(rule.daylight_bias) &&
         within_a_day(std::int64_t{rule.bias} + rule.standard_bias) &&
         within_a_day(std::int64_t{rule.bias} + rule.daylight_bias);
}

// A change of time the rule can place in a year: a month, and a week and a day of the week in
// range, or a whole date.
bool usable_change(const SystemTime& time) {
  if (time.month < 1 || time.month > 12 || time.hour > 23 || time.minute > 59 || time.second > 59)
    return false;
  if (time.year != 0) return time.day >= 1 && time.day <= 31;
  return time.day >= 1 && time.day <= 5 && time.day_of_week <= 6;
}

// A rule whose changes cannot be placed keeps its standard time all year.
TimeZoneRule checked(TimeZoneRule rule) {
  if (!usable_change(rule.standard_date) || !usable_change(rule.daylight_date)) {
    rule.standard_date = SystemTime{};
    rule.daylight_date = SystemTime{};
  }
  return rule;
}

// The local time at which `change` happens in `year`.
Seconds change_in_year(const SystemTime& change, int year) {
  CivilTime at;
  at.year = year;
  at.month = change.month;
  at.hour = change.hour;
  at.minute = change.minute;
  at.second = change.second;
  const int last = days_in_month(year, change.month);
  if (change.year != 0) {
    at.day = change.day > last ? last : change.day;
    return seconds_from_civil(at);
  }
  at.day = 1;
  const int first_weekday = day_of_week(seconds_from_civil(at));
  int day = 1 + (change.day_of_week - first_weekday + 7) % 7 + 7 * (change.day - 1);
  while (day > last) day -= 7;  // the fifth week is the last
  at.day = day;
  return seconds_from_civil(at);
}

// Whether daylight saving time holds at `utc`, judged in the year of `year_of`.
bool in_daylight_saving(const TimeZoneRule& rule, Seconds utc, int year) {
  const Seconds starts = change_in_year(rule.daylight_date, year) -
                         Seconds{rule.standard_offset()} * kSecondsPerMinute;
  const Seconds ends = change_in_year(rule.standard_date, year) -
                       Seconds{rule.daylight_offset()} * kSecondsPerMinute;
  // South of the equator the summer spans the turn of the year.
  return starts < ends ? (utc >= starts && utc < ends) : (utc >= starts || utc < ends);
}

std::string offset_text(std::int32_t minutes) {
  const char sign = minutes < 0 ? '-' : '+';
  const std::int32_t magnitude = minutes < 0 ? -minutes : minutes;
  char text[16];
  std::snprintf(text, sizeof text, "%c%02d%02d", sign, static_cast<int>(magnitude / 60),
                static_cast<int>(magnitude % 60));
  return text;
}

const char* const kDayNames[7] = {"SU", "MO", "TU", "WE", "TH", "FR", "SA"};

// One observance: it starts at `change` in 1601 and recurs every year.
void add_observance(std::vector<std::string>& lines, const char* kind, const SystemTime& change,
                    std::int32_t offset_from, std::int32_t offset_to) {
  lines.push_back(std::string("BEGIN:") + kind);
  lines.push_back("DTSTART:" + *ical_date_time(change_in_year(change, kFirstYear), false));
  lines.push_back("TZOFFSETFROM:" + offset_text(offset_from));
  lines.push_back("TZOFFSETTO:" + offset_text(offset_to));
  std::string rrule = "RRULE:FREQ=YEARLY;BYMONTH=" + std::to_string(change.month);
  if (change.year != 0) {
    rrule += ";BYMONTHDAY=" + std::to_string(change.day);
  } else {
    rrule += ";BYDAY=" + std::string(change.day == 5 ? "-1" : std::to_string(change.day)) +
             kDayNames[change.day_of_week];
  }
  lines.push_back(rrule);
  lines.push_back(std::string("END:") + kind);
}

}  // namespace

std::optional<TimeZoneRule> read_time_zone_struct(Bytes value) {
  Cursor in(value);
  TimeZoneRule rule;
  const auto bias = read_i32(in);                          // lBias
  const auto standard_bias = read_i32(in);                 // lStandardBias
  const auto daylight_bias = read_i32(in);                 // lDaylightBias
  if (!daylight_bias || !in.skip(2)) return std::nullopt;  // wStandardYear
  const auto standard_date = read_system_time(in);         // stStandardDate
  if (!standard_date || !in.skip(2)) return std::nullopt;  // wDaylightYear
  const auto daylight_date = read_system_time(in);         // stDaylightDate
  if (!daylight_date) return std::nullopt;
  rule.bias = *bias;
  rule.standard_bias = *standard_bias;
  rule.daylight_bias = *daylight_bias;
  rule.standard_date = *standard_date;
  rule.daylight_date = *daylight_date;
  if (!plausible(rule)) return std::nullopt;
  return checked(rule);
}

std::optional<TimeZone> read_time_zone_definition(Bytes value, int year) {
  Cursor in(value);
  const auto major = in.read_u8();  // bMajorVersion
  if (!major || *major != kTzDefinitionMajorVersion || !in.skip(1)) return std::nullopt;
  const auto header_size = in.read_u16_le();  // cbHeader: wReserved through cRules
  if (!header_size) return std::nullopt;
  const std::size_t header_start = in.position();
  if (!in.skip(2)) return std::nullopt;      // wReserved
  const auto key_length = in.read_u16_le();  // cchKeyName
  if (!key_length) return std::nullopt;
  const auto key = in.read_bytes(std::size_t{*key_length} * 2);  // KeyName, UTF-16LE
  const auto rule_count = in.read_u16_le();                      // cRules
  if (!key || !rule_count) return std::nullopt;
  // A header that says it is longer than what was read has fields of a later version.
  const std::size_t read = in.position() - header_start;
  if (*header_size > read && !in.skip(*header_size - read)) return std::nullopt;

  TimeZone zone;
  zone.name = utf8_from_utf16le(*key);
  std::optional<TimeZoneRule> chosen;
  // The rules come in order of their years; a count larger than the bytes hold gives the rules
  // that are there.
  const std::size_t rules = std::min<std::size_t>(*rule_count, in.left() / kTzRuleSize);
  for (std::size_t i = 0; i < rules; ++i) {
    TimeZoneRule rule;
    in.skip(4);                                       // bMajorVersion, bMinorVersion, wReserved
    in.skip(2);                                       // wTZRuleFlags
    const auto rule_year = in.read_u16_le();          // wYear
    in.skip(14);                                      // X
    const auto bias = read_i32(in);                   // lBias
    const auto standard_bias = read_i32(in);          // lStandardBias
    const auto daylight_bias = read_i32(in);          // lDaylightBias
    const auto standard_date = read_system_time(in);  // stStandardDate
    const auto daylight_date = read_system_time(in);  // stDaylightDate
    if (!rule_year || !bias || !standard_bias || !daylight_bias || !standard_date || !daylight_date)
      break;
    rule.bias = *bias;
    rule.standard_bias = *standard_bias;
    rule.daylight_bias = *daylight_bias;
    rule.standard_date = *standard_date;
    rule.daylight_date = *daylight_date;
    if (!plausible(rule)) continue;
    if (!chosen || *rule_year <= year) chosen = checked(rule);
    if (*rule_year > year) break;
  }
  if (!chosen) return std::nullopt;
  zone.rule = *chosen;
  return zone;
}

Seconds local_from_utc(const TimeZoneRule& rule, Seconds utc) {
  const Seconds standard = utc + Seconds{rule.standard_offset()} * kSecondsPerMinute;
  if (!rule.has_daylight_saving()) return standard;
  const int year = civil_from_seconds(standard).year;
  return in_daylight_saving(rule, utc, year)
             ? utc + Seconds{rule.daylight_offset()} * kSecondsPerMinute
             : standard;
}

Seconds utc_from_local(const TimeZoneRule& rule, Seconds local) {
  const Seconds as_standard = local - Seconds{rule.standard_offset()} * kSecondsPerMinute;
  if (!rule.has_daylight_saving()) return as_standard;
  const Seconds as_daylight = local - Seconds{rule.daylight_offset()} * kSecondsPerMinute;
  const int year = civil_from_seconds(local).year;
  return in_daylight_saving(rule, as_daylight, year) ? as_daylight : as_standard;
}

std::string made_up_zone_name(const TimeZoneRule& rule) {
  auto utc_offset = [](std::int32_t minutes) {
    const std::string digits = offset_text(minutes);
    return "UTC" + digits.substr(0, 3) + ":" + digits.substr(3);
  };
  std::string name = utc_offset(rule.standard_offset());
  if (rule.has_daylight_saving()) name += " (daylight " + utc_offset(rule.daylight_offset()) + ")";
  return name;
}

std::vector<std::string> vtimezone_lines(const TimeZoneRule& rule, const std::string& tzid) {
  std::vector<std::string> lines;
  lines.push_back("BEGIN:VTIMEZONE");
  lines.push_back("TZID:" + tzid);
  if (rule.has_daylight_saving()) {
    add_observance(lines, "STANDARD", rule.standard_date, rule.daylight_offset(),
                   rule.standard_offset());
    add_observance(lines, "DAYLIGHT", rule.daylight_date, rule.standard_offset(),
                   rule.daylight_offset());
  } else {
    lines.push_back("BEGIN:STANDARD");
    lines.push_back("DTSTART:16010101T000000");
    lines.push_back("TZOFFSETFROM:" + offset_text(rule.standard_offset()));
    lines.push_back("TZOFFSETTO:" + offset_text(rule.standard_offset()));
    lines.push_back("END:STANDARD");
  }
  lines.push_back("END:VTIMEZONE");
  return lines;
}

}  // namespace kestrox
