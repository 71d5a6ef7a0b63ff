// The text rules of iCalendar (RFC 5545 3.1 and 3.3.11): content lines folded at 75 octets,
// TEXT values escaped, parameter values quoted.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "message/tnef.h"

namespace kestrox {

// A TEXT value: backslash, ';' and ',' escaped, every line end as "\n"; other control
// characters, and bytes that are not UTF-8, left out.
std::string ical_escape_text(std::string_view text);

// A parameter value: control characters and '"' left out (a quoted value cannot hold one), and
// the whole quoted where it holds ':', ';' or ','.
std::string ical_parameter(std::string_view value);

// Appends one content line and its CRLF, folded so that no line is longer than 75 octets without
// its CRLF (the leading space of a continuation counts), never inside a UTF-8 character.
void append_ical_line(std::string& out, std::string_view line);

// An e-mail address a calendar can write as "mailto:" and a mail header as it is: one '@' between
// a local part and a domain, no spaces, controls or characters that delimit an address, and no
// longer than an address can be (254 octets).
bool plain_mail_address(std::string_view address);

// A person's SMTP address in a property list: its SMTP address property, else its e-mail address
// where its address type says SMTP; empty where it has neither, or neither is a plain address.
std::string smtp_address(const PropertyList& list, std::uint32_t code_page, std::uint16_t smtp_id,
                         std::uint16_t type_id, std::uint16_t email_id);

}  // namespace kestrox
