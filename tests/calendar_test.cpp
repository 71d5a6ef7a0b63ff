// Meetings as iCalendar objects: dates, time zones, recurrence patterns, the text rules, and whole
// objects from built streams and from the corpus.
#include "message/calendar.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "message/civil_time.h"
#include "message/ical_text.h"
#include "message/properties.h"
#include "message/recurrence.h"
#include "message/time_zone.h"
#include "support/corpus.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

using testing::ByteVector;
using testing::filetime;
using testing::GuidBytes;
using testing::kPsetidAppointmentBytes;
using testing::kPsetidMeetingBytes;
using testing::MapiBlock;
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

RecurrenceSpec pattern(std::uint16_t frequency, std::uint16_t type, std::uint32_t period,
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
  RecurrenceSpec monday_and_wednesday = pattern(kWeekly, 1, 2, {0x0A});
  monday_and_wednesday.first_day_of_week = 1;
  const Row rows[] = {
      {"daily", pattern(kDaily, 0, 2880, {}), 1, "FREQ=DAILY;INTERVAL=2"},
      {"weekly", monday_and_wednesday, 1, "FREQ=WEEKLY;INTERVAL=2;BYDAY=MO,WE;WKST=MO"},
      {"every weekday", pattern(kDaily, 1, 1, {0x3E}), 1,
       "FREQ=WEEKLY;INTERVAL=1;BYDAY=MO,TU,WE,TH,FR;WKST=SU"},
      {"monthly", pattern(kMonthly, 2, 1, {15}), 1, "FREQ=MONTHLY;INTERVAL=1;BYMONTHDAY=15"},
      {"monthly on the 31st", pattern(kMonthly, 2, 3, {31}), 1,
       "FREQ=MONTHLY;INTERVAL=3;BYMONTHDAY=28,29,30,31;BYSETPOS=-1"},
      {"monthly-nth", pattern(kMonthly, 3, 1, {0x04, 2}), 1,
       "FREQ=MONTHLY;INTERVAL=1;BYDAY=TU;BYSETPOS=2"},
      {"last weekday", pattern(kMonthly, 3, 1, {0x3E, 5}), 1,
       "FREQ=MONTHLY;INTERVAL=1;BYDAY=MO,TU,WE,TH,FR;BYSETPOS=-1"},
      {"yearly", pattern(kYearly, 2, 12, {7}), 3, "FREQ=YEARLY;INTERVAL=1;BYMONTH=3;BYMONTHDAY=7"},
      {"yearly-nth", pattern(kYearly, 3, 24, {0x10, 4}), 11,
       "FREQ=YEARLY;INTERVAL=2;BYMONTH=11;BYDAY=TH;BYSETPOS=4"},
      {"ends after a count", ending(pattern(kDaily, 0, 1440, {}), 0x2022), 1,
       "FREQ=DAILY;INTERVAL=1;COUNT=10"},
      {"ends after a date", ending(pattern(kDaily, 0, 1440, {}), 0x2021), 1,
       "FREQ=DAILY;INTERVAL=1;UNTIL=20140301T170000Z"},
      {"weekly in a lunar calendar", on_calendar(pattern(kWeekly, 1, 1, {0x02}), 8), 1,
       "FREQ=WEEKLY;INTERVAL=1;BYDAY=MO;WKST=SU"},
      {"month end", pattern(kMonthly, 4, 1, {31}), 1, ""},
      {"Hijri month", pattern(kMonthly, 0x0A, 1, {5}), 1, ""},
      {"monthly in a lunar calendar", on_calendar(pattern(kMonthly, 2, 1, {5}), 8), 1, ""},
      {"no period", pattern(kWeekly, 1, 0, {0x02}), 1, ""},
      {"daily in part days", pattern(kDaily, 0, 90, {}), 1, ""},
      {"weekly on no day", pattern(kWeekly, 1, 1, {0}), 1, ""},
      {"nth week 6", pattern(kMonthly, 3, 1, {0x02, 6}), 1, ""},
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
      read_recurrence(testing::recurrence_pattern(ending(pattern(kDaily, 0, 1440, {}), 0x2021)));
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

// A meeting's properties, named ones by their set and number.
struct Props {
  MapiBlock block;
  std::uint16_t next_id = 0x8000;

  Props& time(const GuidBytes& set, std::uint32_t lid, std::uint64_t ticks) {
    ByteVector value;
    for (int i = 0; i < 8; ++i) value.push_back(static_cast<std::uint8_t>(ticks >> (8 * i)));
    block.named(set, lid).mapi_fixed(0x0040, next_id++, value);
    return *this;
  }
  Props& time(std::uint16_t id, std::uint64_t ticks) {
    ByteVector value;
    for (int i = 0; i < 8; ++i) value.push_back(static_cast<std::uint8_t>(ticks >> (8 * i)));
    block.mapi_fixed(0x0040, id, value);
    return *this;
  }
  Props& binary(const GuidBytes& set, std::uint32_t lid, const ByteVector& value) {
    block.named(set, lid).mapi_binary(next_id++, value);
    return *this;
  }
  Props& flag(const GuidBytes& set, std::uint32_t lid, bool value) {
    block.named(set, lid).mapi_fixed(0x000B, next_id++,
                                     ByteVector{value ? std::uint8_t{1} : std::uint8_t{0}, 0});
    return *this;
  }
  Props& text(const GuidBytes& set, std::uint32_t lid, std::string_view value) {
    block.named(set, lid).mapi_string8(next_id++, value);
    return *this;
  }
  Props& text(std::uint16_t id, std::string_view value) {
    block.mapi_string8(id, value);
    return *this;
  }
  // The meeting's times, UTC.
  Props& span(std::uint64_t start, std::uint64_t end) {
    return time(kPsetidAppointmentBytes, 0x820D, start).time(kPsetidAppointmentBytes, 0x820E, end);
  }
};

ByteVector meeting_stream(std::string_view message_class, const Props& properties,
                          std::vector<MapiBlock> rows = {}) {
  testing::TnefBuilder tnef;
  tnef.signature().tnef_version().oem_codepage().message_class(message_class);
  tnef.message_properties(properties.block);
  if (!rows.empty()) tnef.recipient_table(rows);
  return tnef.bytes();
}

// The object's content lines, unfolded, one per line of the result ending in "\n"; folding and
// line ends checked on the way.
std::string unfolded(const std::string& ics) {
  std::string lines;
  std::size_t at = 0;
  std::string current;
  while (at < ics.size()) {
    const std::size_t end = ics.find("\r\n", at);
    if (end == std::string::npos) {
      ADD_FAILURE() << "a line without CRLF";
      break;
    }
    const std::string_view line = std::string_view(ics).substr(at, end - at);
    EXPECT_LE(line.size(), 75u) << line;
    if (!line.empty() && line[0] == ' ') {
      current += line.substr(1);
    } else {
      if (at != 0) lines += current + "\n";
      current = std::string(line);
    }
    at = end + 2;
  }
  return lines + current + "\n";
}

ByteVector global_object_id(std::string_view vcal_uid = {}) {
  // The class id, then an instance date, then creation time and reserved bytes, then the size.
  static constexpr std::uint8_t kHead[20] = {0x04, 0x00, 0x00, 0x00, 0x82, 0x00, 0xE0,
                                             0x00, 0x74, 0xC5, 0xB7, 0x10, 0x1A, 0x82,
                                             0xE0, 0x08, 0x07, 0xDE, 0x03, 0x0A};
  const std::string data =
      vcal_uid.empty() ? std::string("\xDE\xAD\xBE\xEF")
                       : std::string("vCal-Uid\x01\x00\x00\x00", 12) + std::string(vcal_uid) + '\0';
  ByteVector id(40 + data.size(), 0);
  std::copy(std::begin(kHead), std::end(kHead), id.begin());
  id[36] = static_cast<std::uint8_t>(data.size());
  std::copy(data.begin(), data.end(), id.begin() + 40);
  return id;
}

MapiBlock recipient(std::uint32_t type, std::string_view name, std::string_view smtp,
                    std::uint32_t flags = 0) {
  MapiBlock row;
  row.mapi_long(0x0C15, type).mapi_string8(0x3001, name);
  if (!smtp.empty()) row.mapi_string8(0x39FE, smtp);
  if (flags != 0) row.mapi_long(0x5FFD, flags);
  return row;
}

TEST(CalendarMeetings, BuiltMeetingsAndAppointments) {
  const std::uint64_t start = filetime(2014, 3, 3, 17), end = filetime(2014, 3, 3, 17, 30);
  const ZoneRuleSpec eastern[] = {kEastern2007};
  const ByteVector eastern_definition =
      testing::time_zone_definition(u"Eastern Standard Time", eastern);
  RecurrenceSpec weekly;
  weekly.end_type = 0x2021;
  weekly.end_date = pattern_minutes(2014, 3, 31);
  weekly.deleted = {pattern_minutes(2014, 3, 10), pattern_minutes(2014, 3, 17)};
  weekly.modified = {pattern_minutes(2014, 3, 17)};
  weekly.exceptions = {{pattern_minutes(2014, 3, 17) + 780, pattern_minutes(2014, 3, 17) + 810,
                        pattern_minutes(2014, 3, 17) + 720, ""}};
  RecurrenceSpec month_end;
  month_end.frequency = 0x200C;
  month_end.pattern_type = 0x0004;
  month_end.pattern_specific = {31};

  Props request;
  request.span(start, end)
      .binary(kPsetidMeetingBytes, 0x0003, global_object_id())
      .time(kPsetidMeetingBytes, 0x001A, filetime(2014, 2, 1, 8))
      .text(kPsetidAppointmentBytes, 0x8208, "Room 1, Floor; 2")
      .text(0x0064, "SMTP")
      .text(0x0065, "boss@example.com")
      .text(0x0042, "The Boss");
  Props reply;
  reply.span(start, end)
      .binary(kPsetidMeetingBytes, 0x0023, global_object_id("organizer-own@example.com"))
      .text(0x0C1A, "Ann Attendee")
      .text(0x5D01, "ann@example.com");
  Props all_day_east;  // midnight in Central Europe, by its zone
  all_day_east.span(filetime(2015, 6, 14, 22), filetime(2015, 6, 15, 22))
      .flag(kPsetidAppointmentBytes, 0x8215, true)
      .binary(kPsetidAppointmentBytes, 0x8233, testing::time_zone_struct(kEurope));
  Props all_day_west;  // midnight in New York, with no zone stored
  all_day_west.span(filetime(2015, 1, 1, 5), filetime(2015, 1, 1, 5))
      .flag(kPsetidAppointmentBytes, 0x8215, true);
  Props series;
  series.span(start, end)
      .binary(kPsetidAppointmentBytes, 0x8216, testing::recurrence_pattern(weekly))
      .binary(kPsetidAppointmentBytes, 0x8260, eastern_definition);
  Props series_old_zone;
  series_old_zone.span(start, end)
      .binary(kPsetidAppointmentBytes, 0x8216, testing::recurrence_pattern(RecurrenceSpec{}))
      .binary(kPsetidAppointmentBytes, 0x8233, testing::time_zone_struct(kEastern));
  Props monthly_end;
  monthly_end.span(start, end)
      .binary(kPsetidAppointmentBytes, 0x8216, testing::recurrence_pattern(month_end));
  Props by_strings;
  by_strings.span(start, end)
      .text(kPsetidAppointmentBytes, 0x823B, "Jens Meier <jm@example.com>; Room 1;a@b.example")
      .text(kPsetidAppointmentBytes, 0x823C, "X (x@y.example)");
  Props far_dates;
  far_dates.span(~std::uint64_t{0}, ~std::uint64_t{0}).time(0x0039, 0);

  struct Row {
    std::string_view name, message_class;
    ByteVector stream;
    std::vector<std::string_view> lines;  // each a whole content line of the object
    bool note = false;
  };
  const Row rows[] = {
      {"request with recipient rows",
       "IPM.Schedule.Meeting.Request",
       meeting_stream(
           "IPM.Schedule.Meeting.Request", request,
           {recipient(1, "Jens", "jens@example.com"), recipient(2, "Kim", "kim@example.com"),
            recipient(3, "Room 1", ""), recipient(1, "The Boss", "boss@example.com", 2)}),
       {"METHOD:REQUEST",
        "UID:040000008200E00074C5B7101A82E0080000000000000000000000000000000000000000"
        "04000000DEADBEEF",
        "DTSTAMP:20140201T080000Z", "DTSTART:20140303T170000Z", "DTEND:20140303T173000Z",
        "LOCATION:Room 1\\, Floor\\; 2", "ORGANIZER;CN=The Boss:mailto:boss@example.com",
        "ATTENDEE;CN=Jens;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:mailto:jens@example."
        "com",
        "ATTENDEE;CN=Kim;ROLE=OPT-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:mailto:kim@example."
        "com",
        "ATTENDEE;CN=Room 1;ROLE=NON-PARTICIPANT;CUTYPE=RESOURCE;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:"
        "invalid:nomail"}},
      {"declined, the organizer's own UID",
       "",
       meeting_stream("IPM.Schedule.Meeting.Resp.Neg", reply,
                      {recipient(1, "The Boss", "boss@example.com")}),
       {"METHOD:REPLY", "UID:organizer-own@example.com", "DTSTAMP:20140303T170000Z",
        "ORGANIZER;CN=The Boss:mailto:boss@example.com",
        "ATTENDEE;CN=Ann Attendee;PARTSTAT=DECLINED:mailto:ann@example.com"}},
      {"cancelled, old class name",
       "",
       meeting_stream("Microsoft Mail v3.0 ipm.microsoft schedule.mtgcncl", reply),
       {"METHOD:CANCEL", "STATUS:CANCELLED"}},
      {"all-day by its zone",
       "",
       meeting_stream("IPM.Appointment", all_day_east),
       {"METHOD:PUBLISH", "DTSTART;VALUE=DATE:20150615", "DTEND;VALUE=DATE:20150616"}},
      {"all-day without a zone",
       "",
       meeting_stream("IPM.Appointment", all_day_west),
       {"DTSTART;VALUE=DATE:20150101", "DTEND;VALUE=DATE:20150102"}},
      {"series in its zone",
       "",
       meeting_stream("IPM.Appointment", series),
       {"TZID:Eastern Standard Time", "DTSTART;TZID=Eastern Standard Time:20140303T120000",
        "DTEND;TZID=Eastern Standard Time:20140303T123000",
        "RRULE:FREQ=WEEKLY;INTERVAL=1;BYDAY=MO;UNTIL=20140331T160000Z;WKST=SU",
        "EXDATE;TZID=Eastern Standard Time:20140310T120000",
        // the moved occurrence, in place of its original
        "RECURRENCE-ID;TZID=Eastern Standard Time:20140317T120000",
        "DTSTART;TZID=Eastern Standard Time:20140317T130000"}},
      {"series in the old zone structure",
       "",
       meeting_stream("IPM.Appointment", series_old_zone),
       {"TZID:UTC-05:00 (daylight UTC-04:00)",
        "DTSTART;TZID=\"UTC-05:00 (daylight UTC-04:00)\":20140303T120000"}},
      {"month-end series",
       "",
       meeting_stream("IPM.Appointment", monthly_end),
       {"DTSTART:20140303T170000Z"},
       true},
      {"attendees by name",
       "",
       meeting_stream("IPM.Microsoft Schedule.MtgReq", by_strings),
       {"ATTENDEE;CN=Jens Meier;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:"
        "mailto:jm@example.com",
        "ATTENDEE;CN=Room 1;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:invalid:nomail",
        "ATTENDEE;CN=a@b.example;ROLE=REQ-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:"
        "mailto:a@b.example",
        "ATTENDEE;CN=X;ROLE=OPT-PARTICIPANT;PARTSTAT=NEEDS-ACTION;RSVP=TRUE:mailto:x@y.example"}},
      {"dates past year 9999",
       "",
       meeting_stream("IPM.Appointment", far_dates),
       {"DTSTAMP:16010101T000000Z"},
       true},
  };
  for (const Row& row : rows) {
    const auto message = read_tnef(row.stream);
    ASSERT_TRUE(message) << row.name;
    const auto meeting = meeting_calendar(*message, "Summary");
    ASSERT_TRUE(meeting) << row.name;
    const std::string lines = unfolded(meeting->ics);
    for (std::string_view line : row.lines)
      EXPECT_NE(lines.find("\n" + std::string(line) + "\n"), std::string::npos)
          << row.name << ": " << line << "\n"
          << lines;
    EXPECT_EQ(
        lines.find("BEGIN:VCALENDAR\nVERSION:2.0\nPRODID:-//Kestrox//Kestrox " KESTROX_VERSION),
        0u);
    EXPECT_EQ(!meeting->notes.empty(), row.note) << row.name;
  }
  // A note is no meeting; a message without an id gets the same made-up UID on every run.
  EXPECT_FALSE(meeting_calendar(*read_tnef(meeting_stream("IPM.Note", request)), "x"));
  const auto once =
      meeting_calendar(*read_tnef(meeting_stream("IPM.Appointment", by_strings)), "x");
  const auto again =
      meeting_calendar(*read_tnef(meeting_stream("IPM.Appointment", by_strings)), "x");
  EXPECT_EQ(once->ics, again->ics);
  EXPECT_NE(once->ics.find("UID:kestrox-"), std::string::npos);
}

TEST(CalendarMeetings, CorpusMeetingsAgainstYtnef) {
  REQUIRE_SAMPLE_CORPUS();
  // ytnef's first occurrence, as instants, where it writes a calendar: the series' local 12:00
  // EST is its 17:00 UTC. It writes none for the reply and the all-day appointment.
  struct Row {
    std::string_view sample, uid, start, end;
    bool series;
    std::string_view ytnef_start, ytnef_end;
  };
  const Row rows[] = {
      {"raw/horde_TnefMeetingRequest.tnef",
       "040000008200E00074C5B7101A82E00800000000805A86260DFFCE010000000000000000100000006C6D150A041"
       "0"
       "1E4DBEEE3BA5CF7206CC",
       "DTSTART;TZID=Eastern Standard Time:20131223T120000",
       "DTEND;TZID=Eastern Standard Time:20131223T123000", true, "20131223T170000Z",
       "20131223T173000Z"},
      {"raw/horde_winmail2.dat",
       "040000008200E00074C5B7101A82E0080000000070D004D7863AD00100000000000000001000000000CC90FBB0A"
       "F"
       "5E4084B8519538A2DF6D",
       "DTSTART:20150128T130000Z", "DTEND:20150128T133000Z", false, "20150128T130000Z",
       "20150128T133000Z"},
      {"raw/vt_triples.tnef", "kestrox-", "DTSTART:20030523T140000Z", "DTEND:20030523T150000Z",
       false, "20030523T140000Z", "20030523T150000Z"},
      {"mime/horde_Itip_Reply.eml", "20150113143519.trPhO6SrBAGURICFhR5NMg5@www.nachthell.net",
       "DTSTART:20150211T230000Z", "DTEND:20150212T230000Z", false, "", ""},
      {"raw/vt_multi-name-property.tnef", "kestrox-", "DTSTART;VALUE=DATE:20030609",
       "DTEND;VALUE=DATE:20030610", false, "", ""},
  };
  const std::vector<testing::CorpusStream> streams = testing::corpus_streams();
  for (const Row& row : rows) {
    const auto stream = std::find_if(streams.begin(), streams.end(),
                                     [&](const auto& s) { return s.name == row.sample; });
    ASSERT_NE(stream, streams.end()) << row.sample;
    const auto message = read_tnef(stream->bytes);
    ASSERT_TRUE(message) << row.sample;
    const auto meeting = meeting_calendar(*message, "Summary");
    ASSERT_TRUE(meeting) << row.sample;
    const std::string lines = unfolded(meeting->ics);
    EXPECT_NE(lines.find("\nUID:" + std::string(row.uid)), std::string::npos) << lines;
    EXPECT_NE(lines.find("\n" + std::string(row.start) + "\n"), std::string::npos) << lines;
    EXPECT_NE(lines.find("\n" + std::string(row.end) + "\n"), std::string::npos) << lines;
    EXPECT_EQ(lines.find("\nRRULE:") != std::string::npos, row.series) << row.sample;
    if (row.ytnef_start.empty()) continue;
    // Our first occurrence as an instant: UTC as written, or the local time in the zone the
    // series names, which is the message's own.
    auto instant = [&](std::string_view written) {
      const std::string local(written.substr(written.rfind(':') + 1));
      if (local.back() == 'Z') return local;
      const auto zone = read_time_zone_definition(
          *property_bytes(message->properties.find_named(kPsetidAppointment, 0x8260)), 2013);
      CivilTime time;
      std::sscanf(local.c_str(), "%4d%2d%2dT%2d%2d%2d", &time.year, &time.month, &time.day,
                  &time.hour, &time.minute, &time.second);
      return *ical_date_time(utc_from_local(zone->rule, seconds_from_civil(time)), true);
    };
    EXPECT_EQ(instant(row.start), row.ytnef_start) << row.sample;
    EXPECT_EQ(instant(row.end), row.ytnef_end) << row.sample;
  }
  // The weekly series keeps its local noon after the change to daylight saving time: 16:00 UTC
  // from March 10, 2014, where a series anchored in UTC would stay at 17:00.
  const auto weekly = std::find_if(streams.begin(), streams.end(), [](const auto& s) {
    return s.name == "raw/horde_TnefMeetingRequest.tnef";
  });
  const auto message = read_tnef(weekly->bytes);
  const auto zone = read_time_zone_definition(
      *property_bytes(message->properties.find_named(kPsetidAppointment, 0x8260)), 2014);
  EXPECT_EQ(ical_date_time(utc_from_local(zone->rule, utc(2014, 3, 10, 12)), true),
            "20140310T160000Z");
}

}  // namespace
}  // namespace kestrox
