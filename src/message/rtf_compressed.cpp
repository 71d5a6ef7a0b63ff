// Decompressing PR_RTF_COMPRESSED ([MS-OXRTFCP] 2.1.3 and 3.1).
#include "message/rtf_compressed.h"

#include <algorithm>
#include <array>
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

constexpr std::array<std::uint32_t, 256> make_crc_table() {
  std::array<std::uint32_t, 256> table{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t crc = i;
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    table[i] = crc;
  }
  return table;
}
constexpr std::array<std::uint32_t, 256> kCrcTable = make_crc_table();

// The LZ77 variant of [MS-OXRTFCP] 2.1.3.1: a control byte, then for each of its bits from the
// lowest a literal byte (0) or a 2-byte big-endian reference (1) of a 12-bit dictionary offset and
// a 4-bit length less 2. A reference to the write position itself ends the stream. Writes at most
// `out.size()` bytes into `out` and returns how many, and whether that end marker came.
struct Decompressed {
  std::size_t size = 0;
  bool ended = false;
};
Decompressed decompress(Bytes data, std::span<char> out) {
  std::array<char, kDictionarySize> dictionary{};  // bytes never written read as zeros
  std::copy(kDictionaryPrefix.begin(), kDictionaryPrefix.end(), dictionary.begin());
  std::size_t write = kDictionaryPrefix.size();
  std::size_t size = 0;

  Cursor cursor(data);
  while (const std::optional<std::uint8_t> control = cursor.read_u8()) {
    for (int bit = 0; bit < 8; ++bit) {
      if ((*control >> bit & 1) == 0) {
        const std::optional<std::uint8_t> literal = cursor.read_u8();
        if (!literal || size == out.size()) return {size, false};
        dictionary[write] = out[size++] = static_cast<char>(*literal);
        write = (write + 1) % kDictionarySize;
        continue;
      }
      const std::optional<std::uint16_t> reference = cursor.read_u16_be();
      if (!reference) return {size, false};
      const std::size_t offset = *reference >> 4;           // dictionary offset
      const std::size_t length = (*reference & 0x0Fu) + 2;  // length less 2
      if (offset == write) return {size, true};             // the end marker
      const std::size_t fits = std::min(length, out.size() - size);
      for (std::size_t i = 0; i < fits; ++i) {
        dictionary[write] = out[size++] = dictionary[(offset + i) % kDictionarySize];
        write = (write + 1) % kDictionarySize;
      }
      // Bytes past RAWSIZE: the stream is longer than its header says.
      if (fits < length) return {size, false};
    }
  }
  return {size, false};
}

}  // namespace

std::uint32_t rtf_crc32(Bytes bytes) {
  std::uint32_t crc = 0;
  for (std::uint8_t byte : bytes) crc = kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
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
  // RAWSIZE bytes at most, and never more than the data could give whatever RAWSIZE says.
  rtf.bytes.resize(std::min<std::size_t>(*raw_size, kLargestExpansion * data.size()));
  const Decompressed result = decompress(data, rtf.bytes);
  rtf.bytes.resize(result.size);
  rtf.damaged = damaged || !result.ended || result.size != *raw_size || rtf_crc32(data) != *crc;
  return rtf;
}

}  // namespace kestrox
