// The base64 encoder: two characters at a time from a table of every 12-bit value, six bytes to
// eight characters per step, straight into the output's final place.
#include "message/base64_encode.h"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace kestrox {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The two characters of each 12-bit value, first character first in memory.
constexpr std::array<std::array<char, 2>, 4096> kPairs = [] {
  std::array<std::array<char, 2>, 4096> pairs{};
  for (std::size_t value = 0; value < 4096; ++value) {
    pairs[value] = {kAlphabet[value >> 6], kAlphabet[value & 63]};
  }
  return pairs;
}();

inline std::uint32_t load_be24(const std::uint8_t* in) {
  return std::uint32_t{in[0]} << 16 | std::uint32_t{in[1]} << 8 | in[2];
}

// Three bytes to four characters.
inline void encode_group(std::uint32_t bits, char* out) {
  std::memcpy(out, kPairs[bits >> 12].data(), 2);
  std::memcpy(out + 2, kPairs[bits & 0xFFF].data(), 2);
}

// Six bytes to eight characters, from an eight-byte load of which the last two are not used.
inline void encode_six(const std::uint8_t* in, char* out) {
  std::uint64_t word;
  std::memcpy(&word, in, 8);
  if constexpr (std::endian::native == std::endian::little) word = __builtin_bswap64(word);
  std::uint16_t pairs[4];
  std::memcpy(&pairs[0], kPairs[word >> 52].data(), 2);
  std::memcpy(&pairs[1], kPairs[word >> 40 & 0xFFF].data(), 2);
  std::memcpy(&pairs[2], kPairs[word >> 28 & 0xFFF].data(), 2);
  std::memcpy(&pairs[3], kPairs[word >> 16 & 0xFFF].data(), 2);
  std::memcpy(out, pairs, 8);
}

// Whole groups of three: `size` a multiple of 3. Six bytes a step while eight can be loaded, so
// that no load reaches past the data.
char* encode_groups(const std::uint8_t* in, std::size_t size, char* out) {
  const std::uint8_t* const end = in + size;
  while (end - in >= 8) {
    encode_six(in, out);
    in += 6;
    out += 8;
  }
  while (in != end) {
    encode_group(load_be24(in), out);
    in += 3;
    out += 4;
  }
  return out;
}

// The last one or two bytes, padded to four characters.
char* encode_tail(const std::uint8_t* in, std::size_t size, char* out) {
  const std::uint32_t bits =
      std::uint32_t{in[0]} << 16 | (size == 2 ? std::uint32_t{in[1]} << 8 : 0);
  out[0] = kAlphabet[bits >> 18];
  out[1] = kAlphabet[bits >> 12 & 63];
  out[2] = size == 2 ? kAlphabet[bits >> 6 & 63] : '=';
  out[3] = '=';
  return out + 4;
}

// `data` without line breaks, from `out`; where it ends.
char* encode_run(Bytes data, char* out) {
  const std::size_t whole = data.size() / 3 * 3;
  out = encode_groups(data.data(), whole, out);
  if (whole != data.size()) out = encode_tail(data.data() + whole, data.size() - whole, out);
  return out;
}

std::size_t encoded_size(std::size_t size) { return (size + 2) / 3 * 4; }

// Room for `n` more characters at the end of `out`, and where they go.
char* grow(std::string& out, std::size_t n) {
  const std::size_t at = out.size();
  out.resize(at + n);
  return out.data() + at;
}

}  // namespace

std::size_t base64_lines_size(std::size_t size) {
  const std::size_t lines = (size + kBase64LineBytes - 1) / kBase64LineBytes;
  return encoded_size(size) + 2 * lines;
}

void append_base64_lines(std::string& out, Bytes data) {
  char* write = grow(out, base64_lines_size(data.size()));
  while (!data.empty()) {
    const std::size_t take = data.size() < kBase64LineBytes ? data.size() : kBase64LineBytes;
    write = encode_run(data.first(take), write);
    *write++ = '\r';
    *write++ = '\n';
    data = data.subspan(take);
  }
}

void append_base64(std::string& out, Bytes data) {
  encode_run(data, grow(out, encoded_size(data.size())));
}

}  // namespace kestrox
