// Base64 for what the MIME writer emits (RFC 2045 6.8): bodies in lines, encoded words whole.
#pragma once

#include <cstddef>
#include <string>

#include "message/tnef.h"

namespace kestrox {

// Characters per line of a base64 body, and the bytes each whole line carries.
inline constexpr std::size_t kBase64LineLength = 76;
inline constexpr std::size_t kBase64LineBytes = kBase64LineLength / 4 * 3;

// The length of `size` bytes encoded in lines of 76 characters, each ending in CRLF (the last,
// shorter one too); none for nothing.
std::size_t base64_lines_size(std::size_t size);

// Appends `data` encoded in lines of 76 characters, each ending in CRLF, padded with '='.
void append_base64_lines(std::string& out, Bytes data);

// Appends `data` encoded as one run, padded with '=' (an encoded word's text, RFC 2047).
void append_base64(std::string& out, Bytes data);

}  // namespace kestrox
