// The base64 decoder of MIME messages, working in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "decode/room.h"

namespace kestrox {

// Decode from `start` (up to the first '=' after it, or the buffer's end) and write the result
// from the buffer's first byte. Return the number of bytes written. `room`, when given, is told of
// each step of the vector paths before it is taken.
std::size_t decode_base64_in_place(std::span<std::uint8_t> source, std::size_t start,
                                   const DecodeRoom& room = nullptr);

}  // namespace kestrox
