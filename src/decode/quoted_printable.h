// The quoted-printable decoder of MIME messages, working in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrox {

// Decode from `start` to the buffer's end and write the result from the buffer's first byte.
// Return the number of bytes written.
std::size_t decode_quoted_printable_in_place(std::span<std::uint8_t> source, std::size_t start);

}  // namespace kestrox
