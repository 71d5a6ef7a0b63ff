// The walk over the source buffer that finds every attachment, and the discovery of its name.
#pragma once

#include <cstdint>
#include <span>

#include "extract/output.h"
#include "platform/console.h"

namespace kestrox {

// Finds every attAttachData record and names and hands each usable one to extract_attachment;
// then does the same for attachments whose contents are kept in their property list instead;
// prints the summary at the end. Returns the write failure that stopped the scan, if any.
[[nodiscard]] Outcome scan_attachments(std::span<const std::uint8_t> source,
                                       const OutputTarget& target, Console& console,
                                       ExtractionState& state);

}  // namespace kestrox
