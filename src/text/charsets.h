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
// The code page a charset label names (any case: "UTF-8", "iso-8859-1", "Windows-1251"), or 0.
std::uint32_t code_page_of_charset(std::string_view label);

// The code point of the well-formed UTF-8 character at `at` and its length in bytes (1 for
// ASCII, NUL included); length 0 when no well-formed character begins there (no overlong form,
// no surrogate, nothing above U+10FFFF, not cut short by the end) or `at` is past the end.
struct Utf8Character {
  char32_t code_point;
  std::size_t length;
};
Utf8Character utf8_character_at(std::string_view text, std::size_t at);

// What a character shows, as the name gate and the console tell characters apart. The table is
// generated from the Unicode Character Database by tools/make_character_kinds.py.
enum class CharacterKind : std::uint8_t {
  kShown,      // shown as itself
  kInvisible,  // shows nothing: Cc, Cf, Zl, Zp, Cs and Default_Ignorable_Code_Point
  kSpace,      // a space other than U+0020 (Zs): U+00A0, U+3000, ...
  kJoiner,     // U+200C and U+200D: shows nothing, but joins two letters
  kLetter,     // L*, M*, Extended_Pictographic and Emoji_Modifier: what a joiner may join
};
CharacterKind character_kind(char32_t code_point);

// True when the well-formed character `c` at `at` of UTF-8 text shows nothing yet changes how
// the text around it reads: one of the kInvisible kind ("invoice" U+202E "fdp.exe" shows as
// "invoiceexe.pdf", a row of tag characters as no name at all), or a joiner that does not stand
// between two letters (Persian, Indic and emoji names need those).
bool shows_nothing(std::string_view text, std::size_t at, Utf8Character c);

// Texts compared with ASCII letters in either case alike ("SMTP" and "smtp", "UTF-8" and "utf-8").
bool same_without_case(std::string_view a, std::string_view b);
bool starts_without_case(std::string_view text, std::string_view prefix);

// `text` cut to at most `limit` bytes without splitting a UTF-8 character.
std::string cut_at_character(std::string text, std::size_t limit);

// Appends the code point as UTF-8; a surrogate or a value above U+10FFFF is appended as U+FFFD.
void append_utf8(std::string& into, char32_t code_point);

}  // namespace kestrox
