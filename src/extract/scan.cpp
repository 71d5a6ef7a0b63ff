// The two attachment scans: attAttachData records, then the property lists of attachments that
// have no such record. Both hand what they find to extract_attachment.
#include "extract/scan.h"

#include <algorithm>
#include <vector>

#include "bytes/patterns.h"
#include "bytes/search.h"
#include "extract/fields.h"
#include "extract/message_files.h"
#include "extract/names.h"

namespace kestrox {

namespace {

constexpr std::size_t kTitleForwardWindow = 4000;
constexpr std::size_t kTitleBackwardWindow = 5800;
constexpr std::size_t kPropertyWindow = 4000;
constexpr std::int32_t kLongestBackwardTitle = 53;
constexpr std::int32_t kLongestForwardTitle = 33;

// What one scan works with.
struct Scan {
  Bytes source;
  const OutputTarget& target;
  Console& console;
  ExtractionState& state;
  Glyphs glyphs;
  const MessageFiles* message;  // the message as read, where the run reads it
};

// Where the scan found an attachment's bytes, so that what the message says of it can be added:
// an attAttachData record's head, or a property's whole value.
struct FoundAt {
  std::size_t record = kNotFound;
  Bytes property_value{};
  bool is_object = false;
};

// The bytes of a usable attAttachData record, from its head to where the record scan resumed:
// the attachment's own contents, which the property-list scan does not search.
struct Passed {
  std::size_t head;
  std::size_t resume;
};

// The glyph of a stored length that cannot be taken, or none: one that runs past what is left of
// its room (or cannot be read), then the contents' length negative or zero.
const char* unusable_length(bool readable, std::int64_t stored, std::int64_t left,
                            std::int64_t length) {
  return !readable || stored > left ? ">" : length < 0 ? "-" : length == 0 ? " - " : nullptr;
}

// The name steps on the properties found, then what the message says of the attachment, then
// the attachment goes its one way.
Outcome name_and_extract(const Scan& scan, FoundAttachment& attachment, const NameProperties& names,
                         const FoundAt& at) {
  attachment.title = attachment.name;
  take_names(scan.source, names, scan.state.decoding, scan.glyphs, attachment.name);
  finish_name(attachment.name, attachment.title, scan.state.decoding);
  if (scan.message != nullptr) {
    if (at.record != kNotFound) {
      scan.message->complete_record(at.record, attachment);
    } else {
      scan.message->complete_property(at.property_value, at.is_object, attachment);
    }
    // An attached message written as a mail of its own is named after it, as the message's
    // other files are.
    if (attachment.is_made()) {
      attachment.name = name_from_text(attachment.name, scan.target.characters);
    }
  }
  return extract_attachment(scan.source, attachment, scan.target, scan.console, scan.state);
}

std::size_t start_back_from(std::size_t position) {
  return position > kTitleBackwardWindow ? position - kTitleBackwardWindow : 0;
}

// The last attAttachTitle record lying whole in [from, to), if its stored length is 0 to 53.
bool find_backward_title(Bytes source, std::size_t from, std::size_t to, std::size_t limit,
                         std::size_t& title, std::int32_t& length) {
  title = find_bytes_backward(source, from, to - from, kAttAttachTitle, limit);
  return title != kNotFound && read_length(source, title + kRecordLengthOffset, length) &&
         length >= 0 && length <= kLongestBackwardTitle;
}

// The title step of a record: a backward title before it, unless it repeats the previous title,
// else a forward one after it.
void take_record_title(const Scan& scan, std::size_t record_start, std::size_t resume,
                       std::size_t limit, std::string& name) {
  const Bytes source = scan.source;
  const TextDecoding& decoding = scan.state.decoding;
  std::size_t title = kNotFound;
  std::int32_t length = 0;
  if (find_backward_title(source, start_back_from(record_start), record_start, limit, title,
                          length)) {
    std::string candidate = stored_text_as(source, title + kRecordValueOffset, length, decoding);
    if (scan.state.previous_title != candidate) {
      if (length != 0) name = std::move(candidate);
      scan.glyphs(";");
      return;
    }
  }
  title = find_bytes(source, resume, kTitleForwardWindow, kAttAttachTitle, limit);
  if (title != kNotFound && read_length(source, title + kRecordLengthOffset, length) &&
      length >= 0 && length <= kLongestForwardTitle) {
    copy_stored_text(source, title + kRecordValueOffset, length, decoding, name);
  }
}

// The name properties of a record: in the window after its data, else in its own property list,
// which Outlook writes after an icon picture that can push it past the window.
NameProperties record_name_properties(Bytes source, std::size_t resume, std::size_t limit) {
  const NameProperties near = find_name_properties(source, {{resume, kPropertyWindow, limit}});
  if (!near.none()) return near;
  const std::size_t list = find_in(source, window_within(resume, limit), kAttAttachment);
  std::int32_t length = 0;
  if (list == kNotFound || !read_length(source, list + kRecordLengthOffset, length) || length < 0) {
    return near;
  }
  const std::size_t value = list + kRecordValueOffset;
  const std::size_t stop =
      std::min({value + static_cast<std::size_t>(length), source.size(), limit});
  return find_name_properties(source, {window_within(value, stop)});
}

// The record at `record`: its glyphs, and its attachment when it is usable. `resume` becomes
// where the next record is looked for, `next` that record (or kNotFound).
Outcome take_record(const Scan& scan, std::size_t record, std::size_t& resume, std::size_t& next,
                    std::vector<Passed>& passed) {
  const Bytes source = scan.source;
  const std::size_t end = source.size();
  const std::size_t data_start = record + kRecordValueOffset;
  std::int32_t data_length = 0;
  resume = data_start;
  // A length field cut by the buffer end counts as a length beyond what is left.
  const bool readable = read_length(source, record + kRecordLengthOffset, data_length);
  const std::int64_t left = static_cast<std::int64_t>(end) - static_cast<std::int64_t>(data_start);
  if (const char* unusable = unusable_length(readable, data_length, left, data_length)) {
    scan.glyphs(unusable);
    next = resume < end ? find_bytes(source, resume, end - resume, kAttAttachData, end) : kNotFound;
    return {};
  }
  // The scan resumes 9 bytes before the data's end, and the next record found from there bounds
  // every search for this one's title and names.
  resume = record + static_cast<std::size_t>(data_length);
  passed.push_back({record, resume});
  next = find_bytes(source, resume, end - resume, kAttAttachData, end);
  const std::size_t limit = next == kNotFound ? end : next;

  FoundAttachment attachment{data_start, data_length, std::string(kUnknownAttachment), {}};
  take_record_title(scan, record, resume, limit, attachment.name);
  return name_and_extract(scan, attachment, record_name_properties(source, resume, limit),
                          FoundAt{record});
}

// The attAttachData records, from the buffer's start. `passed` collects the usable ones.
Outcome scan_records(const Scan& scan, std::vector<Passed>& passed) {
  const std::size_t end = scan.source.size();
  std::size_t record = find_bytes(scan.source, 0, end, kAttAttachData, end);
  while (record != kNotFound) {
    scan.glyphs(".");
    std::size_t resume = 0;
    const Outcome outcome = take_record(scan, record, resume, record, passed);
    if (outcome.failed()) return outcome;
  }
  return {};
}

// The contents that the property list [value, value_end) of an attachment holds, if any: the
// first PR_ATTACH_DATA_BIN or PR_ATTACH_DATA_OBJ in it, named from the title before the list and
// the name properties in it. `began` is where the attachment's attributes began.
Outcome take_property_attachment(const Scan& scan, std::size_t began, std::size_t list,
                                 std::size_t value, std::size_t value_end) {
  const Bytes source = scan.source;
  const SearchWindow within = window_within(value, value_end);
  const std::size_t binary = find_in(source, within, kPtBinaryAttachDataBin);
  const std::size_t object = find_in(source, within, kPtObjectAttachDataObj);
  const std::size_t property = std::min(binary, object);
  if (property == kNotFound) return {};
  scan.glyphs("+");

  // An object's value opens with the identifier of its interface, which is no part of the file.
  const std::size_t skipped = property == object ? kObjectInterfaceSize : 0;
  std::int32_t stored = 0;
  const bool readable = read_length(source, property + kPropertyLengthOffset, stored);
  const std::int64_t left = static_cast<std::int64_t>(value_end) -
                            static_cast<std::int64_t>(property + kPropertyValueOffset);
  const std::int64_t length = std::int64_t{stored} - static_cast<std::int64_t>(skipped);
  if (const char* unusable = unusable_length(readable, stored, left, length)) {
    scan.glyphs(unusable);
    return {};
  }
  const std::size_t data_start = property + kPropertyValueOffset + skipped;
  const std::size_t data_end = data_start + static_cast<std::size_t>(length);
  FoundAttachment attachment{
      data_start, static_cast<std::int32_t>(length), std::string(kUnknownAttachment), {}};

  const std::size_t title_from = std::max(began, start_back_from(list));
  std::size_t title = kNotFound;
  std::int32_t title_length = 0;
  if (find_backward_title(source, title_from, list, list, title, title_length)) {
    copy_stored_text(source, title + kRecordValueOffset, title_length, scan.state.decoding,
                     attachment.name);
    scan.glyphs(";");
  }
  const FoundAt at{
      kNotFound, source.subspan(property + kPropertyValueOffset, static_cast<std::size_t>(stored)),
      property == object};
  return name_and_extract(scan, attachment,
                          find_name_properties(source, {window_within(value, property),
                                                        window_within(data_end, value_end)}),
                          at);
}

// The attAttachment records of the buffer, passing over the contents of the usable
// attAttachData records. Each closes the attachment whose attributes began where the previous
// one ended; when no attAttachData record lies among those attributes, the attachment's
// contents can only be in its property list.
Outcome scan_property_lists(const Scan& scan, const std::vector<Passed>& passed) {
  const Bytes source = scan.source;
  const std::size_t end = source.size();
  std::size_t at = 0;
  std::size_t began = 0;
  auto next_passed = passed.begin();
  for (;;) {
    while (next_passed != passed.end() && next_passed->resume <= at) ++next_passed;
    if (next_passed != passed.end() && next_passed->head <= at) {
      at = next_passed->resume;
      continue;
    }
    const std::size_t stop = next_passed != passed.end() ? next_passed->head : end;
    const std::size_t list = find_in(source, window_within(at, stop), kAttAttachment);
    if (list == kNotFound) {
      if (next_passed == passed.end()) return {};
      at = next_passed->resume;
      continue;
    }
    // A length that cannot be read, is negative or runs past the buffer passes the head over.
    const std::size_t value = list + kRecordValueOffset;
    std::int32_t length = 0;
    if (!read_length(source, list + kRecordLengthOffset, length) || length < 0 ||
        static_cast<std::size_t>(length) > end - value) {
      at = value;
      continue;
    }
    const std::size_t value_end = value + static_cast<std::size_t>(length);
    const std::size_t attributes = began;
    began = at = value_end;
    if (find_in(source, window_within(attributes, list), kAttAttachData) != kNotFound) continue;
    const Outcome outcome = take_property_attachment(scan, attributes, list, value, value_end);
    if (outcome.failed()) return outcome;
  }
}

// The files made of the message itself, after every attachment and before the summary; what the
// meeting's file cannot say, said after it.
Outcome extract_message_files(const Scan& scan) {
  std::vector<std::string> notes;
  std::vector<FoundAttachment> files = scan.message->message_files(scan.state.content_files, notes);
  for (FoundAttachment& file : files) {
    file.name = name_from_text(file.name, scan.target.characters);
    const Outcome outcome =
        extract_attachment(scan.source, file, scan.target, scan.console, scan.state);
    if (outcome.failed()) return outcome;
    if (file.kind != "meeting") continue;
    for (const std::string& note : notes) {
      scan.console.out("Note on %s: %s.\n",
                       console_safe(file.name, scan.target.style, scan.console.utf8(),
                                    scan.target.characters)
                           .c_str(),
                       console_safe(note, scan.target.style, scan.console.utf8()).c_str());
    }
  }
  return {};
}

}  // namespace

Outcome scan_attachments(Bytes source, const OutputTarget& target, Console& console,
                         ExtractionState& state, const MessageFiles* message) {
  const Scan scan{source, target, console, state, Glyphs(console, !target.list), message};
  state.decoding.original = target.characters == NameCharacters::kOriginal;
  if (state.decoding.original) state.decoding.code_page = message_code_page(source);
  std::vector<Passed> passed;
  Outcome outcome = scan_records(scan, passed);
  if (!outcome.failed()) outcome = scan_property_lists(scan, passed);
  if (!outcome.failed() && message != nullptr) outcome = extract_message_files(scan);
  if (outcome.failed()) return outcome;
  print_extraction_summary(state, console);
  return {};
}

}  // namespace kestrox
