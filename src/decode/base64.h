// The base64 decoder of MIME messages, working in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrox {

// Decode from `start` (up to the first '=' after it, or the buffer's end) and write the result
// from the buffer's first byte. Return the number of bytes written.
std::size_t decode_base64_in_place(std::span<std::uint8_t> source, std::size_t start);

}  // namespace kestrox
