// The frame of every run, from the banner to the key prompt at its end.
#include "driver/run.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "bytes/patterns.h"
#include "decode/container.h"
#include "driver/banner.h"
#include "driver/options.h"
#include "driver/paths.h"
#include "extract/output.h"
#include "extract/scan.h"

namespace kestrox {

namespace {

constexpr int kPosixFailureStatus = 231;
constexpr int kPosixLargestCount = 230;
constexpr std::size_t kMostArguments = 3;

// The name by which standard input is given as the source.
constexpr std::string_view kStandardInput = "-";

struct Ending {
  Console& console;
  PathStyle style;
  bool quiet = false;
  // While the source is open the closing key waits until it is let go: no other program should
  // wait for this one (its lease, or on Windows its opening for writing) while nobody presses it.
  bool source_open = false;
  bool prompt_due = false;

  void prompt() {
    if (quiet) return;  // a quiet run never waits, and says nothing of a key
    if (source_open) {
      prompt_due = true;
      return;
    }
    console.out("\nPress a key to continue...");
    console.read_key();
    console.end_of_run_key();
  }
  void source_closed() {
    source_open = false;
    if (prompt_due) prompt();
  }
  int normal(std::int32_t result) {
    prompt();
    return result;
  }
  // The message on standard output as it always was, and for scripts one line on standard error
  // that says what failed and why.
  int failure(const char* message, std::string_view path, std::string_view reason) {
    if (message != nullptr) console.out("%s", message);
    console.err("kestrox: %s: %.*s\n", console_safe(path, style, console.utf8()).c_str(),
                static_cast<int>(reason.size()), reason.data());
    prompt();
    return kFailureResult;
  }
  int failure(const Outcome& outcome) {
    return failure(outcome.failure, outcome.path, outcome.reason);
  }
};

bool is_quiet_word(const std::string& word) {
  return (!word.empty() && (word[0] == 'Q' || word[0] == 'q')) || word == "-q" || word == "--quiet";
}

bool is_help_word(const std::string& word, PathStyle style) {
  return word == "--help" || word == "-h" || (style == PathStyle::kWindows && word == "/?");
}

// The reason the host gave for the failure just met, or `otherwise` when it gave none.
std::string host_reason(std::string_view otherwise) {
  std::string reason = describe_current_error();
  return reason.empty() ? std::string(otherwise) : reason;
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

// Why the source's bytes cannot be trusted, as the host tells it.
std::string change_of(const SourceFile& file) {
  const std::string_view change = file.change();
  return std::string(change.empty() ? "the file changed while it was read" : change);
}

// Where the run reads and writes, once the arguments are taken apart.
struct Places {
  std::string source_path;
  std::string output_directory;
};

// The no-argument case: winmail.dat in the working directory, else beside the program. False
// (with the reason set) when the working directory cannot be had.
bool default_places(const Options& options, Console& console, PathStyle style, Places& places) {
  std::string working_directory;
  if (!get_working_directory(working_directory)) return false;
  places.source_path = default_source_in(working_directory, style);
  places.output_directory = working_directory;
  if (can_open_for_reading(places.source_path)) return true;
  // Not in the working directory: look next to the program itself. Started through the search
  // path on POSIX, argument 0 holds no '/' and says nothing of where the program is.
  std::string program = options.arguments.empty() ? std::string() : options.arguments[0];
  std::string running;
  if (style == PathStyle::kPosix && program.find('/') == std::string::npos &&
      running_executable_path(running)) {
    program = std::move(running);
  }
  ProgramDirectory directory = program_directory(program, style);
  if (directory.marked) console.out("#");
  places.output_directory = std::move(directory.directory);
  places.source_path = default_source_in(places.output_directory, style);
  return true;
}

// Loads the source into `file` and extracts its attachments; the result value of the run.
int extract_from(SourceFile& file, const std::string& path, const OutputTarget& target,
                 Console& console, Ending& ending) {
  // Loading: the whole file in one block of exactly its length. The line so far is visible
  // before a pipe or a FIFO keeps the run waiting for its data.
  console.out("Analysing file %s", console_safe(path, target.style, console.utf8()).c_str());
  if (source_may_wait(path)) console.flush();
  clear_current_error();
  if (!file.open(path)) {
    return ending.failure("\nCannot find source file.\n", path, host_reason("cannot be opened"));
  }
  // A size the signed 32-bit length cannot hold is a length that cannot be taken.
  const std::int64_t size = file.measure(std::numeric_limits<std::int32_t>::max());
  const std::int32_t length = size >= 0 && size <= std::numeric_limits<std::int32_t>::max()
                                  ? static_cast<std::int32_t>(size)
                                  : -1;
  console.out(", length %d\n", length);
  if (length < 0) {
    return ending.failure("Cannot allocate memory.\n", path,
                          size > 0 ? "larger than 2 GiB" : host_reason("larger than 2 GiB"));
  }
  clear_current_error();
  const SourceFile::Load load = file.load(static_cast<std::size_t>(length));
  if (const char* failure = load_failure(load)) {
    return ending.failure(failure, path, host_reason(change_of(file)));
  }
  // This is where the source buffer is turned into attachments. Container detection leaves a
  // raw TNEF stream as it is; anything else it may decode over the buffer, and what it decodes
  // over is no longer the file's own.
  const std::span<std::uint8_t> source = file.bytes();
  file.overwritten(decode_container(
      source, console, [&](std::size_t write, std::size_t read) { file.make_room(write, read); }));
  // A source cut short or changed while in use may have been read as other bytes since.
  if (!file.intact()) return ending.failure("Incomplete file read.\n", path, change_of(file));
  ExtractionState state;
  const Outcome outcome = scan_attachments(source, target, console, state);
  // A file read from a source that changed meanwhile was not moved into place: the run ends as a
  // read that came up short, about the source.
  if (outcome.source_changed) return ending.failure(outcome.failure, path, change_of(file));
  if (outcome.failed()) return ending.failure(outcome);
  if (!file.intact()) return ending.failure("Incomplete file read.\n", path, change_of(file));
  // A listing writes nothing: its count is of the attachments listed.
  return ending.normal(target.list ? state.files_found : state.files_written);
}

// The same, the source let go before the closing key is awaited.
int load_and_extract(const std::string& path, const OutputTarget& target, Console& console,
                     Ending& ending) {
  int result = 0;
  {
    SourceFile file;
    ending.source_open = true;
    result = extract_from(file, path, target, console, ending);
  }
  ending.source_closed();
  return result;
}

}  // namespace

int run(std::span<const std::string> arguments, Console& console, PathStyle style) {
  // Asked what the program is, it says so and is done: no banner, no key.
  const bool help = arguments.size() == 2 && is_help_word(arguments[1], style);
  if (help || (arguments.size() == 2 && arguments[1] == "--version")) {
    console.write_out(help ? usage_text(style) : version_text());
    console.flush();
    return console.output_failed() ? 1 : 0;
  }

  const Options options = parse_options(arguments);
  Ending ending{console, style, options.quiet};
  console.write_out(banner_text(console.utf8() ? BannerStyle::kUtf8 : BannerStyle::kCodePage437));

  const std::vector<std::string>& words = options.arguments;
  const std::size_t count = words.empty() ? 0 : words.size() - 1;
  if (options.missing_value) {
    return ending.failure("Invalid arguments\n", *options.missing_value,
                          "the option needs a directory after it");
  }
  if (count > kMostArguments) {
    return ending.failure("Invalid arguments\n", words[kMostArguments + 1],
                          "too many arguments: at most SOURCE, OPTIONS and OUTPUT-DIRECTORY");
  }
  if (options.output && count == kMostArguments) {
    return ending.failure("Invalid arguments\n", words[kMostArguments],
                          "the output directory is given twice (-o and a third argument)");
  }

  Places places;
  if (count == 0) {
    clear_current_error();
    if (!default_places(options, console, style, places)) {
      const std::string reason = describe_current_error();
      console.err("Error getting working directory.: %s\n", reason.c_str());
      return ending.failure(nullptr, ".", reason);
    }
  } else {
    places.source_path = words[1];
    // The source's bytes arrive on standard input, so no key may be taken from there.
    if (places.source_path == kStandardInput) console.read_keys_from_terminal();
    if (count >= 2 && is_quiet_word(words[2])) ending.quiet = true;
    places.output_directory = count == 3 ? words[3] : directory_part(words[1], style);
  }
  if (options.output) places.output_directory = *options.output;

  OutputTarget target{normalise_output_directory(std::move(places.output_directory), style),
                      ending.quiet, style};
  target.list = options.list;
  target.keep_both = options.keep_both;
  if (options.original_names) target.characters = NameCharacters::kOriginal;
  return load_and_extract(places.source_path, target, console, ending);
}

int exit_status(int result, PathStyle style) {
  if (style == PathStyle::kWindows) return result;
  if (result == kFailureResult) return kPosixFailureStatus;
  return result > kPosixLargestCount ? kPosixLargestCount : result;
}

}  // namespace kestrox
