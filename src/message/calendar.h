// A meeting request, response, cancellation or appointment as an iCalendar object (RFC 5545).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "message/tnef.h"

namespace kestrox {

struct Meeting {
  std::string method;  // "REQUEST", "REPLY", "CANCEL" or "PUBLISH"
  std::string ics;     // the whole object, CRLF line ends, folded at 75 octets
  // What the user should know that the object cannot say (a recurrence left without RRULE),
  // one line each, without line ends.
  std::vector<std::string> notes;
};

// The meeting the message holds, or nothing when its class is no meeting or appointment.
// `summary` is the message's name (message_name).
std::optional<Meeting> meeting_calendar(const TnefMessage& message, std::string_view summary);

}  // namespace kestrox
