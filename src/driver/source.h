// One source from its path to its files: loading, the container, the scan.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "extract/output.h"
#include "platform/console.h"

namespace kestrox {

// Why a source ended before its summary: the message the console shows (none for some), and
// for standard error the path it concerns and the host's reason.
struct SourceFailure {
  const char* message = nullptr;
  std::string path;
  std::string reason;
};

struct SourceOutcome {
  std::optional<SourceFailure> failure;
  // The source held a TNEF stream: at its start once decoded, or attachment records anywhere.
  bool holds_tnef = false;
};

// The reason the host gave for the failure just met, or `otherwise` when it gave none.
std::string host_reason(std::string_view otherwise);

// Loads the source at `path` ("-" is standard input), decodes its container and extracts its
// attachments into `target`, with the "Analysing file" line, the container line, the glyphs,
// the extraction lines and the summary on `console`. `state` counts and remembers its files.
SourceOutcome extract_source(const std::string& path, const OutputTarget& target,
                             Console& console, ExtractionState& state);

}  // namespace kestrox
