// Decoding names and titles to UTF-8: UTF-16LE, UTF-8 and the Windows code pages of the tables.
#include "text/charsets.h"

namespace kestrox {

namespace {

constexpr char32_t kReplacementCharacter = 0xFFFD;
constexpr std::uint32_t kWindows1252 = 1252;
constexpr std::uint32_t kUtf8CodePage = 65001;

struct CodePage {
  std::uint16_t number;
  std::uint8_t double_byte;  // 1 + the index of its DoubleByteRows, 0 on a single-byte page
  std::uint16_t high[128];   // bytes 0x80-0xFF alone; 0 where unmapped and at lead bytes
};

// The pairs of a double-byte page: a lead byte's row, a trail byte's column, one cell each. The
// rows hold the page's trail bytes only, so that no cell is spent on bytes that cannot follow.
struct DoubleByteRows {
  std::uint8_t lead_row[128];      // bytes 0x80-0xFF: 1 + its row, 0 when not a lead byte
  std::uint8_t trail_column[192];  // bytes 0x40-0xFF: 1 + its column, 0 when not a trail byte
  std::uint16_t columns;
  std::uint32_t first_cell;  // of the page's first row in kDoubleByteCells
};

// Plain constant arrays, no pointers: nothing to relocate or construct when the program starts.
#include "text/codepage_tables.inc"

const CodePage* find_code_page(std::uint32_t number) {
  for (const CodePage& page : kCodePages) {
    if (page.number == number) return &page;
  }
  return nullptr;
}

std::string utf8_from_utf8(std::span<const std::uint8_t> bytes) {
  std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  text = text.substr(0, text.find('\0'));
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = utf8_character_at(text, at).length;
    if (length == 0) {
      decoded += '_';
      ++at;
    } else {
      decoded.append(text.substr(at, length));
      at += length;
    }
  }
  return decoded;
}

}  // namespace

std::string utf8_from_utf16le(std::span<const std::uint8_t> units) {
  const std::size_t count = units.size() / 2;
  const auto unit = [&](std::size_t i) {
    return static_cast<char32_t>(units[2 * i] | units[2 * i + 1] << 8);
  };
  std::string text;
  text.reserve(count);
  for (std::size_t i = 0; i < count; ++i) {
    char32_t code_point = unit(i);
    if (code_point == 0) break;
    if (code_point >= 0xD800 && code_point <= 0xDBFF && i + 1 < count && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    }
    append_utf8(text, code_point);  // a lone surrogate comes out as U+FFFD
  }
  return text;
}

std::string utf8_from_code_page(std::span<const std::uint8_t> bytes, std::uint32_t code_page) {
  if (code_page == kUtf8CodePage) return utf8_from_utf8(bytes);
  const CodePage* page = find_code_page(code_page);
  if (page == nullptr) page = find_code_page(kWindows1252);
  const DoubleByteRows* pairs =
      page->double_byte != 0 ? &kDoubleByteRows[page->double_byte - 1] : nullptr;

  std::string text;
  text.reserve(bytes.size());
  for (std::size_t at = 0; at < bytes.size() && bytes[at] != 0;) {
    const std::uint8_t byte = bytes[at++];
    if (byte < 0x80) {
      text += static_cast<char>(byte);
      continue;
    }
    char32_t code_point = page->high[byte - 0x80];
    const unsigned row = pairs != nullptr ? pairs->lead_row[byte - 0x80] : 0;
    if (row != 0) {
      // A trail byte is taken with its lead even when the pair is unmapped; any other byte (an
      // ASCII letter, the terminator, the end) stays for itself.
      const unsigned column =
          at < bytes.size() && bytes[at] >= 0x40 ? pairs->trail_column[bytes[at] - 0x40] : 0;
      if (column != 0) {
        code_point = kDoubleByteCells[pairs->first_cell + (row - 1) * pairs->columns + column - 1];
        ++at;
      }
    }
    if (code_point == 0) {
      text += '_';
    } else {
      append_utf8(text, code_point);
    }
  }
  return text;
}

bool is_known_code_page(std::uint32_t code_page) {
  return code_page == kUtf8CodePage || find_code_page(code_page) != nullptr;
}

namespace {

struct CharsetName {
  std::uint32_t code_page;
  std::string_view name;
};
// The labels browsers and mail programs know (the WHATWG encoding labels) for the code pages
// that Windows mail writes; the first of a code page is the one it is declared by.
constexpr CharsetName kCharsetNames[] = {
    {65001, "utf-8"},
    {20127, "us-ascii"},
    {1250, "windows-1250"},
    {1251, "windows-1251"},
    {1252, "windows-1252"},
    {1253, "windows-1253"},
    {1254, "windows-1254"},
    {1255, "windows-1255"},
    {1256, "windows-1256"},
    {1257, "windows-1257"},
    {1258, "windows-1258"},
    {874, "windows-874"},
    {932, "shift_jis"},
    {936, "gb2312"},
    {949, "euc-kr"},
    {950, "big5"},
    {866, "ibm866"},
    {10000, "macintosh"},
    {20866, "koi8-r"},
    {21866, "koi8-u"},
    {28591, "iso-8859-1"},
    {28592, "iso-8859-2"},
    {28593, "iso-8859-3"},
    {28594, "iso-8859-4"},
    {28595, "iso-8859-5"},
    {28596, "iso-8859-6"},
    {28597, "iso-8859-7"},
    {28598, "iso-8859-8"},
    {38598, "iso-8859-8-i"},
    {28599, "iso-8859-9"},
    {28603, "iso-8859-13"},
    {28605, "iso-8859-15"},
    {50220, "iso-2022-jp"},
    {50221, "iso-2022-jp"},
    {50222, "iso-2022-jp"},
    {51932, "euc-jp"},
    {20932, "euc-jp"},
    {51949, "euc-kr"},
    {54936, "gb18030"},
    // Other labels that name the same code pages.
    {65001, "utf8"},
    {20127, "ascii"},
    {28591, "latin1"},
    {28591, "iso_8859-1"},
    {1252, "cp1252"},
    {1251, "cp1251"},
    {1250, "cp1250"},
    {874, "tis-620"},
    {932, "sjis"},
    {932, "ms_kanji"},
    {936, "gbk"},
    {949, "ks_c_5601-1987"},
    {950, "big5-hkscs"},
};

}  // namespace

std::string_view charset_name(std::uint32_t code_page) {
  for (const CharsetName& entry : kCharsetNames) {
    if (entry.code_page == code_page) return entry.name;
  }
  return {};
}

std::uint32_t code_page_of_charset(std::string_view label) {
  for (const CharsetName& entry : kCharsetNames) {
    if (same_without_case(entry.name, label)) return entry.code_page;
  }
  return 0;
}

Utf8Character utf8_character_at(std::string_view text, std::size_t at) {
  constexpr Utf8Character kNone{0, 0};
  if (at >= text.size()) return kNone;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  unsigned char low = 0x80;  // the range of the byte after the lead
  unsigned char high = 0xBF;
  std::size_t length = 0;
  char32_t code_point = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0Fu;
    if (lead == 0xE0) low = 0xA0;   // below: overlong
    if (lead == 0xED) high = 0x9F;  // above: a surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07u;
    if (lead == 0xF0) low = 0x90;   // below: overlong
    if (lead == 0xF4) high = 0x8F;  // above: beyond U+10FFFF
  } else {
    return kNone;
  }
  if (text.size() - at < length) return kNone;
  for (std::size_t i = 1; i < length; ++i) {
    const unsigned char next = byte(at + i);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) return kNone;
    code_point = code_point << 6 | (next & 0x3Fu);
  }
  return {code_point, length};
}

void append_utf8(std::string& into, char32_t code_point) {
  if ((code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF) {
    code_point = kReplacementCharacter;
  }
  const auto put = [&](char32_t bits) { into += static_cast<char>(bits); };
  if (code_point < 0x80) {
    put(code_point);
  } else if (code_point < 0x800) {
    put(0xC0 | code_point >> 6);
    put(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    put(0xE0 | code_point >> 12);
    put(0x80 | (code_point >> 6 & 0x3F));
    put(0x80 | (code_point & 0x3F));
  } else {
    put(0xF0 | code_point >> 18);
    put(0x80 | (code_point >> 12 & 0x3F));
    put(0x80 | (code_point >> 6 & 0x3F));
    put(0x80 | (code_point & 0x3F));
  }
}

std::string cut_at_character(std::string text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

bool same_without_case(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool starts_without_case(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && same_without_case(text.substr(0, prefix.size()), prefix);
}

}  // namespace kestrox
