// The frame of every run, from the banner to the key prompt at its end.
#include "driver/run.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include "driver/banner.h"
#include "driver/batch.h"
#include "driver/options.h"
#include "driver/paths.h"
#include "driver/source.h"
#include "extract/output.h"

namespace kestrox {

namespace {

constexpr int kPosixFailureStatus = 231;
constexpr int kPosixLargestCount = 230;
constexpr std::size_t kMostArguments = 3;


struct Ending {
  Console& console;
  PathStyle style;
  bool quiet = false;

  void prompt() {
    if (quiet) return;  // a quiet run never waits, and says nothing of a key
    console.out("\nPress a key to continue...");
    console.read_key();
    console.end_of_run_key();
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
  int failure(const SourceFailure& failure_met) {
    return failure(failure_met.message, failure_met.path, failure_met.reason);
  }
};

bool is_quiet_word(const std::string& word) {
  return (!word.empty() && (word[0] == 'Q' || word[0] == 'q')) || word == "-q" || word == "--quiet";
}

bool is_help_word(const std::string& word, PathStyle style) {
  return word == "--help" || word == "-h" || (style == PathStyle::kWindows && word == "/?");
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
  if (options.batch) return run_batch(options, console, style);
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
  target.keep_both = options.keep_both;
  if (options.original_names) target.characters = NameCharacters::kOriginal;
  target.message = options.message;
  ExtractionState state;
  const SourceOutcome outcome = extract_source(places.source_path, target, console, state);
  if (outcome.failure) return ending.failure(*outcome.failure);
  return ending.normal(state.files_written);
}

int exit_status(int result, PathStyle style) {
  if (style == PathStyle::kWindows) return result;
  if (result == kFailureResult) return kPosixFailureStatus;
  return result > kPosixLargestCount ? kPosixLargestCount : result;
}

}  // namespace kestrox
