// Forward and backward byte-pattern search over the source buffer.
//
// Both searches test candidate positions sixteen at a time where SSE2 is there: a candidate is
// compared in full only when the pattern's first and last bytes both stand where they should.
// That gives the same answers as testing every position in turn, and reads only the bytes that
// such a walk could compare.
#include "bytes/search.h"

#include <algorithm>
#include <cstring>

#include "platform/cpu.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KESTROX_SEARCH_SSE2 1
#endif
#if KESTROX_SEARCH_SSE2 && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KESTROX_SEARCH_AVX2 1
#endif

namespace kestrox {

namespace {

// a + b, or the largest size when that does not fit.
std::size_t saturating_add(std::size_t a, std::size_t b) {
  return b > kNotFound - a ? kNotFound : a + b;
}

bool matches_at(const std::uint8_t* at, std::span<const std::uint8_t> pattern) {
  return std::memcmp(at, pattern.data(), pattern.size()) == 0;
}

#if KESTROX_SEARCH_SSE2
inline unsigned lowest_bit(unsigned mask) { return static_cast<unsigned>(__builtin_ctz(mask)); }
inline unsigned highest_bit(unsigned mask) {
  return 31u - static_cast<unsigned>(__builtin_clz(mask));
}

// Bit i is set when position block + i holds the pattern's first byte and block + i + m - 1 its
// last byte. Reads block[0 .. 15 + m - 1].
inline unsigned candidates16(const std::uint8_t* block, __m128i first, __m128i last,
                             std::size_t m) {
  const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block));
  const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block + m - 1));
  return static_cast<unsigned>(
      _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(head, first), _mm_cmpeq_epi8(tail, last))));
}
#endif

#if KESTROX_SEARCH_AVX2
// The forward block loop with 32-byte vectors, for processors that have them: 128 candidates at
// a time. Returns where the caller's loops go on when no match was found.
__attribute__((target("avx2"))) const std::uint8_t* forward_blocks_avx2(
    const std::uint8_t* next, const std::uint8_t* to, std::span<const std::uint8_t> pattern,
    const std::uint8_t** found) {
  const std::size_t m = pattern.size();
  const __m256i first = _mm256_set1_epi8(static_cast<char>(pattern[0]));
  const __m256i last = _mm256_set1_epi8(static_cast<char>(pattern[m - 1]));
  while (to - next >= 127) {
    __m256i hits[4];
    for (int i = 0; i < 4; ++i) {
      const __m256i head = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next + 32 * i));
      const __m256i tail =
          _mm256_loadu_si256(reinterpret_cast<const __m256i*>(next + 32 * i + m - 1));
      hits[i] = _mm256_and_si256(_mm256_cmpeq_epi8(head, first), _mm256_cmpeq_epi8(tail, last));
    }
    const __m256i any =
        _mm256_or_si256(_mm256_or_si256(hits[0], hits[1]), _mm256_or_si256(hits[2], hits[3]));
    if (!_mm256_testz_si256(any, any)) {
      for (int i = 0; i < 4; ++i) {
        for (unsigned bits = static_cast<unsigned>(_mm256_movemask_epi8(hits[i])); bits != 0;
             bits &= bits - 1) {
          const std::uint8_t* at = next + 32 * i + __builtin_ctz(bits);
          if (matches_at(at, pattern)) {
            *found = at;
            return next;
          }
        }
      }
    }
    next += 128;
  }
  return next;
}
#endif

// The lowest matching position in [from, to] (both are candidates; to + m <= buffer end).
const std::uint8_t* forward_scan(const std::uint8_t* from, const std::uint8_t* to,
                                 std::span<const std::uint8_t> pattern) {
  const std::size_t m = pattern.size();
  const std::uint8_t* next = from;
#if KESTROX_SEARCH_SSE2
  if (m >= 2) {
#if KESTROX_SEARCH_AVX2
    if (cpu_level() >= CpuLevel::kAvx2) {
      const std::uint8_t* found = nullptr;
      next = forward_blocks_avx2(next, to, pattern, &found);
      if (found != nullptr) return found;
    }
#endif
    const __m128i first = _mm_set1_epi8(static_cast<char>(pattern[0]));
    const __m128i last = _mm_set1_epi8(static_cast<char>(pattern[m - 1]));
    // 64 candidates at a time; most blocks hold none and cost one test.
    while (to - next >= 63) {
      __m128i any = _mm_setzero_si128();
      for (int i = 0; i < 64; i += 16) {
        const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(next + i));
        const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(next + i + m - 1));
        any = _mm_or_si128(any, _mm_and_si128(_mm_cmpeq_epi8(head, first),
                                              _mm_cmpeq_epi8(tail, last)));
      }
      if (_mm_movemask_epi8(any) != 0) {
        for (int i = 0; i < 64; i += 16) {
          for (unsigned bits = candidates16(next + i, first, last, m); bits != 0;
               bits &= bits - 1) {
            const std::uint8_t* at = next + i + lowest_bit(bits);
            if (matches_at(at, pattern)) return at;
          }
        }
      }
      next += 64;
    }
  }
#endif
  const std::uint8_t* const stop = to + 1;
  while (next < stop) {
    next = static_cast<const std::uint8_t*>(
        std::memchr(next, pattern[0], static_cast<std::size_t>(stop - next)));
    if (next == nullptr) return nullptr;
    if (matches_at(next, pattern)) return next;
    ++next;
  }
  return nullptr;
}

// The highest matching position in [from, to] (both are candidates; to + m <= buffer end).
const std::uint8_t* backward_scan(const std::uint8_t* from, const std::uint8_t* to,
                                  std::span<const std::uint8_t> pattern) {
  const std::size_t m = pattern.size();
  const std::uint8_t* top = to;  // highest candidate not yet tested
#if KESTROX_SEARCH_SSE2
  if (m >= 2) {
    const __m128i first = _mm_set1_epi8(static_cast<char>(pattern[0]));
    const __m128i last = _mm_set1_epi8(static_cast<char>(pattern[m - 1]));
    while (top - from >= 15) {
      const std::uint8_t* const block = top - 15;
      for (unsigned bits = candidates16(block, first, last, m); bits != 0;
           bits &= ~(1u << highest_bit(bits))) {
        const std::uint8_t* at = block + highest_bit(bits);
        if (matches_at(at, pattern)) return at;
      }
      if (block == from) return nullptr;
      top = block - 1;
    }
  }
#endif
  for (const std::uint8_t* at = top + 1; at-- > from;) {
    if (*at == pattern[0] && matches_at(at, pattern)) return at;
  }
  return nullptr;
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
  const std::uint8_t* found = forward_scan(base + window_start, base + last, pattern);
  return found == nullptr ? kNotFound : static_cast<std::size_t>(found - base);
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
  const std::uint8_t* found = backward_scan(base + window_start, base + highest, pattern);
  return found == nullptr ? kNotFound : static_cast<std::size_t>(found - base);
}

}  // namespace kestrox
