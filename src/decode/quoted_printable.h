// The quoted-printable decoder of MIME messages, working in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "decode/room.h"

namespace kestrox {

// Decode from `start` to the buffer's end and write the result from the buffer's first byte.
// Return the number of bytes written. `room`, when given, is told of each step before it is taken.
std::size_t decode_quoted_printable_in_place(std::span<std::uint8_t> source, std::size_t start,
                                             const DecodeRoom& room = nullptr);

}  // namespace kestrox
