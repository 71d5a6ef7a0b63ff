// The quoted-printable decoder: in place, over the start of the source buffer, with vector paths
// for the processors that have them.
#include "decode/quoted_printable.h"

#include <array>
#include <bit>
#include <cstring>

#include "decode/x86_vectors.h"
#include "platform/cpu.h"

namespace kestrox {

namespace {

// Value of a hexadecimal digit written 0-9 or A-F, or -1. Lower case does not count.
constexpr std::array<std::int8_t, 256> kHexValues = [] {
  std::array<std::int8_t, 256> values{};
  values.fill(-1);
  for (int i = 0; i < 10; ++i) values['0' + i] = static_cast<std::int8_t>(i);
  for (int i = 0; i < 6; ++i) values['A' + i] = static_cast<std::int8_t>(10 + i);
  return values;
}();

// The high bit of each byte of the word that may be '='. The lowest one flagged is exact; any
// above it may be false.
std::uint64_t equals_signs(std::uint64_t word) {
  const std::uint64_t x = word ^ 0x3D3D3D3D3D3D3D3Dull;  // zero bytes where '=' stood
  return (x - 0x0101010101010101ull) & ~x & 0x8080808080808080ull;
}

bool is_control_or_high(std::uint8_t c) { return c < 0x20 || c >= 0x80; }

#if KESTROX_X86_VECTORS
// 0xFF in each byte that lies between lo and hi, both included.
inline __m128i in_range(__m128i bytes, char lo, char hi) {
  const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8(lo));
  return _mm_cmpeq_epi8(_mm_min_epu8(offset, _mm_set1_epi8(static_cast<char>(hi - lo))), offset);
}

inline unsigned mask_of(__m128i bytes) { return static_cast<unsigned>(_mm_movemask_epi8(bytes)); }

// One step of quoted-printable over sixteen bytes, with eighteen in view (an escape in the last
// places reads up to two more). Every '=' of the block is settled within the step: with two
// capital hex digits after it, it gives one byte; with a control or high byte after it, it drops
// that byte and at most one more like it; otherwise it drops only itself. So no escape is ever
// pending between steps; what one consumes of the next block is handed on as that block's
// `carry`. A consumed byte is never a '=', so the next block's escapes are the same either way,
// and the next step does not wait for this one to know where it starts.
struct QuotedBlock {
  __m128i values;  // the byte each kept place gives
  unsigned kept;   // bit i: place i gives a byte
  unsigned carry;  // bit i: place i of the next block is consumed by an escape of this one
};

#if defined(__GNUC__) || defined(__clang__)
__attribute__((always_inline))
#endif
inline QuotedBlock
quoted_block(const std::uint8_t* in, __m128i here, __m128i escapes, unsigned carry) {
  const __m128i space = _mm_set1_epi8(0x20);
  const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 1));
  const __m128i after = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2));
  const __m128i next_digit = in_range(next, '0', '9');
  const __m128i after_digit = in_range(after, '0', '9');
  const __m128i next_hex = _mm_or_si128(next_digit, in_range(next, 'A', 'F'));
  const __m128i after_hex = _mm_or_si128(after_digit, in_range(after, 'A', 'F'));
  const __m128i decodes = _mm_and_si128(escapes, _mm_and_si128(next_hex, after_hex));

  // Signed, bytes of 0x80 and above are below 0x20 too.
  const unsigned equals = mask_of(escapes);
  const unsigned valid = mask_of(decodes);
  const unsigned skips_one = equals & ~valid & mask_of(_mm_cmplt_epi8(next, space));
  const unsigned skips_two = skips_one & mask_of(_mm_cmplt_epi8(after, space));
  const unsigned taken = valid << 1 | valid << 2 | skips_one << 1 | skips_two << 2;

  // The escape's byte in place of its '='; every other kept byte as it stands.
  const __m128i zero = _mm_set1_epi8('0');
  const __m128i letter = _mm_set1_epi8('A' - 10);
  const __m128i high = _mm_or_si128(_mm_and_si128(next_digit, _mm_sub_epi8(next, zero)),
                                    _mm_andnot_si128(next_digit, _mm_sub_epi8(next, letter)));
  const __m128i low = _mm_or_si128(_mm_and_si128(after_digit, _mm_sub_epi8(after, zero)),
                                   _mm_andnot_si128(after_digit, _mm_sub_epi8(after, letter)));
  const __m128i decoded =
      _mm_or_si128(_mm_and_si128(_mm_slli_epi16(high, 4), _mm_set1_epi8(static_cast<char>(0xF0))),
                   _mm_and_si128(low, _mm_set1_epi8(0x0F)));
  return {_mm_or_si128(_mm_and_si128(decodes, decoded), _mm_andnot_si128(decodes, here)),
          (~(equals | taken | carry) & 0xFFFFu) | valid, taken >> 16};
}

// How many places each 8-bit set holds (a processor with SSSE3 may lack POPCNT).
constexpr std::array<std::uint8_t, 256> kPlaces = [] {
  std::array<std::uint8_t, 256> places{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    places[mask] = static_cast<std::uint8_t>(std::popcount(mask));
  }
  return places;
}();

// For each 8-bit set of kept places: their indices in order, then 0x80 (a zero byte).
constexpr std::array<std::array<std::uint8_t, 8>, 256> kCompaction = [] {
  std::array<std::array<std::uint8_t, 8>, 256> table{};
  for (unsigned mask = 0; mask < 256; ++mask) {
    std::size_t n = 0;
    for (std::uint8_t i = 0; i < 8; ++i) {
      if (mask & (1u << i)) table[mask][n++] = i;
    }
    while (n < 8) table[mask][n++] = 0x80;
  }
  return table;
}();

// Stores the kept ones of eight values at `to`, in order, and returns how many. The rest of the
// eight-byte store is what stood there in the file, held in `original` (the file's eight bytes
// from `to`), so a byte past the decoded data stays the file's own; holding them in a register
// spares reading back what the last store has just written.
KESTROX_TARGET_SSSE3 inline std::size_t store_kept8(std::uint8_t* to, __m128i values, unsigned kept,
                                                    std::uint64_t& original) {
  const __m128i order = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompaction[kept].data()));
  const auto packed =
      static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_shuffle_epi8(values, order)));
  const unsigned count = kPlaces[kept];
  if (count == 0) return 0;
  const std::uint64_t ours = count == 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * count)) - 1;
  const std::uint64_t merged = (packed & ours) | (original & ~ours);
  std::memcpy(to, &merged, 8);
  // No store has reached to + 8 yet: the file's bytes from there are still in place.
  std::uint64_t beyond;
  std::memcpy(&beyond, to + 8, 8);
  original = count == 8 ? beyond : (original >> (8 * count)) | (beyond << (8 * (8 - count)));
  return count;
}

// The quoted-printable steps while 32 bytes are left (a step reads 18; the file's bytes held for
// the stores reach 8 further); the rest of the decoder goes on where this stops. The kept bytes
// are packed eight at a time by a byte shuffle.
KESTROX_TARGET_SSSE3 void decode_quoted_printable_blocks_ssse3(std::uint8_t* base, std::size_t end,
                                                               std::size_t& read_position,
                                                               std::size_t& write_position) {
  // Copies the compiler can keep in registers: the caller's may be changed by any byte stored.
  std::size_t read = read_position;
  std::size_t write = write_position;
  if (end - read < 32) return;
  const __m128i equals_sign = _mm_set1_epi8('=');
  unsigned carry = 0;
  std::uint64_t original;
  std::memcpy(&original, base + write, 8);
  while (end - read >= 32) {
    const std::uint8_t* in = base + read;
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
    const __m128i escapes = _mm_cmpeq_epi8(here, equals_sign);
    if ((mask_of(escapes) | carry) == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(base + write), here);
      write += 16;
      read += 16;
      std::memcpy(&original, base + write, 8);
      continue;
    }
    const QuotedBlock block = quoted_block(in, here, escapes, carry);
    // Both stores end within the sixteen bytes after `write`, which lie below read + 18.
    write += store_kept8(base + write, block.values, block.kept & 0xFF, original);
    write += store_kept8(base + write, _mm_srli_si128(block.values, 8), block.kept >> 8, original);
    read += 16;
    carry = block.carry;
  }
  read_position = read + kPlaces[carry];
  write_position = write;
}

// 0xFF in each byte that lies between lo and hi, both included.
KESTROX_TARGET_AVX2 inline __m256i in_range32(__m256i bytes, char lo, char hi) {
  const __m256i offset = _mm256_sub_epi8(bytes, _mm256_set1_epi8(lo));
  return _mm256_cmpeq_epi8(_mm256_min_epu8(offset, _mm256_set1_epi8(static_cast<char>(hi - lo))),
                           offset);
}

KESTROX_TARGET_AVX2 inline std::uint32_t mask_of32(__m256i bytes) {
  return static_cast<std::uint32_t>(_mm256_movemask_epi8(bytes));
}

// The file's eight bytes from a place whose first `shift` bytes are known from `known` (the file's
// eight bytes from `shift` places before) and whose others are `next` (the file's eight bytes from
// where `known` ends).
inline std::uint64_t original_from(std::uint64_t known, std::uint64_t next, unsigned shift) {
  return shift == 0 ? known : (known >> (8 * shift)) | (next << (8 * (8 - shift)));
}

// The quoted-printable steps of quoted_block over 32 bytes at a time, with 34 in view, while 40
// bytes are left. The kept bytes are packed eight at a time by a byte shuffle, and every store
// writes eight bytes whatever it keeps: what follows the kept ones is overwritten by the next
// store, and after the last one the file's own bytes are put back, which are taken before each
// step's stores rather than after each store, so that the stores do not wait for one another.
// Needs write + 8 <= read: then no store reaches a byte still to be read.
KESTROX_TARGET_AVX2 void decode_quoted_printable_blocks_avx2(std::uint8_t* base, std::size_t end,
                                                             std::size_t& read_position,
                                                             std::size_t& write_position) {
  // Copies the compiler can keep in registers: the caller's may be changed by any byte stored.
  std::size_t read = read_position;
  std::size_t write = write_position;
  if (end - read < 40 || read - write < 8) return;
  const __m256i equals_sign = _mm256_set1_epi8('=');
  const __m256i space = _mm256_set1_epi8(0x20);
  const __m256i zero = _mm256_set1_epi8('0');
  const __m256i letter = _mm256_set1_epi8('A' - 10);
  std::uint64_t carry = 0;
  // The file's eight bytes from `write`, which the last store may have written over.
  std::uint64_t original;
  std::memcpy(&original, base + write, 8);
  while (end - read >= 40) {
    const std::uint8_t* in = base + read;
    const __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in));
    const __m256i escapes = _mm256_cmpeq_epi8(here, equals_sign);
    const std::uint32_t equals = mask_of32(escapes);
    std::uint64_t next_original;
    if ((equals | carry) == 0) {
      std::memcpy(&next_original, base + write + 32, 8);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(base + write), here);
      original = next_original;
      write += 32;
      read += 32;
      continue;
    }
    const __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 1));
    const __m256i after = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2));
    const __m256i next_digit = in_range32(next, '0', '9');
    const __m256i after_digit = in_range32(after, '0', '9');
    const __m256i next_hex = _mm256_or_si256(next_digit, in_range32(next, 'A', 'F'));
    const __m256i after_hex = _mm256_or_si256(after_digit, in_range32(after, 'A', 'F'));
    const __m256i decodes = _mm256_and_si256(escapes, _mm256_and_si256(next_hex, after_hex));
    // Signed, bytes of 0x80 and above are below 0x20 too.
    const std::uint64_t valid = mask_of32(decodes);
    const std::uint64_t skips_one = equals & ~valid & mask_of32(_mm256_cmpgt_epi8(space, next));
    const std::uint64_t skips_two = skips_one & mask_of32(_mm256_cmpgt_epi8(space, after));
    const std::uint64_t taken = valid << 1 | valid << 2 | skips_one << 1 | skips_two << 2;
    const auto kept = static_cast<std::uint32_t>((~(equals | taken | carry) & 0xFFFFFFFFu) | valid);
    carry = taken >> 32;

    const __m256i high =
        _mm256_or_si256(_mm256_and_si256(next_digit, _mm256_sub_epi8(next, zero)),
                        _mm256_andnot_si256(next_digit, _mm256_sub_epi8(next, letter)));
    const __m256i low =
        _mm256_or_si256(_mm256_and_si256(after_digit, _mm256_sub_epi8(after, zero)),
                        _mm256_andnot_si256(after_digit, _mm256_sub_epi8(after, letter)));
    const __m256i decoded = _mm256_or_si256(
        _mm256_and_si256(_mm256_slli_epi16(high, 4), _mm256_set1_epi8(static_cast<char>(0xF0))),
        _mm256_and_si256(low, _mm256_set1_epi8(0x0F)));
    const __m256i values = _mm256_blendv_epi8(here, decoded, decodes);

    // Where the step's kept bytes end, and the file's bytes from there, taken before any store:
    // no store before this step reached write + 8.
    const auto count = static_cast<unsigned>(_mm_popcnt_u32(kept));
    if (count >= 8) {
      std::memcpy(&next_original, base + write + count, 8);
    } else {
      std::uint64_t beyond;
      std::memcpy(&beyond, base + write + 8, 8);
      next_original = original_from(original, beyond, count);
    }
    std::uint8_t* to = base + write;
    for (int half = 0; half < 2; ++half) {
      const __m128i lane =
          half == 0 ? _mm256_castsi256_si128(values) : _mm256_extracti128_si256(values, 1);
      for (int eighth = 0; eighth < 2; ++eighth) {
        const unsigned bits = kept >> (16 * half + 8 * eighth) & 0xFF;
        const __m128i order =
            _mm_loadl_epi64(reinterpret_cast<const __m128i*>(kCompaction[bits].data()));
        const __m128i source = eighth == 0 ? lane : _mm_srli_si128(lane, 8);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(to), _mm_shuffle_epi8(source, order));
        to += _mm_popcnt_u32(bits);
      }
    }
    original = next_original;
    write += count;
    read += 32;
  }
  // The bytes past the decoded data are the file's own again.
  std::memcpy(base + write, &original, 8);
  read_position = read + static_cast<std::size_t>(_mm_popcnt_u64(carry));
  write_position = write;
}

// The value of each hexadecimal digit, by the low six bits of its character: '0'-'9' are 0x30-0x39
// and 'A'-'F' 0x41-0x46, which differ there.
constexpr std::array<std::uint8_t, 64> kDigitValues = [] {
  std::array<std::uint8_t, 64> values{};
  for (std::uint8_t i = 0; i < 10; ++i) values[('0' + i) & 63] = i;
  for (std::uint8_t i = 0; i < 6; ++i) values[('A' + i) & 63] = static_cast<std::uint8_t>(10 + i);
  return values;
}();

KESTROX_TARGET_AVX512 inline __mmask64 in_range64(__m512i bytes, char lo, char hi) {
  return _mm512_cmple_epu8_mask(_mm512_sub_epi8(bytes, _mm512_set1_epi8(lo)),
                                _mm512_set1_epi8(static_cast<char>(hi - lo)));
}

// The same steps as quoted_block, 64 bytes at a time with 66 in view, while 66 bytes are left.
// The kept bytes are packed together and stored exactly: no byte past them is touched.
KESTROX_TARGET_AVX512 void decode_quoted_printable_blocks_avx512(std::uint8_t* base,
                                                                 std::size_t end,
                                                                 std::size_t& read_position,
                                                                 std::size_t& write_position) {
  // Copies the compiler can keep in registers: the caller's may be changed by any byte stored.
  std::size_t read = read_position;
  std::size_t write = write_position;
  const __m512i equals_sign = _mm512_set1_epi8('=');
  const __m512i space = _mm512_set1_epi8(0x20);
  const __m512i digit_values = _mm512_loadu_si512(kDigitValues.data());
  __mmask64 carry = 0;
  while (end - read >= 66) {
    const std::uint8_t* in = base + read;
    const __m512i here = _mm512_loadu_si512(in);
    const __mmask64 equals = _mm512_cmpeq_epi8_mask(here, equals_sign);
    if ((equals | carry) == 0) {
      _mm512_storeu_si512(base + write, here);
      write += 64;
      read += 64;
      continue;
    }
    const __m512i next = _mm512_loadu_si512(in + 1);
    const __m512i after = _mm512_loadu_si512(in + 2);
    const __mmask64 next_hex = in_range64(next, '0', '9') | in_range64(next, 'A', 'F');
    const __mmask64 after_hex = in_range64(after, '0', '9') | in_range64(after, 'A', 'F');
    const __mmask64 valid = equals & next_hex & after_hex;
    // Signed, bytes of 0x80 and above are below 0x20 too.
    const __mmask64 skips_one = equals & ~valid & _mm512_cmplt_epi8_mask(next, space);
    const __mmask64 skips_two = skips_one & _mm512_cmplt_epi8_mask(after, space);
    const __mmask64 taken = valid << 1 | valid << 2 | skips_one << 1 | skips_two << 2;
    const __mmask64 kept = ~(equals | taken | carry) | valid;
    // Escapes in the last two places reach into the next block.
    carry = (valid | skips_one) >> 63 | ((valid | skips_two) >> 62 & 1) |
            ((valid | skips_two) >> 63) << 1;

    const __m512i high = permute_bytes(next, digit_values);
    const __m512i low = permute_bytes(after, digit_values);
    const __m512i decoded = _mm512_or_si512(_mm512_slli_epi16(high, 4), low);
    const __m512i values = _mm512_mask_blend_epi8(valid, here, decoded);
    const auto count = static_cast<unsigned>(_mm_popcnt_u64(kept));
    _mm512_mask_storeu_epi8(base + write, _bzhi_u64(~std::uint64_t{0}, count),
                            _mm512_maskz_compress_epi8(kept, values));
    write += count;
    read += 64;
  }
  read_position = read + static_cast<std::size_t>(_mm_popcnt_u64(carry));
  write_position = write;
}
#endif

}  // namespace

std::size_t decode_quoted_printable_in_place(std::span<std::uint8_t> source, std::size_t start,
                                             const DecodeRoom& room) {
  const std::size_t end = source.size();
  // Nothing to decode; and the block loops below count what is left as end - read.
  if (start >= end) return 0;
  std::uint8_t* const base = source.data();
  std::size_t read = start;
  std::size_t write = 0;
  // In steps where room is made as decoding goes, else all at once.
  const std::size_t step = room ? kDecodeStep : end;
  while (read < end) {
    if (room) room(write, read);
    const std::size_t stop = end - read > step ? read + step : end;
#if KESTROX_X86_VECTORS
    switch (cpu_level()) {
      case CpuLevel::kAvx512:
        decode_quoted_printable_blocks_avx512(base, stop, read, write);
        break;
      case CpuLevel::kAvx2:
        // From eight bytes behind on (any message: its header comes first), whole steps of 32.
        if (read - write >= 8) {
          decode_quoted_printable_blocks_avx2(base, stop, read, write);
          break;
        }
        [[fallthrough]];
      case CpuLevel::kSsse3:
        decode_quoted_printable_blocks_ssse3(base, stop, read, write);
        break;
      case CpuLevel::kBaseline:
        break;
    }
#endif
    // The rest of the step; an escape at its end looks past it.
    while (read < stop) {
      // Ordinary bytes are copied as they stand, eight at a time up to the next '='.
      if constexpr (std::endian::native == std::endian::little) {
        if (end - read >= 8) {
          std::uint64_t word;
          std::memcpy(&word, base + read, 8);
          const std::uint64_t found = equals_signs(word);
          // The lowest flagged byte is the first '='; the bytes before it are ordinary.
          const std::size_t ordinary =
              found == 0 ? 8 : static_cast<std::size_t>(std::countr_zero(found)) / 8;
          // Only the ordinary bytes are stored: a byte past the decoded data must stay the file's.
          if (ordinary == 8) {
            std::memcpy(base + write, &word, 8);
          } else if (write != read) {
            for (std::size_t i = 0; i < ordinary; ++i) base[write + i] = base[read + i];
          }
          write += ordinary;
          read += ordinary;
          if (ordinary == 8) continue;
        }
      }
      const std::uint8_t c = base[read];
      if (c != '=') {
        base[write++] = c;
        ++read;
        continue;
      }

      // The '=': an escape is pending for the byte after it.
      ++read;
      if (read == end) break;
      const std::uint8_t next = base[read];
      const int high = kHexValues[next];
      const int low = read + 1 < end ? kHexValues[base[read + 1]] : -1;
      if ((high | low) >= 0) {
        base[write++] = static_cast<std::uint8_t>(high * 16 + low);
        read += 2;
      } else if (is_control_or_high(next)) {
        // A soft line break: skip the byte after the '=' and at most one more like it.
        ++read;
        if (read < end && is_control_or_high(base[read])) ++read;
      }
      // Any other byte is taken again as it stands, or as a new '='.
    }
  }
  return write;
}

}  // namespace kestrox
