// The name steps shared by every scan: which property gives the name, and how it is read.
#include "extract/names.h"

#include "bytes/patterns.h"
#include "extract/fields.h"
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
void take_name8(Bytes source, std::size_t display, std::size_t long_name, const Glyphs& glyphs,
                std::string& name) {
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
    copy_stored_text(source, display + kPropertyValueOffset, length, name);
  }
  if (usable(long_name, length) && (name.empty() || long_name < display)) {
    copy_stored_text(source, long_name + kPropertyValueOffset, length, name);
  }
}

// The Unicode name step: the nearer property alone decides; its UTF-16 value is narrowed by
// dropping zero bytes.
void take_name_unicode(Bytes source, std::size_t display, std::size_t long_name,
                       const Glyphs& glyphs, std::string& name) {
  const std::size_t chosen = display < long_name ? display : long_name;
  if (chosen == kNotFound) return;
  std::int32_t length = 0;
  if (!read_length(source, chosen + kPropertyLengthOffset, length) ||
      length > kLongestNameUnicode) {
    return;
  }
  // The first byte is always examined, so a length of 0 or less examines one.
  const std::size_t value = chosen + kPropertyValueOffset;
  const std::size_t wanted = length > 1 ? static_cast<std::size_t>(length) : 1;
  const std::size_t available = value < source.size() ? source.size() - value : 0;
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

void take_names(Bytes source, const NameProperties& found, const Glyphs& glyphs,
                std::string& name) {
  take_name8(source, found.display8, found.long_name8, glyphs, name);
  take_name_unicode(source, found.display_unicode, found.long_name_unicode, glyphs, name);
}

void copy_stored_text(Bytes source, std::size_t at, std::int32_t length, std::string& into) {
  if (length != 0) into.assign(stored_text(source, at, length));
}

void finish_name(std::string& name, const std::string& title) {
  // A name property too long or too short to take leaves no name at all; the attachment is
  // still written, under its title or else the default name.
  if (name.empty()) name.assign(title.empty() ? kUnknownAttachment : std::string_view(title));
  sanitise_name(name);
}

void sanitise_name(std::string& name) {
  for (char& c : name) {
    if (!is_name_byte(static_cast<unsigned char>(c))) c = '_';
  }
}

}  // namespace kestrox
