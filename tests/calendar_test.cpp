// Meetings as iCalendar objects: dates, time zones, recurrence patterns, the text rules, and whole
// objects from built streams and from the corpus.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "message/civil_time.h"
#include "message/ical_text.h"
#include "message/recurrence.h"
#include "message/time_zone.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

using testing::ByteVector;
using testing::filetime;
using testing::pattern_minutes;
using testing::RecurrenceSpec;
using testing::ZoneRuleSpec;

Seconds utc(int year, int month, int day, int hour = 0, int minute = 0) {
  return seconds_from_filetime(filetime(year, month, day, hour, minute));
}

std::string local_text(Seconds seconds) { return ical_date_time(seconds, false).value_or("-"); }

// Every physical line within 75 octets, continuations starting with a space and never inside a
// UTF-8 character; unfolded, the lines give back `original`.
void expect_folded(const std::string& folded, std::string_view original) {
  std::string unfolded;
  std::size_t at = 0;
  while (at < folded.size()) {
    const std::size_t end = folded.find("\r\n", at);
    ASSERT_NE(end, std::string::npos) << "a line without CRLF";
    std::string_view line = std::string_view(folded).substr(at, end - at);
    EXPECT_LE(line.size(), 75u) << line;
    if (at != 0) {
      ASSERT_EQ(line.substr(0, 1), " ");
      line.remove_prefix(1);
      if (!line.empty()) {
        EXPECT_NE(static_cast<unsigned char>(line[0]) & 0xC0, 0x80) << line;
      }
    }
    unfolded += line;
    at = end + 2;
  }
  EXPECT_EQ(unfolded, original);
}

TEST(CalendarDates, CivilDatesAgainstTheBuildersDayCount) {
  struct Row {
    int year, month, day, hour, minute;
    std::string_view text;
    int weekday;
  };
  const Row rows[] = {
      {1601, 1, 1, 0, 0, "16010101T000000Z", 1},    {1700, 3, 1, 6, 5, "17000301T060500Z", 1},
      {2000, 2, 29, 12, 34, "20000229T123400Z", 2}, {2013, 12, 23, 17, 0, "20131223T170000Z", 1},
      {2100, 3, 1, 0, 0, "21000301T000000Z", 1},    {9999, 12, 31, 23, 59, "99991231T235900Z", 5},
  };
  for (const Row& row : rows) {
    const Seconds seconds = utc(row.year, row.month, row.day, row.hour, row.minute);
    EXPECT_EQ(ical_date_time(seconds, true).value_or("-"), row.text);
    EXPECT_EQ(day_of_week(seconds), row.weekday) << row.text;
    EXPECT_EQ(seconds_from_civil(civil_from_seconds(seconds)), seconds) << row.text;
  }
  // FILETIME's far end and the time before 1601 have no four-digit year.
  EXPECT_FALSE(ical_date_time(seconds_from_filetime(~std::uint64_t{0}), true));
  EXPECT_FALSE(ical_date(utc(9999, 12, 31) + kSecondsPerDay));
  EXPECT_FALSE(ical_date_time(-1, false));
}

// The zones of the tests: the United States' Eastern time (first Sunday of November, second of
// March), Central Europe (last Sundays of October and March), Sydney (first Sundays of April and
// October), and Eastern time as it was before 2007 (last Sunday of October, first of April).
const ZoneRuleSpec kEastern = {0, 300, 0, -60, {0, 11, 0, 1, 2, 0, 0, 0}, {0, 3, 0, 2, 2, 0, 0, 0}};
const ZoneRuleSpec kEastern2006 = {
    2006, 300, 0, -60, {0, 10, 0, 5, 2, 0, 0, 0}, {0, 4, 0, 1, 2, 0, 0, 0}};
const ZoneRuleSpec kEastern2007 = {
    2007, 300, 0, -60, {0, 11, 0, 1, 2, 0, 0, 0}, {0, 3, 0, 2, 2, 0, 0, 0}};
const ZoneRuleSpec kEurope = {0, -60, 0, -60, {0, 10, 0, 5, 3, 0, 0, 0}, {0, 3, 0, 5, 2, 0, 0, 0}};
const ZoneRuleSpec kSydney = {0, -600, 0, -60, {0, 4, 0, 1, 3, 0, 0, 0}, {0, 10, 0, 1, 2, 0, 0, 0}};

TEST(CalendarTimeZones, LocalTimeAroundEachChange) {
  struct Row {
    const ZoneRuleSpec* zone;
    Seconds utc;
    std::string_view local;
    bool repeated = false;  // the hour the change back repeats: read as its first instance
  };
  const Row rows[] = {
      {&kEastern, utc(2013, 12, 23, 17), "20131223T120000"},
      {&kEastern, utc(2014, 3, 9, 6, 59), "20140309T015900"},
      {&kEastern, utc(2014, 3, 9, 7), "20140309T030000"},
      {&kEastern, utc(2014, 11, 2, 5, 59), "20141102T015900"},
      {&kEastern, utc(2014, 11, 2, 6), "20141102T010000", true},
      {&kEurope, utc(2015, 3, 29, 0, 59), "20150329T015900"},
      {&kEurope, utc(2015, 3, 29, 1), "20150329T030000"},
      {&kEurope, utc(2015, 10, 25, 0, 59), "20151025T025900"},
      {&kEurope, utc(2015, 10, 25, 1), "20151025T020000", true},
      {&kSydney, utc(2014, 1, 15), "20140115T110000"},
      {&kSydney, utc(2014, 7, 15), "20140715T100000"},
      {&kSydney, utc(2014, 4, 5, 15, 59), "20140406T025900"},
      {&kSydney, utc(2014, 4, 5, 16), "20140406T020000", true},
  };
  for (const Row& row : rows) {
    const auto rule = read_time_zone_struct(testing::time_zone_struct(*row.zone));
    ASSERT_TRUE(rule);
    const Seconds local = local_from_utc(*rule, row.utc);
    EXPECT_EQ(local_text(local), row.local);
    EXPECT_EQ(utc_from_local(*rule, local), row.utc - (row.repeated ? 3600 : 0)) << row.local;
  }
}

TEST(CalendarTimeZones, TheRuleOfTheSeriesYearAndItsObservances) {
  const ZoneRuleSpec rules[] = {kEastern2006, kEastern2007};
  const ByteVector definition = testing::time_zone_definition(u"Eastern Standard Time", rules);
  struct Row {
    int year;
    Seconds utc;
    std::string_view local;
  };
  const Row rows[] = {
      {1990, utc(1990, 3, 20, 12), "19900320T070000"},  // before every rule: the first
      {2006, utc(2006, 3, 20, 12), "20060320T070000"},
      {2013, utc(2013, 3, 20, 12), "20130320T080000"},
  };
  for (const Row& row : rows) {
    const auto zone = read_time_zone_definition(definition, row.year);
    ASSERT_TRUE(zone);
    EXPECT_EQ(zone->name, "Eastern Standard Time");
    EXPECT_EQ(local_text(local_from_utc(zone->rule, row.utc)), row.local);
  }
  // A rule count larger than the rules held gives the rules that are there; a definition cut
  // anywhere is read as far as it goes or not at all.
  ByteVector lying = definition;
  lying[6 + 2 * 21] = 0xFF;
  EXPECT_TRUE(read_time_zone_definition(lying, 2013));
  for (std::size_t size = 0; size < definition.size(); ++size) {
    read_time_zone_definition(Bytes(definition.data(), size), 2013);
  }

  const auto eastern = read_time_zone_struct(testing::time_zone_struct(kEastern));
  const auto europe = read_time_zone_struct(testing::time_zone_struct(kEurope));
  std::string lines;
  for (const std::string& line : vtimezone_lines(*eastern, "Eastern")) lines += line + "\n";
  EXPECT_NE(lines.find("BEGIN:STANDARD\nDTSTART:16011104T020000\nTZOFFSETFROM:-0400\n"
                       "TZOFFSETTO:-0500\nRRULE:FREQ=YEARLY;BYMONTH=11;BYDAY=1SU\nEND:STANDARD"),
            std::string::npos)
      << lines;
  EXPECT_NE(lines.find("TZOFFSETTO:-0400\nRRULE:FREQ=YEARLY;BYMONTH=3;BYDAY=2SU"),
            std::string::npos)
      << lines;
  lines.clear();
  for (const std::string& line : vtimezone_lines(*europe, "Europe")) lines += line + "\n";
  EXPECT_NE(lines.find("RRULE:FREQ=YEARLY;BYMONTH=10;BYDAY=-1SU"), std::string::npos) << lines;
  EXPECT_EQ(made_up_zone_name(*europe), "UTC+01:00 (daylight UTC+02:00)");
}

RecurrenceSpec spec(std::uint16_t frequency, std::uint16_t type, std::uint32_t period,
                    std::vector<std::uint32_t> specific) {
  RecurrenceSpec pattern;
  pattern.frequency = frequency;
  pattern.pattern_type = type;
  pattern.period = period;
  pattern.pattern_specific = std::move(specific);
  return pattern;
}

RecurrenceSpec ending(RecurrenceSpec pattern, std::uint32_t end_type) {
  pattern.end_type = end_type;
  return pattern;
}

RecurrenceSpec on_calendar(RecurrenceSpec pattern, std::uint16_t calendar_type) {
  pattern.calendar_type = calendar_type;
  return pattern;
}

TEST(CalendarRecurrence, EachKindAsARule) {
  constexpr std::uint16_t kDaily = 0x200A, kWeekly = 0x200B, kMonthly = 0x200C, kYearly = 0x200D;
  struct Row {
    std::string_view name;
    RecurrenceSpec pattern;
    int first_month;
    std::string_view rule;  // empty: none, and a note
  };
  RecurrenceSpec monday_and_wednesday = spec(kWeekly, 1, 2, {0x0A});
  monday_and_wednesday.first_day_of_week = 1;
  const Row rows[] = {
      {"daily", spec(kDaily, 0, 2880, {}), 1, "FREQ=DAILY;INTERVAL=2"},
      {"weekly", monday_and_wednesday, 1, "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE;WKST=MO"},
      {"every weekday", spec(kDaily, 1, 1, {0x3E}), 1,
       "FREQ=WEEKLY;INTERVAL=1;BYDAY=MO,TU,WE,TH,FR;WKST=SU"},
      {"monthly", spec(kMonthly, 2, 1, {15}), 1, "FREQ=MONTHLY;INTERVAL=1;BYMONTHDAY=15"},
      {"monthly on the 31st", spec(kMonthly, 2, 3, {31}), 1,
       "FREQ=MONTHLY;INTERVAL=3;BYMONTHDAY=28,29,30,31;BYSETPOS=-1"},
      {"monthly-nth", spec(kMonthly, 3, 1, {0x04, 2}), 1,
       "FREQ=MONTHLY;INTERVAL=1;BYDAY=TU;BYSETPOS=2"},
      {"last weekday", spec(kMonthly, 3, 1, {0x3E, 5}), 1,
       "FREQ=MONTHLY;INTERVAL=1;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1"},
      {"yearly", spec(kYearly, 2, 12, {7}), 3, "FREQ=YEARLY;INTERVAL=1;BYMONTH=3;BYMONTHDAY=7"},
      {"yearly-nth", spec(kYearly, 3, 24, {0x10, 4}), 11,
       "FREQ=YEARLY;INTERVAL=2;BYMONTH=11;BYDAY=TH;BYSETPOS=4"},
      {"ends after a count", ending(spec(kDaily, 0, 1440, {}), 0x2022), 1,
       "FREQ=DAILY;INTERVAL=1;COUNT=10"},
      {"ends after a date", ending(spec(kDaily, 0, 1440, {}), 0x2021), 1,
       "FREQ=DAILY;INTERVAL=1;UNTIL=20140301T170000Z"},
      {"weekly in a lunar calendar", on_calendar(spec(kWeekly, 1, 1, {0x02}), 8), 1,
       "FREQ=WEEKLY;INTERVAL=1;BYDAY=MO;WKST=SU"},
      {"month end", spec(kMonthly, 4, 1, {31}), 1, ""},
      {"Hijri month", spec(kMonthly, 0x0A, 1, {5}), 1, ""},
      {"monthly in a lunar calendar", on_calendar(spec(kMonthly, 2, 1, {5}), 8), 1, ""},
      {"no period", spec(kWeekly, 1, 0, {0x02}), 1, ""},
      {"daily in part days", spec(kDaily, 0, 90, {}), 1, ""},
      {"weekly on no day", spec(kWeekly, 1, 1, {0}), 1, ""},
      {"nth week 6", spec(kMonthly, 3, 1, {0x02, 6}), 1, ""},
  };
  for (const Row& row : rows) {
    const auto pattern = read_recurrence(testing::recurrence_pattern(row.pattern));
    ASSERT_TRUE(pattern) << row.name;
    EXPECT_TRUE(pattern->complete) << row.name;
    const RecurrenceRule rule = recurrence_rule(*pattern, "20140301T170000Z", row.first_month);
    EXPECT_EQ(rule.rule, row.rule) << row.name;
    EXPECT_EQ(rule.note.empty(), !row.rule.empty()) << row.name;
  }
  // A series that ends on a date nobody can write has no rule at all, rather than none to end it.
  const auto until_unknown =
      read_recurrence(testing::recurrence_pattern(ending(spec(kDaily, 0, 1440, {}), 0x2021)));
  EXPECT_EQ(recurrence_rule(*until_unknown, "", 1).rule, "");
}

TEST(CalendarRecurrence, DeletedInstancesThatWereNotChanged) {
  RecurrenceSpec weekly;
  const std::uint32_t first = pattern_minutes(2014, 1, 6);
  const std::uint32_t second = pattern_minutes(2014, 1, 13);
  const std::uint32_t third = pattern_minutes(2014, 1, 20);
  weekly.deleted = {first, second, third};
  // The second was moved to the Tuesday: its new date differs from its original one.
  weekly.modified = {pattern_minutes(2014, 1, 14)};
  weekly.exceptions = {{second + 1440 + 600, second + 1440 + 630, second + 720, "Moved"}};
  const auto pattern = read_recurrence(testing::recurrence_pattern(weekly));
  ASSERT_TRUE(pattern && pattern->complete);
  ASSERT_EQ(pattern->exceptions.size(), 1u);
  EXPECT_EQ(deleted_instance_dates(*pattern),
            (std::vector<Seconds>{Seconds{first} * 60, Seconds{third} * 60}));

  // With the exceptions unreadable, the changed instances are known by their dates alone.
  RecurrenceSpec lying_exceptions = weekly;
  lying_exceptions.declared_exceptions = 0xFFFF;
  const auto cut = read_recurrence(testing::recurrence_pattern(lying_exceptions));
  ASSERT_TRUE(cut && cut->rule_complete && !cut->complete);
  EXPECT_EQ(deleted_instance_dates(*cut).size(), 3u);
}

TEST(CalendarRecurrenceCorruption, LyingCountsAndEveryCut) {
  RecurrenceSpec weekly;
  weekly.deleted = {pattern_minutes(2014, 1, 6), pattern_minutes(2014, 1, 13)};
  weekly.declared_deleted = 0x40000000;  // a count whose bytes would pass any buffer
  const auto lying = read_recurrence(testing::recurrence_pattern(weekly));
  ASSERT_TRUE(lying);
  EXPECT_TRUE(lying->rule_complete);
  EXPECT_FALSE(lying->complete);
  EXPECT_TRUE(lying->deleted_dates.empty());
  EXPECT_EQ(recurrence_rule(*lying, "", 1).rule, "FREQ=WEEKLY;INTERVAL=1;BYDAY=MO;WKST=SU");

  // A pattern cut at every length reads as far as it goes: the rule once its head is whole.
  weekly.declared_deleted.reset();
  weekly.exceptions = {{1, 2, 3, "subject"}};
  const ByteVector whole = testing::recurrence_pattern(weekly);
  for (std::size_t size = 0; size <= whole.size(); ++size) {
    const auto pattern = read_recurrence(Bytes(whole.data(), size));
    if (size < 8) {
      EXPECT_FALSE(pattern) << size;
      continue;
    }
    ASSERT_TRUE(pattern) << size;
    EXPECT_EQ(pattern->rule_complete, size >= 38) << size;
  }
}

TEST(CalendarText, EscapingQuotingAndFolding) {
  struct Escape {
    std::string_view text, escaped;
  };
  const Escape escapes[] = {
      {"a,b;c\\d", "a\\,b\\;c\\\\d"},
      {"one\r\ntwo\nthree\rfour", "one\\ntwo\\nthree\\nfour"},
      {"tab\tbell\x07 del\x7F", "tab\tbell del"},
      {"caf\xC3\xA9 \xFF\xC3", "caf\xC3\xA9 "},  // ill-formed bytes are left out
  };
  for (const Escape& row : escapes) EXPECT_EQ(ical_escape_text(row.text), row.escaped);

  EXPECT_EQ(ical_parameter("Jens Meier"), "Jens Meier");
  EXPECT_EQ(ical_parameter("Meier, Jens"), "\"Meier, Jens\"");
  EXPECT_EQ(ical_parameter("(UTC-05:00) Eastern"), "\"(UTC-05:00) Eastern\"");
  EXPECT_EQ(ical_parameter("say \"hi\"\r\n"), "say hi");

  const std::string lines[] = {
      std::string(75, 'a'),
      std::string(76, 'b'),
      std::string(400, 'c'),
      "SUMMARY:" + std::string(50, 'x') + std::string(40, '\xE2') /* not UTF-8 */,
  };
  for (const std::string& line : lines) {
    std::string out;
    append_ical_line(out, line);
    expect_folded(out, line);
  }
  // Two-, three- and four-byte characters at every position against the limit.
  for (std::string_view character : {"\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x93\x85"}) {
    for (std::size_t lead = 60; lead < 80; ++lead) {
      std::string line = "DESCRIPTION:" + std::string(lead, 'x');
      for (int i = 0; i < 40; ++i) line += character;
      std::string out;
      append_ical_line(out, line);
      expect_folded(out, line);
    }
  }
}

}  // namespace
}  // namespace kestrox
