// The two byte-pattern searches that every decision about the input rests on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kestrox {

// The "not found" result; no position in a buffer can equal it.
inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Positions are offsets into `source`. Whatever window and limit are passed, no byte outside
// `source` is read.
//
// find_bytes returns the lowest position p with window_start <= p < window_start + n - m,
// p <= limit and p + m <= source.size() at which `pattern` starts. Note that the last position
// at which the pattern fits in the window, window_start + n - m, is never tested.
std::size_t find_bytes(std::span<const std::uint8_t> source, std::size_t window_start,
                       std::size_t window_length, std::span<const std::uint8_t> pattern,
                       std::size_t limit);

// find_bytes_backward returns the highest position p with window_start <= p <= window_start +
// n - m, p <= limit and p + m <= source.size() at which `pattern` starts.
std::size_t find_bytes_backward(std::span<const std::uint8_t> source, std::size_t window_start,
                                std::size_t window_length, std::span<const std::uint8_t> pattern,
                                std::size_t limit);

}  // namespace kestrox
