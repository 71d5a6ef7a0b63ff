// Naming, numbering, confirming and writing each attachment, and the closing summary.
#include "extract/output.h"

#include <cctype>
#include <optional>

#include "bytes/patterns.h"
#include "bytes/search.h"
#include "extract/fields.h"
#include "extract/lines.h"

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

// The title of the "#" fallback: an attAttachTitle record inside the attachment's own bytes, in
// the 4500 bytes before the point 9 bytes short of their end.
bool find_fallback_title(std::span<const std::uint8_t> source, const FoundAttachment& attachment,
                         const TextDecoding& decoding, std::string& title) {
  std::size_t start = attachment.data_start;
  std::size_t window = static_cast<std::size_t>(attachment.data_length);
  if (window >= kFallbackWindow + kRecordValueOffset) {
    start += window - kRecordValueOffset - kFallbackWindow;
    window = kFallbackWindow;
  }
  const std::size_t found = find_bytes(source, start, window, kAttAttachTitle, source.size());
  if (found == kNotFound) return false;
  std::int32_t length = 0;
  if (!read_length(source, found + kRecordLengthOffset, length) || length < 1 ||
      length > kLongestFallbackTitle) {
    return false;
  }
  title = stored_text_as(source, found + kRecordValueOffset, length, decoding);
  return true;
}

// The length of a text in characters: bytes, or for names in any script UTF-8 characters.
std::size_t characters_in(std::string_view text, NameCharacters characters) {
  if (characters == NameCharacters::kPortable) return text.size();
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

// Puts the number in front of the last '.' of the file name, or at its end when the name has
// none; never into the directory.
void number_path(std::string& path, std::size_t directory_size, std::int32_t number) {
  const std::string digits = std::to_string(number);
  const std::size_t last_dot = path.rfind('.');
  if (last_dot != std::string::npos && last_dot >= directory_size) {
    path.insert(last_dot, digits);
  } else {
    path.append(digits);
  }
}

// A listed file's name as a directory would tell it from others: on Windows case does not count.
std::string listed_name(const std::string& path, const OutputTarget& target) {
  std::string name = path.substr(target.directory.size());
  if (target.style == PathStyle::kWindows) {
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return name;
}

// Nothing stands at the path, or in a listing nothing listed has its name.
bool is_free(const std::string& path, const OutputTarget& target, const ExtractionState& state) {
  if (!target.list) return !entry_identity(path);
  const std::string name = listed_name(path, target);
  return !state.listed_names.contains(name) && !state.earlier_listed.contains(name);
}

// With keep-both, the path in `kept_from` as "STEM (N).EXT" for the first N after the last one
// tried where nothing stands, into `path`; false once so many were tried that the directory is
// taken to be failing. STEM and EXT are split as for numbering: at the last '.' of the file name,
// or " (N)" at the end of a name without one.
bool next_kept_path(ExtractionState& state, const OutputTarget& target, std::string& path) {
  constexpr std::int32_t kMostKeptNumbers = 1000000;
  const std::string& from = state.kept_from;
  const std::size_t directory_size = target.directory.size();
  const std::size_t last_dot = from.rfind('.');
  const std::size_t cut =
      last_dot != std::string::npos && last_dot >= directory_size ? last_dot : from.size();
  while (state.kept_number < kMostKeptNumbers) {
    ++state.kept_number;
    path.assign(from, 0, cut);
    path += " (" + std::to_string(state.kept_number) + ")";
    path.append(from, cut, std::string::npos);
    if (is_free(path, target, state)) {
      state.last_kept_numbers[from] = state.kept_number;
      return true;
    }
  }
  return false;
}

// The output path: the directory, then the name or the title as the extension rule chooses, made
// safe; a default name is replaced by a title found in the attachment's bytes ("#").
void choose_output_path(std::span<const std::uint8_t> source, FoundAttachment& attachment,
                        const OutputTarget& target, const ExtractionState& state,
                        const Glyphs& glyphs, std::string& path) {
  const NameCharacters characters = target.characters;
  // A short extension keeps the name; otherwise the title is preferred, unless it is the
  // placeholder "Untitled Attachment", which makes the name a text file.
  bool prefer_title = false;
  const std::size_t dot = attachment.name.rfind('.');
  if (dot == std::string::npos || characters_in(std::string_view(attachment.name).substr(dot),
                                                characters) > kLongestExtension) {
    if (attachment.title == kUntitledAttachment) {
      attachment.name.append(kTxt);
    } else {
      prefer_title = true;
    }
  }
  const std::string& chosen =
      prefer_title && !attachment.title.empty() ? attachment.title : attachment.name;
  path.assign(target.directory);
  path.append(safe_file_name(chosen, target.style, characters));

  // The fallback looks into the attachment's own bytes in the source: a made file has none.
  if (attachment.is_made() || !ends_with(path, kUnknownAttachment)) return;
  glyphs("#");
  std::string fallback;
  if (!find_fallback_title(source, attachment, state.decoding, fallback)) return;
  // What stood before the default name stays. The whole name passes the gate again, since the
  // two parts together can make what neither is alone ("CON" and ".txt").
  std::string file_name = path.substr(target.directory.size());
  file_name.resize(file_name.size() - kUnknownAttachment.size());
  file_name.append(fallback);
  path.resize(target.directory.size());
  path.append(safe_file_name(file_name, target.style, characters));
}

// True when the path names a file of this run: one it has written (by whatever name: one that
// differs only in case, on a file system that ignores case), or in a listing one it has listed.
// `existing` becomes what stands at the path, if anything.
bool taken_by_this_run(const std::string& path, const OutputTarget& target,
                       const ExtractionState& state, std::optional<FileIdentity>& existing) {
  if (target.list) return state.listed_names.contains(listed_name(path, target));
  existing = entry_identity(path);
  return existing && state.written_files.contains(*existing);
}

// A path is a repeat when it is the previous one or names a file of this run. A repeat is
// numbered, and numbered again while the numbered path also names one, so that the run never
// asks about, or overwrites, its own output. Returns what stands at the final path.
std::optional<FileIdentity> number_repeats(std::string& path, bool repeated,
                                           const OutputTarget& target,
                                           const ExtractionState& state) {
  std::optional<FileIdentity> existing;
  if (!repeated) repeated = taken_by_this_run(path, target, state, existing);
  while (repeated) {
    number_path(path, target.directory.size(), state.files_found);
    // The number can make what the gate let through a device ("COM" and 1): the numbered name
    // passes the gate again.
    const std::size_t directory_size = target.directory.size();
    path.replace(directory_size, std::string::npos,
                 safe_file_name(std::string_view(path).substr(directory_size), target.style,
                                target.characters));
    repeated = taken_by_this_run(path, target, state, existing);
  }
  return existing;
}

// A made file shows what it is where an attachment shows its title.
std::string shown_title(const FoundAttachment& attachment) {
  if (!attachment.is_made()) return attachment.title;
  std::string kind(attachment.kind);
  if (attachment.damaged) kind += ", damaged";
  return kind;
}

void announce(const FoundAttachment& attachment, const std::string& path,
              const OutputTarget& target, Console& console) {
  const bool utf8 = console.utf8();
  auto shown = [&](std::string_view text) {
    return console_safe(text, target.style, utf8, target.characters);
  };
  console.out("Extracting file %s, (%s) length %d to %s\n", shown(attachment.name).c_str(),
              shown(shown_title(attachment)).c_str(), attachment.data_length, shown(path).c_str());
}

// The question about an entry that stood there before: only 'Y' or 'y' replaces it. A quiet run
// never waits: it keeps the entry.
bool overwrite_allowed(const OutputTarget& target, Console& console) {
  console.out("File already exists, press Y to overwrite ... ");
  const int key = target.quiet ? kNoKey : console.read_key();
  const bool allowed = key == 'Y' || key == 'y';
  console.out(allowed ? "Writing.\n" : "Not writing.\n");
  return allowed;
}

// A batch run's line for a file written, or listed.
void report_file(const OutputTarget& target, const std::string& path,
                 const FoundAttachment& attachment) {
  if (target.lines == nullptr) return;
  const FileLine line{target.source_label,    path,
                      attachment.data_length, attachment.is_made() ? attachment.kind : "attachment",
                      attachment.title,       attachment.content_id,
                      attachment.damaged};
  target.lines->write_out(target.json ? json_line(line) : tab_line(line));
}

// A file with a content id that the message's page may show.
void remember_content_id(const FoundAttachment& attachment, const std::string& path,
                         const OutputTarget& target, ExtractionState& state) {
  if (attachment.content_id.empty()) return;
  state.content_files.emplace_back(attachment.content_id, path.substr(target.directory.size()));
}

// `path` becomes the path written, where another program took the name meanwhile.
Outcome write_attachment(std::span<const std::uint8_t> source, const FoundAttachment& attachment,
                         std::string& path, bool replace, const OutputTarget& target,
                         Console& console, ExtractionState& state) {
  ++state.files_written;
  FileIdentity written;
  clear_current_error();
  // Only the entry the user was asked about may be replaced; a name found free must still be. Kept
  // both, a name that another program takes in the meantime is left to it for the next free one.
  std::string written_path = path;
  NextName next_name;
  if (target.keep_both && !replace) {
    if (state.kept_from.empty()) {
      state.kept_from = path;
      state.kept_number = 1;
    }
    next_name = [&](std::string& taken) { return next_kept_path(state, target, taken); };
  }
  const std::uint8_t* const bytes =
      attachment.is_made() ? reinterpret_cast<const std::uint8_t*>(attachment.made.data())
                           : source.data() + attachment.data_start;
  const WriteResult result =
      write_whole_file(written_path, bytes, static_cast<std::size_t>(attachment.data_length),
                       replace, written, next_name);
  state.kept_from.clear();
  switch (result) {
    case WriteResult::kWritten:
      break;
    case WriteResult::kSourceChanged:
      return {"Incomplete file read.\n", path, {}, true};
    case WriteResult::kCannotOpen:
    case WriteResult::kShortWrite:
      return {result == WriteResult::kCannotOpen ? "File error - Cannot open file for writing\n"
                                                 : "File error - wrote wrong length\n",
              path, describe_current_error()};
  }
  // An identity that could not be taken stays all zero and must match nothing.
  if (written != FileIdentity{}) state.written_files.insert(written);
  if (written_path != path) {
    const bool utf8 = console.utf8();
    console.err("kestrox: %s: File exists; written as %s\n",
                console_safe(path, target.style, utf8, target.characters).c_str(),
                console_safe(written_path, target.style, utf8, target.characters).c_str());
    path = std::move(written_path);
  }
  return {};
}

}  // namespace

Outcome extract_attachment(std::span<const std::uint8_t> source, FoundAttachment& attachment,
                           const OutputTarget& target, Console& console, ExtractionState& state) {
  const Glyphs glyphs(console, !target.list);
  std::string& path = state.output_path;
  choose_output_path(source, attachment, target, state, glyphs, path);
  const bool repeated = path == state.previous_output_path;
  state.previous_output_path = path;
  state.previous_title = attachment.title;

  // The number never changes whether the path ends in ".AUF", so the test can come first and
  // spare the look at the file system.
  if (!attachment.is_made() && attachment.data_length == kPassedOverLength &&
      ends_with(path, kAuf)) {
    glyphs("<");
    return {};
  }
  std::optional<FileIdentity> existing = number_repeats(path, repeated, target, state);
  // Kept both, or a name that an earlier source of a batch took: the entry keeps its name, and
  // the attachment takes the first free "STEM (N).EXT".
  state.kept_from.clear();
  const bool earlier = target.list ? state.earlier_listed.contains(listed_name(path, target))
                                   : existing && state.earlier_files.contains(*existing);
  if ((existing && target.keep_both) || earlier) {
    state.kept_from = path;
    const auto last = state.last_kept_numbers.find(path);
    state.kept_number = last == state.last_kept_numbers.end() ? 1 : last->second;
    // Past a million taken names the directory is beyond keeping: the entry meets the question.
    if (next_kept_path(state, target, path)) {
      existing.reset();
    } else {
      path = state.kept_from;
      state.kept_from.clear();
    }
  }
  ++state.files_found;
  if (target.list) {
    state.listed_names.insert(listed_name(path, target));
    remember_content_id(attachment, path, target, state);
    report_file(target, path, attachment);
    return {};
  }
  if (attachment.is_made()) glyphs("=");
  announce(attachment, path, target, console);
  if (!existing) {
    console.out("Writing.\n");
  } else if (!overwrite_allowed(target, console)) {
    // A batch run keeps what stood there, and says so where a script looks for it.
    if (target.lines != nullptr) {
      target.lines->err("kestrox: %s: File exists\n",
                        console_safe(path, target.style, console.utf8()).c_str());
    }
    return {};
  }
  Outcome outcome =
      write_attachment(source, attachment, path, existing.has_value(), target, console, state);
  if (!outcome.failed()) {
    remember_content_id(attachment, path, target, state);
    report_file(target, path, attachment);
  }
  return outcome;
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
    console.out(
        "This is normal; Outlook also saves the formatting of the e-mail in winmail.dat.\n");
  }
}

}  // namespace kestrox
