// Builds PR_RTF_COMPRESSED values token by token: control bytes, literals, references, the end.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "support/tnef_builder.h"

namespace kestrox::testing {

// A compressed RTF stream ([MS-OXRTFCP]): literal bytes and dictionary references, eight to a
// control byte, then the header in front. The builder tracks the dictionary's write position, so
// end() writes the reference that ends the stream.
class CompressedRtfBuilder {
 public:
  // Each byte as a literal.
  CompressedRtfBuilder& literals(std::string_view text);
  // A reference to `length` (2-17) bytes at dictionary offset `offset` (0-4095).
  CompressedRtfBuilder& reference(std::uint16_t offset, std::uint8_t length);
  // The end marker: a reference to the write position.
  CompressedRtfBuilder& end();

  // The header fields, where a case wants them to lie; by default they are what the data says.
  CompressedRtfBuilder& raw_size(std::uint32_t size);
  CompressedRtfBuilder& compressed_size(std::uint32_t size);
  CompressedRtfBuilder& crc(std::uint32_t crc);

  // The whole value: COMPSIZE, RAWSIZE, "LZFu", CRC, then the data.
  ByteVector bytes() const;
  // The bytes it decompresses to, as far as the tokens go.
  const std::string& text() const { return text_; }

 private:
  void token(bool is_reference);

  ByteVector data_;
  std::size_t control_at_ = 0;
  int tokens_in_group_ = 8;
  std::size_t write_ = 207;
  std::string dictionary_;
  std::string text_;
  std::optional<std::uint32_t> raw_size_, compressed_size_, crc_;
};

// A stored stream: COMPSIZE, RAWSIZE, "MELA", a CRC of 0, then `text` as it is.
ByteVector stored_rtf(std::string_view text, std::optional<std::uint32_t> raw_size = {});

}  // namespace kestrox::testing
