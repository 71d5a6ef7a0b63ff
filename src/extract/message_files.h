// What a run learns from reading the message itself: the content ids of the attachments the scans
// find, and with --message the files made of it (its text, its meeting, its attached messages).
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "extract/output.h"
#include "message/tnef.h"

namespace kestrox {

class MessageFiles {
 public:
  // Reads the TNEF stream at the start of `stream` (the source, once decoded). `mime_subject`
  // is the decoded Subject of a MIME source (empty for none); `make_files` is --message.
  MessageFiles(Bytes stream, std::string mime_subject, bool make_files);

  // Completes what the scan found at the attAttachData record whose head is at `record`: its
  // content id, and where it is an attached message and --message asks for it, the message
  // as a MIME message in place of the record's bytes.
  void complete_record(std::size_t record, FoundAttachment& attachment) const;
  // The same for an attachment kept in its property list: `object` is the whole value of its
  // PR_ATTACH_DATA_BIN or PR_ATTACH_DATA_OBJ, `is_object` says which.
  void complete_property(Bytes value, bool is_object, FoundAttachment& attachment) const;

  // The files made of the message itself, in the order they are written: its text, then its
  // meeting. The text's links to pictures name the files in `content_files`. `notes` gets what
  // the user should know of the meeting that its file cannot say, one line each.
  std::vector<FoundAttachment> message_files(
      const std::vector<std::pair<std::string, std::string>>& content_files,
      std::vector<std::string>& notes) const;

 private:
  const TnefAttachment* attachment_with(const std::uint8_t* value) const;
  void take_attached_message(const TnefAttachment* attachment, Bytes stream,
                             FoundAttachment& found) const;

  std::optional<TnefMessage> message_;
  std::string name_;  // NAME, as text
  bool make_files_;
};

// A name made of text in any script as the scan makes an attachment's name: with portable names
// each character outside the name bytes is one '_' (one for a whole character, not for each of
// its bytes); with original names the characters no name should hold are masked.
std::string name_from_text(std::string_view text, NameCharacters characters);

}  // namespace kestrox
