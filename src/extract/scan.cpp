// The attachment record scan and the name discovery around each record.
#include "extract/scan.h"

#include "bytes/search.h"
#include "extract/fields.h"
#include "bytes/patterns.h"

namespace kestrox {

namespace {

constexpr std::size_t kTitleForwardWindow = 4000;
constexpr std::size_t kTitleBackwardWindow = 5800;
constexpr std::size_t kPropertyWindow = 4000;
constexpr std::int32_t kLongestBackwardTitle = 53;
constexpr std::int32_t kLongestForwardTitle = 33;
constexpr std::int32_t kShortestName8 = 2;
constexpr std::int32_t kLongestName8 = 100;
constexpr std::int32_t kLongestNameUnicode = 200;

using Bytes = std::span<const std::uint8_t>;

// Copying a stored text of length 0 leaves the buffer as it was.
void copy_stored_text(Bytes source, std::size_t at, std::int32_t length, Text& into) {
  if (length != 0) into.assign(stored_text(source, at, length));
}

// The title step: a backward title before the record, else a forward one after it.
void take_title(Bytes source, std::size_t record_start, std::size_t resume, std::size_t limit,
                const ExtractionState& state, Console& console, Text& name) {
  const std::size_t forward =
      find_bytes(source, resume, kTitleForwardWindow, kAttAttachTitle, limit);
  const std::size_t back_start =
      record_start > kTitleBackwardWindow ? record_start - kTitleBackwardWindow : 0;
  const std::size_t backward = find_bytes_backward(source, back_start, record_start - back_start,
                                                   kAttAttachTitle, limit);
  std::int32_t length = 0;
  if (backward != kNotFound && read_length(source, backward + kRecordLengthOffset, length) &&
      length >= 0 && length <= kLongestBackwardTitle) {
    const std::string_view candidate =
        stored_text(source, backward + kRecordValueOffset, length);
    if (state.previous_title.view() != candidate) {
      copy_stored_text(source, backward + kRecordValueOffset, length, name);
      console.out(";");
      return;
    }
  }
  if (forward != kNotFound && read_length(source, forward + kRecordLengthOffset, length) &&
      length >= 0 && length <= kLongestForwardTitle) {
    copy_stored_text(source, forward + kRecordValueOffset, length, name);
  }
}

// The 8-bit name step: any name property found empties the name; the nearer usable one fills it.
void take_name8(Bytes source, std::size_t resume, std::size_t limit, Console& console,
                Text& name) {
  const std::size_t display =
      find_bytes(source, resume, kPropertyWindow, kPtString8DisplayName, limit);
  const std::size_t long_name =
      find_bytes(source, resume, kPropertyWindow, kPtString8AttachLongFilename, limit);
  if (display == kNotFound && long_name == kNotFound) {
    console.out("~ ");
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
void take_name_unicode(Bytes source, std::size_t resume, std::size_t limit, Console& console,
                       Text& name) {
  const std::size_t display =
      find_bytes(source, resume, kPropertyWindow, kPtUnicodeDisplayName, limit);
  const std::size_t long_name =
      find_bytes(source, resume, kPropertyWindow, kPtUnicodeAttachLongFilename, limit);
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
    if (byte != 0) name.append(static_cast<char>(byte));
  }
  console.out("* ");
}

}  // namespace

void sanitise_name(Text& name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (!is_name_byte(static_cast<unsigned char>(name[i]))) name[i] = '_';
  }
}

Outcome scan_attachments(std::span<const std::uint8_t> source, const OutputTarget& target,
                         Console& console, ExtractionState& state) {
  const std::size_t end = source.size();
  Text name(kUnknownAttachment);
  Text title;

  std::size_t record = find_bytes(source, 0, end, kAttAttachData, end);
  while (record != kNotFound) {
    console.out(".");
    const std::size_t data_start = record + kRecordValueOffset;
    std::int32_t data_length = 0;
    std::size_t resume = data_start;
    std::size_t next = kNotFound;  // the next record from the resume point

    // A length field cut by the buffer end counts as a length beyond what is left.
    const bool readable = read_length(source, record + kRecordLengthOffset, data_length);
    const std::int64_t left = static_cast<std::int64_t>(end) - static_cast<std::int64_t>(data_start);
    if (!readable || data_length > left) {
      console.out(">");
    } else if (data_length < 0) {
      console.out("-");
    } else if (data_length == 0) {
      console.out(" - ");
    } else {
      // Usable. The scan resumes 9 bytes before the data's end, and the next record found from
      // there bounds every search for this one's title and names.
      resume = record + static_cast<std::size_t>(data_length);
      next = find_bytes(source, resume, end - resume, kAttAttachData, end);
      const std::size_t limit = next == kNotFound ? end : next;

      take_title(source, record, resume, limit, state, console, name);
      title = name;
      take_name8(source, resume, limit, console, name);
      take_name_unicode(source, resume, limit, console, name);
      // A name property too long or too short to take leaves no name at all; the attachment is
      // still written, under its title or else the default name.
      if (name.empty()) name.assign(title.empty() ? kUnknownAttachment : title.view());
      sanitise_name(name);

      const AttachmentRecord handed{record, data_start, data_length, resume};
      const Outcome outcome =
          extract_attachment(source, handed, name, title, target, console, state);
      if (outcome.failed()) return outcome;
      name.assign(kUnknownAttachment);
      title.clear();
      record = next;
      continue;
    }
    name.assign(kUnknownAttachment);
    title.clear();
    record = resume < end ? find_bytes(source, resume, end - resume, kAttAttachData, end)
                          : kNotFound;
  }
  print_extraction_summary(state, console);
  return {};
}

}  // namespace kestrox
