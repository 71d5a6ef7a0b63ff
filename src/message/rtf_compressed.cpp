// Decompressing PR_RTF_COMPRESSED ([MS-OXRTFCP] 2.1.3 and 3.1).
#include "message/rtf_compressed.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <string_view>

#include "message/cursor.h"

namespace kestrox {

namespace {

constexpr std::uint32_t kCompressed = 0x75465A4C;    // "LZFu"
constexpr std::uint32_t kUncompressed = 0x414C454D;  // "MELA"
// COMPSIZE counts the bytes after its own field: RAWSIZE, COMPTYPE, CRC and the data.
constexpr std::size_t kCountedHeader = 12;

// What every compressed stream's dictionary starts with, so that its first words can be
// references too.
constexpr std::string_view kDictionaryPrefix =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";
static_assert(kDictionaryPrefix.size() == 207);
constexpr std::size_t kDictionarySize = 4096;
// A reference is 2 bytes that give at most 17 (a 4-bit length plus 2), so no stream gives more
// than this many bytes for each of its own.
constexpr std::size_t kLargestExpansion = 9;

// The CRC's tables for eight bytes a step (slicing by 8): table k gives a byte's effect k bytes
// further on.
constexpr std::array<std::array<std::uint32_t, 256>, 8> make_crc_tables() {
  std::array<std::array<std::uint32_t, 256>, 8> tables{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    tables[0][i] = crc;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t i = 0; i < 256; ++i) {
      tables[k][i] = (tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF];
    }
  }
  return tables;
}
constexpr std::array<std::array<std::uint32_t, 256>, 8> kCrcTables = make_crc_tables();

// The LZ77 variant of [MS-OXRTFCP] 2.1.3.1: a control byte, then for each of its bits from the
// lowest a literal byte (0) or a 2-byte big-endian reference (1) of a 12-bit dictionary offset and
// a 4-bit length less 2. A reference to the write position itself ends the stream.
//
// The dictionary is never kept apart: it is the last 4096 bytes written, so `out` holds in front
// of the output what the dictionary starts as (zeros, then the prefix at its offset 0, which the
// output follows at offset 207), and a reference reads back from the output itself. Writes at most
// `capacity` bytes after the kHistory bytes in front and returns how many, and whether that end
// marker came.
constexpr std::size_t kHistory = kDictionarySize;
constexpr std::size_t kLongestReference = 17;

struct Decompressed {
  std::size_t size = 0;
  bool ended = false;
};
Decompressed decompress(Bytes data, char* out, std::size_t capacity) {
  // What the dictionary holds at first, as if written just before the output: the bytes at its
  // offsets 207 to 4095 (zeros) and then those at 0 to 206 (the prefix).
  std::fill(out, out + kHistory - kDictionaryPrefix.size(), '\0');
  std::copy(kDictionaryPrefix.begin(), kDictionaryPrefix.end(),
            out + kHistory - kDictionaryPrefix.size());
  char* const begin = out + kHistory;
  char* const end = begin + capacity;
  char* write = begin;
  const std::uint8_t* in = data.data();
  const std::uint8_t* const in_end = in + data.size();
  // The dictionary offset of the write position: the prefix's 207 bytes came first.
  auto offset_of = [&](const char* at) {
    return static_cast<std::size_t>(at - begin + kDictionaryPrefix.size()) % kDictionarySize;
  };
  while (in != in_end) {
    const std::uint8_t control = *in++;
    // Eight literals, the most common group in text, in one copy where they fit.
    if (control == 0 && in_end - in >= 8 && end - write >= 8) {
      std::memcpy(write, in, 8);
      write += 8;
      in += 8;
      continue;
    }
    for (int bit = 0; bit < 8; ++bit) {
      if ((control >> bit & 1) == 0) {
        if (in == in_end || write == end) return {static_cast<std::size_t>(write - begin), false};
        *write++ = static_cast<char>(*in++);
        continue;
      }
      if (in_end - in < 2) return {static_cast<std::size_t>(write - begin), false};
      const std::size_t reference = std::size_t{in[0]} << 8 | in[1];  // big-endian
      in += 2;
      const std::size_t offset = reference >> 4;           // dictionary offset
      const std::size_t length = (reference & 0x0Fu) + 2;  // length less 2
      const std::size_t here = offset_of(write);
      if (offset == here) return {static_cast<std::size_t>(write - begin), true};  // the end
      // The last byte written at that offset lies this far back, at most the whole dictionary.
      const std::size_t back = (here + kDictionarySize - offset) % kDictionarySize;
      const char* from = write - back;
      // Where it reads none of what it writes and there is room, in one copy of the longest
      // length (the bytes past this one's length are written again by what follows).
      if (back >= kLongestReference && static_cast<std::size_t>(end - write) >= kLongestReference) {
        std::memcpy(write, from, kLongestReference);
        write += length;
        continue;
      }
      const std::size_t fits = std::min(length, static_cast<std::size_t>(end - write));
      // A reference may read what it writes itself: byte by byte, as the dictionary would.
      for (std::size_t i = 0; i < fits; ++i) *write++ = *from++;
      // Bytes past RAWSIZE: the stream is longer than its header says.
      if (fits < length) return {static_cast<std::size_t>(write - begin), false};
    }
  }
  return {static_cast<std::size_t>(write - begin), false};
}

}  // namespace

std::uint32_t rtf_crc32(Bytes bytes) {
  const auto& t = kCrcTables;
  std::uint32_t crc = 0;
  std::size_t at = 0;
  for (; bytes.size() - at >= 8; at += 8) {
    const std::uint32_t low =
        crc ^ (std::uint32_t{bytes[at]} | std::uint32_t{bytes[at + 1]} << 8 |
               std::uint32_t{bytes[at + 2]} << 16 | std::uint32_t{bytes[at + 3]} << 24);
    crc = t[7][low & 0xFF] ^ t[6][low >> 8 & 0xFF] ^ t[5][low >> 16 & 0xFF] ^ t[4][low >> 24] ^
          t[3][bytes[at + 4]] ^ t[2][bytes[at + 5]] ^ t[1][bytes[at + 6]] ^ t[0][bytes[at + 7]];
  }
  for (; at < bytes.size(); ++at) crc = t[0][(crc ^ bytes[at]) & 0xFF] ^ (crc >> 8);
  return crc;
}

std::optional<DecompressedRtf> decompress_rtf(Bytes value) {
  Cursor header(value);
  const std::optional<std::uint32_t> compressed_size = header.read_u32_le();  // COMPSIZE
  const std::optional<std::uint32_t> raw_size = header.read_u32_le();         // RAWSIZE
  const std::optional<std::uint32_t> kind = header.read_u32_le();             // COMPTYPE
  const std::optional<std::uint32_t> crc = header.read_u32_le();              // CRC
  if (!crc || (*kind != kCompressed && *kind != kUncompressed)) return std::nullopt;

  // The data runs for COMPSIZE less the counted header, or to the value's end where that is
  // shorter: a COMPSIZE larger than the value is a stream cut short.
  Bytes data = header.rest();
  bool damaged = *compressed_size < kCountedHeader;
  if (!damaged && *compressed_size - kCountedHeader <= data.size()) {
    data = data.first(*compressed_size - kCountedHeader);
  } else {
    damaged = true;
  }

  DecompressedRtf rtf;
  if (*kind == kUncompressed) {
    // Stored as it is; its CRC field is 0 and not checked.
    const std::size_t size = std::min<std::size_t>(*raw_size, data.size());
    rtf.bytes.assign(reinterpret_cast<const char*>(data.data()), size);
    rtf.damaged = damaged || size < *raw_size;
    return rtf;
  }
  // RAWSIZE bytes at most, and never more than the data could give whatever RAWSIZE says; the
  // dictionary's first state in front of them.
  const std::size_t capacity = std::min<std::size_t>(*raw_size, kLargestExpansion * data.size());
  rtf.bytes.resize(kHistory + capacity);
  const Decompressed result = decompress(data, rtf.bytes.data(), capacity);
  rtf.bytes.erase(0, kHistory);
  rtf.bytes.resize(result.size);
  rtf.damaged = damaged || !result.ended || result.size != *raw_size || rtf_crc32(data) != *crc;
  return rtf;
}

}  // namespace kestrox
