// Naming, numbering, confirming and writing each attachment, and the closing summary.
#include "extract/output.h"

#include <cctype>

#include "bytes/search.h"
#include "extract/fields.h"
#include "bytes/patterns.h"

namespace kestrox {

namespace {

constexpr std::string_view kTxt = ".txt";
constexpr std::string_view kAuf = ".AUF";
constexpr std::size_t kLongestExtension = 5;  // the '.' included, as in ".docx"
constexpr std::size_t kFallbackWindow = 4500;
constexpr std::int32_t kLongestFallbackTitle = 53;
constexpr std::int32_t kPassedOverLength = 348;

bool ends_with(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

// CON, PRN, AUX, NUL, COM1-COM9 and LPT1-LPT9, alone or before a '.', in any case. Windows
// drops the spaces at the end of that stem, so "CON .txt" and "nul " open the device too.
bool is_windows_device_name(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  for (std::string_view device : {"CON", "PRN", "AUX", "NUL"}) {
    if (equals_ignoring_case(stem, device)) return true;
  }
  if (stem.size() == 4 && stem[3] >= '1' && stem[3] <= '9') {
    const std::string_view prefix = stem.substr(0, 3);
    return equals_ignoring_case(prefix, "COM") || equals_ignoring_case(prefix, "LPT");
  }
  return false;
}

// The title of the "#" fallback: an attAttachTitle record inside the attachment's own data.
bool find_fallback_title(std::span<const std::uint8_t> source, const AttachmentRecord& record,
                         std::string_view& title) {
  std::size_t start = record.data_start;
  std::size_t window = static_cast<std::size_t>(record.data_length);
  if (window >= kFallbackWindow + kRecordValueOffset) {
    start = record.resume_point - kFallbackWindow;
    window = kFallbackWindow;
  }
  const std::size_t found = find_bytes(source, start, window, kAttAttachTitle, source.size());
  if (found == kNotFound) return false;
  std::int32_t length = 0;
  if (!read_length(source, found + kRecordLengthOffset, length) || length < 1 ||
      length > kLongestFallbackTitle) {
    return false;
  }
  title = stored_text(source, found + kRecordValueOffset, length);
  return true;
}

}  // namespace

std::string safe_file_name(std::string_view name, PathStyle style) {
  std::string safe(name);
  for (char& c : safe) {
    if (!is_name_byte(static_cast<unsigned char>(c))) c = '_';
  }
  // A name of dots alone (or no name at all) would name a directory, not a file.
  if (safe.find_first_not_of('.') == std::string::npos ||
      (style == PathStyle::kWindows && is_windows_device_name(safe))) {
    safe.insert(safe.begin(), '_');
  }
  return safe;
}

std::string console_safe(std::string_view text) {
  std::string shown(text);
  for (char& c : shown) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 0x01 && byte <= 0x1F) || byte == 0x7F) c = '_';
  }
  return shown;
}

Outcome extract_attachment(std::span<const std::uint8_t> source, const AttachmentRecord& record,
                           Text& name, const Text& title, const OutputTarget& target,
                           Console& console, ExtractionState& state) {
  // Extension rule: a short extension keeps the name; otherwise the title is preferred, unless
  // it is the placeholder "Untitled Attachment", which makes the name a text file.
  bool prefer_title = false;
  const std::size_t dot = name.view().rfind('.');
  if (dot == std::string_view::npos || name.size() - dot > kLongestExtension) {
    if (title == kUntitledAttachment) {
      name.append(kTxt);
    } else {
      prefer_title = true;
    }
  }
  if (name.empty()) return {};  // dropped without a trace

  std::string& path = state.output_path;
  const std::string_view chosen = prefer_title && !title.empty() ? title.view() : name.view();
  path.assign(target.directory);
  path.append(safe_file_name(chosen, target.style));

  if (ends_with(path, kUnknownAttachment)) {
    console.out("#");
    std::string_view fallback;
    if (find_fallback_title(source, record, fallback)) {
      path.resize(path.size() - kUnknownAttachment.size());
      path.append(safe_file_name(fallback, target.style));
    }
  }

  // Duplicate numbering against the previous path only; the number goes in front of the last
  // '.' of the file name, never into the directory.
  const bool repeated = path == state.previous_output_path;
  state.previous_output_path = path;
  state.previous_title = title;
  if (repeated) {
    const std::string number = std::to_string(state.files_found);
    const std::size_t last_dot = path.rfind('.');
    if (last_dot != std::string::npos && last_dot >= target.directory.size()) {
      path.insert(last_dot, number);
    } else {
      path.append(number);
    }
  }

  if (record.data_length == kPassedOverLength && ends_with(path, kAuf)) {
    console.out("<");
    return {};
  }

  console.out("Extracting file %s, (%s) length %d to %s\n", name.c_str(),
              console_safe(title.view()).c_str(), record.data_length, path.c_str());
  ++state.files_found;

  if (entry_identity(path)) {
    console.out("File already exists, press Y to overwrite ... ");
    // A quiet run never waits: it keeps the existing file.
    const int key = target.quiet ? kNoKey : console.read_key();
    if (key != 'Y' && key != 'y') {
      console.out("Not writing.\n");
      return {};
    }
  }
  console.out("Writing.\n");

  ++state.files_written;
  FileIdentity written;
  switch (write_whole_file(path, source.data() + record.data_start,
                           static_cast<std::size_t>(record.data_length), written)) {
    case WriteResult::kCannotOpen:
      return {"File error - Cannot open file for writing\n"};
    case WriteResult::kShortWrite:
      return {"File error - wrote wrong length\n"};
    case WriteResult::kWritten:
      break;
  }
  return {};
}

void print_extraction_summary(const ExtractionState& state, Console& console) {
  console.out("\n");
  if (state.files_written == 1) {
    console.out("Extracted 1 file.\n");
  } else if (state.files_written > 1) {
    console.out("Extracted %d files.\n", state.files_written);
  }
  if (state.files_found == 0) {
    console.out("Your winmail.dat does not seem to contain attached files.\n");
    console.out("This is normal; Outlook also saves the formatting of the e-mail in winmail.dat.\n");
  }
}

}  // namespace kestrox
