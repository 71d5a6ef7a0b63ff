// Reference MIME encoders and a plain base64 decoder for the tests.
#include "support/mime_builder.h"

#include <array>

namespace kestrox::testing {

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kHexDigits = "0123456789ABCDEF";
constexpr std::size_t kLineLength = 76;

}  // namespace

std::string base64_lines(std::span<const std::uint8_t> bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t left = bytes.size() - i;
    const std::uint32_t b0 = bytes[i];
    const std::uint32_t b1 = left > 1 ? bytes[i + 1] : 0;
    const std::uint32_t b2 = left > 2 ? bytes[i + 2] : 0;
    const std::uint32_t bits = b0 << 16 | b1 << 8 | b2;
    text += kAlphabet[bits >> 18 & 63];
    text += kAlphabet[bits >> 12 & 63];
    text += left > 1 ? kAlphabet[bits >> 6 & 63] : '=';
    text += left > 2 ? kAlphabet[bits & 63] : '=';
  }
  std::string lines;
  for (std::size_t i = 0; i < text.size(); i += kLineLength) {
    lines += text.substr(i, kLineLength);
    lines += "\r\n";
  }
  return lines;
}

std::string quoted_printable_lines(std::span<const std::uint8_t> bytes) {
  std::string lines;
  std::size_t column = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::uint8_t byte = bytes[i];
    const bool last = i + 1 == bytes.size();
    const bool literal = (byte > 0x20 && byte < 0x7F && byte != '=') || (byte == ' ' && !last);
    const std::size_t width = literal ? 1 : 3;
    // Room for the '=' of a soft line break must stay on every line that is cut.
    if (column + width > kLineLength - 1) {
      lines += "=\r\n";
      column = 0;
    }
    if (literal) {
      lines += static_cast<char>(byte);
    } else {
      lines += '=';
      lines += kHexDigits[byte >> 4];
      lines += kHexDigits[byte & 15];
    }
    column += width;
  }
  lines += "\r\n";
  return lines;
}

std::string mime_message(std::span<const std::uint8_t> tnef, TransferEncoding encoding,
                         std::string_view boundary) {
  const std::string b(boundary);
  const bool base64 = encoding == TransferEncoding::kBase64;
  std::string message =
      "From: \"Sender\" <sender@example.com>\r\n"
      "To: <recipient@example.com>\r\n"
      "Subject: Quarterly figures\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed;\r\n"
      "\tboundary=\"" +
      b +
      "\"\r\n"
      "\r\n"
      "This is a multi-part message in MIME format.\r\n"
      "\r\n"
      "--" +
      b +
      "\r\n"
      "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "\r\n"
      "The figures are attached.\r\n"
      "\r\n"
      "--" +
      b +
      "\r\n"
      "Content-Type: application/ms-tnef;\r\n"
      "\tname=\"winmail.dat\"\r\n";
  message += base64 ? "Content-Transfer-Encoding: base64\r\n"
                    : "Content-Transfer-Encoding: quoted-printable\r\n";
  message +=
      "Content-Disposition: attachment;\r\n"
      "\tfilename=\"winmail.dat\"\r\n"
      "\r\n";
  message += base64 ? base64_lines(tnef) : quoted_printable_lines(tnef);
  message += "\r\n--" + b + "--\r\n";
  return message;
}

std::vector<std::uint8_t> decode_base64_text(std::string_view text) {
  std::vector<std::uint8_t> bytes;
  std::uint32_t bits = 0;
  int count = 0;
  for (const char c : text) {
    if (c == '=') break;
    const int value = base64_value(static_cast<unsigned char>(c));
    if (value < 0) continue;
    bits = bits << 6 | static_cast<std::uint32_t>(value);
    if (++count == 4) {
      bytes.push_back(static_cast<std::uint8_t>(bits >> 16));
      bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
      bytes.push_back(static_cast<std::uint8_t>(bits));
      bits = 0;
      count = 0;
    }
  }
  if (count == 2) {
    bytes.push_back(static_cast<std::uint8_t>(bits >> 4));
  } else if (count == 3) {
    bytes.push_back(static_cast<std::uint8_t>(bits >> 10));
    bytes.push_back(static_cast<std::uint8_t>(bits >> 2));
  }
  return bytes;
}

}  // namespace kestrox::testing
