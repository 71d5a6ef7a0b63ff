// The message itself as files: its text, its meeting, its attached messages; and the content
// ids of its attachments.
#include "extract/message_files.h"

#include <limits>

#include "extract/safe_text.h"
#include "extract/text.h"
#include "message/calendar.h"
#include "message/mime.h"
#include "message/properties.h"
#include "message/text.h"
#include "text/charsets.h"

namespace kestrox {

namespace {

constexpr std::string_view kMessageText = "message text";
constexpr std::string_view kMeeting = "meeting";
constexpr std::string_view kAttachedMessage = "attached message";
constexpr std::string_view kCalendarExtension = ".ics";
constexpr std::string_view kMailExtension = ".eml";

// A made file: its bytes, its name (NAME and its extension) and what it is. Nothing for a file
// of no bytes, or of more than a length can say.
std::optional<FoundAttachment> made_file(std::string bytes, std::string name, std::string title,
                                         std::string_view kind) {
  if (bytes.empty() ||
      bytes.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  FoundAttachment file;
  file.data_length = static_cast<std::int32_t>(bytes.size());
  file.made = std::move(bytes);
  file.name = std::move(name);
  file.title = std::move(title);
  file.kind = kind;
  return file;
}

}  // namespace

std::string name_from_text(std::string_view text, NameCharacters characters) {
  if (characters == NameCharacters::kOriginal) return mask_name_characters(text);
  std::string name;
  name.reserve(text.size());
  std::size_t at = 0;
  while (at < text.size()) {
    const Utf8Character character = utf8_character_at(text, at);
    const auto byte = static_cast<unsigned char>(text[at]);
    name += character.length == 1 && is_name_byte(byte) ? text[at] : '_';
    at += character.length == 0 ? 1 : character.length;
  }
  return name;
}

MessageFiles::MessageFiles(Bytes stream, std::string mime_subject, bool make_files)
    : message_(read_tnef(stream)), make_files_(make_files) {
  if (message_ && make_files_) name_ = message_name(*message_, mime_subject);
}

const TnefAttachment* MessageFiles::attachment_with(const std::uint8_t* value) const {
  if (!message_) return nullptr;
  for (const TnefAttachment& attachment : message_->attachments) {
    const Attribute* data = attachment.data();
    if (data != nullptr && data->value.data() == value) return &attachment;
    const Property* property = attachment.properties.find(kPrAttachDataObj);
    if (property != nullptr && !property->values.empty() &&
        property->values.front().data() == value) {
      return &attachment;
    }
  }
  return nullptr;
}

void MessageFiles::take_attached_message(const TnefAttachment* attachment, Bytes stream,
                                         FoundAttachment& found) const {
  std::optional<std::string> eml = attached_message_eml(stream);
  if (!eml) return;  // damaged, or too deep: the record's own bytes, as without the option
  const std::uint32_t code_page = message_ ? message_->code_page : 1252;
  std::string item;
  if (attachment != nullptr) {
    if (auto display = property_text(attachment->properties.find(kPrDisplayName), code_page)) {
      item = std::move(*display);
    }
  }
  if (item.empty()) {
    const std::optional<TnefMessage> inner = read_tnef(stream);
    item = inner ? message_name(*inner, "") : std::string("message");
  }
  item = cut_at_character(std::move(item), kLongestMessageName) + std::string(kMailExtension);
  if (auto file = made_file(std::move(*eml), std::move(item), found.title, kAttachedMessage)) {
    file->content_id = std::move(found.content_id);
    found = std::move(*file);
  }
}

void MessageFiles::complete_record(std::size_t record, FoundAttachment& found) const {
  if (!message_) return;
  const TnefAttachment* attachment = nullptr;
  for (const TnefAttachment& candidate : message_->attachments) {
    const Attribute* data = candidate.data();
    if (data != nullptr && data->offset == record) {
      attachment = &candidate;
      break;
    }
  }
  if (attachment == nullptr) return;
  if (auto id =
          property_text(attachment->properties.find(kPrAttachContentId), message_->code_page)) {
    found.content_id = std::move(*id);
  }
  if (!make_files_) return;
  if (const std::optional<Bytes> stream = attached_message_stream(*attachment)) {
    take_attached_message(attachment, *stream, found);
  }
}

void MessageFiles::complete_property(Bytes value, bool is_object, FoundAttachment& found) const {
  const TnefAttachment* attachment = attachment_with(value.data());
  if (attachment != nullptr && message_) {
    if (auto id =
            property_text(attachment->properties.find(kPrAttachContentId), message_->code_page)) {
      found.content_id = std::move(*id);
    }
  }
  if (!make_files_ || !is_object) return;
  if (const std::optional<Bytes> stream = attached_message_stream(value)) {
    take_attached_message(attachment, *stream, found);
  }
}

std::vector<FoundAttachment> MessageFiles::message_files(
    const std::vector<std::pair<std::string, std::string>>& content_files,
    std::vector<std::string>& notes) const {
  std::vector<FoundAttachment> files;
  if (!message_ || !make_files_) return files;
  if (std::optional<MessageText> text = message_text(*message_)) {
    if (text->extension == ".html") link_content_ids(text->bytes, content_files);
    if (auto file =
            made_file(std::move(text->bytes), name_ + text->extension, name_, kMessageText)) {
      file->damaged = text->damaged;
      files.push_back(std::move(*file));
    }
  }
  if (std::optional<Meeting> meeting = meeting_calendar(*message_, name_)) {
    notes = std::move(meeting->notes);
    if (auto file = made_file(std::move(meeting->ics), name_ + std::string(kCalendarExtension),
                              name_, kMeeting)) {
      files.push_back(std::move(*file));
    }
  }
  return files;
}

}  // namespace kestrox
