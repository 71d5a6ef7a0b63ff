// Names decoded to UTF-8: each code page on a word of its script, UTF-16 with its surrogates, the
// UTF-8 validation, and random bytes that end at an unreadable page.
#include "text/charsets.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "support/guarded_buffer.h"

namespace kestrox {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

struct CodePageRow {
  std::uint32_t code_page;
  std::string_view bytes;
  std::string_view expected;
};

TEST(Charsets, CodePages) {
  using namespace std::string_view_literals;
  const CodePageRow rows[] = {
      {1250, "Za\xBF\xF3\xB3\xE6 g\xEA\x9Cl\xB9 ja\x9F\xF1", "Zażółć gęślą jaźń"},
      {1250, "P\xF8\xEDli\x9A \x9Elu\x9Dou\xE8k\xFD k\xF9\xF2", "Příliš žluťoučký kůň"},
      {1251, "\xCE\xF2\xF7\xE5\xF2.docx", "Отчет.docx"},
      {1252, "M\xFCller Stra\xDF\x65 \x80.pdf", "Müller Straße €.pdf"},
      {1253, "\xB8\xEA\xE8\xE5\xF3\xE7", "Έκθεση"},
      {1254, "\xDDstanbul \xFE\xFD\xF0", "İstanbul şığ"},
      {1255, "\xE3\xE5\xE7", "דוח"},
      {1256, "\xCA\xDE\xD1\xED\xD1", "تقرير"},
      {1257, "\xC0\xFEuolas", "Ąžuolas"},
      {1258, "Vi\xEA\xF2t", "Vi\xC3\xAA\xCC\xA3t"},  // a combining dot below, as written
      {874, "\xC3\xD2\xC2\xA7\xD2\xB9", "รายงาน"},
      {932, "\x95\xF1\x8D\x90\x8F\x91\xB6\xC5.pdf", "報告書ｶﾅ.pdf"},
      {936, "\xB1\xA8\xB8\xE6.pdf", "报告.pdf"},
      {936, "\x80", "€"},
      {949, "\xBA\xB8\xB0\xED\xBC\xAD \x8C\x63.hwp", "보고서 똠.hwp"},
      {950, "\xB3\xF8\xA7i.doc", "報告.doc"},
      {20127, "caf\xE9", "caf_"},
      {28591, "caf\xE9", "café"},
      {65001, "Gr\xC3\xBC\xC3", "Grü_"},        // cut short at the end
      {65001, "\xE2\x82x \xC0\xAF", "__x __"},  // cut short, overlong
      {12345, "\x80", "€"},                     // unknown: Windows-1252
      {1252, "a\x81\x8D\x62", "a__b"},          // unmapped
      {1253, "\xAA", "_"},
      {1251, "\xC0\0\xC1"sv, "А"},  // the terminator
      {936, "a\xB1", "a_"},         // a lead byte at the end
      {932, "\x82.txt", "_.txt"},   // a lead byte before no trail byte
      {932, "\x82\0x"sv, "_"},
      {932, "\x85\x40\x61", "_a"},  // an unmapped pair is one character
  };
  for (const CodePageRow& row : rows) {
    EXPECT_EQ(utf8_from_code_page(bytes_of(row.bytes), row.code_page), row.expected)
        << row.code_page << " " << row.expected;
  }
  EXPECT_TRUE(is_known_code_page(932));
  EXPECT_TRUE(is_known_code_page(65001));
  EXPECT_FALSE(is_known_code_page(12345));
}

TEST(Charsets, Utf16) {
  using namespace std::string_view_literals;
  const std::pair<std::string_view, std::string_view> rows[] = {
      {"A\0B\0"sv, "AB"},
      {"\x1E\x04\x31\x04"sv, "Об"},
      {"\xA5\x62\x4A\x54"sv, "报告"},
      {"\x3D\xD8\x00\xDE"sv, "😀"},
      {"\x3D\xD8"
       "A\0"sv,
       "\uFFFDA"},  // a high surrogate alone
      {"A\0\x3D\xD8"sv, "A\uFFFD"},
      {"\x00\xDE"
       "A\0"sv,
       "\uFFFDA"},      // a low surrogate alone
      {"A\0B"sv, "A"},  // an odd last byte
      {"A\0\0\0B\0"sv, "A"},
  };
  for (const auto& [units, expected] : rows) {
    EXPECT_EQ(utf8_from_utf16le(bytes_of(units)), expected) << expected;
  }
}

TEST(Charsets, Utf8Characters) {
  const struct {
    std::string_view text;
    std::size_t at;
    char32_t code_point;
    std::size_t length;
  } rows[] = {
      {"A", 0, 'A', 1},
      {"a\xE2\x82\xAC", 1, 0x20AC, 3},
      {"\xC3\xA9", 0, 0xE9, 2},
      {"\xF0\x9F\x98\x80", 0, 0x1F600, 4},
      {"\xF4\x8F\xBF\xBF", 0, 0x10FFFF, 4},
      {"\xC0\xAF", 0, 0, 0},
      {"\xE0\x80\xAF", 0, 0, 0},  // overlong
      {"\xF0\x8F\xBF\xBF", 0, 0, 0},
      {"\xED\xA0\x80", 0, 0, 0},      // a surrogate
      {"\xF4\x90\x80\x80", 0, 0, 0},  // above U+10FFFF
      {"\xE2\x82", 0, 0, 0},
      {"\x80", 0, 0, 0},  // cut short; no lead
      {"A", 1, 0, 0},
  };
  for (const auto& row : rows) {
    const Utf8Character character = utf8_character_at(row.text, row.at);
    EXPECT_EQ(character.length, row.length) << row.text;
    EXPECT_EQ(character.code_point, row.code_point) << row.text;
  }
  for (char32_t code_point : {0x7FU, 0x80U, 0x7FFU, 0x800U, 0xFFFFU, 0x10000U, 0x10FFFFU}) {
    std::string text;
    append_utf8(text, code_point);
    EXPECT_EQ(utf8_character_at(text, 0).code_point, code_point);
    EXPECT_EQ(utf8_character_at(text, 0).length, text.size());
  }
  for (char32_t bad : {0xD800U, 0xDFFFU, 0x110000U}) {
    std::string text;
    append_utf8(text, bad);
    EXPECT_EQ(text, "\uFFFD");
  }
}

TEST(Charsets, CharacterKinds) {
  // The ends of each run that the gate must get right, from the Unicode Character Database.
  using enum CharacterKind;
  const std::pair<char32_t, CharacterKind> rows[] = {
      {0x00, kInvisible},    {0x1F, kInvisible},    {0x20, kShown},        {'0', kShown},
      {'a', kLetter},        {0x7F, kInvisible},    {0x80, kInvisible},    {0x9F, kInvisible},
      {0xA0, kSpace},        {0xA9, kLetter},       {0xAD, kInvisible},    {0x034F, kInvisible},
      {0x061C, kInvisible},  {0x0645, kLetter},     {0x094D, kLetter},     {0x115F, kInvisible},
      {0x180E, kInvisible},  {0x2000, kSpace},      {0x200A, kSpace},      {0x200B, kInvisible},
      {0x200C, kJoiner},     {0x200D, kJoiner},     {0x200E, kInvisible},  {0x2028, kInvisible},
      {0x2029, kInvisible},  {0x202A, kInvisible},  {0x202E, kInvisible},  {0x202F, kSpace},
      {0x2060, kInvisible},  {0x2065, kInvisible},  {0x206F, kInvisible},  {0x2070, kShown},
      {0x3000, kSpace},      {0x3164, kInvisible},  {0xD800, kInvisible},  {0xDFFF, kInvisible},
      {0xE000, kShown},      {0xFE00, kLetter},     {0xFE0F, kLetter},     {0xFEFF, kInvisible},
      {0xFFA0, kInvisible},  {0xFFF9, kInvisible},  {0xFFFB, kInvisible},  {0xFFFC, kShown},
      {0x1F3FD, kLetter},    {0x1F469, kLetter},    {0x1BCA0, kInvisible}, {0xE0000, kInvisible},
      {0xE0041, kInvisible}, {0xE007F, kInvisible}, {0xE0100, kInvisible}, {0xE0FFF, kInvisible},
      {0xE1000, kShown},     {0x10FFFF, kShown},    {0x110000, kShown},
  };
  for (const auto& [code_point, kind] : rows) {
    EXPECT_EQ(character_kind(code_point), kind)
        << std::hex << static_cast<std::uint32_t>(code_point);
  }
}

// Random bytes right before an unreadable page, many ending in a lead byte: the decoders read
// nothing past the end and give well-formed UTF-8 without NUL.
TEST(CharsetsCorruption, RandomBytesEndingAtAGuardPage) {
  std::mt19937 random(17);
  for (std::uint32_t code_page : {874U, 932U, 936U, 949U, 950U, 1250U, 1251U, 1252U, 1253U, 1254U,
                                  1255U, 1256U, 1257U, 1258U, 20127U, 28591U, 65001U, 7U}) {
    for (int round = 0; round < 300; ++round) {
      std::vector<std::uint8_t> bytes(random() % 24);
      for (std::uint8_t& byte : bytes) {
        byte = static_cast<std::uint8_t>(random() % 256 | (random() % 4 != 0 ? 0x80 : 0));
      }
      testing::GuardedBuffer buffer{std::span<const std::uint8_t>(bytes)};
      for (const std::string& text :
           {utf8_from_code_page(buffer.view(), code_page), utf8_from_utf16le(buffer.view())}) {
        for (std::size_t at = 0; at < text.size();) {
          const Utf8Character character = utf8_character_at(text, at);
          ASSERT_NE(character.length, 0U) << code_page;
          ASSERT_NE(character.code_point, 0U) << code_page;
          at += character.length;
        }
      }
    }
  }
}

}  // namespace
}  // namespace kestrox
