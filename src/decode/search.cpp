// Forward and backward byte-pattern search over the source buffer.
#include "decode/search.h"

#include <algorithm>
#include <cstring>

namespace kestrox {

namespace {

// a + b, or the largest size when that does not fit.
std::size_t saturating_add(std::size_t a, std::size_t b) {
  return b > kNotFound - a ? kNotFound : a + b;
}

}  // namespace

std::size_t find_bytes(std::span<const std::uint8_t> source, std::size_t window_start,
                       std::size_t window_length, std::span<const std::uint8_t> pattern,
                       std::size_t limit) {
  const std::size_t m = pattern.size();
  const std::size_t end = source.size();
  if (m == 0 || window_length <= m || m > end) return kNotFound;
  // The last candidate: inside the window (excluding its last fitting position), at or before
  // the limit, and with the whole pattern inside the buffer.
  std::size_t last = saturating_add(window_start, window_length - m - 1);
  last = std::min({last, limit, end - m});
  if (window_start > last) return kNotFound;

  const std::uint8_t* const base = source.data();
  const std::uint8_t first = pattern[0];
  const std::uint8_t* next = base + window_start;
  const std::uint8_t* const stop = base + last + 1;  // candidates lie before this
  while (next < stop) {
    next = static_cast<const std::uint8_t*>(
        std::memchr(next, first, static_cast<std::size_t>(stop - next)));
    if (next == nullptr) return kNotFound;
    if (std::memcmp(next + 1, pattern.data() + 1, m - 1) == 0) {
      return static_cast<std::size_t>(next - base);
    }
    ++next;
  }
  return kNotFound;
}

std::size_t find_bytes_backward(std::span<const std::uint8_t> source, std::size_t window_start,
                                std::size_t window_length, std::span<const std::uint8_t> pattern,
                                std::size_t limit) {
  const std::size_t m = pattern.size();
  const std::size_t end = source.size();
  if (m == 0 || window_length < m || m > end) return kNotFound;
  // Candidates above the limit or running past the buffer's end are passed over: start the walk
  // at the highest one that is neither.
  std::size_t highest = saturating_add(window_start, window_length - m);
  highest = std::min({highest, limit, end - m});
  if (window_start > highest) return kNotFound;

  const std::uint8_t* const base = source.data();
  const std::uint8_t first = pattern[0];
  for (std::size_t p = highest + 1; p-- > window_start;) {
    if (base[p] == first && std::memcmp(base + p + 1, pattern.data() + 1, m - 1) == 0) return p;
  }
  return kNotFound;
}

}  // namespace kestrox
