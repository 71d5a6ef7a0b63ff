// Writes crafted starting inputs for the fuzz targets with the tests' TNEF and MIME builders:
// named and unnamed attachments, every way of naming one, bad lengths, and both encodings.
//
//   fuzz_write_seeds SEED_DIR  (writes SEED_DIR/fuzz_run/, fuzz_decode/, fuzz_message/ and
//   fuzz_writers/)
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "support/mime_builder.h"
#include "support/rtf_builder.h"
#include "support/tnef_builder.h"

namespace {

using kestrox::testing::AttachmentSpec;
using kestrox::testing::ByteVector;
using kestrox::testing::MapiBlock;
using kestrox::testing::TnefBuilder;
namespace t = kestrox::testing;

ByteVector bytes_of(const std::string& text) { return ByteVector(text.begin(), text.end()); }

ByteVector with_prefix(std::uint8_t first, const std::string& text) {
  ByteVector bytes = {first, 0, 0};  // decoder, start position
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s SEED_DIR\n", argv[0]);
    return 2;
  }
  const std::string run_dir = std::string(argv[1]) + "/fuzz_run/";
  const std::string decode_dir = std::string(argv[1]) + "/fuzz_decode/";
  std::vector<std::pair<std::string, ByteVector>> run_seeds;

  // A message as a mail client writes it: names of every kind, a repeated name, a placeholder
  // title, a name without extension, a passed-over .AUF attachment.
  const std::vector<AttachmentSpec> specs = {
      {"report.pdf", t::pattern_free_bytes(300, 1), "", u"", "application/pdf"},
      {"report.pdf", t::pattern_free_bytes(40, 2), "", u"", ""},
      {"notes", t::pattern_free_bytes(50, 3), "Untitled Attachment", u"", ""},
      {"README", t::pattern_free_bytes(60, 4), "Quarterly figures", u"", ""},
      {"x.AUF", t::pattern_free_bytes(348, 5), "", u"", ""},
      {"plain.txt", t::pattern_free_bytes(70, 6), "", u"\u00e4rger \u20ac.txt", ""},
  };
  const ByteVector message = t::tnef_message(specs);
  run_seeds.emplace_back("builder_message", message);
  const std::size_t sizes[] = {1, 9, 100, 4600};
  run_seeds.emplace_back("builder_sizes", t::tnef_with_attachments(sizes));

  // Unnamed data that holds a title record of its own, for the "#" fallback; then bad lengths.
  TnefBuilder inner;
  inner.raw("data before the title ").attach_title("Budget");
  TnefBuilder odd;
  odd.signature().attach_data(inner.bytes());
  odd.record_declaring(2, t::kAttAttachData, t::kAtpByte, -1, bytes_of("negative"));
  odd.record_declaring(2, t::kAttAttachData, t::kAtpByte, 0, bytes_of("zero"));
  odd.attach_title(std::string(60, 'L'));
  MapiBlock names;
  names.mapi_counted(t::kPtString8, t::kPrDisplayName, 101, bytes_of("too long"))
      .mapi_counted(t::kPtUnicode, t::kPrAttachLongFilename, 201, bytes_of("too long"))
      .mapi_string8(t::kPrAttachLongFilename, "../../escape.txt");
  odd.attach_data("named by a hostile property").attachment_properties(names);
  odd.record_head(2, t::kAttAttachData, t::kAtpByte, 0x7FFFFFFF);
  run_seeds.emplace_back("builder_odd", odd.bytes());

  // Attachments kept in their property lists: a file, an object, and lengths that lie.
  TnefBuilder lists;
  lists.signature()
      .attach_title("kept.pdf")
      .attachment_properties(
          MapiBlock()
              .mapi_counted(t::kPtBinary, t::kPrAttachData, 30, t::pattern_free_bytes(30, 7))
              .mapi_string8(t::kPrAttachLongFilename, "kept.pdf"));
  ByteVector object(16, 0xA5);
  object.resize(60, 0x41);
  lists.attachment_properties(MapiBlock()
                                  .mapi_unicode(t::kPrDisplayName, u"object.bin")
                                  .mapi_counted(t::kPtObject, t::kPrAttachData, 60, object));
  lists.attachment_properties(
      MapiBlock().mapi_counted(t::kPtObject, t::kPrAttachData, 12, bytes_of("short object")));
  lists.attachment_properties(
      MapiBlock().mapi_counted(t::kPtBinary, t::kPrAttachData, 5000, bytes_of("past the list")));
  run_seeds.emplace_back("builder_lists", lists.bytes());

  run_seeds.emplace_back("builder_base64.eml",
                         bytes_of(t::mime_message(message, t::TransferEncoding::kBase64)));
  run_seeds.emplace_back(
      "builder_quoted.eml",
      bytes_of(t::mime_message(odd.bytes(), t::TransferEncoding::kQuotedPrintable)));

  // The message's text: compressed RTF encapsulating HTML, HTML, a named property, recipients.
  const ByteVector rtf = t::CompressedRtfBuilder()
                             .literals("{\\rtf1\\ansi\\fromhtml1 {\\*\\htmltag1 <html><head>}")
                             .reference(0, 17)
                             .literals("\\'e9\\u1055?}")
                             .end()
                             .bytes();
  const MapiBlock rows[] = {MapiBlock().mapi_string8(0x3001, "Ann")};
  const ByteVector text_message =
      TnefBuilder()
          .signature()
          .oem_codepage(1251)
          .subject("s")
          .body("\xC1")
          .message_properties(MapiBlock()
                                  .mapi_unicode(0x0037, u"subject")
                                  .mapi_binary(0x1009, rtf)
                                  .mapi_binary(0x1013, bytes_of("<p><img src=cid:a@b></p>"))
                                  .named(t::GuidBytes{1, 2, 3}, u"name")
                                  .mapi_long(0x8001, 1))
          .recipient_table(rows)
          .bytes();
  const std::string message_dir = std::string(argv[1]) + "/fuzz_message/";
  ByteVector layered = {0};
  layered.insert(layered.end(), text_message.begin(), text_message.end());

  bool ok = t::write_file(message_dir + "builder_text", layered);
  layered.assign(1, 1);
  layered.insert(layered.end(), rtf.begin(), rtf.end());
  ok = t::write_file(message_dir + "builder_rtf", layered) && ok;
  for (const auto& [name, bytes] : run_seeds) ok = t::write_file(run_dir + name, bytes) && ok;
  ok = t::write_file(decode_dir + "builder_base64", with_prefix(0, t::base64_lines(message))) && ok;
  ok = t::write_file(decode_dir + "builder_quoted",
                     with_prefix(1, t::quoted_printable_lines(odd.bytes()))) &&
       ok;

  // The writers: recurrence patterns, time zones, and messages with meetings and attached ones.
  const std::string writers_dir = std::string(argv[1]) + "/fuzz_writers/";
  auto writer_seed = [&](const std::string& name, std::uint8_t kind, const ByteVector& input) {
    ByteVector seed = {kind};
    seed.insert(seed.end(), input.begin(), input.end());
    ok = t::write_file(writers_dir + name, seed) && ok;
  };
  t::RecurrenceSpec weekly;
  weekly.deleted = {t::pattern_minutes(2014, 1, 6), t::pattern_minutes(2014, 1, 13)};
  weekly.modified = {t::pattern_minutes(2014, 1, 13)};
  weekly.exceptions = {{1, 2, t::pattern_minutes(2014, 1, 13) + 720, "moved"}};
  writer_seed("builder_weekly", 0, t::recurrence_pattern(weekly));
  t::RecurrenceSpec nth;
  nth.frequency = 0x200D;
  nth.pattern_type = 0x0003;
  nth.period = 12;
  nth.pattern_specific = {0x10, 4};
  nth.end_type = 0x2022;
  writer_seed("builder_yearly_nth", 0, t::recurrence_pattern(nth));
  const t::ZoneRuleSpec eastern = {
      2007, 300, 0, -60, {0, 11, 0, 1, 2, 0, 0, 0}, {0, 3, 0, 2, 2, 0, 0, 0}};
  writer_seed("builder_zone_struct", 1, t::time_zone_struct(eastern));
  const t::ZoneRuleSpec rules[] = {eastern, eastern};
  writer_seed("builder_zone_definition", 1, t::time_zone_definition(u"Eastern", rules));
  writer_seed("builder_nested", 2, t::nested_attached_messages(20));
  const MapiBlock meeting_rows[] = {MapiBlock().mapi_long(0x0C15, 1).mapi_string8(0x39FE, "a@b.c")};
  writer_seed("builder_meeting", 2,
              TnefBuilder()
                  .signature()
                  .message_class("IPM.Schedule.Meeting.Request")
                  .message_properties(
                      MapiBlock()
                          .mapi_string8(0x007D, "Subject: x\r\nContent-Type: text/plain\r\n")
                          .named(t::kPsetidAppointmentBytes, 0x8216)
                          .mapi_binary(0x8000, t::recurrence_pattern(weekly))
                          .named(t::kPsetidAppointmentBytes, 0x8233)
                          .mapi_binary(0x8001, t::time_zone_struct(eastern)))
                  .recipient_table(meeting_rows)
                  .bytes());
  if (!ok) std::fprintf(stderr, "cannot write the seeds into %s\n", argv[1]);
  return ok ? 0 : 1;
}
