// The base64 decoder: in place, over the start of the source buffer, with vector paths for the
// processors that have them.
#include "decode/base64.h"

#include <array>
#include <bit>
#include <cstring>

#include "decode/x86_vectors.h"
#include "platform/cpu.h"

namespace kestrox {

namespace {

// Value of each byte in the base64 alphabet, or kNotBase64.
constexpr std::uint8_t kNotBase64 = 0x80;
constexpr std::array<std::uint8_t, 256> kBase64Values = [] {
  std::array<std::uint8_t, 256> values{};
  values.fill(kNotBase64);
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (std::uint8_t i = 0; i < 64; ++i) values[static_cast<unsigned char>(kAlphabet[i])] = i;
  return values;
}();

// For whole groups of four: what the character in each place of the group adds to the three
// output bytes, laid out as a little-endian word, with kNotInGroup for a byte outside the
// alphabet. OR-ing four entries gives the group's three bytes.
constexpr std::uint32_t kNotInGroup = 0x01000000;
using GroupTable = std::array<std::uint32_t, 256>;
constexpr std::array<GroupTable, 4> kGroupTables = [] {
  std::array<GroupTable, 4> tables{};
  for (std::size_t c = 0; c < 256; ++c) {
    const std::uint32_t v = kBase64Values[c];
    if (v & kNotBase64) {
      for (auto& table : tables) table[c] = kNotInGroup;
      continue;
    }
    tables[0][c] = v << 2;
    tables[1][c] = v >> 4 | (v & 0x0F) << 12;
    tables[2][c] = (v >> 2) << 8 | (v & 0x03) << 22;
    tables[3][c] = v << 16;
  }
  return tables;
}();

// Decodes whole groups of four alphabet characters from `read` while they last. Each group is
// read before its bytes are stored, and the four-byte store (one byte of it scratch) never
// reaches a byte that is still to be read.
void decode_whole_groups(const std::uint8_t*& read_position, const std::uint8_t* stop,
                         std::uint8_t*& write_position) {
  // Copies the compiler can keep in registers: the caller's may be changed by any byte stored.
  const std::uint8_t* read = read_position;
  std::uint8_t* write = write_position;
  if constexpr (std::endian::native == std::endian::little) {
    // The scratch byte of the last store lands where decoding may end; it is put back, since
    // the bytes after the decoded data must stay the file's own.
    std::uint8_t* scratch = nullptr;
    std::uint8_t kept = 0;
    while (stop - read >= 4) {
      const std::uint32_t word = kGroupTables[0][read[0]] | kGroupTables[1][read[1]] |
                                 kGroupTables[2][read[2]] | kGroupTables[3][read[3]];
      if (word & kNotInGroup) break;
      kept = write[3];
      std::memcpy(write, &word, 4);
      write += 3;
      read += 4;
      scratch = write;
    }
    if (scratch != nullptr) *scratch = kept;
  } else {
    while (stop - read >= 4) {
      const std::uint32_t a = kBase64Values[read[0]];
      const std::uint32_t b = kBase64Values[read[1]];
      const std::uint32_t c = kBase64Values[read[2]];
      const std::uint32_t d = kBase64Values[read[3]];
      if (((a | b | c | d) & kNotBase64) != 0) break;
      const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
      write[0] = static_cast<std::uint8_t>(bits >> 16);
      write[1] = static_cast<std::uint8_t>(bits >> 8);
      write[2] = static_cast<std::uint8_t>(bits);
      write += 3;
      read += 4;
    }
  }
  read_position = read;
  write_position = write;
}

// Where decoding stands: the next byte to read, the next to write, and the values of the group
// begun, `count` of them in the low bits of `group`.
struct Progress {
  const std::uint8_t* read;
  std::uint8_t* write;
  std::uint32_t group;
  int count;
};

inline void append_value(Progress& p, std::uint32_t value) {
  p.group = p.group << 6 | value;
  if (++p.count == 4) {
    p.write[0] = static_cast<std::uint8_t>(p.group >> 16);
    p.write[1] = static_cast<std::uint8_t>(p.group >> 8);
    p.write[2] = static_cast<std::uint8_t>(p.group);
    p.write += 3;
    p.group = 0;
    p.count = 0;
  }
}

// The next byte by the plain rules: outside the alphabet, it is passed over without breaking the
// group.
inline void take_byte(Progress& p) {
  const std::uint8_t value = kBase64Values[*p.read++];
  if ((value & kNotBase64) == 0) append_value(p, value);
}

#if KESTROX_X86_VECTORS
// The vector paths decode whole blocks from p.read while a block lies before `end` and holds no
// '=', and return where they leave the rest to the plain loop. They read nothing outside the block
// in hand, and store only decoded bytes: never a byte past the decoded data, nor one still to be
// read.

// Thirty-two values of 0 to 63 as their 24 bytes, in the low 24 bytes of the result.
KESTROX_TARGET_AVX2 inline __m256i pack24(__m256i values) {
  // Pairs of values as 12 bits, then pairs of those as 24 bits, in each 32-bit lane.
  const __m256i pairs = _mm256_maddubs_epi16(values, _mm256_set1_epi32(0x01400140));
  const __m256i triples = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00011000));
  // The three bytes of each lane, most significant first, then the two halves side by side.
  const __m256i bytes = _mm256_shuffle_epi8(
      triples, _mm256_setr_epi8(2, 1, 0, 6, 5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1, 2, 1, 0, 6,
                                5, 4, 10, 9, 8, 14, 13, 12, -1, -1, -1, -1));
  return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 3, 7));
}

// Thirty-two bytes at a time. A block of alphabet characters that starts a group is decoded
// whole; one that starts a group and holds a line break has the groups before the break decoded
// at once and the next block taken from after it; any other goes by the plain rules through its
// last byte outside the alphabet and on until a group starts, so that with lines of a multiple of
// four characters the next block starts a group and goes whole again.
KESTROX_TARGET_AVX2 Progress decode_blocks_avx2(Progress p, const std::uint8_t* end) {
  // A byte is in the alphabet when the classes of its low and its high half have no bit in
  // common: 0x10 every byte outside 0x20-0x7F, 0x01 the 0x2_ row but for '+' and '/', 0x02 the
  // 0x3_ row past '9', 0x04 '@' and '`', 0x08 the 0x5_ and 0x7_ rows past 'Z' and 'z'.
  const __m256i low_classes =
      _mm256_setr_epi8(0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x13, 0x1A, 0x1B,
                       0x1B, 0x1B, 0x1A, 0x15, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                       0x13, 0x1A, 0x1B, 0x1B, 0x1B, 0x1A);
  const __m256i high_classes =
      _mm256_setr_epi8(0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10, 0x10, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x01, 0x02, 0x04, 0x08, 0x04, 0x08, 0x10, 0x10,
                       0x10, 0x10, 0x10, 0x10, 0x10, 0x10);
  // What turns a character into its value, by its high half ('/' takes the place of row 1).
  const __m256i shifts = _mm256_setr_epi8(0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0,
                                          0, 16, 19, 4, -65, -65, -71, -71, 0, 0, 0, 0, 0, 0, 0, 0);
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  while (end - p.read >= 32) {
    const std::uint8_t* const block = p.read;
    const __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block));
    if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(in, _mm256_set1_epi8('='))) != 0) break;
    const __m256i high = _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble);
    const __m256i classes =
        _mm256_and_si256(_mm256_shuffle_epi8(low_classes, _mm256_and_si256(in, nibble)),
                         _mm256_shuffle_epi8(high_classes, high));
    const auto outside = ~static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(classes, _mm256_setzero_si256())));
    if (outside == 0 && p.count == 0) {
      const __m256i slash = _mm256_cmpeq_epi8(in, _mm256_set1_epi8('/'));
      const __m256i values =
          _mm256_add_epi8(in, _mm256_shuffle_epi8(shifts, _mm256_add_epi8(high, slash)));
      const __m256i bytes = pack24(values);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p.write), _mm256_castsi256_si128(bytes));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(p.write + 16),
                       _mm256_extracti128_si256(bytes, 1));
      p.write += 24;
      p.read += 32;
      continue;
    }
    if (outside != 0 && p.count == 0) {
      // Whole groups up to the first byte outside the alphabet (a line break, mostly) go at once,
      // and the bytes outside it are passed over: the next block starts where the next line does.
      const std::uint8_t* const first_outside = block + __builtin_ctz(outside);
      decode_whole_groups(p.read, first_outside, p.write);
      while (p.read < first_outside) take_byte(p);
      while (p.read < block + 32 && (kBase64Values[*p.read] & kNotBase64) != 0) ++p.read;
      continue;
    }
    const std::uint8_t* const through = outside == 0 ? block : block + 32 - __builtin_clz(outside);
    while (p.read < through) take_byte(p);
    while (p.count != 0 && p.read < block + 32) take_byte(p);
  }
  return p;
}

// Where each of the 48 bytes of 64 packed values stands in their 32-bit lanes.
constexpr std::array<std::uint8_t, 64> kPack48Order = [] {
  std::array<std::uint8_t, 64> order{};
  for (std::size_t i = 0; i < 48; ++i)
    order[i] = static_cast<std::uint8_t>(4 * (i / 3) + 2 - i % 3);
  return order;
}();

constexpr std::array<std::uint8_t, 64> kLanes = [] {
  std::array<std::uint8_t, 64> lanes{};
  for (std::size_t i = 0; i < 64; ++i) lanes[i] = static_cast<std::uint8_t>(i);
  return lanes;
}();

// Sixty-four values of 0 to 63 as their 48 bytes, stored at `to`.
KESTROX_TARGET_AVX512 inline void store48(std::uint8_t* to, __m512i values) {
  const __m512i pairs = _mm512_maddubs_epi16(values, _mm512_set1_epi32(0x01400140));
  const __m512i triples = _mm512_madd_epi16(pairs, _mm512_set1_epi32(0x00011000));
  const __m512i bytes = permute_bytes(_mm512_loadu_si512(kPack48Order.data()), triples);
  _mm512_mask_storeu_epi8(to, 0x0000FFFFFFFFFFFFull, bytes);
}

// Sixty-four bytes at a time: the values of the alphabet characters are packed together and
// gathered, 64 at a time, into 48 bytes; a block of nothing else goes at once.
KESTROX_TARGET_AVX512 Progress decode_blocks_avx512(Progress p, const std::uint8_t* end) {
  // Values of the bytes below 0x80 (0x80 outside the alphabet), in two tables of 64.
  const __m512i values_low = _mm512_loadu_si512(kBase64Values.data());
  const __m512i values_high = _mm512_loadu_si512(kBase64Values.data() + 64);
  const __m512i lanes = _mm512_loadu_si512(kLanes.data());
  // The values gathered and not yet decoded, in lanes 0 to gathered - 1; first the group begun.
  alignas(64) std::uint8_t values[64] = {};
  for (int i = 0; i < p.count; ++i) {
    values[i] = static_cast<std::uint8_t>(p.group >> 6 * (p.count - 1 - i) & 63);
  }
  __m512i staged = _mm512_load_si512(values);
  unsigned gathered = static_cast<unsigned>(p.count);
  while (end - p.read >= 64) {
    const __m512i in = _mm512_loadu_si512(p.read);
    if (_mm512_cmpeq_epi8_mask(in, _mm512_set1_epi8('=')) != 0) break;
    const __m512i looked_up = _mm512_permutex2var_epi8(values_low, in, values_high);
    // Bytes of 0x80 and above look up a byte below; their own high bit marks them.
    const __mmask64 outside = _mm512_movepi8_mask(_mm512_or_si512(in, looked_up));
    p.read += 64;
    if (outside == 0 && gathered == 0) {
      store48(p.write, looked_up);
      p.write += 48;
      continue;
    }
    const __m512i packed = _mm512_maskz_compress_epi8(~outside, looked_up);
    const auto count = static_cast<unsigned>(_mm_popcnt_u64(~outside));
    // The new values after those already gathered; what does not fit starts the next 64.
    staged = _mm512_mask_permutexvar_epi8(
        staged, ~std::uint64_t{0} << gathered,
        _mm512_sub_epi8(lanes, _mm512_set1_epi8(static_cast<char>(gathered))), packed);
    gathered += count;
    if (gathered >= 64) {
      store48(p.write, staged);
      p.write += 48;
      gathered -= 64;
      staged = permute_bytes(
          _mm512_add_epi8(lanes, _mm512_set1_epi8(static_cast<char>(count - gathered))), packed);
    }
  }
  _mm512_store_si512(values, staged);
  p.group = 0;
  p.count = 0;
  for (unsigned i = 0; i < gathered; ++i) append_value(p, values[i]);
  return p;
}
#endif

}  // namespace

std::size_t decode_base64_in_place(std::span<std::uint8_t> source, std::size_t start,
                                   const DecodeRoom& room) {
  const std::size_t end = source.size();
  if (start >= end) return 0;
  std::uint8_t* const base = source.data();
  Progress p{base + start, base, 0, 0};
  // The byte at the start is never tested for '=', but a '=' is outside the alphabet and would
  // be passed over there anyway.
  take_byte(p);
#if KESTROX_X86_VECTORS
  // In steps where room is made as decoding goes, else all at once; a step ends short of its end
  // by less than a block, unless a '=' ended the blocks.
  const std::size_t block = cpu_level() == CpuLevel::kAvx512 ? 64
                            : cpu_level() == CpuLevel::kAvx2 ? 32
                                                             : 0;
  const std::size_t step = room ? kDecodeStep : end;
  while (block != 0) {
    if (room)
      room(static_cast<std::size_t>(p.write - base), static_cast<std::size_t>(p.read - base));
    const std::uint8_t* const stop =
        static_cast<std::size_t>(base + end - p.read) > step ? p.read + step : base + end;
    p = block == 64 ? decode_blocks_avx512(p, stop) : decode_blocks_avx2(p, stop);
    if (stop == base + end || static_cast<std::size_t>(stop - p.read) >= block) break;
  }
#endif
  // The first '=' ends the stream.
  const void* pad = std::memchr(p.read, '=', static_cast<std::size_t>(base + end - p.read));
  const std::uint8_t* const stop = pad ? static_cast<const std::uint8_t*>(pad) : base + end;
  while (p.read < stop) {
    // Whole groups of four alphabet characters, the common case, go at once.
    if (p.count == 0) {
      decode_whole_groups(p.read, stop, p.write);
      if (p.read == stop) break;
    }
    take_byte(p);
  }
  // A final group of two values gives one byte, of three values two bytes, of one nothing.
  if (p.count == 2) {
    *p.write++ = static_cast<std::uint8_t>(p.group >> 4);
  } else if (p.count == 3) {
    *p.write++ = static_cast<std::uint8_t>(p.group >> 10);
    *p.write++ = static_cast<std::uint8_t>(p.group >> 2);
  }
  return static_cast<std::size_t>(p.write - base);
}

}  // namespace kestrox
