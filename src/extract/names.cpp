// The name steps shared by every scan: which property gives the name, and how it is read.
#include "extract/names.h"

#include "bytes/patterns.h"
#include "text/charsets.h"
#include "extract/fields.h"
#include "extract/safe_text.h"
#include "extract/text.h"

namespace kestrox {

namespace {

constexpr std::int32_t kShortestName8 = 2;
constexpr std::int32_t kLongestName8 = 100;
constexpr std::int32_t kLongestNameUnicode = 200;

std::size_t find_first(Bytes source, std::initializer_list<SearchWindow> windows, Bytes pattern) {
  for (const SearchWindow& window : windows) {
    const std::size_t found = find_in(source, window, pattern);
    if (found != kNotFound) return found;
  }
  return kNotFound;
}

// The 8-bit name step: any name property found empties the name; the nearer usable one fills it.
void take_name8(Bytes source, std::size_t display, std::size_t long_name,
                const TextDecoding& decoding, const Glyphs& glyphs, std::string& name) {
  if (display == kNotFound && long_name == kNotFound) {
    glyphs("~ ");
    return;
  }
  name.clear();
  auto usable = [&](std::size_t property, std::int32_t& length) {
    return property != kNotFound &&
           read_length(source, property + kPropertyLengthOffset, length) &&
           length >= kShortestName8 && length <= kLongestName8;
  };
  std::int32_t length = 0;
  if (usable(display, length)) {
    copy_stored_text(source, display + kPropertyValueOffset, length, decoding, name);
  }
  if (usable(long_name, length) && (name.empty() || long_name < display)) {
    copy_stored_text(source, long_name + kPropertyValueOffset, length, decoding, name);
  }
}

// The Unicode name step: the nearer property alone decides. Its UTF-16 value is narrowed by
// dropping zero bytes, or decoded for names as the sender wrote them.
void take_name_unicode(Bytes source, std::size_t display, std::size_t long_name,
                       const TextDecoding& decoding, const Glyphs& glyphs, std::string& name) {
  const std::size_t chosen = display < long_name ? display : long_name;
  if (chosen == kNotFound) return;
  std::int32_t length = 0;
  if (!read_length(source, chosen + kPropertyLengthOffset, length) ||
      length > kLongestNameUnicode) {
    return;
  }
  const std::size_t value = chosen + kPropertyValueOffset;
  const std::size_t available = value < source.size() ? source.size() - value : 0;
  if (decoding.original) {
    const std::size_t wanted = length > 0 ? static_cast<std::size_t>(length) : 0;
    name = utf8_from_utf16le(source.subspan(value, wanted < available ? wanted : available));
    glyphs("* ");
    return;
  }
  // The first byte is always examined, so a length of 0 or less examines one.
  const std::size_t wanted = length > 1 ? static_cast<std::size_t>(length) : 1;
  const std::size_t examined = wanted < available ? wanted : available;
  name.clear();
  for (std::size_t i = 0; i < examined; ++i) {
    const std::uint8_t byte = source[value + i];
    if (byte != 0) name += static_cast<char>(byte);
  }
  glyphs("* ");
}

}  // namespace

NameProperties find_name_properties(Bytes source, std::initializer_list<SearchWindow> windows) {
  return {find_first(source, windows, kPtString8DisplayName),
          find_first(source, windows, kPtString8AttachLongFilename),
          find_first(source, windows, kPtUnicodeDisplayName),
          find_first(source, windows, kPtUnicodeAttachLongFilename)};
}

void take_names(Bytes source, const NameProperties& found, const TextDecoding& decoding,
                const Glyphs& glyphs, std::string& name) {
  take_name8(source, found.display8, found.long_name8, decoding, glyphs, name);
  take_name_unicode(source, found.display_unicode, found.long_name_unicode, decoding, glyphs,
                    name);
}

std::uint32_t message_code_page(Bytes source) {
  const std::size_t record = find_bytes(source, 0, source.size(), kAttOemCodepage, source.size());
  std::int32_t code_page = 0;
  if (record == kNotFound || !read_length(source, record + kRecordValueOffset, code_page)) {
    return TextDecoding::kDefaultCodePage;
  }
  return static_cast<std::uint32_t>(code_page);
}

std::string stored_text_as(Bytes source, std::size_t at, std::int32_t length,
                           const TextDecoding& decoding) {
  const std::string_view text = stored_text(source, at, length);
  if (!decoding.original) return std::string(text);
  return utf8_from_code_page({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()},
                             decoding.code_page);
}

void copy_stored_text(Bytes source, std::size_t at, std::int32_t length,
                      const TextDecoding& decoding, std::string& into) {
  if (length != 0) into = stored_text_as(source, at, length, decoding);
}

void finish_name(std::string& name, const std::string& title, const TextDecoding& decoding) {
  // A name property too long or too short to take leaves no name at all; the attachment is
  // still written, under its title or else the default name.
  if (name.empty()) name.assign(title.empty() ? kUnknownAttachment : std::string_view(title));
  if (decoding.original) {
    name = mask_name_characters(name);
  } else {
    sanitise_name(name);
  }
}

void sanitise_name(std::string& name) {
  for (char& c : name) {
    if (!is_name_byte(static_cast<unsigned char>(c))) c = '_';
  }
}

}  // namespace kestrox
