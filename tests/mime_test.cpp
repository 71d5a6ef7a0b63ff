// Attached Outlook items as MIME messages: the base64 encoder, the text of header fields, whole
// messages from built streams and from the corpus, and streams built to hurt.
#include "message/mime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "message/base64_encode.h"
#include "message/mime_text.h"
#include "message/properties.h"
#include "support/corpus.h"
#include "support/guarded_buffer.h"
#include "support/mime_builder.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

using testing::ByteVector;
using testing::MapiBlock;
using testing::TnefBuilder;

std::string lower(std::string text) {
  for (char& c : text) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
  return text;
}

// A header field's value in an entity's head, unfolded; empty where it has none.
std::string field(std::string_view head, std::string_view name) {
  const std::string wanted = "\r\n" + lower(std::string(name)) + ":";
  const std::string lowered = lower("\r\n" + std::string(head));
  const std::size_t at = lowered.find(wanted);
  if (at == std::string::npos) return {};
  std::string value;
  std::size_t from = at + wanted.size() - 2;
  while (true) {
    const std::size_t end = head.find("\r\n", from);
    value += std::string(head.substr(from, end - from));
    if (end == std::string_view::npos || end + 2 >= head.size() ||
        (head[end + 2] != ' ' && head[end + 2] != '\t'))
      break;
    from = end + 2;
  }
  return value;
}

// One leaf of a message: its type, its head and its body decoded.
struct Leaf {
  std::string type, head;
  ByteVector body;
};

// The content types of every entity, depth first ("none" where a head names none), and the
// leaves. Every line must end in CRLF and stay within 998 octets.
void walk(std::string_view entity, std::vector<std::string>& types, std::vector<Leaf>& leaves) {
  const std::size_t blank = entity.find("\r\n\r\n");
  ASSERT_NE(blank, std::string_view::npos) << entity.substr(0, 200);
  const std::string_view head = entity.substr(0, blank + 2), body = entity.substr(blank + 4);
  const std::string content_type = field(head, "Content-Type");
  const std::string type =
      content_type.empty() ? "none" : lower(content_type.substr(1, content_type.find(';') - 1));
  types.push_back(type);
  if (type.rfind("multipart/", 0) == 0) {
    const std::size_t at = content_type.find("boundary=\"");
    ASSERT_NE(at, std::string::npos);
    const std::string boundary =
        "--" + content_type.substr(at + 10, content_type.find('"', at + 10) - at - 10);
    ASSERT_EQ(body.substr(0, boundary.size()), boundary);
    std::size_t from = boundary.size() + 2;
    while (true) {
      const std::size_t next = body.find("\r\n" + boundary, from);
      ASSERT_NE(next, std::string_view::npos);
      walk(body.substr(from, next - from), types, leaves);
      from = next + 2 + boundary.size();
      if (body.substr(from, 2) == "--") break;
      from += 2;
    }
  } else if (type == "message/rfc822") {
    walk(body, types, leaves);
  } else {
    const bool base64 = lower(field(head, "Content-Transfer-Encoding")) == " base64";
    leaves.push_back(
        {type, std::string(head),
         base64 ? testing::decode_base64_text(body) : ByteVector(body.begin(), body.end())});
  }
}

void expect_lines(std::string_view eml) {
  std::size_t from = 0;
  while (from < eml.size()) {
    const std::size_t end = eml.find("\r\n", from);
    ASSERT_NE(end, std::string_view::npos) << "a last line without CRLF";
    EXPECT_EQ(eml.substr(from, end - from).find('\n'), std::string_view::npos);
    EXPECT_LE(end - from, 998u);
    from = end + 2;
  }
}

std::string text_of(const ByteVector& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(Base64Encoding, AgainstThePlainReferenceAtTheBufferEnd) {
  std::mt19937 random(76);
  std::vector<std::size_t> sizes;
  for (std::size_t size = 0; size <= 300; ++size) sizes.push_back(size);
  sizes.push_back(std::size_t{1} << 20);
  for (std::size_t size : sizes) {
    ByteVector data(size);
    for (auto& byte : data) byte = static_cast<std::uint8_t>(random());
    testing::GuardedBuffer guarded(data);
    std::string lines = "kept";
    append_base64_lines(lines, guarded.view());
    ASSERT_EQ(lines, "kept" + testing::base64_lines(data)) << size;
    EXPECT_EQ(lines.size() - 4, base64_lines_size(size));
  }
  // RFC 4648's vectors, as one run.
  const std::string_view vectors[][2] = {{"", ""},
                                         {"f", "Zg=="},
                                         {"fo", "Zm8="},
                                         {"foo", "Zm9v"},
                                         {"foob", "Zm9vYg=="},
                                         {"fooba", "Zm9vYmE="},
                                         {"foobar", "Zm9vYmFy"}};
  for (const auto& vector : vectors) {
    std::string run;
    append_base64(run, testing::as_bytes(vector[0]));
    EXPECT_EQ(run, vector[1]);
  }
}

TEST(MimeHeaderText, FieldsPhrasesParametersAndDates) {
  const std::string_view fields[][2] = {
      {"Hello", "Subject: Hello\r\n"},
      {"Gr\xC3\xBC\xC3\x9F"
       "e aus K\xC3\xB6ln",
       "Subject: =?utf-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=\r\n"},
      {"looks =?like?= a word", "Subject: =?utf-8?B?bG9va3MgPT9saWtlPz0gYSB3b3Jk?=\r\n"},
      {"line\r\nbreak\x01", "Subject: line  break\r\n"},
  };
  for (const auto& row : fields) EXPECT_EQ(unstructured_field("Subject", row[0]), row[1]);
  // A long subject folds at its spaces, every line within 78 octets, and unfolds to itself.
  std::string words;
  for (int i = 0; i < 40; ++i) words += (i ? " word" : "word") + std::to_string(i);
  const std::string folded = unstructured_field("Subject", words);
  std::string joined = folded.substr(9, folded.size() - 11);
  for (std::size_t at; (at = joined.find("\r\n")) != std::string::npos;) joined.erase(at, 2);
  EXPECT_EQ(joined, words);
  for (std::size_t from = 0, end; (end = folded.find("\r\n", from)) != std::string::npos;
       from = end + 2)
    EXPECT_LE(end - from, 78u);
  // Non-ASCII text long enough for several encoded words cuts none inside a character.
  const std::string long_text =
      unstructured_field("Subject", std::string(60, 'x') + std::string(30, '\xC3'));
  EXPECT_NE(long_text.find("?=\r\n =?utf-8?B?"), std::string::npos);

  EXPECT_EQ(display_phrase("Jens Meier"), "Jens Meier");
  EXPECT_EQ(display_phrase("Meier, Jens"), "\"Meier, Jens\"");
  EXPECT_EQ(display_phrase("say \"hi\" \\o/"), "\"say \\\"hi\\\" \\\\o/\"");
  EXPECT_EQ(display_phrase("M\xC3\xBCller"), "=?utf-8?B?TcO8bGxlcg==?=");

  EXPECT_EQ(parameter("filename", "a \"b\".pdf"), ";\r\n filename=\"a \\\"b\\\".pdf\"");
  EXPECT_EQ(parameter("filename",
                      "Gr\xC3\xBC\xC3\x9F"
                      "e 100%.pdf"),
            ";\r\n filename*0*=utf-8''Gr%C3%BC%C3%9Fe%20100%25.pdf");
  EXPECT_EQ(
      parameter("name", std::string(70, 'a')),
      ";\r\n name*0*=utf-8''" + std::string(60, 'a') + ";\r\n name*1*=" + std::string(10, 'a'));

  EXPECT_EQ(rfc5322_date(seconds_from_filetime(testing::filetime(2015, 1, 14, 9, 4)) + 53),
            "Wed, 14 Jan 2015 09:04:53 +0000");
  EXPECT_EQ(rfc5322_date(seconds_from_filetime(~std::uint64_t{0})), "");
  EXPECT_EQ(media_type("image/PNG"), "image/png");
  EXPECT_EQ(media_type("text/html; charset=x"), "");
  EXPECT_EQ(media_type("a/b\r\nX-Injected: y"), "");
  EXPECT_EQ(media_type("nothing"), "");
}

ByteVector le64(std::uint64_t value) {
  ByteVector bytes;
  for (int i = 0; i < 8; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  return bytes;
}

MapiBlock recipient(std::uint32_t type, std::u16string_view name, std::string_view smtp) {
  MapiBlock row;
  row.mapi_long(0x0C15, type).mapi_unicode(0x3001, name);
  if (!smtp.empty()) row.mapi_string8(0x39FE, smtp);
  return row;
}

// An attached message as a mail program sees it.
struct Eml {
  std::string text;
  std::string head;  // the top-level header lines
  std::vector<std::string> types;
  std::vector<Leaf> leaves;
};

Eml eml_of(Bytes stream, int level = 1) {
  Eml eml;
  const auto text = attached_message_eml(stream, level);
  if (!text) return eml;
  eml.text = *text;
  eml.head = eml.text.substr(0, eml.text.find("\r\n\r\n") + 2);
  expect_lines(eml.text);
  walk(eml.text, eml.types, eml.leaves);
  return eml;
}

// The parts of a built message: a meeting with its text, a PDF, a picture with a name that is not
// ASCII and a content id, and an attached message of its own.
ByteVector message_with_parts(const ByteVector& pdf, const ByteVector& png) {
  const ByteVector inner =
      TnefBuilder().signature().message_class("IPM.Note").subject("Inner").body("inside").bytes();
  ByteVector object(testing::kIidIMessageBytes.begin(), testing::kIidIMessageBytes.end());
  object.insert(object.end(), inner.begin(), inner.end());
  MapiBlock meeting;
  meeting.mapi_string8(0x1000, "See you")
      .named(testing::kPsetidAppointmentBytes, 0x820D)
      .mapi_fixed(0x0040, 0x8000, le64(testing::filetime(2015, 1, 28, 13)));
  TnefBuilder tnef;
  tnef.signature().message_class("IPM.Schedule.Meeting.Request").message_properties(meeting);
  tnef.attach_rend_data()
      .attach_title("report.pdf")
      .attach_data(pdf)
      .attachment_properties(
          MapiBlock().mapi_string8(0x3707, "report.pdf").mapi_string8(0x370E, "application/pdf"));
  tnef.attach_rend_data()
      .attach_title("Bild.png")
      .attach_data(png)
      .attachment_properties(
          MapiBlock().mapi_unicode(0x3707, u"Bild \u00E4.png").mapi_string8(0x3712, "img1@x"));
  tnef.attach_rend_data()
      .attach_title("Untitled Attachment")
      .attach_data(testing::kEmbeddedMessagePlaceholder)
      .attachment_properties(MapiBlock()
                                 .mapi_long(0x3705, 5)
                                 .mapi_string8(0x3001, "Inner item")
                                 .mapi_binary(0x3701, object, 0x000D));
  return tnef.bytes();
}

TEST(MimeAttachedMessages, BuiltMessages) {
  MapiBlock headers_from_properties;
  headers_from_properties.mapi_unicode(0x0037, u"Gr\u00FC\u00DFe aus K\u00F6ln")
      .mapi_string8(0x0C1A, "Ann")
      .mapi_string8(0x5D01, "ann@example.com")
      .mapi_fixed(0x0040, 0x0039, le64(testing::filetime(2015, 1, 14, 9, 4)))
      .mapi_string8(0x1035, "<id@example.com>")
      .mapi_string8(0x1000, "Hello\nworld");
  const MapiBlock rows[] = {recipient(1, u"Bob", "bob@example.com"),
                            recipient(2, u"M\u00FCller, Kim", "")};
  const Eml built = eml_of(TnefBuilder()
                               .signature()
                               .message_class("IPM.Note")
                               .message_properties(headers_from_properties)
                               .recipient_table(rows)
                               .bytes());
  EXPECT_EQ(field(built.head, "From"), " Ann <ann@example.com>");
  EXPECT_EQ(field(built.head, "To"), " Bob <bob@example.com>");
  EXPECT_EQ(field(built.head, "Cc"), " =?utf-8?B?TcO8bGxlciwgS2lt?= <unknown@unknown.invalid>");
  EXPECT_EQ(field(built.head, "Subject"), " =?utf-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?=");
  EXPECT_EQ(field(built.head, "Date"), " Wed, 14 Jan 2015 09:04:00 +0000");
  EXPECT_EQ(field(built.head, "Message-ID"), " <id@example.com>");
  EXPECT_EQ(built.types, std::vector<std::string>{"text/plain"});
  EXPECT_EQ(text_of(built.leaves.at(0).body), "Hello\r\nworld\r\n");

  // As received: MIME fields give way to the parts written; text that is not ASCII is written as
  // encoded words, an address field that is not as the properties say; a field with a control
  // character or a line too long for any reader is left out.
  MapiBlock original_headers;
  original_headers
      .mapi_unicode(0x007D,
                    u"Received: from a\n\tby b\nFrom: x@y.example\nMIME-Version: 1.0\n"
                    u"Content-Type: multipart/mixed;\n boundary=\"old\"\nSubject: kept\n"
                    u"Thread-Topic: Gr\u00FC\u00DFe\nTo: J\u00F6rg <j@example.com>\n"
                    u"X-Bell: \u0007\nX-Long: " +
                        std::u16string(1000, u'x') + u"\n\nnot a header\n")
      .mapi_string8(0x1000, "text");
  const MapiBlock to[] = {recipient(1, u"J\u00F6rg", "j@example.com")};
  const Eml original = eml_of(TnefBuilder()
                                  .signature()
                                  .message_class("IPM.Note")
                                  .message_properties(original_headers)
                                  .recipient_table(to)
                                  .bytes());
  EXPECT_EQ(original.head.substr(0, original.head.find("Content-Type")),
            "Received: from a\r\n\tby b\r\nFrom: x@y.example\r\nSubject: kept\r\n"
            "Thread-Topic: =?utf-8?B?R3LDvMOfZQ==?=\r\nTo: =?utf-8?B?SsO2cmc=?= <j@example.com>\r\n"
            "MIME-Version: 1.0\r\n");
  EXPECT_EQ(original.text.find("old"), std::string::npos);

  const ByteVector pdf = testing::pattern_free_bytes(1000, 1),
                   png = testing::pattern_free_bytes(77, 2);
  const Eml parts = eml_of(message_with_parts(pdf, png));
  EXPECT_EQ(parts.types, (std::vector<std::string>{"multipart/mixed", "text/plain", "text/calendar",
                                                   "application/pdf", "image/png", "message/rfc822",
                                                   "text/plain"}));
  ASSERT_EQ(parts.leaves.size(), 5u);
  EXPECT_NE(parts.leaves[1].head.find("method=REQUEST"), std::string::npos);
  EXPECT_NE(text_of(parts.leaves[1].body).find("\r\nMETHOD:REQUEST\r\n"), std::string::npos);
  EXPECT_EQ(parts.leaves[2].body, pdf);
  EXPECT_EQ(parts.leaves[3].body, png);
  EXPECT_NE(parts.leaves[3].head.find("filename*0*=utf-8''Bild%20%C3%A4.png"), std::string::npos);
  EXPECT_EQ(field(parts.leaves[3].head, "Content-ID"), " <img1@x>");
  EXPECT_NE(parts.text.find("filename=\"Inner item.eml\""), std::string::npos);
  EXPECT_EQ(text_of(parts.leaves[4].body), "inside\r\n");

  MapiBlock html_and_plain;
  html_and_plain.mapi_binary(0x1013, testing::as_bytes("<html><head></head><body>Hi</body></html>"))
      .mapi_string8(0x1000, "Hi");
  const Eml alternative = eml_of(TnefBuilder()
                                     .signature()
                                     .message_class("IPM.Note")
                                     .message_properties(html_and_plain)
                                     .bytes());
  EXPECT_EQ(alternative.types,
            (std::vector<std::string>{"multipart/alternative", "text/plain", "text/html"}));

  // Headers alone where there is no text; no message at all where there is no stream.
  const Eml bare = eml_of(TnefBuilder().signature().subject("Only a subject").bytes());
  EXPECT_EQ(bare.types, std::vector<std::string>{"none"});
  EXPECT_TRUE(bare.text.ends_with("Subject: Only a subject\r\nMIME-Version: 1.0\r\n\r\n"))
      << bare.text;
  EXPECT_FALSE(attached_message_eml(testing::as_bytes("not a stream")));
}

TEST(MimeCorruption, NestedTenThousandDeep) {
  const ByteVector nested = testing::nested_attached_messages(10'000);
  const auto started = std::chrono::steady_clock::now();
  const Eml eml = eml_of(nested);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  // Levels 2 to 16 as attached messages; the 16th holds the 17th as its data record says.
  EXPECT_EQ(std::count(eml.types.begin(), eml.types.end(), "message/rfc822"), 15);
  EXPECT_EQ(std::count_if(eml.leaves.begin(), eml.leaves.end(),
                          [](const Leaf& leaf) {
                            return text_of(leaf.body) == testing::kEmbeddedMessagePlaceholder;
                          }),
            1);
  EXPECT_LT(eml.text.size(), std::size_t{64} << 10);
  EXPECT_FALSE(attached_message_eml(nested, kDeepestAttachedMessage + 1));
  EXPECT_FALSE(attached_message_eml(nested, 0));
}

TEST(MimeCorruption, LyingRowsFarDatesAndEveryCut) {
  const MapiBlock rows[] = {recipient(1, u"A", "a@example.com"),
                            recipient(1, u"B", "b@example.com")};
  MapiBlock far_dates;
  far_dates.mapi_fixed(0x0040, 0x0039, le64(~std::uint64_t{0}))
      .mapi_fixed(0x0040, 0x3008, le64(testing::filetime(2020, 2, 29, 12)));
  TnefBuilder lying;
  lying.signature().message_class("IPM.Note").message_properties(far_dates);
  const std::size_t row_count = lying.offset() + testing::kRecordHeadSize;
  lying.recipient_table(rows).patch_le32(row_count, 1000);
  const Eml eml = eml_of(lying.bytes());
  EXPECT_EQ(field(eml.head, "To"), " A <a@example.com>, B <b@example.com>");
  EXPECT_EQ(field(eml.head, "Date"), " Sat, 29 Feb 2020 12:00:00 +0000");

  // Cut anywhere, a message with every kind of part gives a message that still parses, or none.
  const ByteVector whole =
      message_with_parts(testing::pattern_free_bytes(300, 3), testing::pattern_free_bytes(40, 4));
  for (std::size_t size = 0; size <= whole.size(); ++size) {
    testing::GuardedBuffer cut(Bytes(whole.data(), size));
    if (auto text = attached_message_eml(cut.view())) {
      std::vector<std::string> types;
      std::vector<Leaf> leaves;
      walk(*text, types, leaves);
    }
  }
  // An attached message whose stream is damaged is written as its data record says.
  ByteVector damaged = message_with_parts({1}, {2});
  const std::size_t inner =
      std::search(damaged.begin(), damaged.end(), testing::kIidIMessageBytes.begin(),
                  testing::kIidIMessageBytes.end()) -
      damaged.begin();
  damaged[inner + 16] = 0;  // the inner signature
  const Eml fallback = eml_of(damaged);
  EXPECT_EQ(text_of(fallback.leaves.back().body), testing::kEmbeddedMessagePlaceholder);
}

TEST(MimeAttachedMessages, CorpusItemsReadBack) {
  REQUIRE_SAMPLE_CORPUS();
  struct Row {
    std::string_view sample;
    std::size_t attachment;
    std::string_view subject;
    std::vector<std::string> types;
  };
  const std::vector<std::string> task = {"multipart/alternative", "text/plain", "text/rtf"};
  const std::vector<std::string> appointment = {"multipart/mixed", "text/plain", "text/calendar",
                                                "image/jpeg"};
  const Row rows[] = {
      {"raw/mimekit_christmas.tnef", 1, " Build a train table", task},
      {"raw/mimekit_christmas.tnef", 2, " Christmas Celebration!", appointment},
      {"mime/mimekit_rich-text.eml", 1, " Build a train table", task},
      {"mime/mimekit_rich-text.eml", 2, " Christmas Celebration!", appointment},
      {"raw/horde_tnef_vnote.tnef", 0, " Some important task.", task},
      {"mime/horde_tnef_task.eml", 0, " Test Task", {"text/plain"}},
      {"raw/tnefparse_IPM-DistList.tnef", 0, " XXXXnews", {"none"}},
  };
  const std::vector<testing::CorpusStream> streams = testing::corpus_streams();
  for (const Row& row : rows) {
    const auto stream = std::find_if(streams.begin(), streams.end(),
                                     [&](const auto& s) { return s.name == row.sample; });
    ASSERT_NE(stream, streams.end()) << row.sample;
    const auto message = read_tnef(stream->bytes);
    ASSERT_TRUE(message && message->attachments.size() > row.attachment) << row.sample;
    const auto inner = attached_message_stream(message->attachments[row.attachment]);
    ASSERT_TRUE(inner) << row.sample;
    const Eml eml = eml_of(*inner);
    EXPECT_EQ(field(eml.head, "Subject"), row.subject) << row.sample;
    EXPECT_EQ(eml.types, row.types) << row.sample;
    // Every file inside is byte for byte an attachment of the inner stream.
    const auto inner_message = read_tnef(*inner);
    for (const Leaf& leaf : eml.leaves) {
      if (field(leaf.head, "Content-Disposition").empty()) continue;
      EXPECT_TRUE(std::any_of(inner_message->attachments.begin(), inner_message->attachments.end(),
                              [&](const TnefAttachment& attachment) {
                                const Attribute* data = attachment.data();
                                return data && ByteVector(data->value.begin(), data->value.end()) ==
                                                   leaf.body;
                              }))
          << row.sample << ": " << leaf.head;
    }
  }
}

}  // namespace
}  // namespace kestrox
