// An attached Outlook item as a MIME message (RFC 5322, RFC 2045-2049) that a mail program opens.
#pragma once

#include <optional>
#include <string>

#include "message/tnef.h"

namespace kestrox {

// How deep attached messages are followed, the outermost being level 1.
inline constexpr int kDeepestAttachedMessage = 16;

// The stream an attachment holds as a message of its own: its PR_ATTACH_METHOD is 5 and its
// PR_ATTACH_DATA_OBJ starts with IID_IMessage; the bytes after that id. Nothing otherwise.
std::optional<Bytes> attached_message_stream(const TnefAttachment& attachment);
// The same test on a PR_ATTACH_DATA_OBJ value alone (an attachment held only as a property).
std::optional<Bytes> attached_message_stream(Bytes object_value);

// The message in `stream` (a TNEF stream of its own) as a MIME message: its header lines, its
// text, its attachments as base64 parts, its meeting as text/calendar, its own attached messages
// as message/rfc822 parts down to kDeepestAttachedMessage. Nothing where the stream cannot be
// read as a message or `level` is past the deepest.
std::optional<std::string> attached_message_eml(Bytes stream, int level = 1);

}  // namespace kestrox
