// MIME wrappers for test inputs: plain base64 and quoted-printable encoders that lay a TNEF stream
// into a whole message, and a plain base64 decoder to cut such a stream out of a real message.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kestrox::testing {

// base64 in lines of 76 characters, each ended by CR LF (the last line too), padded with '='.
std::string base64_lines(std::span<const std::uint8_t> bytes);

// quoted-printable in lines of at most 76 characters: a line cut inside the data ends in a soft
// line break "=\r\n", and an escape is never cut. Every byte outside printable ASCII, and '='
// itself, is written as "=XX" in capital hex; a space that ends the data is escaped too. The
// last line ends in CR LF.
std::string quoted_printable_lines(std::span<const std::uint8_t> bytes);

enum class TransferEncoding { kBase64, kQuotedPrintable };

inline constexpr std::string_view kDefaultBoundary = "----=_NextPart_000_0001_01D02F19.EC1F3360";

// A whole message: top-level headers, a short text part, the winmail.dat part holding `tnef` in
// the given encoding (with "Content-Transfer-Encoding: base64" or "...: quoted-printable"), then
// the closing boundary. Lines end in CR LF. A quoted-printable message names no other encoding,
// so nothing in it reads as a base64 header.
std::string mime_message(std::span<const std::uint8_t> tnef, TransferEncoding encoding,
                         std::string_view boundary = kDefaultBoundary);

// The value of a base64 character (A-Z 0-25, a-z 26-51, 0-9 52-61, '+' 62, '/' 63), or -1:
// the plain reference that the tests and fuzz targets hold the decoder to.
constexpr int base64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Plain base64 decoding of a part's body: characters outside the alphabet are passed over, the
// first '=' ends the data, and a final group of two or three characters gives one or two bytes.
std::vector<std::uint8_t> decode_base64_text(std::string_view text);

inline std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace kestrox::testing
