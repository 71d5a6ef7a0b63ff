// The message's name and its text as one file: HTML, RTF or its encapsulated HTML or text, plain.
#include "message/text.h"

#include <algorithm>
#include <cctype>

#include "message/properties.h"
#include "message/rtf_compressed.h"
#include "message/rtf_encapsulated.h"
#include "text/charsets.h"

namespace kestrox {

namespace {

constexpr std::string_view kFallbackName = "message";
constexpr std::string_view kUtf8 = "utf-8";
// PR_SUBJECT may open with 0x01 and the length of its prefix ("RE: "): two characters that are
// not part of the subject ([MS-OXCMSG] 2.2.1.46).
constexpr char kSubjectPrefixMark = '\x01';

std::string_view as_text(Bytes bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool is_blank(std::string_view text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

std::optional<std::string> subject_property(const TnefMessage& message) {
  std::optional<std::string> subject =
      property_text(message.properties.find(kPrSubject), message.code_page);
  if (subject && subject->size() >= 2 && (*subject)[0] == kSubjectPrefixMark) {
    // The mark, then the prefix's length as one character (ASCII: it counts a few letters).
    subject->erase(0, 2);
  }
  return subject;
}

std::optional<std::string> attribute_text(const Attribute* attribute, std::uint32_t code_page) {
  if (attribute == nullptr) return std::nullopt;
  return utf8_from_code_page(attribute->value, code_page);
}

// Case-insensitive search for ASCII `needle`, from `from`.
std::size_t find_ascii(std::string_view haystack, std::string_view needle, std::size_t from = 0) {
  const auto lower = [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  };
  const auto found =
      std::search(haystack.begin() + static_cast<std::ptrdiff_t>(std::min(from, haystack.size())),
                  haystack.end(), needle.begin(), needle.end(),
                  [&](char a, char b) { return lower(a) == lower(b); });
  return found == haystack.end() ? std::string_view::npos
                                 : static_cast<std::size_t>(found - haystack.begin());
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

// Where the charset values of the page's <meta> declarations are: `charset=VALUE` inside a meta
// tag, as `<meta charset="...">` and `<meta http-equiv=Content-Type content="...; charset=...">`
// both write it. Offset and length of each value.
std::vector<std::pair<std::size_t, std::size_t>> charset_declarations(std::string_view html) {
  std::vector<std::pair<std::size_t, std::size_t>> values;
  const std::size_t head_end = find_ascii(html, "</head");
  const std::string_view scope = html.substr(0, head_end);
  for (std::size_t meta = find_ascii(scope, "<meta"); meta != std::string_view::npos;
       meta = find_ascii(scope, "<meta", meta + 5)) {
    const std::size_t tag_end = std::min(scope.find('>', meta), scope.size());
    const std::string_view tag = scope.substr(0, tag_end);
    for (std::size_t name = find_ascii(tag, "charset", meta); name != std::string_view::npos;
         name = find_ascii(tag, "charset", name + 7)) {
      std::size_t at = name + 7;
      while (at < tag.size() && is_space(tag[at])) ++at;
      if (at == tag.size() || tag[at] != '=') continue;
      ++at;
      while (at < tag.size() && (is_space(tag[at]) || tag[at] == '"' || tag[at] == '\'')) ++at;
      std::size_t end = at;
      while (end < tag.size() && !is_space(tag[end]) && tag[end] != '"' && tag[end] != '\'' &&
             tag[end] != ';' && tag[end] != '/')
        ++end;
      if (end > at) values.emplace_back(at, end - at);
    }
  }
  return values;
}

// A declaration of `charset` after the page's <head> start tag, else at its start.
void add_charset_declaration(std::string& html, std::string_view charset) {
  std::size_t at = 0;
  for (std::size_t head = find_ascii(html, "<head"); head != std::string::npos;
       head = find_ascii(html, "<head", head + 5)) {
    const char after = head + 5 < html.size() ? html[head + 5] : '\0';
    if (after != '>' && !is_space(after)) continue;  // <header> and the like
    const std::size_t close = html.find('>', head);
    if (close != std::string::npos) at = close + 1;
    break;
  }
  html.insert(at, "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=" +
                      std::string(charset) + "\">");
}

// The page says `charset`: its own declarations changed to it where it has any (the text was
// re-encoded), one added where it has none.
void declare_charset(std::string& html, std::string_view charset) {
  auto declarations = charset_declarations(html);
  if (declarations.empty()) {
    add_charset_declaration(html, charset);
    return;
  }
  std::reverse(declarations.begin(), declarations.end());  // later offsets first
  for (const auto& [at, length] : declarations) html.replace(at, length, charset);
}

std::optional<MessageText> html_text(const TnefMessage& message) {
  const Property* html = message.properties.find(kPrHtml);
  const std::optional<Bytes> value = property_bytes(html);
  if (!value || value->empty()) return std::nullopt;
  MessageText text;
  text.extension = ".html";
  if (html->base_type() == kPtUnicode) {
    text.bytes = utf8_from_utf16le(*value);
    declare_charset(text.bytes, kUtf8);
    return text;
  }
  std::string_view stored = as_text(*value);
  if (html->base_type() == kPtString8 && stored.back() == '\0') stored.remove_suffix(1);
  text.bytes.assign(stored);
  if (charset_declarations(text.bytes).empty()) {
    std::string_view charset;
    if (const std::optional<std::uint32_t> cpid =
            property_u32(message.properties.find(kPrInternetCodepage)))
      charset = charset_name(*cpid);
    if (charset.empty()) charset = charset_name(message.code_page);
    if (!charset.empty()) add_charset_declaration(text.bytes, charset);
  }
  return text;
}

std::optional<DecompressedRtf> rtf_body(const TnefMessage& message) {
  const std::optional<Bytes> value = property_bytes(message.properties.find(kPrRtfCompressed));
  if (!value) return std::nullopt;
  return decompress_rtf(*value);
}

std::optional<MessageText> rtf_text(const TnefMessage& message) {
  std::optional<DecompressedRtf> rtf = rtf_body(message);
  if (!rtf) return std::nullopt;
  MessageText text;
  text.damaged = rtf->damaged;
  if (std::optional<Encapsulated> inner = deencapsulate_rtf(rtf->bytes)) {
    text.bytes = std::move(inner->text);
    if (inner->kind == EncapsulatedKind::kHtml) {
      text.extension = ".html";
      declare_charset(text.bytes, kUtf8);
    } else {
      text.extension = ".txt";
    }
    return text;
  }
  text.bytes = std::move(rtf->bytes);
  text.extension = ".rtf";
  return text;
}

// PR_BODY, else attBody, as UTF-8; decoding ends at the terminating NUL.
std::optional<std::string> body_text(const TnefMessage& message) {
  if (std::optional<std::string> body =
          property_text(message.properties.find(kPrBody), message.code_page))
    return body;
  return attribute_text(message.find(kAttBody), message.code_page);
}

bool is_id_end(char c) {
  return is_space(c) || c == '"' || c == '\'' || c == '<' || c == '>' || c == '(' || c == ')';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// A cid URL's id with its %XX escapes decoded (RFC 2392).
std::string percent_decoded(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hex_digit(text[i + 1]) >= 0 &&
        hex_digit(text[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit(text[i + 1]) * 16 + hex_digit(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string percent_encoded(std::string_view name) {
  constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

bool same_id(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::string message_name(const TnefMessage& message, std::string_view mime_subject) {
  std::optional<std::string> candidates[] = {
      subject_property(message),
      attribute_text(message.find(kAttSubject), message.code_page),
      property_text(message.properties.find(kPrConversationTopic), message.code_page),
      std::string(mime_subject),
  };
  for (std::optional<std::string>& candidate : candidates) {
    if (candidate && !is_blank(*candidate))
      return cut_at_character(std::move(*candidate), kLongestMessageName);
  }
  return std::string(kFallbackName);
}

std::optional<MessageText> message_text(const TnefMessage& message) {
  if (std::optional<MessageText> html = html_text(message)) return html;
  if (std::optional<MessageText> rtf = rtf_text(message)) return rtf;
  if (std::optional<std::string> body = body_text(message)) {
    MessageText text;
    text.bytes = std::move(*body);
    text.extension = ".txt";
    return text;
  }
  return std::nullopt;
}

std::optional<std::string> message_plain_text(const TnefMessage& message) {
  if (std::optional<std::string> body = body_text(message)) return body;
  if (const std::optional<DecompressedRtf> rtf = rtf_body(message)) {
    std::optional<Encapsulated> inner = deencapsulate_rtf(rtf->bytes);
    if (inner && inner->kind == EncapsulatedKind::kText) return std::move(inner->text);
  }
  return std::nullopt;
}

void link_content_ids(std::string& html,
                      const std::vector<std::pair<std::string, std::string>>& files_by_content_id) {
  if (files_by_content_id.empty()) return;
  std::string linked;
  std::size_t copied = 0;
  bool replaced = false;
  for (std::size_t at = find_ascii(html, "cid:"); at != std::string::npos;
       at = find_ascii(html, "cid:", at + 4)) {
    std::size_t end = at + 4;
    while (end < html.size() && !is_id_end(html[end])) ++end;
    const std::string id = percent_decoded(std::string_view(html).substr(at + 4, end - at - 4));
    for (const auto& [content_id, file_name] : files_by_content_id) {
      std::string_view wanted = content_id;
      // A content id may be stored with the angle brackets of its header.
      if (wanted.size() >= 2 && wanted.front() == '<' && wanted.back() == '>')
        wanted = wanted.substr(1, wanted.size() - 2);
      if (wanted.empty() || !same_id(id, wanted)) continue;
      linked.append(html, copied, at - copied);
      linked += percent_encoded(file_name);
      copied = end;
      replaced = true;
      break;
    }
  }
  if (!replaced) return;
  linked.append(html, copied);
  html = std::move(linked);
}

}  // namespace kestrox
