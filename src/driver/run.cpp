// The frame of every run, from the banner to the key prompt at its end.
#include "driver/run.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "bytes/patterns.h"
#include "decode/container.h"
#include "driver/banner.h"
#include "driver/paths.h"
#include "extract/output.h"
#include "extract/scan.h"

namespace kestrox {

namespace {

constexpr int kPosixFailureStatus = 231;
constexpr int kPosixLargestCount = 230;
constexpr std::size_t kMostArguments = 3;

struct Ending {
  Console& console;
  bool quiet = false;

  void prompt() {
    if (quiet) return;  // a quiet run never waits, and says nothing of a key
    console.out("\nPress a key to continue...");
    console.read_key();
    console.end_of_run_key();
  }
  int normal(std::int32_t files_written) {
    prompt();
    return files_written;
  }
  int failure(const char* message) {
    if (message != nullptr) console.out("%s", message);
    prompt();
    return kFailureResult;
  }
};

bool is_quiet_word(const std::string& word) {
  return (!word.empty() && (word[0] == 'Q' || word[0] == 'q')) || word == "-q" || word == "--quiet";
}

const char* load_failure(SourceFile::Load load) {
  switch (load) {
    case SourceFile::Load::kNoMemory:
      return "Cannot allocate memory.\n";
    case SourceFile::Load::kIncomplete:
      return "Incomplete file read.\n";
    case SourceFile::Load::kLoaded:
      break;
  }
  return nullptr;
}

bool is_help_word(const std::string& word, PathStyle style) {
  return word == "--help" || word == "-h" || (style == PathStyle::kWindows && word == "/?");
}

// The name by which standard input is given as the source.
constexpr std::string_view kStandardInput = "-";

}  // namespace

int run(std::span<const std::string> arguments, Console& console, PathStyle style) {
  ExtractionState state;
  Ending ending{console};

  // Asked what the program is, it says so and is done: no banner, no key.
  if (arguments.size() == 2 && is_help_word(arguments[1], style)) {
    console.write_out(usage_text(style));
    return 0;
  }
  if (arguments.size() == 2 && arguments[1] == "--version") {
    console.write_out(version_text());
    return 0;
  }

  console.write_out(banner_text(console.utf8() ? BannerStyle::kUtf8 : BannerStyle::kCodePage437));

  const std::size_t count = arguments.empty() ? 0 : arguments.size() - 1;
  if (count > kMostArguments) return ending.failure("Invalid arguments\n");

  std::string source_path;
  std::string output_directory;
  if (count == 0) {
    std::string working_directory;
    if (!get_working_directory(working_directory)) {
      console.err("Error getting working directory.: %s\n", describe_current_error().c_str());
      return ending.failure(nullptr);
    }
    source_path = default_source_in(working_directory, style);
    output_directory = working_directory;
    if (!can_open_for_reading(source_path)) {
      // Not in the working directory: look next to the program itself.
      ProgramDirectory program =
          program_directory(arguments.empty() ? std::string_view() : arguments[0], style);
      if (program.marked) console.out("#");
      output_directory = std::move(program.directory);
      source_path = default_source_in(output_directory, style);
    }
  } else {
    source_path = arguments[1];
    // The source's bytes arrive on standard input, so no key may be taken from there.
    if (source_path == kStandardInput) console.read_keys_from_terminal();
    if (count >= 2) ending.quiet = is_quiet_word(arguments[2]);
    output_directory = count == 3 ? arguments[3] : directory_part(arguments[1], style);
  }
  const OutputTarget target{normalise_output_directory(std::move(output_directory), style),
                            ending.quiet, style};

  // Loading: the whole file in one block of exactly its length. The text so far is visible before
  // a pipe or a FIFO keeps the run waiting for its data.
  console.out("Analysing file %s", console_safe(source_path, style, console.utf8()).c_str());
  console.flush();
  SourceFile file;
  if (!file.open(source_path)) return ending.failure("\nCannot find source file.\n");
  // A size the signed 32-bit length cannot hold is a length that cannot be taken.
  const std::int64_t size = file.measure(std::numeric_limits<std::int32_t>::max());
  const std::int32_t length = size >= 0 && size <= std::numeric_limits<std::int32_t>::max()
                                  ? static_cast<std::int32_t>(size)
                                  : -1;
  console.out(", length %d\n", length);
  if (length < 0) return ending.failure("Cannot allocate memory.\n");
  if (const char* failure = load_failure(file.load(static_cast<std::size_t>(length)))) {
    return ending.failure(failure);
  }

  // This is where the source buffer is turned into attachments. Container detection leaves a
  // raw TNEF stream as it is; anything else it may decode over the buffer.
  std::span<std::uint8_t> source = file.bytes();
  if (source.size() < sizeof kTnefSignature ||
      std::memcmp(source.data(), kTnefSignature, sizeof kTnefSignature) != 0) {
    if (const char* failure = load_failure(file.make_writable())) return ending.failure(failure);
    source = file.bytes();
  }
  decode_container(source, console);
  // A source cut short while in use has been read as zeros from there on.
  if (!file.intact()) return ending.failure("Incomplete file read.\n");
  const Outcome outcome = scan_attachments(source, target, console, state);
  if (outcome.failed()) return ending.failure(outcome.failure);
  if (!file.intact()) return ending.failure("Incomplete file read.\n");
  return ending.normal(state.files_written);
}

int exit_status(int result, PathStyle style) {
  if (style == PathStyle::kWindows) return result;
  if (result == kFailureResult) return kPosixFailureStatus;
  return result > kPosixLargestCount ? kPosixLargestCount : result;
}

}  // namespace kestrox
