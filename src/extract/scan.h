// The walk over the source buffer that finds every attachment, and the discovery of its name.
#pragma once

#include <cstdint>
#include <span>

#include "extract/message_files.h"
#include "extract/output.h"
#include "platform/console.h"

namespace kestrox {

// Finds every attAttachData record and names and hands each usable one to extract_attachment;
// then does the same for attachments whose contents are kept in their property list instead;
// prints the summary at the end. Returns the write failure that stopped the scan, if any.
// With `message` (the stream read as a message), the attachments get their content ids, and the
// files made of the message itself are written too: an attached message in place of its record,
// the message's text and meeting after every attachment, before the summary.
[[nodiscard]] Outcome scan_attachments(std::span<const std::uint8_t> source,
                                       const OutputTarget& target, Console& console,
                                       ExtractionState& state,
                                       const MessageFiles* message = nullptr);

}  // namespace kestrox
