// Name discovery: the MAPI name properties of an attachment, wherever a scan looks for them, and
// the steps that turn them into the attachment's name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>

#include "bytes/search.h"
#include "platform/console.h"

namespace kestrox {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::string_view kUnknownAttachment = "Unknown Attachment.txt";

// One find_bytes call: where it starts, how far it looks and the limit no match may lie past.
struct SearchWindow {
  std::size_t start = 0;
  std::size_t length = 0;
  std::size_t limit = 0;
};

// A window whose matches lie wholly in [from, to).
constexpr SearchWindow window_within(std::size_t from, std::size_t to) {
  // find_bytes never tests the last position that fits its window, hence the one byte more.
  return {from, to > from ? to - from + 1 : 0, to};
}

inline std::size_t find_in(Bytes source, const SearchWindow& window, Bytes pattern) {
  return find_bytes(source, window.start, window.length, pattern, window.limit);
}

// The four name properties of one attachment: where each was found first, or kNotFound.
struct NameProperties {
  std::size_t display8 = kNotFound;
  std::size_t long_name8 = kNotFound;
  std::size_t display_unicode = kNotFound;
  std::size_t long_name_unicode = kNotFound;

  bool none() const {
    return display8 == kNotFound && long_name8 == kNotFound && display_unicode == kNotFound &&
           long_name_unicode == kNotFound;
  }
};

// Where the progress glyphs go: the console, or nowhere in a listing, whose lines they would
// break up.
class Glyphs {
 public:
  Glyphs(Console& console, bool shown) : console_(console), shown_(shown) {}
  void operator()(std::string_view glyph) const {
    if (shown_) console_.write_out(glyph);
  }

 private:
  Console& console_;
  bool shown_;
};

// How the bytes of titles and names become text: kept as they are (the default), or, for names
// as the sender wrote them, decoded to UTF-8 from the message's code page and from UTF-16.
struct TextDecoding {
  bool original = false;
  std::uint32_t code_page = kDefaultCodePage;

  static constexpr std::uint32_t kDefaultCodePage = 1252;
};

// The message's code page: the first attOemCodepage record of the buffer, else Windows-1252.
std::uint32_t message_code_page(Bytes source);

// Each property is looked for in the windows in turn; the first window that holds it decides.
NameProperties find_name_properties(Bytes source, std::initializer_list<SearchWindow> windows);

// The 8-bit name step, then the Unicode name step, on the properties found: "~ " when no 8-bit
// property was found, "* " when a Unicode name was taken.
void take_names(Bytes source, const NameProperties& found, const TextDecoding& decoding,
                const Glyphs& glyphs, std::string& name);

// The stored text of `length` bytes at `at`, as text.
std::string stored_text_as(Bytes source, std::size_t at, std::int32_t length,
                           const TextDecoding& decoding);
// Copies the stored text of `length` bytes at `at` into `into`; a length of 0 leaves it as it was.
void copy_stored_text(Bytes source, std::size_t at, std::int32_t length,
                      const TextDecoding& decoding, std::string& into);

// An attachment is never dropped for want of a name: an empty name becomes the title, or the
// default name without one. Then every character a file name may not keep becomes '_'.
void finish_name(std::string& name, const std::string& title, const TextDecoding& decoding);

// Replaces, in place, every byte that is not '@', '-', '.', a space, a letter or a digit by '_'.
void sanitise_name(std::string& name);

}  // namespace kestrox
