// Text as the sender wrote it: UTF-16LE and Windows code pages decoded to UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrox {

// UTF-16LE code units to UTF-8. Surrogate pairs are joined; a lone surrogate becomes U+FFFD. An
// odd last byte is ignored. Decoding stops at the first NUL unit (the terminator).
std::string utf8_from_utf16le(std::span<const std::uint8_t> units);

// 8-bit text in a Windows code page to UTF-8. Stops at the first NUL byte. A byte the code page
// does not map becomes '_', and so does a double-byte character that it does not map; a lead
// byte followed by no trail byte becomes '_' alone, and the byte after it is decoded on its own.
// A code page that is not known is taken as Windows-1252; 65001 is UTF-8, each byte of an
// ill-formed sequence becoming '_'.
std::string utf8_from_code_page(std::span<const std::uint8_t> bytes, std::uint32_t code_page);
bool is_known_code_page(std::uint32_t code_page);

// The name by which HTML and MIME declare text in this Windows code page ("windows-1251",
// "iso-8859-1", "utf-8", ...), or an empty view for a code page without one.
std::string_view charset_name(std::uint32_t code_page);

// The code point of the well-formed UTF-8 character at `at` and its length in bytes (1 for
// ASCII, NUL included); length 0 when no well-formed character begins there (no overlong form,
// no surrogate, nothing above U+10FFFF, not cut short by the end) or `at` is past the end.
struct Utf8Character {
  char32_t code_point;
  std::size_t length;
};
Utf8Character utf8_character_at(std::string_view text, std::size_t at);

// Characters that show nothing yet change how text around them is shown or read: the C1
// controls, the zero-width and direction marks (U+200B-U+200F), the direction embeddings and
// overrides (U+202A-U+202E), the isolates (U+2066-U+2069) and the byte order mark (U+FEFF).
// "invoice" U+202E "fdp.exe" shows as "invoiceexe.pdf".
constexpr bool is_invisible_control(char32_t c) {
  return (c >= 0x80 && c <= 0x9F) || (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069) || c == 0xFEFF;
}

// Appends the code point as UTF-8; a surrogate or a value above U+10FFFF is appended as U+FFFD.
void append_utf8(std::string& into, char32_t code_point);

}  // namespace kestrox
