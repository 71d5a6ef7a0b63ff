// The lines a batch run writes for scripts: one per file, tab-separated or as a JSON object.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrox {

// What a batch run says of one file written (or, in a listing, that would be written).
struct FileLine {
  std::string_view source{};  // as the command line gave it
  std::string_view path{};    // the output path
  std::int64_t length = 0;
  std::string_view kind = "attachment";  // or "message text", "meeting", "attached message"
  std::string_view title{};
  std::string_view content_id{};  // empty: none
  bool damaged = false;
};

// SOURCE, a tab, LENGTH, a tab, PATH and a newline; a control character in either text is '?'
// so that the line stays one line of three fields.
std::string tab_line(const FileLine& line);

// One JSON object and a newline (JSON Lines): "source", "path", "length", "kind", "title", and
// "content_id" and "damaged" where they apply. Text that is not UTF-8 keeps its other
// characters; each byte that is no part of one becomes U+FFFD.
std::string json_line(const FileLine& line);

// Appends `text` as a JSON string, quotes included.
void append_json_string(std::string& into, std::string_view text);

}  // namespace kestrox
