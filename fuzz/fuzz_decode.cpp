// The two in-place transfer decoders against plain byte-at-a-time decoders that write into a
// separate buffer: the whole buffer afterwards, and the length returned, must be what they give.
// KESTROX_FUZZ_DECODER_PATH (plain, ssse3, avx2 or avx512) picks the vector path under test; by
// default the processor's best.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "decode/base64.h"
#include "decode/quoted_printable.h"
#include "exact_block.h"
#include "platform/cpu.h"
#include "support/mime_builder.h"

namespace {

using Bytes = std::span<const std::uint8_t>;
using kestrox::testing::base64_value;

// 0-9 and A-F only.
int hex_value(std::uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool control_or_high(std::uint8_t c) { return c < 0x20 || c >= 0x80; }

// Alphabet characters fill groups of four, anything else is passed over; the read position
// stops at the buffer's end or at a '=' (the first byte is never tested for one); a final group
// of two gives one byte, of three two bytes.
std::vector<std::uint8_t> plain_base64(Bytes in, std::size_t start) {
  std::vector<std::uint8_t> out;
  if (start >= in.size()) return out;
  std::uint32_t group = 0;
  int count = 0;
  std::size_t read = start;
  for (;;) {
    const int value = base64_value(in[read]);
    if (value >= 0) {
      group = group << 6 | static_cast<std::uint32_t>(value);
      if (++count == 4) {
        out.push_back(static_cast<std::uint8_t>(group >> 16));
        out.push_back(static_cast<std::uint8_t>(group >> 8));
        out.push_back(static_cast<std::uint8_t>(group));
        group = 0;
        count = 0;
      }
    }
    ++read;
    if (read == in.size() || in[read] == '=') break;
  }
  if (count == 2) out.push_back(static_cast<std::uint8_t>(group >> 4));
  if (count == 3) {
    out.push_back(static_cast<std::uint8_t>(group >> 10));
    out.push_back(static_cast<std::uint8_t>(group >> 2));
  }
  return out;
}

// One step per byte with an escape-pending flag, to the buffer's end.
std::vector<std::uint8_t> plain_quoted_printable(Bytes in, std::size_t start) {
  std::vector<std::uint8_t> out;
  bool pending = false;
  std::size_t read = start;
  while (read < in.size()) {
    const std::uint8_t c = in[read];
    if (!pending) {
      if (c == '=') {
        pending = true;
      } else {
        out.push_back(c);
      }
      ++read;
      continue;
    }
    pending = false;
    if (hex_value(c) >= 0 && read + 1 < in.size() && hex_value(in[read + 1]) >= 0) {
      out.push_back(static_cast<std::uint8_t>(16 * hex_value(c) + hex_value(in[read + 1])));
      read += 2;
    } else if (control_or_high(c)) {
      ++read;
      if (read < in.size() && control_or_high(in[read])) ++read;
    }
    // Any other byte is read again, as an ordinary byte or a new '='.
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* wanted = std::getenv("KESTROX_FUZZ_DECODER_PATH");
  if (wanted == nullptr) return 0;
  static constexpr std::string_view kNames[] = {"plain", "ssse3", "avx2", "avx512"};
  for (int level = 0; level < 4; ++level) {
    if (kNames[level] != wanted) continue;
    if (static_cast<kestrox::CpuLevel>(level) > kestrox::processor_level()) {
      std::fprintf(stderr, "decoder path %s: not on this processor\n", wanted);
      std::exit(0);
    }
    kestrox::limit_cpu_level(static_cast<kestrox::CpuLevel>(level));
    return 0;
  }
  std::fprintf(stderr, "unknown decoder path %s\n", wanted);
  std::exit(2);
}

// Input: which decoder (1), the start position (2), then the buffer.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool base64 = (data[0] & 1) == 0;
  const std::size_t raw_start = static_cast<std::size_t>(data[1] | data[2] << 8);
  data += 3;
  size -= 3;
  // Just past the end counts too: nothing is decoded there.
  const std::size_t start = raw_start % (size + 2);

  const Bytes original(data, size);
  const std::vector<std::uint8_t> decoded =
      base64 ? plain_base64(original, start) : plain_quoted_printable(original, start);
  std::vector<std::uint8_t> expected(original.begin(), original.end());
  std::copy(decoded.begin(), decoded.end(), expected.begin());

  // A read or write past the buffer's end is caught.
  kestrox::fuzz::ExactBlock block(data, size);
  const std::span<std::uint8_t> buffer = block.bytes();
  const std::size_t length = base64 ? kestrox::decode_base64_in_place(buffer, start)
                                    : kestrox::decode_quoted_printable_in_place(buffer, start);

  if (length != decoded.size()) {
    std::fprintf(stderr, "%s from %zu: length %zu, want %zu\n", base64 ? "base64" : "qp", start,
                 length, decoded.size());
    std::abort();
  }
  if (size != 0 && std::memcmp(buffer.data(), expected.data(), size) != 0) {
    std::size_t at = 0;
    while (buffer[at] == expected[at]) ++at;
    std::fprintf(stderr, "%s from %zu: byte %zu is %02X, want %02X (decoded length %zu)\n",
                 base64 ? "base64" : "qp", start, at, buffer[at], expected[at], length);
    std::abort();
  }
  return 0;
}
