// What the sender wrote: the message's name and its text, as one file that opens anywhere.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "message/tnef.h"

namespace kestrox {

// The longest NAME in bytes, before its extension.
inline constexpr std::size_t kLongestMessageName = 200;

// The name of every file made of the message: PR_SUBJECT (Unicode, else 8-bit in the message's
// code page), else attSubject, else PR_CONVERSATION_TOPIC, else `mime_subject` (the decoded
// Subject header of a MIME source, empty for none), else "message"; as UTF-8, cut to 200 bytes at
// a character boundary. Not yet made safe as a file name.
std::string message_name(const TnefMessage& message, std::string_view mime_subject);

// The message's text as one file.
struct MessageText {
  std::string bytes;
  std::string extension;  // ".html", ".rtf" or ".txt"
  // The compressed RTF it came from did not check out (CRC, size or end): this is what it
  // decompressed to.
  bool damaged = false;
};

// The first of: PR_HTML (.html, with a charset declaration); PR_RTF_COMPRESSED decompressed, and
// where it encapsulates HTML or plain text, that text (.html or .txt, UTF-8), else the RTF itself
// (.rtf); PR_BODY or attBody (.txt, UTF-8). Nothing when the message holds none of them.
std::optional<MessageText> message_text(const TnefMessage& message);

// The message's text as plain UTF-8, for a calendar's DESCRIPTION or a text/plain part: PR_BODY or
// attBody, else the text an RTF body encapsulates (\fromtext). Nothing when it has neither.
std::optional<std::string> message_plain_text(const TnefMessage& message);

// In an HTML text, every "cid:ID" whose ID is the first of a pair becomes the second, a file name
// relative to the page, percent-encoded.
void link_content_ids(std::string& html,
                      const std::vector<std::pair<std::string, std::string>>& files_by_content_id);

}  // namespace kestrox
