// Folding, escaping and quoting for the iCalendar writer.
#include "message/ical_text.h"

#include "text/charsets.h"

namespace kestrox {

namespace {

constexpr std::size_t kLongestLine = 75;

bool control(char32_t c) { return c < 0x20 || c == 0x7F; }

// Each well-formed character of `text`, with its bytes; a byte that begins none is skipped.
template <typename Visit>
void each_character(std::string_view text, Visit visit) {
  for (std::size_t at = 0; at < text.size();) {
    const Utf8Character c = utf8_character_at(text, at);
    if (c.length == 0) {
      ++at;
      continue;
    }
    visit(c.code_point, text.substr(at, c.length));
    at += c.length;
  }
}

}  // namespace

std::string ical_escape_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool after_cr = false;
  each_character(text, [&](char32_t c, std::string_view bytes) {
    const bool cr_lf = after_cr && c == '\n';
    after_cr = c == '\r';
    if (c == '\r' || c == '\n') {
      if (!cr_lf) out += "\\n";
    } else if (c == '\\' || c == ';' || c == ',') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\t' || !control(c)) {
      out += bytes;
    }
  });
  return out;
}

std::string ical_parameter(std::string_view value) {
  std::string out;
  bool quote = false;
  each_character(value, [&](char32_t c, std::string_view bytes) {
    if (control(c) || c == '"') return;
    quote = quote || c == ':' || c == ';' || c == ',';
    out += bytes;
  });
  return quote ? '"' + out + '"' : out;
}

void append_ical_line(std::string& out, std::string_view line) {
  std::size_t room = kLongestLine;
  while (line.size() > room) {
    std::size_t cut = room;
    // Back to the start of the character the limit falls in.
    while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
    if (cut == 0) cut = room;  // not UTF-8 at all: cut where the limit says
    out.append(line.substr(0, cut));
    out += "\r\n ";
    line.remove_prefix(cut);
    room = kLongestLine - 1;  // the leading space counts
  }
  out.append(line);
  out += "\r\n";
}

bool plain_mail_address(std::string_view address) {
  // RFC 5321 4.5.3.1.3: no path, so no address, is longer.
  constexpr std::size_t kLongestAddress = 254;
  if (address.size() > kLongestAddress) return false;
  const std::size_t at = address.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size() ||
      address.find('@', at + 1) != std::string_view::npos)
    return false;
  for (char c : address) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F) return false;
    if (std::string_view("<>()[]\\,;:\"").find(c) != std::string_view::npos) return false;
  }
  return true;
}

std::string smtp_address(const PropertyList& list, std::uint32_t code_page, std::uint16_t smtp_id,
                         std::uint16_t type_id, std::uint16_t email_id) {
  if (auto smtp = property_text(list.find(smtp_id), code_page); smtp && plain_mail_address(*smtp))
    return *smtp;
  const auto type = property_text(list.find(type_id), code_page);
  const auto email = property_text(list.find(email_id), code_page);
  if (type && email && same_without_case(*type, "SMTP") && plain_mail_address(*email))
    return *email;
  return {};
}

}  // namespace kestrox
