// The iCalendar object of a meeting request, response, cancellation or appointment (RFC 5545,
// with the methods of RFC 5546), from the properties Outlook keeps ([MS-OXOCAL]).
#include "message/calendar.h"

#include <algorithm>
#include <cstdio>

#include "message/civil_time.h"
#include "message/ical_text.h"
#include "message/properties.h"
#include "message/recurrence.h"
#include "message/text.h"
#include "message/time_zone.h"
#include "text/charsets.h"

namespace kestrox {

namespace {

// Properties only the calendar reads.
constexpr std::uint32_t kLidAppointmentTimeZoneDefinitionStartDisplay = 0x825E;
constexpr std::uint16_t kPrCreationTime = 0x3007;
constexpr std::uint16_t kPrRecipientFlags = 0x5FFD;
constexpr std::uint32_t kRecipientIsOrganizer = 0x0002;
// PR_RECIPIENT_TYPE, without the flags of its high bits.
constexpr std::uint32_t kRecipientTo = 1;
constexpr std::uint32_t kRecipientCc = 2;
constexpr std::uint32_t kRecipientBcc = 3;

constexpr std::string_view kProductId = "-//Kestrox//Kestrox " KESTROX_VERSION "//EN";
// What the global object id holds before an organizer's own UID ([MS-OXOCAL] 2.2.1.27).
constexpr std::string_view kVcalUidMarker{"vCal-Uid\x01\x00\x00\x00", 12};

struct MeetingKind {
  std::string_view message_class;
  std::string_view method;
  std::string_view reply_status;  // PARTSTAT of a reply, else empty
};

constexpr MeetingKind kKinds[] = {
    {"IPM.Microsoft Schedule.MtgReq", "REQUEST", ""},
    {"IPM.Schedule.Meeting.Request", "REQUEST", ""},
    {"IPM.Microsoft Schedule.MtgRespP", "REPLY", "ACCEPTED"},
    {"IPM.Schedule.Meeting.Resp.Pos", "REPLY", "ACCEPTED"},
    {"IPM.Microsoft Schedule.MtgRespN", "REPLY", "DECLINED"},
    {"IPM.Schedule.Meeting.Resp.Neg", "REPLY", "DECLINED"},
    {"IPM.Microsoft Schedule.MtgRespA", "REPLY", "TENTATIVE"},
    {"IPM.Schedule.Meeting.Resp.Tent", "REPLY", "TENTATIVE"},
    {"IPM.Microsoft Schedule.MtgCncl", "CANCEL", ""},
    {"IPM.Schedule.Meeting.Canceled", "CANCEL", ""},
    {"IPM.Appointment", "PUBLISH", ""},
};

std::string message_class(const TnefMessage& message) {
  if (auto text = property_text(message.properties.find(kPrMessageClass), message.code_page))
    return *text;
  if (const Attribute* attribute = message.find(kAttMessageClass))
    return utf8_from_code_page(attribute->value, message.code_page);
  return {};
}

const MeetingKind* meeting_kind(std::string_view message_class) {
  constexpr std::string_view kOldPrefix = "Microsoft Mail v3.0 ";
  if (message_class.size() >= kOldPrefix.size() &&
      same_without_case(message_class.substr(0, kOldPrefix.size()), kOldPrefix))
    message_class.remove_prefix(kOldPrefix.size());
  for (const MeetingKind& kind : kKinds) {
    if (same_without_case(message_class, kind.message_class)) return &kind;
  }
  return nullptr;
}

// The message's own view of its properties: a text is a text only where it says something.
struct Reader {
  const TnefMessage& message;

  const Property* meeting(std::uint32_t lid) const {
    return message.properties.find_named(kPsetidMeeting, lid);
  }
  const Property* appointment(std::uint32_t lid) const {
    return message.properties.find_named(kPsetidAppointment, lid);
  }
  std::optional<std::string> text(const Property* property) const {
    auto value = property_text(property, message.code_page);
    if (value && value->empty()) return std::nullopt;
    return value;
  }
  std::optional<std::string> text(std::uint16_t id) const {
    return text(message.properties.find(id));
  }
  static std::optional<Seconds> time(const Property* property) {
    const auto ticks = property_u64(property);
    if (!ticks) return std::nullopt;
    return seconds_from_filetime(*ticks);
  }
  std::optional<Seconds> time(std::uint16_t id) const { return time(message.properties.find(id)); }
};

std::string upper_hex(Bytes bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 15];
  }
  return text;
}

// Two 64-bit FNV-1a hashes of different seeds over every message attribute, its id and its value.
std::string uid_from_bytes(const TnefMessage& message) {
  std::uint64_t first = 0xCBF29CE484222325ull;
  std::uint64_t second = 0x84222325CBF29CE4ull;
  auto mix = [&](std::uint8_t byte) {
    first = (first ^ byte) * 0x100000001B3ull;
    second = (second ^ byte) * 0x100000001B3ull;
  };
  for (const Attribute& attribute : message.attributes) {
    for (int shift = 0; shift < 32; shift += 8)
      mix(static_cast<std::uint8_t>(attribute.id >> shift));
    for (std::uint8_t byte : attribute.value) mix(byte);
  }
  char text[64];
  std::snprintf(text, sizeof text, "kestrox-%016llx%016llx", static_cast<unsigned long long>(first),
                static_cast<unsigned long long>(second));
  return text;
}

std::string meeting_uid(const Reader& read) {
  std::optional<Bytes> id = property_bytes(read.meeting(kLidGlobalObjectId));
  if (!id || id->empty()) id = property_bytes(read.meeting(kLidCleanGlobalObjectId));
  if (id && !id->empty()) {
    const std::string_view bytes(reinterpret_cast<const char*>(id->data()), id->size());
    const std::size_t marker = bytes.find(kVcalUidMarker);
    if (marker != std::string_view::npos) {
      std::string_view uid = bytes.substr(marker + kVcalUidMarker.size());
      uid = uid.substr(0, uid.find('\0'));
      if (!uid.empty()) return std::string(uid);
    }
    // The same meeting's instances differ in bytes 16-19 alone: zeroed, the id is the series'.
    std::vector<std::uint8_t> series(id->begin(), id->end());
    for (std::size_t i = 16; i < 20 && i < series.size(); ++i) series[i] = 0;
    return upper_hex(series);
  }
  return uid_from_bytes(read.message);
}

struct Person {
  std::string name;
  std::string address;  // a plain SMTP address, or empty
};

// The sender with an SMTP address: the one it was sent for, else the one who sent it.
std::optional<Person> sender(const Reader& read) {
  const PropertyList& list = read.message.properties;
  Person person;
  person.address = smtp_address(list, read.message.code_page, kPrSentRepresentingSmtpAddress,
                                kPrSentRepresentingAddrType, kPrSentRepresentingEmail);
  if (!person.address.empty()) {
    person.name = read.text(kPrSentRepresentingName).value_or("");
    return person;
  }
  person.address = smtp_address(list, read.message.code_page, kPrSenderSmtpAddress,
                                kPrSenderAddrType, kPrSenderEmail);
  if (person.address.empty()) return std::nullopt;
  person.name = read.text(kPrSenderName).value_or("");
  return person;
}

std::string cal_address(const std::string& address) {
  return address.empty() ? "invalid:nomail" : "mailto:" + address;
}

std::string trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  const std::size_t last = text.find_last_not_of(" \t");
  return std::string(text.substr(first, last - first + 1));
}

// One name of an attendee string: an address alone, a name with its address in parentheses or
// angle brackets, or a name alone.
Person person_from_name(std::string_view entry) {
  Person person;
  person.name = trimmed(entry);
  if (plain_mail_address(person.name)) {
    person.address = person.name;
    return person;
  }
  if (!person.name.empty() && (person.name.back() == ')' || person.name.back() == '>')) {
    const char open = person.name.back() == ')' ? '(' : '<';
    const std::size_t start = person.name.rfind(open);
    if (start != std::string::npos) {
      const std::string address = person.name.substr(start + 1, person.name.size() - start - 2);
      if (plain_mail_address(address)) {
        person.address = address;
        const std::string before = trimmed(std::string_view(person.name).substr(0, start));
        if (!before.empty()) person.name = before;
      }
    }
  }
  return person;
}

struct Attendee {
  Person person;
  std::string_view role;
  bool resource = false;
};

std::vector<Attendee> attendees(const Reader& read) {
  std::vector<Attendee> list;
  for (const PropertyList& row : read.message.recipients) {
    const std::uint32_t flags = property_u32(row.find(kPrRecipientFlags)).value_or(0);
    if (flags & kRecipientIsOrganizer) continue;
    Attendee attendee;
    attendee.person.address =
        smtp_address(row, read.message.code_page, kPrSmtpAddress, kPrAddrType, kPrEmailAddress);
    attendee.person.name =
        property_text(row.find(kPrDisplayName), read.message.code_page).value_or("");
    if (attendee.person.address.empty() && attendee.person.name.empty()) continue;
    switch (property_u32(row.find(kPrRecipientType)).value_or(kRecipientTo) & 0xFF) {
      case kRecipientCc:
        attendee.role = "OPT-PARTICIPANT";
        break;
      case kRecipientBcc:  // where meeting requests keep their rooms and equipment
        attendee.role = "NON-PARTICIPANT";
        attendee.resource = true;
        break;
      default:
        attendee.role = "REQ-PARTICIPANT";
        break;
    }
    list.push_back(std::move(attendee));
  }
  if (!read.message.recipients.empty()) return list;
  auto add_names = [&](std::uint32_t lid, std::string_view role) {
    const std::string names = read.text(read.appointment(lid)).value_or("");
    std::size_t at = 0;
    while (at <= names.size()) {
      const std::size_t end = std::min(names.find(';', at), names.size());
      Person person = person_from_name(std::string_view(names).substr(at, end - at));
      if (!person.name.empty()) list.push_back({std::move(person), role, false});
      at = end + 1;
    }
  };
  add_names(kLidToAttendeesString, "REQ-PARTICIPANT");
  add_names(kLidCcAttendeesString, "OPT-PARTICIPANT");
  return list;
}

// The first To recipient with an SMTP address: whom a reply answers.
std::optional<Person> reply_organizer(const Reader& read) {
  for (const PropertyList& row : read.message.recipients) {
    if ((property_u32(row.find(kPrRecipientType)).value_or(kRecipientTo) & 0xFF) != kRecipientTo)
      continue;
    Person person;
    person.address =
        smtp_address(row, read.message.code_page, kPrSmtpAddress, kPrAddrType, kPrEmailAddress);
    if (person.address.empty()) continue;
    person.name = property_text(row.find(kPrDisplayName), read.message.code_page).value_or("");
    return person;
  }
  return std::nullopt;
}

// A zone's name as a TZID: nothing that would need escaping or breaks a quoted parameter.
std::string tzid_from_name(std::string_view name) {
  std::string tzid;
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == ',' || c == ';' || c == '\\' || c == '"') continue;
    tzid += c;
  }
  return trimmed(tzid);
}

struct SeriesZone {
  std::string tzid;
  TimeZoneRule rule;
};

// The zone a series repeats in: its recurring definition, else the older structure.
std::optional<SeriesZone> series_zone(const Reader& read, int year) {
  if (auto value = property_bytes(read.appointment(kLidAppointmentTimeZoneDefinitionRecur))) {
    if (auto zone = read_time_zone_definition(*value, year)) {
      std::string tzid = tzid_from_name(zone->name);
      if (tzid.empty()) tzid = made_up_zone_name(zone->rule);
      return SeriesZone{tzid, zone->rule};
    }
  }
  if (auto value = property_bytes(read.appointment(kLidTimeZoneStruct))) {
    if (auto rule = read_time_zone_struct(*value))
      return SeriesZone{made_up_zone_name(*rule), *rule};
  }
  return std::nullopt;
}

// The zone an appointment's times were chosen in, for the dates of an all-day event.
std::optional<TimeZoneRule> display_zone(const Reader& read, int year) {
  if (auto value =
          property_bytes(read.appointment(kLidAppointmentTimeZoneDefinitionStartDisplay))) {
    if (auto zone = read_time_zone_definition(*value, year)) return zone->rule;
  }
  if (auto zone = series_zone(read, year)) return zone->rule;
  return std::nullopt;
}

// The local date of an all-day event's bound: the midnight nearest its local time, which is the
// local midnight itself where the zone is known, and the right day for any zone within twelve
// hours of UTC where it is not.
Seconds all_day_date(Seconds utc, const std::optional<TimeZoneRule>& zone) {
  const Seconds local = zone ? local_from_utc(*zone, utc) : utc;
  const Seconds shifted = local + kSecondsPerDay / 2;
  return shifted - ((shifted % kSecondsPerDay) + kSecondsPerDay) % kSecondsPerDay;
}

Seconds time_of_day(Seconds seconds) {
  return ((seconds % kSecondsPerDay) + kSecondsPerDay) % kSecondsPerDay;
}

// How the event's times are written: UTC, dates, or local time in a zone.
struct TimeForm {
  bool all_day = false;
  std::optional<SeriesZone> zone;         // local time in this zone
  std::optional<TimeZoneRule> date_zone;  // for the dates of an all-day event

  // The value with its parameters, "DTSTART;TZID=...:..." without the name; nothing where the
  // instant cannot be written.
  std::optional<std::string> value(Seconds utc) const {
    if (all_day) {
      auto date = ical_date(all_day_date(utc, date_zone));
      if (!date) return std::nullopt;
      return ";VALUE=DATE:" + *date;
    }
    if (zone) {
      auto local = ical_date_time(local_from_utc(zone->rule, utc), false);
      if (!local) return std::nullopt;
      return ";TZID=" + ical_parameter(zone->tzid) + ":" + *local;
    }
    auto text = ical_date_time(utc, true);
    if (!text) return std::nullopt;
    return ":" + *text;
  }
  // A local date and time of the series (an excluded instance) in the same form.
  std::optional<std::string> local_value(Seconds local) const {
    if (all_day) {
      auto date = ical_date(local);
      if (!date) return std::nullopt;
      return ";VALUE=DATE:" + *date;
    }
    auto text = ical_date_time(local, !zone);
    if (!text) return std::nullopt;
    return (zone ? ";TZID=" + ical_parameter(zone->tzid) : std::string()) + ":" + *text;
  }
  // UNTIL: a date for dates, else UTC.
  std::string until(Seconds local) const {
    if (all_day) return ical_date(local).value_or("");
    const Seconds utc = zone ? utc_from_local(zone->rule, local) : local;
    return ical_date_time(utc, true).value_or("");
  }
  // The local time a series' instants are counted in.
  Seconds local(Seconds utc) const {
    if (all_day) return all_day_date(utc, date_zone);
    return zone ? local_from_utc(zone->rule, utc) : utc;
  }
};

class IcsWriter {
 public:
  void line(std::string_view text) { append_ical_line(out_, text); }
  void property(std::string_view name, std::string_view value_with_parameters) {
    std::string text(name);
    text += value_with_parameters;
    line(text);
  }
  void text(std::string_view name, std::string_view value) {
    property(name, ":" + ical_escape_text(value));
  }
  void person(std::string_view name, const Person& person, std::string_view parameters = {}) {
    std::string text(name);
    if (!person.name.empty()) text += ";CN=" + ical_parameter(person.name);
    text += parameters;
    text += ":" + cal_address(person.address);
    line(text);
  }
  std::string take() { return std::move(out_); }

 private:
  std::string out_;
};

}  // namespace

std::optional<Meeting> meeting_calendar(const TnefMessage& message, std::string_view summary) {
  const MeetingKind* kind = meeting_kind(message_class(message));
  if (kind == nullptr) return std::nullopt;
  const Reader read{message};
  Meeting meeting;
  meeting.method = std::string(kind->method);
  const bool reply = !kind->reply_status.empty();

  // The times: the whole-appointment properties, which are UTC, else the older pair.
  std::optional<Seconds> start = Reader::time(read.appointment(kLidAppointmentStartWhole));
  if (!start) start = read.time(kPrStartDate);
  std::optional<Seconds> end = Reader::time(read.appointment(kLidAppointmentEndWhole));
  if (!end) end = read.time(kPrEndDate);
  if (start && end && *end < *start) end.reset();

  TimeForm form;
  form.all_day = property_bool(read.appointment(kLidAppointmentSubType)).value_or(false);
  const int year = start ? civil_from_seconds(*start).year : kFirstYear;
  std::optional<RecurrencePattern> pattern;
  if (auto value = property_bytes(read.appointment(kLidAppointmentRecur)))
    pattern = read_recurrence(*value);
  if (pattern && start) {
    form.zone = series_zone(read, year);
    if (!form.zone && !form.all_day)
      meeting.notes.push_back("the series has no time zone: its times are kept in UTC");
  }
  if (form.all_day) form.date_zone = display_zone(read, year);
  if (form.all_day) form.zone.reset();

  IcsWriter ics;
  ics.line("BEGIN:VCALENDAR");
  ics.line("VERSION:2.0");
  ics.property("PRODID", ":" + std::string(kProductId));
  ics.property("METHOD", ":" + meeting.method);
  if (form.zone) {
    for (const std::string& line : vtimezone_lines(form.zone->rule, form.zone->tzid))
      ics.line(line);
  }
  ics.line("BEGIN:VEVENT");
  const std::string uid = meeting_uid(read);
  ics.text("UID", uid);

  std::optional<Seconds> stamp = Reader::time(read.meeting(kLidOwnerCriticalChange));
  if (!stamp) stamp = Reader::time(read.meeting(kLidAttendeeCriticalChange));
  if (!stamp) stamp = read.time(kPrClientSubmitTime);
  if (!stamp) stamp = read.time(kPrLastModificationTime);
  if (!stamp) stamp = read.time(kPrCreationTime);
  if (!stamp) stamp = start;
  std::optional<std::string> stamp_text = stamp ? ical_date_time(*stamp, true) : std::nullopt;
  ics.property("DTSTAMP", ":" + stamp_text.value_or("16010101T000000Z"));

  std::optional<std::string> start_value = start ? form.value(*start) : std::nullopt;
  if (start_value) {
    ics.property("DTSTART", *start_value);
  } else {
    meeting.notes.push_back(start ? "its start lies outside the years 1601-9999 and is left out"
                                  : "it has no start time");
  }
  if (end) {
    std::optional<std::string> end_value = form.value(*end);
    // An all-day event ends on the day after its last.
    if (form.all_day && start_value && end_value && *end_value <= *start_value)
      end_value = form.local_value(all_day_date(*start, form.date_zone) + kSecondsPerDay);
    if (end_value && start_value) ics.property("DTEND", *end_value);
  }

  bool series_written = false;
  if (pattern && start_value) {
    const Seconds first_local = form.local(*start);
    const Seconds at_time = time_of_day(first_local);
    std::string until;
    if (pattern->end_date) {
      until = form.until(Seconds{*pattern->end_date} * kSecondsPerMinute + at_time);
    }
    const RecurrenceRule rule =
        recurrence_rule(*pattern, until, civil_from_seconds(first_local).month);
    if (!rule.rule.empty()) {
      series_written = pattern->complete;
      ics.property("RRULE", ":" + rule.rule);
      for (Seconds date : deleted_instance_dates(*pattern)) {
        if (auto value = form.local_value(date + at_time)) ics.property("EXDATE", *value);
      }
    } else {
      meeting.notes.push_back(rule.note);
    }
  }

  ics.text("SUMMARY", summary);
  std::optional<std::string> location = read.text(read.appointment(kLidLocation));
  if (!location) location = read.text(read.meeting(kLidWhere));
  if (location) ics.text("LOCATION", *location);
  const std::optional<std::uint32_t> sequence =
      property_u32(read.appointment(kLidAppointmentSequence));
  if (sequence) ics.property("SEQUENCE", ":" + std::to_string(*sequence));
  if (auto description = message_plain_text(message); description && !description->empty())
    ics.text("DESCRIPTION", *description);

  const std::optional<Person> from = sender(read);
  const std::vector<Attendee> invited = reply ? std::vector<Attendee>() : attendees(read);
  const std::optional<Person> answered = reply ? reply_organizer(read) : std::nullopt;
  auto people = [&] {
    if (reply) {
      // The one who answers is the attendee; the organizer is whom the answer goes to.
      if (answered) ics.person("ORGANIZER", *answered);
      if (from) ics.person("ATTENDEE", *from, ";PARTSTAT=" + std::string(kind->reply_status));
      return;
    }
    if (from) ics.person("ORGANIZER", *from);
    const bool request = meeting.method == "REQUEST";
    for (const Attendee& attendee : invited) {
      std::string parameters = ";ROLE=" + std::string(attendee.role);
      if (attendee.resource) parameters += ";CUTYPE=RESOURCE";
      if (request) parameters += ";PARTSTAT=NEEDS-ACTION;RSVP=TRUE";
      ics.person("ATTENDEE", attendee.person, parameters);
    }
  };
  people();
  if (meeting.method == "CANCEL") ics.line("STATUS:CANCELLED");
  ics.line("END:VEVENT");

  // Each occurrence that was moved or changed, as the series' own instance: it replaces the one
  // at its original time.
  if (series_written) {
    for (const RecurrenceException& exception : pattern->exceptions) {
      auto at = [&](std::uint32_t minutes) {
        return form.local_value(Seconds{minutes} * kSecondsPerMinute);
      };
      const auto original = at(exception.original_start), moved_start = at(exception.start),
                 moved_end = at(exception.end);
      if (!original || !moved_start) continue;
      ics.line("BEGIN:VEVENT");
      ics.text("UID", uid);
      ics.property("RECURRENCE-ID", *original);
      ics.property("DTSTAMP", ":" + stamp_text.value_or("16010101T000000Z"));
      ics.property("DTSTART", *moved_start);
      if (moved_end && exception.end >= exception.start) ics.property("DTEND", *moved_end);
      ics.text("SUMMARY", exception.subject
                              ? utf8_from_code_page(*exception.subject, message.code_page)
                              : std::string(summary));
      if (exception.location) {
        ics.text("LOCATION", utf8_from_code_page(*exception.location, message.code_page));
      } else if (location) {
        ics.text("LOCATION", *location);
      }
      if (sequence) ics.property("SEQUENCE", ":" + std::to_string(*sequence));
      people();
      ics.line("END:VEVENT");
    }
  }
  ics.line("END:VCALENDAR");
  meeting.ics = ics.take();
  return meeting;
}

}  // namespace kestrox
