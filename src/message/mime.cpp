// An attached Outlook item as a MIME message: its header lines, its text, its attachments, its
// meeting and its own attached messages, each as a part (RFC 5322, RFC 2045-2049).
#include "message/mime.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

#include "message/base64_encode.h"
#include "message/calendar.h"
#include "message/civil_time.h"
#include "message/ical_text.h"
#include "message/mime_text.h"
#include "message/properties.h"
#include "message/text.h"
#include "text/charsets.h"

namespace kestrox {

namespace {

// Lines of a body sent as it is may be this long at most (RFC 5322 2.1.1).
constexpr std::size_t kLongestLine = 998;
constexpr std::string_view kUnknownAddress = "unknown@unknown.invalid";
constexpr std::uint32_t kRecipientTo = 1;
constexpr std::uint32_t kRecipientCc = 2;

// One part: its header lines (each with its CRLF) and its body as it is sent.
struct Part {
  std::string head;
  std::string body;
};

Bytes bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// Every line end as CRLF, the canonical form of text (RFC 2045 6.6, RFC 2046 4.1.1).
std::string with_crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 32);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r') {
      out += "\r\n";
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      out += "\r\n";
    } else {
      out += c;
    }
  }
  return out;
}

// Text in CRLF lines that can be sent as it is: ASCII without NUL and lines within the limit.
bool sendable_as_is(std::string_view crlf_text) {
  std::size_t line = 0;
  for (std::size_t i = 0; i < crlf_text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(crlf_text[i]);
    if (byte == 0 || byte >= 0x80) return false;
    if (byte == '\r') {
      line = 0;
      ++i;  // its LF
      continue;
    }
    if (++line > kLongestLine) return false;
  }
  return true;
}

// A part of text: as it is where it can be, else in base64.
Part text_part(std::string_view content_type, std::string_view text) {
  Part part;
  part.head = "Content-Type: " + std::string(content_type) + "\r\n";
  std::string crlf = with_crlf(text);
  if (sendable_as_is(crlf)) {
    part.head += "Content-Transfer-Encoding: 7bit\r\n";
    part.body = std::move(crlf);
  } else {
    part.head += "Content-Transfer-Encoding: base64\r\n";
    append_base64_lines(part.body, bytes_of(crlf));
  }
  return part;
}

// A part of bytes that must arrive as they are.
Part base64_part(std::string head, Bytes bytes) {
  Part part;
  part.head = std::move(head) + "Content-Transfer-Encoding: base64\r\n";
  append_base64_lines(part.body, bytes);
  return part;
}

// The charset an HTML page declares in its head, as a token; empty where it declares none.
std::string declared_charset(std::string_view html) {
  const std::size_t head_end = std::min<std::size_t>(html.size(), 8192);
  std::string lower(html.substr(0, head_end));
  for (char& c : lower) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  const std::size_t at = lower.find("charset=");
  if (at == std::string::npos) return {};
  std::size_t start = at + 8;
  if (start < lower.size() && (lower[start] == '"' || lower[start] == '\'')) ++start;
  std::string charset;
  for (std::size_t i = start; i < lower.size(); ++i) {
    const char c = lower[i];
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
        c == ':')
      charset += c;
    else
      break;
  }
  return charset;
}

std::string text_type(std::string_view subtype, std::string_view charset) {
  std::string type = "text/" + std::string(subtype);
  if (!charset.empty()) type += "; charset=" + std::string(charset);
  return type;
}

// A boundary that none of the parts holds, so that none of their lines can end one.
std::string boundary_for(const std::vector<Part>& parts, int level) {
  for (unsigned n = 0;; ++n) {
    const std::string candidate =
        "=_kestrox_" + std::to_string(level) + "_" + std::to_string(n) + "_=";
    const bool taken = std::any_of(parts.begin(), parts.end(), [&](const Part& part) {
      return part.head.find(candidate) != std::string::npos ||
             part.body.find(candidate) != std::string::npos;
    });
    if (!taken) return candidate;
  }
}

Part multipart(std::string_view subtype, std::vector<Part> parts, int level) {
  const std::string boundary = boundary_for(parts, level);
  Part whole;
  whole.head =
      "Content-Type: multipart/" + std::string(subtype) + ";\r\n boundary=\"" + boundary + "\"\r\n";
  for (const Part& part : parts) {
    whole.body += "--" + boundary + "\r\n" + part.head + "\r\n" + part.body + "\r\n";
  }
  whole.body += "--" + boundary + "--\r\n";
  return whole;
}

std::optional<std::string> nonempty(std::optional<std::string> text) {
  if (text && text->empty()) return std::nullopt;
  return text;
}

// A subject of the message: its own, else its attribute, else its conversation's topic.
std::string subject_of(const TnefMessage& message) {
  if (auto subject =
          nonempty(property_text(message.properties.find(kPrSubject), message.code_page)))
    return *subject;
  if (const Attribute* attribute = message.find(kAttSubject)) {
    std::string subject = utf8_from_code_page(attribute->value, message.code_page);
    if (!subject.empty()) return subject;
  }
  return nonempty(property_text(message.properties.find(kPrConversationTopic), message.code_page))
      .value_or("");
}

// "Name <address>" for a mailbox; where no SMTP address is known, RFC 5322 still wants one.
std::string mailbox(const std::string& name, const std::string& address) {
  const std::string& shown = address.empty() ? std::string(kUnknownAddress) : address;
  if (name.empty() || name == address) return shown;
  return display_phrase(name) + " <" + shown + ">";
}

std::string from_field(const TnefMessage& message) {
  const PropertyList& list = message.properties;
  const std::uint32_t cp = message.code_page;
  std::string address = smtp_address(list, cp, kPrSentRepresentingSmtpAddress,
                                     kPrSentRepresentingAddrType, kPrSentRepresentingEmail);
  std::string name = nonempty(property_text(list.find(kPrSentRepresentingName), cp)).value_or("");
  if (address.empty()) {
    address = smtp_address(list, cp, kPrSenderSmtpAddress, kPrSenderAddrType, kPrSenderEmail);
    if (!address.empty() || name.empty())
      name = nonempty(property_text(list.find(kPrSenderName), cp)).value_or(name);
  }
  return list_field("From", {mailbox(name, address)});
}

std::string recipients_field(const TnefMessage& message, std::string_view field,
                             std::uint32_t type) {
  std::vector<std::string> mailboxes;
  for (const PropertyList& row : message.recipients) {
    if ((property_u32(row.find(kPrRecipientType)).value_or(kRecipientTo) & 0xFF) != type) continue;
    const std::string address =
        smtp_address(row, message.code_page, kPrSmtpAddress, kPrAddrType, kPrEmailAddress);
    const std::string name =
        nonempty(property_text(row.find(kPrDisplayName), message.code_page)).value_or("");
    if (address.empty() && name.empty()) continue;
    mailboxes.push_back(mailbox(name, address));
  }
  return mailboxes.empty() ? std::string() : list_field(field, mailboxes);
}

// A Message-ID as "<left@right>" of printable ASCII, or nothing where it is not one.
std::string message_id(std::string_view id) {
  while (!id.empty() && id.front() == ' ') id.remove_prefix(1);
  while (!id.empty() && id.back() == ' ') id.remove_suffix(1);
  if (id.size() >= 2 && id.front() == '<' && id.back() == '>') id = id.substr(1, id.size() - 2);
  if (!plain_mail_address(id)) return {};
  return "<" + std::string(id) + ">";
}

std::string built_headers(const TnefMessage& message) {
  std::string head = from_field(message);
  head += recipients_field(message, "To", kRecipientTo);
  head += recipients_field(message, "Cc", kRecipientCc);
  head += unstructured_field("Subject", subject_of(message));
  // When it was sent, else when it was last changed; a time past any four-digit year is none.
  for (std::uint16_t id : {kPrClientSubmitTime, kPrLastModificationTime}) {
    const std::optional<std::uint64_t> time = property_u64(message.properties.find(id));
    const std::string date = time ? rfc5322_date(seconds_from_filetime(*time)) : std::string();
    if (!date.empty()) {
      head += "Date: " + date + "\r\n";
      break;
    }
  }
  if (auto id = property_text(message.properties.find(kPrInternetMessageId), message.code_page)) {
    const std::string checked = message_id(*id);
    if (!checked.empty()) head += "Message-ID: " + checked + "\r\n";
  }
  return head;
}

// The field name of a header line, or empty where the line starts no field.
std::string_view field_name(std::string_view line) {
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos || colon == 0) return {};
  for (char c : line.substr(0, colon)) {
    if (c <= 0x20 || c >= 0x7F) return {};
  }
  return line.substr(0, colon);
}

bool is_address_field(std::string_view name) {
  for (std::string_view address : {"From", "Sender", "Reply-To", "To", "Cc", "Bcc"}) {
    if (same_without_case(name, address)) return true;
  }
  return false;
}

// One field the message arrived with, as it is to be written: kept as it is, its text written
// again where it is not ASCII, or nothing.
std::string original_field(std::string_view name, std::string_view lines,
                           const TnefMessage& message) {
  if (same_without_case(name, "MIME-Version") || starts_without_case(name, "Content-")) return {};
  bool ascii = true;
  std::size_t line_length = 0;
  for (char c : lines) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\r' || c == '\n') {
      line_length = 0;
      continue;
    }
    // A line no reader takes, or a control character: the field is left out.
    if (++line_length > kLongestLine || (byte < 0x20 && c != '\t') || byte == 0x7F) return {};
    ascii = ascii && byte < 0x80;
  }
  if (ascii) return std::string(lines);
  // Text that is not ASCII is written as encoded words; an address cannot be, and the message's
  // own properties give the field instead.
  if (same_without_case(name, "From")) return from_field(message);
  if (same_without_case(name, "To")) return recipients_field(message, "To", kRecipientTo);
  if (same_without_case(name, "Cc")) return recipients_field(message, "Cc", kRecipientCc);
  if (is_address_field(name)) return {};
  std::string value;
  for (std::size_t at = name.size() + 1; at < lines.size(); ++at) {
    if (lines[at] != '\r' && lines[at] != '\n') value += lines[at];
  }
  const std::size_t first = value.find_first_not_of(" \t");
  return unstructured_field(name, first == std::string::npos ? "" : value.substr(first));
}

// The header lines the message arrived with, up to the first empty line, in CRLF lines, without
// their MIME-Version and Content-* fields (the parts written replace them) and without lines that
// are no field.
std::string original_headers(std::string_view block, const TnefMessage& message) {
  const std::string lines = with_crlf(block);
  std::string head;
  std::string_view name;
  std::string field_lines;
  auto finish_field = [&] {
    if (!name.empty()) head += original_field(name, field_lines, message);
    field_lines.clear();
  };
  for (std::size_t at = 0; at < lines.size();) {
    std::size_t end = lines.find("\r\n", at);
    if (end == std::string::npos) end = lines.size();
    const std::string_view line = std::string_view(lines).substr(at, end - at);
    at = end + 2;
    if (line.empty()) break;
    if (line.front() == ' ' || line.front() == '\t') {
      // A continuation: of the field before it, where it says anything.
      if (line.find_first_not_of(" \t") != std::string_view::npos)
        field_lines.append(line).append("\r\n");
      continue;
    }
    finish_field();
    name = field_name(line);
    field_lines.append(line).append("\r\n");
  }
  finish_field();
  return head;
}

// An attachment's file name: its long name, its short name, its title, its display name.
std::string attachment_name(const TnefAttachment& attachment, std::uint32_t code_page) {
  for (std::uint16_t id : {kPrAttachLongFilename, kPrAttachFilename}) {
    if (auto name = nonempty(property_text(attachment.properties.find(id), code_page)))
      return *name;
  }
  if (const Attribute* title = attachment.find(kAttAttachTitle)) {
    std::string name = utf8_from_code_page(title->value, code_page);
    if (!name.empty()) return name;
  }
  return nonempty(property_text(attachment.properties.find(kPrDisplayName), code_page))
      .value_or("attachment");
}

// The bytes of an attachment: its attAttachData, else its PR_ATTACH_DATA_BIN.
std::optional<Bytes> attachment_bytes(const TnefAttachment& attachment) {
  if (const Attribute* data = attachment.data()) return data->value;
  const Property* binary = attachment.properties.find(kPrAttachDataObj);
  if (binary != nullptr && binary->base_type() == kPtBinary) return property_bytes(binary);
  return std::nullopt;
}

// A content id of printable ASCII without spaces or angle brackets.
std::string content_id(const TnefAttachment& attachment, std::uint32_t code_page) {
  auto id = property_text(attachment.properties.find(kPrAttachContentId), code_page);
  if (!id) return {};
  std::string_view text = *id;
  if (text.size() >= 2 && text.front() == '<' && text.back() == '>')
    text = text.substr(1, text.size() - 2);
  constexpr std::size_t kLongestId = 250;
  if (text.empty() || text.size() > kLongestId) return {};
  for (char c : text) {
    if (c <= 0x20 || c >= 0x7F || c == '<' || c == '>') return {};
  }
  return "<" + std::string(text) + ">";
}

// The media type of the common kinds of file, by the extension of its name, so that a mail
// program shows a picture as one where the attachment names no type of its own.
std::string type_by_extension(std::string_view name) {
  struct Kind {
    std::string_view extension, type;
  };
  static constexpr Kind kKinds[] = {
      {"bmp", "image/bmp"},
      {"csv", "text/csv"},
      {"doc", "application/msword"},
      {"gif", "image/gif"},
      {"htm", "text/html"},
      {"html", "text/html"},
      {"ics", "text/calendar"},
      {"jpeg", "image/jpeg"},
      {"jpg", "image/jpeg"},
      {"pdf", "application/pdf"},
      {"png", "image/png"},
      {"rtf", "application/rtf"},
      {"tif", "image/tiff"},
      {"tiff", "image/tiff"},
      {"txt", "text/plain"},
      {"vcf", "text/vcard"},
      {"xls", "application/vnd.ms-excel"},
      {"xml", "application/xml"},
      {"zip", "application/zip"},
      {"docx", "application/vnd.openxmlformats-officedocument.wordprocessingml.document"},
      {"xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {"pptx", "application/vnd.openxmlformats-officedocument.presentationml.presentation"},
  };
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string_view extension = name.substr(dot + 1);
  for (const Kind& kind : kKinds) {
    if (same_without_case(extension, kind.extension)) return std::string(kind.type);
  }
  return {};
}

Part file_part(const TnefAttachment& attachment, Bytes bytes, std::uint32_t code_page) {
  const std::string name = attachment_name(attachment, code_page);
  std::string type;
  if (auto tag = property_text(attachment.properties.find(kPrAttachMimeTag), code_page))
    type = media_type(*tag);
  if (type.empty()) type = type_by_extension(name);
  if (type.empty()) type = "application/octet-stream";
  const std::string id = content_id(attachment, code_page);
  std::string head = "Content-Type: " + type + parameter("name", name) + "\r\n";
  // A picture the text shows by its content id is part of the text.
  head += std::string("Content-Disposition: ") + (id.empty() ? "attachment" : "inline") +
          parameter("filename", name) + "\r\n";
  if (!id.empty()) head += "Content-ID: " + id + "\r\n";
  return base64_part(std::move(head), bytes);
}

Part message_part(const std::string& eml, const std::string& name) {
  Part part;
  const bool ascii = std::all_of(eml.begin(), eml.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  part.head = "Content-Type: message/rfc822\r\n";
  part.head += std::string("Content-Transfer-Encoding: ") + (ascii ? "7bit" : "8bit") + "\r\n";
  part.head += "Content-Disposition: attachment" + parameter("filename", name + ".eml") + "\r\n";
  part.body = eml;
  return part;
}

// The message's text as one part, or nothing where it has none.
std::optional<Part> text_of(const TnefMessage& message, int level) {
  const std::optional<MessageText> text = message_text(message);
  const std::optional<std::string> plain = nonempty(message_plain_text(message));
  if (!text) {
    if (plain) return text_part(text_type("plain", "utf-8"), *plain);
    return std::nullopt;
  }
  if (text->extension == ".txt") return text_part(text_type("plain", "utf-8"), text->bytes);
  Part rich = text->extension == ".html"
                  ? text_part(text_type("html", declared_charset(text->bytes)), text->bytes)
                  : base64_part("Content-Type: text/rtf\r\n", bytes_of(text->bytes));
  if (!plain) return rich;
  std::vector<Part> alternatives;
  alternatives.push_back(text_part(text_type("plain", "utf-8"), *plain));
  alternatives.push_back(std::move(rich));
  return multipart("alternative", std::move(alternatives), level);
}

std::string serialized(const std::string& headers, const std::optional<Part>& root) {
  std::string eml = headers + "MIME-Version: 1.0\r\n";
  if (!root) return eml + "\r\n";
  eml += root->head + "\r\n" + root->body;
  // Every line of the message ends in CRLF, a text's last one too.
  if (!root->body.empty() && !eml.ends_with("\r\n")) eml += "\r\n";
  return eml;
}

}  // namespace

std::optional<Bytes> attached_message_stream(Bytes object_value) {
  if (object_value.size() < kIidIMessage.size() ||
      std::memcmp(object_value.data(), kIidIMessage.data(), kIidIMessage.size()) != 0)
    return std::nullopt;
  return object_value.subspan(kIidIMessage.size());
}

std::optional<Bytes> attached_message_stream(const TnefAttachment& attachment) {
  if (property_u32(attachment.properties.find(kPrAttachMethod)) != kAttachEmbeddedMessage)
    return std::nullopt;
  const Property* object = attachment.properties.find(kPrAttachDataObj);
  if (object == nullptr || object->base_type() != kPtObject) return std::nullopt;
  const std::optional<Bytes> value = property_bytes(object);
  if (!value) return std::nullopt;
  return attached_message_stream(*value);
}

std::optional<std::string> attached_message_eml(Bytes stream, int level) {
  if (level < 1 || level > kDeepestAttachedMessage) return std::nullopt;
  const std::optional<TnefMessage> message = read_tnef(stream);
  if (!message) return std::nullopt;

  std::string headers;
  if (auto original =
          property_text(message->properties.find(kPrTransportMessageHeaders), message->code_page))
    headers = original_headers(*original, *message);
  if (headers.empty()) headers = built_headers(*message);

  std::optional<Part> text = text_of(*message, level);
  std::vector<Part> parts;
  if (auto meeting = meeting_calendar(*message, message_name(*message, ""))) {
    parts.push_back(
        text_part("text/calendar; method=" + meeting->method + "; charset=utf-8", meeting->ics));
  }
  for (const TnefAttachment& attachment : message->attachments) {
    if (auto inner = attached_message_stream(attachment)) {
      if (auto eml = attached_message_eml(*inner, level + 1)) {
        std::string name =
            nonempty(property_text(attachment.properties.find(kPrDisplayName), message->code_page))
                .value_or("");
        if (name.empty()) {
          if (auto inner_message = read_tnef(*inner)) name = message_name(*inner_message, "");
        }
        parts.push_back(message_part(*eml, name));
        continue;
      }
    }
    // Beyond the deepest level, or damaged, an attached message is what its data record holds.
    if (auto bytes = attachment_bytes(attachment))
      parts.push_back(file_part(attachment, *bytes, message->code_page));
  }

  // The text alone is the body; with anything else, the text comes first in a mixed whole.
  if (parts.empty()) return serialized(headers, text);
  if (text) parts.insert(parts.begin(), std::move(*text));
  return serialized(headers, multipart("mixed", std::move(parts), level));
}

}  // namespace kestrox
