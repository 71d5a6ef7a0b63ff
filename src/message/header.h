// Header lines of a MIME message (RFC 5322) as text: unfolded and their encoded words decoded.
#pragma once

#include <string>
#include <string_view>

#include "message/tnef.h"

namespace kestrox {

// The Subject of the MIME message at the start of `message` (its header block, up to the first
// empty line), unfolded, its RFC 2047 encoded words decoded, as UTF-8; empty when it has none.
std::string mime_subject(Bytes message);

// Header text with its RFC 2047 encoded words ("=?charset?B?...?=", "=?charset?Q?...?=")
// decoded to UTF-8; the space between two encoded words goes, other text stays as it is (bytes
// that are no UTF-8 taken as Windows-1252).
std::string decode_encoded_words(std::string_view text);

}  // namespace kestrox
