// The lines a batch run writes for scripts.
#include "extract/lines.h"

#include "text/charsets.h"

namespace kestrox {

namespace {

void append_shown(std::string& into, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    into += byte < 0x20 || byte == 0x7F ? '?' : c;
  }
}

}  // namespace

std::string tab_line(const FileLine& line) {
  std::string text;
  text.reserve(line.source.size() + line.path.size() + 16);
  append_shown(text, line.source);
  text += '\t';
  text += std::to_string(line.length);
  text += '\t';
  append_shown(text, line.path);
  text += '\n';
  return text;
}

void append_json_string(std::string& into, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  into += '"';
  std::size_t at = 0;
  while (at < text.size()) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte >= 0x80) {
      const Utf8Character character = utf8_character_at(text, at);
      if (character.length == 0) {
        into += "\xEF\xBF\xBD";  // U+FFFD
        ++at;
      } else {
        into.append(text.substr(at, character.length));
        at += character.length;
      }
      continue;
    }
    ++at;
    switch (byte) {
      case '"':
        into += "\\\"";
        break;
      case '\\':
        into += "\\\\";
        break;
      case '\n':
        into += "\\n";
        break;
      case '\r':
        into += "\\r";
        break;
      case '\t':
        into += "\\t";
        break;
      default:
        if (byte < 0x20 || byte == 0x7F) {
          into += "\\u00";
          into += kHex[byte >> 4];
          into += kHex[byte & 0xF];
        } else {
          into += static_cast<char>(byte);
        }
    }
  }
  into += '"';
}

std::string json_line(const FileLine& line) {
  std::string text = "{\"source\":";
  append_json_string(text, line.source);
  text += ",\"path\":";
  append_json_string(text, line.path);
  text += ",\"length\":";
  text += std::to_string(line.length);
  text += ",\"kind\":";
  append_json_string(text, line.kind);
  text += ",\"title\":";
  append_json_string(text, line.title);
  if (!line.content_id.empty()) {
    text += ",\"content_id\":";
    append_json_string(text, line.content_id);
  }
  if (line.damaged) text += ",\"damaged\":true";
  text += "}\n";
  return text;
}

}  // namespace kestrox
