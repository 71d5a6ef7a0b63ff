// Every fixed byte sequence the program looks for, named after the format's own names.
#pragma once

#include <cstdint>
#include <span>

namespace kestrox {

using Pattern = std::span<const std::uint8_t>;

namespace detail {
template <std::size_t N>
struct Bytes {
  std::uint8_t data[N];
};
template <std::size_t N>
constexpr Bytes<N - 1> text(const char (&chars)[N]) {
  Bytes<N - 1> bytes{};
  for (std::size_t i = 0; i + 1 < N; ++i) bytes.data[i] = static_cast<std::uint8_t>(chars[i]);
  return bytes;
}
}  // namespace detail

// TNEF signature 0x223E9F78, least significant byte first.
inline constexpr std::uint8_t kTnefSignature[] = {0x78, 0x9F, 0x3E, 0x22};

// Attribute records: level 2 (attachment), then the attribute ID and type, little-endian.
inline constexpr std::uint8_t kAttAttachData[] = {0x02, 0x0F, 0x80, 0x06, 0x00};   // atpByte
inline constexpr std::uint8_t kAttAttachTitle[] = {0x02, 0x10, 0x80, 0x01, 0x00};  // atpString
// The attachment's MAPI property list (atpByte), and the message's code page (level 1, atpByte).
inline constexpr std::uint8_t kAttAttachment[] = {0x02, 0x05, 0x90, 0x06, 0x00};
inline constexpr std::uint8_t kAttOemCodepage[] = {0x01, 0x07, 0x90, 0x06, 0x00};

// MAPI name properties: type, ID, and the first two bytes of a value count of 1.
inline constexpr std::uint8_t kPtString8DisplayName[] = {0x1E, 0x00, 0x01, 0x30, 0x01, 0x00};
inline constexpr std::uint8_t kPtString8AttachLongFilename[] = {0x1E, 0x00, 0x07,
                                                                0x37, 0x01, 0x00};
inline constexpr std::uint8_t kPtUnicodeDisplayName[] = {0x1F, 0x00, 0x01, 0x30, 0x01, 0x00};
inline constexpr std::uint8_t kPtUnicodeAttachLongFilename[] = {0x1F, 0x00, 0x07,
                                                                0x37, 0x01, 0x00};
// MAPI attachment contents: the file itself (PT_BINARY), or an object (PT_OBJECT) whose value
// opens with the 16-byte identifier of its interface.
inline constexpr std::uint8_t kPtBinaryAttachDataBin[] = {0x02, 0x01, 0x01, 0x37, 0x01, 0x00};
inline constexpr std::uint8_t kPtObjectAttachDataObj[] = {0x0D, 0x00, 0x01, 0x37, 0x01, 0x00};
inline constexpr std::size_t kObjectInterfaceSize = 16;

// MIME: the two transfer-encoding headers and the encoded forms of the TNEF signature.
inline constexpr auto kBase64HeaderBytes = detail::text("Content-Transfer-Encoding: base64");
inline constexpr auto kQuotedPrintableHeaderBytes =
    detail::text("Content-Transfer-Encoding: quoted-printable");
inline constexpr auto kBase64SignatureBytes = detail::text("eJ8+I");
inline constexpr auto kQuotedPrintableSignatureBytes = detail::text("x=9F>");

inline constexpr Pattern kBase64Header{kBase64HeaderBytes.data};
inline constexpr Pattern kQuotedPrintableHeader{kQuotedPrintableHeaderBytes.data};
inline constexpr Pattern kBase64Signature{kBase64SignatureBytes.data};
inline constexpr Pattern kQuotedPrintableSignature{kQuotedPrintableSignatureBytes.data};

// Offsets within an attribute record: level (1), ID (2), type (2), length (4), value.
inline constexpr std::size_t kRecordLengthOffset = 5;
inline constexpr std::size_t kRecordValueOffset = 9;
// Offsets within a MAPI property: type (2), ID (2), value count (4), value length (4), value.
inline constexpr std::size_t kPropertyLengthOffset = 8;
inline constexpr std::size_t kPropertyValueOffset = 12;

}  // namespace kestrox
