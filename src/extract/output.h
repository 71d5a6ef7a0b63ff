// Output naming, the overwrite question, writing an attachment and the closing summary.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "extract/text.h"
#include "platform/console.h"
#include "platform/host.h"

namespace kestrox {

inline constexpr std::string_view kUnknownAttachment = "Unknown Attachment.txt";
inline constexpr std::string_view kUntitledAttachment = "Untitled Attachment";

// Where the files go and how the run answers questions.
struct OutputTarget {
  std::string directory;  // empty, a bare drive, or ending in the separator
  bool quiet = false;
  PathStyle style = PathStyle::kPosix;
};

// What carries over from one record to the next, and the run's two counts.
struct ExtractionState {
  std::string previous_output_path;
  Text previous_title;
  std::int32_t files_found = 0;
  std::int32_t files_written = 0;
  std::string output_path;  // kept here so that its storage is reused from record to record
};

// A write failure's message, or none when the run goes on.
struct [[nodiscard]] Outcome {
  const char* failure = nullptr;
  bool failed() const { return failure != nullptr; }
};

// The record that the scan hands over. Positions are offsets into the source buffer.
struct AttachmentRecord {
  std::size_t record_start = 0;
  std::size_t data_start = 0;
  std::int32_t data_length = 0;  // at least 1, and the data lies inside the buffer
  std::size_t resume_point = 0;
};

[[nodiscard]] Outcome extract_attachment(std::span<const std::uint8_t> source,
                                         const AttachmentRecord& record, Text& name,
                                         const Text& title, const OutputTarget& target,
                                         Console& console, ExtractionState& state);

void print_extraction_summary(const ExtractionState& state, Console& console);

// The one gate for every file name put behind the output directory: the result is a single,
// non-empty name that holds no separator of either style, is neither "." nor "..", and in the
// Windows style names no device.
std::string safe_file_name(std::string_view name, PathStyle style);

// A title as it may be shown on the console: control bytes become '_'.
std::string console_safe(std::string_view text);

}  // namespace kestrox
