// Batch runs: many sources in one process, one line per file, failures on standard error.
#include "driver/batch.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "driver/paths.h"
#include "driver/source.h"
#include "extract/output.h"
#include "extract/safe_text.h"

namespace kestrox {

namespace {

// What the sources of a batch run see as their console: the text a run shows a user goes
// nowhere, standard error goes through, and no key is ever waited for.
class BatchConsole final : public Console {
 public:
  explicit BatchConsole(Console& real) : real_(real) {}
  void write_out(std::string_view) override {}
  void write_err(std::string_view text) override { real_.write_err(text); }
  void flush() override {}
  int read_key() override { return kNoKey; }
  bool utf8() const override { return real_.utf8(); }

 private:
  Console& real_;
};

int invalid(Console& console, PathStyle style, const char* reason) {
  console.err("kestrox: %s\nUsage: %s --batch [-o DIR] [--list] [--json] [OPTION...] SOURCE...\n",
              reason, style == PathStyle::kWindows ? "Kestrox.exe" : "kestrox");
  return kBatchInvalid;
}

}  // namespace

int run_batch(const Options& options, Console& console, PathStyle style) {
  if (options.missing_value)
    return invalid(console, style, "the option needs a directory after it");
  const auto sources = std::span(options.arguments).subspan(options.arguments.empty() ? 0 : 1);
  if (sources.empty()) return invalid(console, style, "no source given");
  if (std::count(sources.begin(), sources.end(), kStandardInput) > 1) {
    return invalid(console, style, "standard input (-) given more than once");
  }
  auto shown = [&](std::string_view path) { return console_safe(path, style, console.utf8()); };
  if (options.json) console.keep_output_utf8();
  // The folder of every source's files is made where it is missing; a listing makes nothing.
  if (options.output && !options.list) {
    clear_current_error();
    if (!make_directories(*options.output)) {
      console.err("kestrox: %s: %s\n", shown(*options.output).c_str(),
                  host_reason("cannot be made").c_str());
      return kBatchSomeFailed;
    }
  }

  BatchConsole quiet(console);
  int status = kBatchAllDone;
  // What the run has written (or listed) so far: a later source that names one of those files
  // keeps it apart under "STEM (N).EXT"; only what stood there before the run is kept as it is.
  ExtractionState carried;
  for (const std::string& source : sources) {
    OutputTarget target{
        normalise_output_directory(options.output ? *options.output : directory_part(source, style),
                                   style),
        true, style};
    target.list = options.list;
    target.keep_both = options.keep_both;
    if (options.original_names) target.characters = NameCharacters::kOriginal;
    target.message = options.message;
    target.lines = &console;
    target.source_label = source;
    target.json = options.json;

    ExtractionState state;
    state.earlier_files = std::move(carried.earlier_files);
    state.earlier_listed = std::move(carried.earlier_listed);
    state.last_kept_numbers = std::move(carried.last_kept_numbers);
    const SourceOutcome outcome = extract_source(source, target, quiet, state);
    carried.earlier_files = std::move(state.earlier_files);
    carried.earlier_files.merge(state.written_files);
    carried.earlier_listed = std::move(state.earlier_listed);
    carried.earlier_listed.merge(state.listed_names);
    carried.last_kept_numbers = std::move(state.last_kept_numbers);
    if (outcome.failure) {
      console.err("kestrox: %s: %s\n", shown(outcome.failure->path).c_str(),
                  outcome.failure->reason.c_str());
      status = kBatchSomeFailed;
    } else if (!outcome.holds_tnef) {
      console.err("kestrox: %s: no TNEF stream found\n", shown(source).c_str());
      status = kBatchSomeFailed;
    }
  }
  console.flush();
  return console.output_failed() ? kBatchSomeFailed : status;
}

}  // namespace kestrox
