// The two byte-pattern searches with windows, limits and patterns taken from the input, over a
// buffer that ends where its heap block ends, checked against a plain candidate-by-candidate walk:
// a read outside the buffer and a wrong answer are both findings.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#include "bytes/search.h"
#include "exact_block.h"

namespace {

using kestrox::kNotFound;
using Position = unsigned __int128;  // no sum of two positions overflows it
using Bytes = std::span<const std::uint8_t>;

bool matches(Bytes source, Position p, Bytes pattern) {
  if (source[static_cast<std::size_t>(p)] != pattern[0]) return false;
  return std::memcmp(source.data() + static_cast<std::size_t>(p), pattern.data(), pattern.size()) ==
         0;
}

// Candidates W, W+1, ... before W + n - m; stop at the first one after the limit or whose
// pattern would run past the buffer's end.
std::size_t walk_forward(Bytes source, std::size_t w, std::size_t n, Bytes pattern,
                         std::size_t limit) {
  const std::size_t m = pattern.size();
  if (n <= m) return kNotFound;
  for (Position p = w; p < Position{w} + n - m; ++p) {
    if (p > limit || p + m > source.size()) return kNotFound;
    if (matches(source, p, pattern)) return static_cast<std::size_t>(p);
  }
  return kNotFound;
}

// Candidates W + n - m down to W; those after the limit or running past the buffer's end are
// passed over, which is the same as starting the walk at the highest one that is neither.
std::size_t walk_backward(Bytes source, std::size_t w, std::size_t n, Bytes pattern,
                          std::size_t limit) {
  const std::size_t m = pattern.size();
  if (n < m || source.size() < m) return kNotFound;
  Position p = std::min({Position{w} + n - m, Position{limit}, Position{source.size() - m}});
  for (; p >= w; --p) {
    if (matches(source, p, pattern)) return static_cast<std::size_t>(p);
    if (p == 0) break;
  }
  return kNotFound;
}

std::uint64_t take64(const std::uint8_t* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | at[i];
  return value;
}

// A start or a limit: inside or just past the buffer, near its end, near the top of the range,
// or anything at all.
std::size_t position(unsigned mode, std::uint64_t raw, std::size_t end) {
  switch (mode & 3) {
    case 0:
      return static_cast<std::size_t>(raw % (end + 80));
    case 1:
      return end - static_cast<std::size_t>(raw % std::min<std::size_t>(end + 1, 80));
    case 2:
      return kNotFound - static_cast<std::size_t>(raw & 0xFF);
    default:
      return static_cast<std::size_t>(raw);
  }
}

// A window length: small, ending near the buffer's end, huge, or anything at all.
std::size_t length(unsigned mode, std::uint64_t raw, std::size_t start, std::size_t end) {
  switch (mode & 3) {
    case 0:
      return static_cast<std::size_t>(raw % (end + 160));
    case 1:
      return end - start + static_cast<std::size_t>(raw % 48) - 24;  // wraps on purpose
    case 2:
      return kNotFound - static_cast<std::size_t>(raw & 0xFF);
    default:
      return static_cast<std::size_t>(raw);
  }
}

[[noreturn]] void wrong(const char* search, std::size_t got, std::size_t want, std::size_t w,
                        std::size_t n, std::size_t m, std::size_t limit, std::size_t end) {
  std::fprintf(stderr,
               "%s: got %zu, want %zu (start %zu, window %zu, pattern %zu, limit %zu, "
               "end %zu)\n",
               search, got, want, w, n, m, limit, end);
  std::abort();
}

}  // namespace

// Input: modes (1), pattern length (1), pattern offset (2), start (8), window (8), limit (8),
// then the pattern's own bytes when it is not taken from the buffer, then the buffer.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kHeader = 28;
  if (size < kHeader) return 0;
  const unsigned modes = data[0];
  const std::size_t m = 1 + data[1] % 72;
  const std::size_t offset = static_cast<std::size_t>(data[2] | data[3] << 8);
  const std::uint64_t raw_start = take64(data + 4);
  const std::uint64_t raw_window = take64(data + 12);
  const std::uint64_t raw_limit = take64(data + 20);
  data += kHeader;
  size -= kHeader;

  const unsigned pattern_mode = modes >> 6;
  std::unique_ptr<std::uint8_t[]> pattern(new std::uint8_t[m]);
  if (pattern_mode == 0) {
    if (size < m) return 0;
    std::memcpy(pattern.get(), data, m);
    data += m;
    size -= m;
  }
  // A read past the buffer's end is caught.
  const std::size_t end = size;
  kestrox::fuzz::ExactBlock block(data, end);
  const Bytes source = block.bytes();

  if (pattern_mode != 0) {
    // Taken from the buffer, so that there are matches to find: as it stands, one byte of it
    // repeated, or with its last byte changed.
    for (std::size_t i = 0; i < m; ++i) {
      pattern[i] = end == 0 ? 0 : source[(offset + (pattern_mode == 2 ? 0 : i)) % end];
    }
    if (pattern_mode == 3) pattern[m - 1] ^= 1;
  }
  const Bytes needle(pattern.get(), m);

  const std::size_t w = position(modes, raw_start, end);
  const std::size_t n = length(modes >> 2, raw_window, w, end);
  const std::size_t limit = position(modes >> 4, raw_limit, end);

  const std::size_t forward = kestrox::find_bytes(source, w, n, needle, limit);
  const std::size_t want_forward = walk_forward(source, w, n, needle, limit);
  if (forward != want_forward) wrong("find_bytes", forward, want_forward, w, n, m, limit, end);

  const std::size_t backward = kestrox::find_bytes_backward(source, w, n, needle, limit);
  const std::size_t want_backward = walk_backward(source, w, n, needle, limit);
  if (backward != want_backward) {
    wrong("find_bytes_backward", backward, want_backward, w, n, m, limit, end);
  }
  return 0;
}
