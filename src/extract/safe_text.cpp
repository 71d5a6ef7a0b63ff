// The file-name gate and the console's view of text taken from the input.
#include "extract/safe_text.h"

#include <cctype>

#include "text/charsets.h"
#include "extract/text.h"

namespace kestrox {

namespace {

constexpr std::size_t kLongestName = 255;
// Past this, the text from the last '.' is no extension worth keeping whole.
constexpr std::size_t kLongestKeptExtension = 32;

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-COM9 and LPT1-LPT9, and COM and LPT followed by a
// superscript digit in UTF-8 (U+00B9, U+00B2, U+00B3), alone or before a '.', in any case. Windows
// drops the spaces at the end of that stem, so "CON .txt" and "nul " open the device too.
bool is_windows_device_name(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (equals_ignoring_case(stem, device)) return true;
  }
  if (stem.size() < 4) return false;
  const std::string_view prefix = stem.substr(0, 3);
  const std::string_view digit = stem.substr(3);
  const bool numbered = (digit.size() == 1 && digit[0] >= '1' && digit[0] <= '9') ||
                        digit == "\xC2\xB9" || digit == "\xC2\xB2" || digit == "\xC2\xB3";  // ¹ ² ³
  return numbered && (equals_ignoring_case(prefix, "COM") || equals_ignoring_case(prefix, "LPT"));
}

// Characters that Windows refuses in a name, which a name must not hold wherever it is written
// (it may be copied to a Windows share or a USB stick later).
bool is_refused_by_windows(char32_t c) {
  return c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
         c == '>' || c == '|';
}

// The size of a name as the file system counts it: UTF-8 bytes, or UTF-16 units on Windows.
std::size_t stored_size(std::string_view name, PathStyle style) {
  if (style == PathStyle::kPosix) return name.size();
  std::size_t units = 0;
  for (std::size_t at = 0; at < name.size();) {
    const Utf8Character c = utf8_character_at(name, at);
    units += c.code_point >= 0x10000 ? 2 : 1;
    at += c.length == 0 ? 1 : c.length;
  }
  return units;
}

// Cuts a name that is too long for a file system before its extension, whole characters only.
void cut_to_fit(std::string& name, PathStyle style) {
  if (stored_size(name, style) <= kLongestName) return;
  const std::size_t dot = name.rfind('.');
  const bool keep_extension = dot != std::string::npos && dot > 0 &&
                              stored_size(std::string_view(name).substr(dot), style) <=
                                  kLongestKeptExtension;
  const std::string extension = keep_extension ? name.substr(dot) : std::string();
  const std::size_t room = kLongestName - stored_size(extension, style);
  std::size_t kept = 0;
  for (std::size_t at = 0; at < name.size() - extension.size();) {
    const Utf8Character c = utf8_character_at(name, at);
    const std::size_t length = c.length == 0 ? 1 : c.length;
    if (stored_size(std::string_view(name).substr(0, at + length), style) > room) break;
    at += length;
    kept = at;
  }
  name.resize(kept);
  name += extension;
}

// The prefixes that keep a name from being what it must not be: a name of dots alone (or no
// name at all) would name a directory, not a file. On POSIX a leading '.' hides the file (and
// ".profile" in a home directory would be run by the next shell), and a leading '-' makes it an
// option to the commands that later meet it. In the Windows style a name of dots and spaces
// alone is one too: Windows drops them at the end of a name, so "   " or " . " would name the
// output folder itself; and a device name would send the data to the device. A name as the
// sender wrote it that is made of spaces and dots looks like no name at all, in both styles.
bool needs_prefix(std::string_view name, PathStyle style, NameCharacters characters) {
  const bool spaces_too = style == PathStyle::kWindows || characters == NameCharacters::kOriginal;
  return name.find_first_not_of(spaces_too ? ". " : ".") == std::string_view::npos ||
         (style == PathStyle::kPosix && (name.front() == '.' || name.front() == '-')) ||
         (style == PathStyle::kWindows && is_windows_device_name(name));
}

// Windows drops the dots and spaces at the end of a name when it opens a file, so that
// "report.pdf " would be written as "report.pdf" while announced and listed under the other name,
// and could land on another attachment's file: each of them becomes '_'.
void mask_windows_name_end(std::string& name) {
  for (std::size_t end = name.size(); end > 0 && (name[end - 1] == '.' || name[end - 1] == ' ');
       --end) {
    name[end - 1] = '_';
  }
}

}  // namespace

std::string mask_name_characters(std::string_view name) {
  std::string masked;
  masked.reserve(name.size());
  for (std::size_t at = 0; at < name.size();) {
    const Utf8Character c = utf8_character_at(name, at);
    if (c.length == 0) {
      masked += '_';
      ++at;
      continue;
    }
    if (shows_nothing(name, at, c) || is_refused_by_windows(c.code_point)) {
      masked += '_';
    } else if (character_kind(c.code_point) == CharacterKind::kSpace) {
      masked += ' ';
    } else {
      masked.append(name.substr(at, c.length));
    }
    at += c.length;
  }
  return masked;
}

std::string safe_file_name(std::string_view name, PathStyle style, NameCharacters characters) {
  std::string safe;
  if (characters == NameCharacters::kOriginal) {
    safe = mask_name_characters(name);
    cut_to_fit(safe, style);
  } else {
    safe.assign(name);
    for (char& c : safe) {
      if (!is_name_byte(static_cast<unsigned char>(c))) c = '_';
    }
  }
  if (needs_prefix(safe, style, characters)) {
    safe.insert(safe.begin(), '_');
    if (characters == NameCharacters::kOriginal) cut_to_fit(safe, style);
  }
  if (style == PathStyle::kWindows) mask_windows_name_end(safe);
  return safe;
}

std::string console_safe(std::string_view text, PathStyle style, bool utf8_console,
                         NameCharacters characters) {
  // A Windows console shows every run of bytes that is UTF-8 as its characters, whatever its
  // code page; the host sees to those it cannot show.
  const bool reads_utf8 = style == PathStyle::kWindows || utf8_console;
  const bool original = characters == NameCharacters::kOriginal;
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x80) {
      shown += (byte >= 0x01 && byte <= 0x1F) || byte == 0x7F ? '_' : text[at];
      ++at;
      continue;
    }
    const Utf8Character c = utf8_character_at(text, at);
    if (c.length != 0 && (reads_utf8 || original)) {
      // The C1 controls among the rest: U+0080-U+009F are of the kind that shows nothing.
      if (shows_nothing(text, at, c)) {
        shown += '_';
      } else {
        shown.append(reads_utf8 ? text.substr(at, c.length) : "?");
      }
      at += c.length;
      continue;
    }
    // A byte of no UTF-8 character, or any byte on a POSIX console that is not UTF-8: an 8-bit
    // terminal takes 0x80-0x9F as the C1 controls, wherever they stand.
    shown += style == PathStyle::kPosix && byte <= 0x9F ? '_' : text[at];
    ++at;
  }
  return shown;
}

}  // namespace kestrox
