// The compressed RTF builder of the tests and fuzz seeds.
#include "support/rtf_builder.h"

namespace kestrox::testing {

namespace {

constexpr std::string_view kPrefix =
    "{\\rtf1\\ansi\\mac\\deff0\\deftab720{\\fonttbl;}{\\f0\\fnil \\froman \\fswiss \\fmodern "
    "\\fscript \\fdecor MS Sans SerifSymbolArialTimes New RomanCourier{\\colortbl\\red0\\green0"
    "\\blue0\r\n\\par \\pard\\plain\\f0\\fs20\\b\\i\\u\\tab\\tx";

void put_le32(ByteVector& out, std::uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// CRC-32 as [MS-OXRTFCP] computes it (polynomial 0xEDB88320, initial value 0, no final
// inversion), bit by bit: kept apart from the decompressor's own table-driven one.
std::uint32_t crc_of(std::span<const std::uint8_t> bytes) {
  std::uint32_t crc = 0;
  for (std::uint8_t byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ ((crc & 1) != 0 ? 0xEDB88320u : 0);
  }
  return crc;
}

}  // namespace

void CompressedRtfBuilder::token(bool is_reference) {
  if (tokens_in_group_ == 8) {
    control_at_ = data_.size();
    data_.push_back(0);  // control byte
    tokens_in_group_ = 0;
  }
  if (is_reference) data_[control_at_] |= static_cast<std::uint8_t>(1u << tokens_in_group_);
  ++tokens_in_group_;
}

CompressedRtfBuilder& CompressedRtfBuilder::literals(std::string_view text) {
  if (dictionary_.empty()) {
    dictionary_.assign(4096, '\0');
    dictionary_.replace(0, kPrefix.size(), kPrefix);
  }
  for (char byte : text) {
    token(false);
    data_.push_back(static_cast<std::uint8_t>(byte));
    dictionary_[write_] = byte;
    write_ = (write_ + 1) % 4096;
    text_ += byte;
  }
  return *this;
}

CompressedRtfBuilder& CompressedRtfBuilder::reference(std::uint16_t offset, std::uint8_t length) {
  if (dictionary_.empty()) literals("");
  token(true);
  data_.push_back(static_cast<std::uint8_t>(offset >> 4));  // offset, high 8 bits
  data_.push_back(static_cast<std::uint8_t>((offset & 0x0F) << 4 | (length - 2)));
  for (std::size_t i = 0; i < length; ++i) {
    const char byte = dictionary_[(offset + i) % 4096];
    dictionary_[write_] = byte;
    write_ = (write_ + 1) % 4096;
    text_ += byte;
  }
  return *this;
}

CompressedRtfBuilder& CompressedRtfBuilder::end() {
  token(true);
  data_.push_back(static_cast<std::uint8_t>(write_ >> 4));
  data_.push_back(static_cast<std::uint8_t>((write_ & 0x0F) << 4));
  return *this;
}

CompressedRtfBuilder& CompressedRtfBuilder::raw_size(std::uint32_t size) {
  raw_size_ = size;
  return *this;
}

CompressedRtfBuilder& CompressedRtfBuilder::compressed_size(std::uint32_t size) {
  compressed_size_ = size;
  return *this;
}

CompressedRtfBuilder& CompressedRtfBuilder::crc(std::uint32_t crc) {
  crc_ = crc;
  return *this;
}

ByteVector CompressedRtfBuilder::bytes() const {
  ByteVector out;
  put_le32(out, compressed_size_.value_or(static_cast<std::uint32_t>(12 + data_.size())));
  put_le32(out, raw_size_.value_or(static_cast<std::uint32_t>(text_.size())));  // RAWSIZE
  put_le32(out, 0x75465A4C);                                                    // "LZFu"
  put_le32(out, crc_.value_or(crc_of(data_)));                                  // CRC
  out.insert(out.end(), data_.begin(), data_.end());
  return out;
}

ByteVector stored_rtf(std::string_view text, std::optional<std::uint32_t> raw_size) {
  ByteVector out;
  put_le32(out, static_cast<std::uint32_t>(12 + text.size()));                // COMPSIZE
  put_le32(out, raw_size.value_or(static_cast<std::uint32_t>(text.size())));  // RAWSIZE
  put_le32(out, 0x414C454D);                                                  // "MELA"
  put_le32(out, 0);                                                           // CRC
  out.insert(out.end(), text.begin(), text.end());
  return out;
}

}  // namespace kestrox::testing
