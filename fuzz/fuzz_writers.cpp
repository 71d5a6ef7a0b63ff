// The writers of meetings and attached messages on their own input, chosen by its first byte: a
// recurrence pattern, a time zone in its two stored forms, or a stream written as an iCalendar
// object and as a MIME message. A read outside the input, a crash, a hang, and output that breaks
// its format's line rules are findings.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "exact_block.h"
#include "message/calendar.h"
#include "message/mime.h"
#include "message/recurrence.h"
#include "message/time_zone.h"

namespace {

// Every line ends in CRLF, no bare CR or LF, and none is longer than `longest` octets.
void check_lines(std::string_view text, std::size_t longest) {
  std::size_t line = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      if (i + 1 == text.size() || text[i + 1] != '\n') std::abort();
      line = 0;
      ++i;
    } else if (text[i] == '\n' || ++line > longest) {
      std::abort();
    }
  }
  if (line != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  kestrox::fuzz::ExactBlock block(data + 1, size - 1);
  const kestrox::Bytes input = block.bytes();
  switch (data[0] % 3) {
    case 0: {
      if (auto pattern = kestrox::read_recurrence(input)) {
        kestrox::recurrence_rule(*pattern, "20200101T000000Z", 1 + data[0] % 12);
        kestrox::deleted_instance_dates(*pattern);
      }
      break;
    }
    case 1: {
      auto rule = kestrox::read_time_zone_struct(input);
      if (auto zone = kestrox::read_time_zone_definition(input, 1990 + data[0] % 64))
        rule = zone->rule;
      if (!rule) break;
      // Instants across the years a meeting may have, and both ends of what can be written.
      for (kestrox::Seconds instant : {kestrox::Seconds{0}, kestrox::Seconds{13'000'000'000},
                                       kestrox::Seconds{265'000'000'000}}) {
        const kestrox::Seconds local = kestrox::local_from_utc(*rule, instant);
        const kestrox::Seconds back = kestrox::utc_from_local(*rule, local);
        // Each of the two offsets is less than a day: the way back differs by less than two.
        if (back - instant > 2 * 86400 || instant - back > 2 * 86400) std::abort();
      }
      kestrox::vtimezone_lines(*rule, "zone");
      break;
    }
    default: {
      if (auto message = kestrox::read_tnef(input)) {
        if (auto meeting = kestrox::meeting_calendar(*message, "fuzz"))
          check_lines(meeting->ics, 75);
        for (const kestrox::TnefAttachment& attachment : message->attachments)
          kestrox::attached_message_stream(attachment);
      }
      if (auto eml = kestrox::attached_message_eml(input)) check_lines(*eml, 998);
      break;
    }
  }
  return 0;
}
