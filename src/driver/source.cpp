// One source from its path to its files: loading, the container, the scan.
#include "driver/source.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>

#include "bytes/patterns.h"
#include "decode/container.h"
#include "extract/message_files.h"
#include "extract/scan.h"
#include "message/header.h"
#include "platform/host.h"

namespace kestrox {

namespace {

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

bool starts_with_signature(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= sizeof kTnefSignature &&
         std::memcmp(bytes.data(), kTnefSignature, sizeof kTnefSignature) == 0;
}

}  // namespace

std::string host_reason(std::string_view otherwise) {
  std::string reason = describe_current_error();
  return reason.empty() ? std::string(otherwise) : reason;
}

SourceOutcome extract_source(const std::string& path, const OutputTarget& target, Console& console,
                             ExtractionState& state) {
  SourceOutcome result;
  auto fail = [&](const char* message, std::string reason) {
    result.failure = SourceFailure{message, path, std::move(reason)};
    return std::move(result);
  };
  // Loading: the whole file in one block of exactly its length. The line so far is visible
  // before a pipe or a FIFO keeps the run waiting for its data.
  console.out("Analysing file %s", console_safe(path, target.style, console.utf8()).c_str());
  if (source_may_wait(path)) console.flush();
  SourceFile file;
  clear_current_error();
  if (!file.open(path)) {
    return fail("\nCannot find source file.\n", host_reason("cannot be opened"));
  }
  // A size the signed 32-bit length cannot hold is a length that cannot be taken.
  const std::int64_t size = file.measure(std::numeric_limits<std::int32_t>::max());
  const std::int32_t length = size >= 0 && size <= std::numeric_limits<std::int32_t>::max()
                                  ? static_cast<std::int32_t>(size)
                                  : -1;
  console.out(", length %d\n", length);
  if (length < 0) {
    return fail("Cannot allocate memory.\n",
                size > 0 ? "larger than 2 GiB" : host_reason("larger than 2 GiB"));
  }
  clear_current_error();
  const SourceFile::Load load = file.load(static_cast<std::size_t>(length));
  if (const char* failure = load_failure(load)) return fail(failure, host_reason(change_of(file)));
  // This is where the source buffer is turned into attachments. Container detection leaves a
  // raw TNEF stream as it is; anything else it may decode over the buffer, and what it decodes
  // over is no longer the file's own.
  const std::span<std::uint8_t> source = file.bytes();
  // A MIME source's Subject names the message's files where the message names none; decoding
  // writes over it.
  std::string subject;
  if (target.message && !starts_with_signature(source)) subject = mime_subject(source);
  const std::size_t decoded = decode_container(
      source, console, [&](std::size_t write, std::size_t read) { file.make_room(write, read); });
  file.overwritten(decoded);
  // A source cut short or changed while in use may have been read as other bytes since.
  if (!file.intact()) return fail("Incomplete file read.\n", change_of(file));
  // The message is read where its files are wanted, or the content ids of its attachments.
  std::optional<MessageFiles> message;
  if (target.message || (target.lines != nullptr && target.json)) {
    message.emplace(decoded > 0 ? source.first(decoded) : source, std::move(subject),
                    target.message);
  }
  const Outcome outcome =
      scan_attachments(source, target, console, state, message ? &*message : nullptr);
  // A file read from a source that changed meanwhile was not moved into place: the source ends
  // as a read that came up short, about the source.
  if (outcome.source_changed) return fail(outcome.failure, change_of(file));
  if (outcome.failed()) {
    result.failure = SourceFailure{outcome.failure, outcome.path, outcome.reason};
    return result;
  }
  if (!file.intact()) return fail("Incomplete file read.\n", change_of(file));
  result.holds_tnef = starts_with_signature(source) || state.files_found > 0;
  return result;
}

}  // namespace kestrox
