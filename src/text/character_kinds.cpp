// The kinds of characters that the name gate and the console tell apart, from a generated table.
#include <algorithm>
#include <iterator>

#include "text/charsets.h"

namespace kestrox {

namespace {

// A run of code points of one kind: its first code point above the kind's three bits.
constexpr unsigned kKindBits = 3;
constexpr std::uint32_t run(char32_t first, CharacterKind kind) {
  return static_cast<std::uint32_t>(first) << kKindBits | static_cast<std::uint32_t>(kind);
}

using enum CharacterKind;
#include "text/character_kinds.inc"

// The well-formed character that ends right before `at`; length 0 where none does.
Utf8Character utf8_character_before(std::string_view text, std::size_t at) {
  for (std::size_t length = 1; length <= 4 && length <= at; ++length) {
    if ((static_cast<unsigned char>(text[at - length]) & 0xC0) != 0x80) {
      const Utf8Character c = utf8_character_at(text, at - length);
      return c.length == length ? c : Utf8Character{0, 0};
    }
  }
  return {0, 0};
}

bool is_letter(Utf8Character c) { return c.length != 0 && character_kind(c.code_point) == kLetter; }

}  // namespace

CharacterKind character_kind(char32_t code_point) {
  if (code_point > 0x10FFFF) return kShown;
  // The last run that starts at or before the code point; the first starts at 0.
  const std::uint32_t key = run(code_point, kLetter) | ((1u << kKindBits) - 1);
  const auto after =
      std::upper_bound(std::begin(kCharacterKindRuns), std::end(kCharacterKindRuns), key);
  return static_cast<CharacterKind>(*std::prev(after) & ((1u << kKindBits) - 1));
}

bool shows_nothing(std::string_view text, std::size_t at, Utf8Character c) {
  switch (character_kind(c.code_point)) {
    case kInvisible:
      return true;
    case kJoiner:
      return !is_letter(utf8_character_before(text, at)) ||
             !is_letter(utf8_character_at(text, at + c.length));
    default:
      return false;
  }
}

}  // namespace kestrox
