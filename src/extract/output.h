// Output naming, the overwrite question, writing an attachment and the closing summary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "extract/names.h"
#include "extract/safe_text.h"
#include "platform/console.h"
#include "platform/host.h"

namespace kestrox {

inline constexpr std::string_view kUntitledAttachment = "Untitled Attachment";

// Where the files go and how the run answers questions.
struct OutputTarget {
  std::string directory;  // empty, a bare drive, or ending in the separator
  bool quiet = false;
  PathStyle style = PathStyle::kPosix;
  // Says what each attachment would be written as, in an empty directory; writes and asks
  // nothing, and leaves the progress glyphs out.
  bool list = false;
  // A batch run's line for every file written or listed goes here (nowhere outside a batch
  // run), naming the source as the command line gave it, tab-separated or as JSON.
  Console* lines = nullptr;
  std::string_view source_label{};
  bool json = false;
  // An entry that stood there before the run, or that another program took meanwhile, is kept:
  // the attachment takes the first free name "STEM (N).EXT" instead.
  bool keep_both = false;
  // Names in ASCII alone, or as the sender wrote them, in any script.
  NameCharacters characters = NameCharacters::kPortable;
  // Also the files made of the message itself: its text, its meeting, its attached messages.
  bool message = false;
};

// Orders file identities, so that the files a run has written can be looked up.
struct FileIdentityOrder {
  bool operator()(const FileIdentity& a, const FileIdentity& b) const {
    return a.device != b.device ? a.device < b.device : a.number < b.number;
  }
};

// What carries over from one record to the next, and the run's two counts.
struct ExtractionState {
  std::string previous_output_path;
  std::string previous_title;
  // Every file this run has written, by identity: a later path that reaches one of them, by the
  // same name or another, is a repeat and is numbered rather than asked about.
  std::set<FileIdentity, FileIdentityOrder> written_files;
  // What the earlier sources of a batch run wrote (or listed): a name one of them took is kept
  // apart from as an entry that stood there before is with keep-both, under "STEM (N).EXT".
  std::set<FileIdentity, FileIdentityOrder> earlier_files;
  std::set<std::string> earlier_listed;
  // The last N that a kept-apart name took, by the path it was kept apart from: the next one
  // starts looking there rather than at 2 again.
  std::map<std::string, std::int32_t> last_kept_numbers;
  // In a listing, the file names listed so far: the files an empty directory would hold.
  std::set<std::string> listed_names;
  // How titles and names become text in this run: the scan settles it from the message.
  TextDecoding decoding;
  std::int32_t files_found = 0;
  std::int32_t files_written = 0;
  std::string output_path;  // kept here so that its storage is reused from record to record
  // The content id and file name of every attachment written (or listed) that has a content id,
  // for the links of the message's page.
  std::vector<std::pair<std::string, std::string>> content_files;
  // With keep-both, the path that the attachment being written keeps apart from an entry of
  // another's, and the number it tried last.
  std::string kept_from;
  std::int32_t kept_number = 0;
};

// A write failure's message, with the path and the host's reason, or none when the run goes on.
// `source_changed`: the file was not written because the source changed while it was read; the
// reason is then the source's, which only the caller knows.
struct [[nodiscard]] Outcome {
  const char* failure = nullptr;
  std::string path;
  std::string reason;
  bool source_changed = false;
  bool failed() const { return failure != nullptr; }
};

// An attachment as a scan hands it over. Positions are offsets into the source buffer.
struct FoundAttachment {
  std::size_t data_start = 0;
  std::int32_t data_length = 0;  // at least 1, and the bytes lie inside the buffer
  std::string name;              // sanitised and not empty; ".txt" may be appended to it
  std::string title;             // as found near the attachment
  // A file made of the message rather than found in the source (its text, its meeting, an
  // attached message): what it is ("message text", "meeting", "attached message"), shown in
  // place of the title, and its bytes, written in place of the source's.
  std::string_view kind{};
  std::string made{};
  bool damaged = false;  // made of a stream that did not check out
  // The attachment's content id (PR_ATTACH_CONTENT_ID), where the message was read.
  std::string content_id{};

  bool is_made() const { return !kind.empty(); }
};

// Names, numbers, confirms and writes one attachment, whichever scan found it.
[[nodiscard]] Outcome extract_attachment(std::span<const std::uint8_t> source,
                                         FoundAttachment& attachment, const OutputTarget& target,
                                         Console& console, ExtractionState& state);

void print_extraction_summary(const ExtractionState& state, Console& console);

}  // namespace kestrox
