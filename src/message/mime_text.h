// The text rules of MIME header fields: folding (RFC 5322 2.2.3), encoded words (RFC 2047),
// parameters (RFC 2045 5.1, RFC 2231) and dates (RFC 5322 3.3).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "message/civil_time.h"

namespace kestrox {

// "Name: value" with its CRLF, where `value` is free text (Subject): as it is where it is
// printable ASCII, folded at spaces; else as encoded words in UTF-8, one per line after the first.
std::string unstructured_field(std::string_view name, std::string_view value);

// A display name as a phrase of an address: as it is where it is made of atoms, quoted where it
// is ASCII, encoded words where it is not.
std::string display_phrase(std::string_view name);

// "Name: item, item" with its CRLF, one item a line after the first.
std::string list_field(std::string_view name, const std::vector<std::string>& items);

// "; name=value" for a parameter, with the CRLF and space before it that start a line of its
// own: the value quoted where it is ASCII and short, else in RFC 2231 pieces (charset UTF-8,
// percent-encoded where it is not ASCII).
std::string parameter(std::string_view name, std::string_view value);

// A media type "type/subtype" whose two parts are tokens, in lower case; empty where it is not one.
std::string media_type(std::string_view text);

// "Tue, 14 Jan 2015 09:04:53 +0000", or empty outside the years 1601-9999.
std::string rfc5322_date(Seconds utc);

}  // namespace kestrox
