// Header lines of a MIME message as text: the Subject, unfolded and decoded (RFC 5322, RFC 2047).
#include "message/header.h"

#include <cstdint>
#include <optional>
#include <span>

#include "text/charsets.h"

namespace kestrox {

namespace {

constexpr std::uint32_t kWindows1252 = 1252;
// A header block longer than this is no header block of a mail message.
constexpr std::size_t kLongestHeaderBlock = 1 << 20;

bool is_space(char c) { return c == ' ' || c == '\t'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The bytes of an encoded word's text: "B" base64, "Q" quoted-printable with '_' for a space.
std::optional<std::string> word_bytes(char encoding, std::string_view text) {
  std::string bytes;
  if (encoding == 'B' || encoding == 'b') {
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : text) {
      if (c == '=') break;
      const int value = base64_value(c);
      if (value < 0) return std::nullopt;
      bits = bits << 6 | static_cast<std::uint32_t>(value);
      count += 6;
      if (count >= 8) {
        count -= 8;
        bytes += static_cast<char>((bits >> count) & 0xFF);
      }
    }
    return bytes;
  }
  if (encoding != 'Q' && encoding != 'q') return std::nullopt;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      bytes += ' ';
    } else if (text[i] == '=' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 &&
               hex_value(text[i + 2]) >= 0) {
      bytes += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

// Text outside encoded words: UTF-8 where it is, else Windows-1252, as mail programs read it.
void append_plain(std::string& into, std::string_view text) {
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  std::size_t at = 0;
  while (at < text.size() && utf8_character_at(text, at).length != 0) {
    at += utf8_character_at(text, at).length;
  }
  into += at == text.size() ? std::string(text) : utf8_from_code_page(bytes, kWindows1252);
}

}  // namespace

std::string decode_encoded_words(std::string_view text) {
  std::string decoded;
  std::size_t plain_from = 0;
  std::size_t at = 0;
  bool after_word = false;
  while ((at = text.find("=?", at)) != std::string_view::npos) {
    // =?charset?encoding?text?=
    const std::size_t charset_end = text.find('?', at + 2);
    if (charset_end == std::string_view::npos || charset_end + 2 >= text.size() ||
        text[charset_end + 2] != '?') {
      at += 2;
      continue;
    }
    const std::size_t word_end = text.find("?=", charset_end + 3);
    if (word_end == std::string_view::npos) break;
    std::string_view charset = text.substr(at + 2, charset_end - at - 2);
    // RFC 2231 lets a language follow the charset: "utf-8*en".
    charset = charset.substr(0, charset.find('*'));
    const std::optional<std::string> bytes =
        word_bytes(text[charset_end + 1], text.substr(charset_end + 3, word_end - charset_end - 3));
    if (!bytes) {
      at += 2;
      continue;
    }
    // Only white space between two encoded words: it goes.
    const std::string_view between = text.substr(plain_from, at - plain_from);
    bool blank = after_word;
    for (const char c : between) blank = blank && (is_space(c) || c == '\r' || c == '\n');
    if (!blank) append_plain(decoded, between);
    const std::uint32_t code_page = code_page_of_charset(charset);
    const auto word =
        std::span(reinterpret_cast<const std::uint8_t*>(bytes->data()), bytes->size());
    decoded += utf8_from_code_page(word, code_page != 0 ? code_page : kWindows1252);
    at = plain_from = word_end + 2;
    after_word = true;
  }
  append_plain(decoded, text.substr(plain_from));
  return decoded;
}

std::string mime_subject(Bytes message) {
  const std::string_view text(
      reinterpret_cast<const char*>(message.data()),
      message.size() < kLongestHeaderBlock ? message.size() : kLongestHeaderBlock);
  std::size_t line = 0;
  while (line < text.size()) {
    std::size_t end = text.find('\n', line);
    if (end == std::string_view::npos) end = text.size();
    std::string_view current = text.substr(line, end - line);
    if (!current.empty() && current.back() == '\r') current.remove_suffix(1);
    if (current.empty()) break;  // the end of the header block
    if (starts_without_case(current, "subject:")) {
      // The value, with its continuation lines unfolded.
      std::string value(current.substr(8));
      std::size_t next = end + 1;
      while (next < text.size() && is_space(text[next])) {
        std::size_t next_end = text.find('\n', next);
        if (next_end == std::string_view::npos) next_end = text.size();
        std::string_view continued = text.substr(next, next_end - next);
        if (!continued.empty() && continued.back() == '\r') continued.remove_suffix(1);
        value += continued;
        next = next_end + 1;
      }
      std::string decoded = decode_encoded_words(value);
      const std::size_t first = decoded.find_first_not_of(" \t");
      const std::size_t last = decoded.find_last_not_of(" \t");
      return first == std::string::npos ? std::string() : decoded.substr(first, last - first + 1);
    }
    line = end + 1;
  }
  return {};
}

}  // namespace kestrox
