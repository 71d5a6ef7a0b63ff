// The walk over the source buffer from one attachment data record to the next, and the discovery
// of each attachment's name.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "extract/output.h"
#include "platform/console.h"
#include "platform/host.h"

namespace kestrox {

// Finds every attAttachData record, names each usable one and hands it to extract_attachment;
// prints the summary at the end. Returns the write failure that stopped the scan, if any.
[[nodiscard]] Outcome scan_attachments(std::span<const std::uint8_t> source,
                                       const OutputTarget& target, Console& console,
                                       ExtractionState& state);

// Replaces, in place, every byte that is not '@', '-', '.', a space, a letter or a digit by '_'.
void sanitise_name(Text& name);

}  // namespace kestrox
