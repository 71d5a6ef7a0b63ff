// Header field text for the MIME writer.
#include "message/mime_text.h"

#include <algorithm>
#include <cstdio>

#include "message/base64_encode.h"
#include "text/charsets.h"

namespace kestrox {

namespace {

// Lines are folded to this length where the text allows (RFC 5322 2.1.1).
constexpr std::size_t kFoldAt = 78;
// A word that cannot be folded must still leave its line within 998 octets.
constexpr std::size_t kLongestWord = 900;
// Bytes of UTF-8 in one encoded word: "=?utf-8?B?" and "?=" leave 63 characters of the 75, whole
// groups of four for 45 bytes.
constexpr std::size_t kEncodedWordBytes = 45;

bool printable_ascii(std::string_view text) {
  for (char c : text) {
    if (c < 0x20 || c > 0x7E) return false;
  }
  return true;
}

// Characters of an atom (RFC 5322 3.2.3).
bool atom_character(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

bool token_character(char c) {
  return c > 0x20 && c < 0x7F &&
         std::string_view("()<>@,;:\\\"/[]?=").find(c) == std::string_view::npos;
}

// The UTF-8 text without controls, and with each ill-formed byte as U+FFFD.
std::string clean_text(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const Utf8Character c = utf8_character_at(text, at);
    if (c.length == 0) {
      append_utf8(out, 0xFFFD);
      ++at;
      continue;
    }
    if (c.code_point == '\t' || c.code_point == '\r' || c.code_point == '\n') {
      out += ' ';
    } else if (c.code_point >= 0x20 && c.code_point != 0x7F) {
      out.append(text.substr(at, c.length));
    }
    at += c.length;
  }
  return out;
}

// Encoded words for the whole text, none cutting a character, separated by CRLF SP.
std::string encoded_words(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    std::size_t take = text.size() < kEncodedWordBytes ? text.size() : kEncodedWordBytes;
    while (take < text.size() && take > 0 &&
           (static_cast<unsigned char>(text[take]) & 0xC0) == 0x80)
      --take;
    if (take == 0) take = text.size() < kEncodedWordBytes ? text.size() : kEncodedWordBytes;
    if (!out.empty()) out += "\r\n ";
    out += "=?utf-8?B?";
    append_base64(out, Bytes(reinterpret_cast<const std::uint8_t*>(text.data()), take));
    out += "?=";
    text.remove_prefix(take);
  }
  return out;
}

}  // namespace

std::string unstructured_field(std::string_view name, std::string_view value) {
  const std::string text = clean_text(value);
  std::string out(name);
  out += ":";
  // Text that could be taken for an encoded word is encoded too, so that it reads back as it is;
  // and so is a word too long for any line.
  std::size_t longest_word = 0;
  for (std::size_t at = 0; at < text.size();) {
    std::size_t next = text.find(' ', at);
    if (next == std::string::npos) next = text.size();
    longest_word = std::max(longest_word, next - at);
    at = next + 1;
  }
  const bool encode =
      !printable_ascii(text) || text.find("=?") != std::string::npos || longest_word > kLongestWord;
  if (encode) {
    out += " " + encoded_words(text);
    return out + "\r\n";
  }
  // Words are kept whole: a line breaks before the space that starts a word once the word would
  // pass the length, and the space begins the next line.
  const std::string spaced = " " + text;
  std::size_t line_length = out.size();
  for (std::size_t at = 0; at < spaced.size();) {
    std::size_t next = spaced.find(' ', at + 1);
    if (next == std::string::npos) next = spaced.size();
    const std::string_view word = std::string_view(spaced).substr(at, next - at);
    if (line_length + word.size() > kFoldAt && line_length > name.size() + 1 && word.size() > 1) {
      out += "\r\n";
      line_length = 0;
    }
    out.append(word);
    line_length += word.size();
    at = next;
  }
  return out + "\r\n";
}

std::string display_phrase(std::string_view name) {
  const std::string text = clean_text(name);
  // Encoded words also fold a name too long to keep on one line.
  constexpr std::size_t kLongestPlainName = 200;
  if (!printable_ascii(text) || text.find("=?") != std::string::npos ||
      text.size() > kLongestPlainName)
    return encoded_words(text);
  bool atoms = !text.empty() && text.front() != ' ' && text.back() != ' ';
  for (char c : text) atoms = atoms && (atom_character(c) || c == ' ');
  if (atoms) return text;
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

std::string list_field(std::string_view name, const std::vector<std::string>& items) {
  std::string out(name);
  out += ": ";
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i != 0) out += ",\r\n ";
    out += items[i];
  }
  return out + "\r\n";
}

std::string parameter(std::string_view name, std::string_view value) {
  const std::string text = clean_text(value);
  std::string out = ";\r\n ";
  constexpr std::size_t kShort = 60;
  if (printable_ascii(text) && text.size() <= kShort) {
    out += std::string(name) + "=\"";
    for (char c : text) {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
    return out + "\"";
  }
  // RFC 2231: name*0*=utf-8''..., name*1*=..., each piece on a line of its own.
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string piece;
  int number = 0;
  auto flush = [&] {
    if (number != 0) out += ";\r\n ";
    out += std::string(name) + "*" + std::to_string(number) + "*=";
    if (number == 0) out += "utf-8''";
    out += piece;
    piece.clear();
    ++number;
  };
  for (std::size_t at = 0; at < text.size();) {
    const Utf8Character c = utf8_character_at(text, at);
    const std::size_t length = c.length == 0 ? 1 : c.length;
    std::string encoded;
    for (std::size_t i = 0; i < length; ++i) {
      const char byte = text[at + i];
      if (token_character(byte) && byte != '*' && byte != '\'' && byte != '%') {
        encoded += byte;
      } else {
        const auto value_byte = static_cast<unsigned char>(byte);
        encoded += '%';
        encoded += kHex[value_byte >> 4];
        encoded += kHex[value_byte & 15];
      }
    }
    if (piece.size() + encoded.size() > kShort) flush();
    piece += encoded;
    at += length;
  }
  if (!piece.empty() || number == 0) flush();
  return out;
}

std::string media_type(std::string_view text) {
  constexpr std::size_t kLongestType = 127;  // RFC 6838 4.2: 127 characters each half
  if (text.size() > kLongestType) return {};
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == text.size()) return {};
  std::string type;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i != slash && !token_character(c)) return {};
    type += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  }
  return type;
}

std::string rfc5322_date(Seconds utc) {
  if (!in_writable_range(utc)) return {};
  static constexpr const char* kDays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const CivilTime t = civil_from_seconds(utc);
  char text[48];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[day_of_week(utc)],
                t.day, kMonths[t.month - 1], t.year, t.hour, t.minute, t.second);
  return text;
}

}  // namespace kestrox
