// The base64 decoder: in place, over the start of the source buffer.
#include "decode/base64.h"

#include <array>
#include <bit>
#include <cstring>

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
void decode_whole_groups(const std::uint8_t*& read, const std::uint8_t* stop,
                         std::uint8_t*& write) {
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
      if (((a | b | c | d) & kNotBase64) != 0) return;
      const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
      write[0] = static_cast<std::uint8_t>(bits >> 16);
      write[1] = static_cast<std::uint8_t>(bits >> 8);
      write[2] = static_cast<std::uint8_t>(bits);
      write += 3;
      read += 4;
    }
  }
}

}  // namespace

std::size_t decode_base64_in_place(std::span<std::uint8_t> source, std::size_t start) {
  const std::size_t end = source.size();
  if (start >= end) return 0;
  std::uint8_t* const base = source.data();
  // The first '=' after the start ends the stream. The byte at the start is never tested for
  // it, but a '=' is outside the alphabet and would be passed over there anyway.
  const void* pad = std::memchr(base + start + 1, '=', end - start - 1);
  const std::uint8_t* read = base + start;
  const std::uint8_t* const stop = pad ? static_cast<const std::uint8_t*>(pad) : base + end;
  std::uint8_t* write = base;

  std::uint32_t group = 0;
  int count = 0;
  while (read < stop) {
    // Whole groups of four alphabet characters, the common case, go at once.
    if (count == 0) {
      decode_whole_groups(read, stop, write);
      if (read == stop) break;
    }
    // One byte at a time: bytes outside the alphabet are passed over without breaking the group.
    const std::uint8_t value = kBase64Values[*read++];
    if (value & kNotBase64) continue;
    group = group << 6 | value;
    if (++count == 4) {
      write[0] = static_cast<std::uint8_t>(group >> 16);
      write[1] = static_cast<std::uint8_t>(group >> 8);
      write[2] = static_cast<std::uint8_t>(group);
      write += 3;
      group = 0;
      count = 0;
    }
  }
  // A final group of two values gives one byte, of three values two bytes, of one nothing.
  if (count == 2) {
    *write++ = static_cast<std::uint8_t>(group >> 4);
  } else if (count == 3) {
    *write++ = static_cast<std::uint8_t>(group >> 10);
    *write++ = static_cast<std::uint8_t>(group >> 2);
  }
  return static_cast<std::size_t>(write - base);
}

}  // namespace kestrox
