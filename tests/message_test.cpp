// The message's reader (attributes, property lists, their values) and the text made of it.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "message/header.h"
#include "message/properties.h"
#include "message/text.h"
#include "message/tnef.h"
#include "support/corpus.h"
#include "support/guarded_buffer.h"
#include "support/rtf_builder.h"
#include "support/sha256.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

namespace tb = testing;
using tb::ByteVector;
using tb::MapiBlock;
using tb::TnefBuilder;

constexpr Guid kSomeSet = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,
                           0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10};

ByteVector bytes_of(std::string_view text) { return {text.begin(), text.end()}; }
ByteVector le32(std::uint32_t value) {
  return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
          static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

std::string hex(std::uint32_t value, int digits) {
  char text[12];
  std::snprintf(text, sizeof text, "%0*X", digits, value);
  return text;
}

// A property list as "type:id=value ..." (short values in hex, long ones by length), a named
// property's id followed by "#number" or "'text'"; " cut" where reading stopped early.
std::string describe(const PropertyList& list) {
  std::string text;
  for (const Property& property : list.properties) {
    if (!text.empty()) text += ' ';
    text += hex(property.type, 4) + ":" + hex(property.id, 4);
    if (property.name) {
      text += property.name->is_string ? "'" + property.name->text + "'"
                                       : "#" + std::to_string(property.name->number);
    }
    for (std::size_t i = 0; i < property.values.size(); ++i) {
      text += i == 0 ? "=" : ",";
      const Bytes value = property.values[i];
      if (value.size() > 8) {
        text += "len" + std::to_string(value.size());
      } else {
        for (std::uint8_t byte : value) text += hex(byte, 2);
      }
    }
  }
  return list.complete ? text : text + " cut";
}

// A whole stream: the message's attribute ids (low half), each attachment's in brackets with its
// property list in braces, the message's properties, the recipient rows, the code page.
std::string describe(const std::optional<TnefMessage>& message) {
  if (!message) return "not TNEF";
  std::string text;
  for (const Attribute& attribute : message->attributes)
    text += hex(attribute.id & 0xFFFF, 4) + " ";
  for (const TnefAttachment& attachment : message->attachments) {
    text += "[";
    for (const Attribute& attribute : attachment.attributes)
      text += hex(attribute.id & 0xFFFF, 4) + " ";
    text += "{" + describe(attachment.properties) + "}] ";
  }
  text += "props{" + describe(message->properties) + "} rows";
  for (const PropertyList& row : message->recipients) text += "{" + describe(row) + "}";
  text += " cp" + std::to_string(message->code_page);
  return message->complete ? text : text + " cut";
}

struct StreamCase {
  const char* what;
  std::function<ByteVector()> stream;
  const char* expected;
};

const StreamCase kStreams[] = {
    {"a whole message: attributes, its properties, recipients, two attachments",
     [] {
       MapiBlock props;
       props.mapi_unicode(kPrSubject, u"Hi");
       const MapiBlock rows[2] = {MapiBlock().mapi_string8(kPrDisplayName, "Ann"),
                                  MapiBlock().mapi_long(kPrRecipientType, 1)};
       return TnefBuilder()
           .signature()
           .tnef_version()
           .oem_codepage(1251)
           .message_properties(props)
           .recipient_table(rows)
           .attach_rend_data()
           .attach_data("abc")
           .attachment_properties(MapiBlock().mapi_long(kPrAttachMethod, 1))
           .attach_rend_data()
           .attach_title("t")
           .bytes();
     },
     "9006 9007 9003 9004 [9002 800F 9005 {0003:3705=01000000}] [9002 8010 {}] "
     "props{001F:0037=480069000000} rows{001E:3001=416E6E00}{0003:0C15=01000000} cp1251"},
    {"a level-2 record before any attAttachRendData opens an attachment",
     [] { return TnefBuilder().signature().attach_data("x").attach_title("y").bytes(); },
     "[800F 8010 {}] props{} rows cp1252"},
    {"the first code page counts, the last property list",
     [] {
       return TnefBuilder()
           .signature()
           .oem_codepage(932)
           .oem_codepage(1250)
           .message_properties(MapiBlock().mapi_long(kPrAttachMethod, 1))
           .message_properties(MapiBlock().mapi_long(kPrAttachMethod, 2))
           .bytes();
     },
     "9007 9007 9003 9003 props{0003:3705=02000000} rows cp932"},
    {"a checksum that does not match is not checked",
     [] {
       TnefBuilder tnef;
       tnef.signature().subject("s");
       tnef.patch_le32(tnef.offset() - 4, 0xFFFF0073);  // 's', NUL, then a wrong checksum
       return tnef.attach_data("d").bytes();
     },
     "8004 [800F {}] props{} rows cp1252"},
    {"a record cut short ends the stream, keeping what came before",
     [] {
       ByteVector bytes = TnefBuilder().signature().subject("s").attach_data("data").bytes();
       bytes.resize(bytes.size() - 1);
       return bytes;
     },
     "8004 props{} rows cp1252 cut"},
    {"a length past the end",
     [] {
       return TnefBuilder()
           .signature()
           .subject("s")
           .record_declaring(2, tb::kAttAttachData, tb::kAtpByte, -1, bytes_of("abc"))
           .bytes();
     },
     "8004 props{} rows cp1252 cut"},
    {"a level no writer uses",
     [] { return TnefBuilder().signature().subject("s").record(3, 0x800F, 6, "x").bytes(); },
     "8004 props{} rows cp1252 cut"},
    {"trailing bytes too few for a record",
     [] { return TnefBuilder().signature().filler(3).bytes(); }, "props{} rows cp1252 cut"},
    {"the signature and key alone", [] { return TnefBuilder().signature().bytes(); },
     "props{} rows cp1252"},
    {"the signature without its key",
     [] {
       ByteVector bytes = TnefBuilder().signature().bytes();
       bytes.pop_back();
       return bytes;
     },
     "props{} rows cp1252 cut"},
    {"another signature",
     [] { return TnefBuilder().raw("\x78\x9F\x3E\x32").raw("\x01\x00").subject("s").bytes(); },
     "not TNEF"},
    {"a recipient row cut short",
     [] {
       ByteVector table = le32(2);
       const ByteVector row = MapiBlock().mapi_string8(kPrDisplayName, "Ann").block();
       table.insert(table.end(), row.begin(), row.end());
       table.insert(table.end(), row.begin(), row.end() - 1);
       return TnefBuilder().signature().record(1, tb::kAttRecipTable, tb::kAtpByte, table).bytes();
     },
     "9004 props{} rows{001E:3001=416E6E00}{ cut} cp1252"},
};

TEST(MessageReader, Streams) {
  for (const StreamCase& row : kStreams) {
    SCOPED_TRACE(row.what);
    const ByteVector stream = row.stream();
    EXPECT_EQ(describe(read_tnef(stream)), row.expected);
  }
}

struct ListCase {
  const char* what;
  std::function<ByteVector()> list;
  const char* expected;
};

const ListCase kLists[] = {
    {"fixed sizes, each padded to 4",
     [] {
       return MapiBlock()
           .mapi_fixed(kPtI2, 0x0001, ByteVector{0x34, 0x12})
           .mapi_fixed(kPtBoolean, 0x0002, ByteVector{1, 0})
           .mapi_fixed(kPtSysTime, 0x0003, ByteVector{1, 2, 3, 4, 5, 6, 7, 8})
           .mapi_fixed(kPtClsid, 0x0004, ByteVector(16, 0xAB))
           .mapi_long(0x0005, 7)
           .block();
     },
     "0002:0001=3412 000B:0002=0100 0040:0003=0102030405060708 0048:0004=len16 "
     "0003:0005=07000000"},
    {"named by number and by string, padded",
     [] {
       return MapiBlock()
           .named(kSomeSet, 0x8233)
           .mapi_long(0x8001, 9)
           .named(kSomeSet, u"Keywords")
           .mapi_binary(0x8002, bytes_of("xyz"))
           .mapi_long(0x0003, 1)
           .block();
     },
     "0003:8001#33331=09000000 0102:8002'Keywords'=78797A 0003:0003=01000000"},
    {"multi-valued, fixed and counted, each with its count",
     [] {
       const ByteVector longs[] = {le32(1), le32(2)};
       const ByteVector strings[] = {bytes_of("a"), bytes_of("bcdef"), {}};
       return MapiBlock()
           .mapi_multi(kPtLong, 0x0001, longs)
           .mapi_multi(kPtString8, 0x0002, strings)
           .mapi_multi(kPtI2, 0x0003, std::span<const ByteVector>(longs).first(1))
           .block();
     },
     "1003:0001=01000000,02000000 101E:0002=61,6263646566, 1002:0003=0100"},
    {"a counted type with no value",
     [] {
       ByteVector list = le32(1);
       for (std::uint8_t byte : ByteVector{0x02, 0x01, 0x01, 0x30, 0, 0, 0, 0})
         list.push_back(byte);
       return list;
     },
     "0102:3001"},
    {"more values than the bytes could hold",
     [] {
       ByteVector list = MapiBlock().mapi_long(1, 1).block();
       list[0] = 2;
       for (std::uint8_t byte : ByteVector{0x03, 0x10, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0x0F})
         list.push_back(byte);
       return list;
     },
     "0003:0001=01000000 cut"},
    {"a length past the end",
     [] {
       return MapiBlock()
           .mapi_long(1, 1)
           .mapi_counted(kPtBinary, 2, 0x7FFFFFFF, bytes_of("abcd"))
           .block();
     },
     "0003:0001=01000000 cut"},
    {"a type that cannot be stepped over",
     [] { return MapiBlock().mapi_long(1, 1).mapi_fixed(0x0077, 2, le32(0)).block(); },
     "0003:0001=01000000 cut"},
    {"a name of neither kind",
     [] {
       ByteVector list = MapiBlock().named(kSomeSet, 5).mapi_long(0x8000, 1).block();
       list[4 + 4 + 16] = 2;  // count, type and id, the set, then the kind
       return list;
     },
     " cut"},
    {"fewer properties than counted",
     [] {
       ByteVector list = MapiBlock().mapi_long(1, 1).block();
       list[0] = 3;
       return list;
     },
     "0003:0001=01000000 cut"},
    {"the last value's padding cut off by the end",
     [] {
       ByteVector list = MapiBlock().mapi_string8(kPrSubject, "ab").block();
       list.pop_back();
       return list;
     },
     "001E:0037=616200"},
    {"no count",
     [] {
       return ByteVector{1, 0};
     },
     " cut"},
};

TEST(MessageReader, PropertyLists) {
  for (const ListCase& row : kLists) {
    SCOPED_TRACE(row.what);
    const ByteVector list = row.list();
    EXPECT_EQ(describe(read_property_list(list)), row.expected);
  }
}

TEST(MessageReader, FindsPropertiesByIdAndByName) {
  const ByteVector bytes = MapiBlock()
                               .named(kSomeSet, 0x0037)
                               .mapi_long(0x8000, 1)
                               .mapi_long(kPrSubject, 2)
                               .named(kSomeSet, u"Name")
                               .mapi_long(0x8001, 3)
                               .named(kPsetidMeeting, 0x0003)
                               .mapi_long(0x8002, 4)
                               .block();
  const PropertyList list = read_property_list(bytes);
  // A named property whose number equals a plain id is not found by that id.
  EXPECT_EQ(property_u32(list.find(kPrSubject)), 2u);
  EXPECT_EQ(list.find(0x8000), nullptr);
  EXPECT_EQ(property_u32(list.find_named(kSomeSet, 0x0037)), 1u);
  EXPECT_EQ(property_u32(list.find_named(kSomeSet, "Name")), 3u);
  EXPECT_EQ(property_u32(list.find_named(kPsetidMeeting, 0x0003)), 4u);
  EXPECT_EQ(list.find_named(kPsetidAppointment, 0x0003), nullptr);
  EXPECT_EQ(list.find_named(kSomeSet, "name"), nullptr);
}

TEST(MessageReader, PropertyValues) {
  const ByteVector bytes =
      MapiBlock()
          .mapi_string8(0x0001, "\xCF\xF0\xE8\xE2\xE5\xF2")     // "Привет" in Windows-1251
          .mapi_unicode(0x0002, u"caf\u00E9")                   // with its NUL
          .mapi_string8(0x0003, std::string_view("ab\0cd", 5))  // what follows a NUL dropped
          .mapi_fixed(kPtBoolean, 0x0004, ByteVector{0, 1})     // true: any bit set
          .mapi_fixed(kPtI2, 0x0005, ByteVector{0xFF, 0xFF})    // 16 bits only
          .mapi_fixed(kPtSysTime, 0x0006, ByteVector{1, 0, 0, 0, 0, 0, 0, 0x80})
          .mapi_binary(0x0007, bytes_of("bin"))
          .block();
  const PropertyList list = read_property_list(bytes);
  ASSERT_TRUE(list.complete);
  EXPECT_EQ(property_text(list.find(1), 1251), "\u041F\u0440\u0438\u0432\u0435\u0442");
  EXPECT_EQ(property_text(list.find(2), 1251), "caf\u00E9");
  EXPECT_EQ(property_text(list.find(3), 1252), "ab");
  EXPECT_EQ(property_text(list.find(7), 1252), std::nullopt);
  EXPECT_EQ(property_bool(list.find(4)), true);
  EXPECT_EQ(property_u32(list.find(5)), 0xFFFFu);
  EXPECT_EQ(property_u32(list.find(6)), std::nullopt);
  EXPECT_EQ(property_u64(list.find(6)), 0x8000000000000001u);
  EXPECT_EQ(property_u64(list.find(5)), std::nullopt);
  ASSERT_TRUE(property_bytes(list.find(7)));
  EXPECT_EQ(property_bytes(list.find(7))->size(), 3u);
  EXPECT_EQ(property_bytes(list.find(4)), std::nullopt);
  EXPECT_EQ(property_u32(list.find(9)), std::nullopt);
  EXPECT_EQ(property_text(nullptr, 1252), std::nullopt);
}

// Every prefix of a stream reads as the records that end inside it, never more, and nothing is
// read past the prefix's end.
TEST(MessageCorruption, EveryTruncationKeepsTheRecordsBeforeIt) {
  const MapiBlock rows[1] = {MapiBlock().mapi_string8(kPrDisplayName, "Ann")};
  const ByteVector stream =
      TnefBuilder()
          .signature()
          .tnef_version()
          .message_properties(MapiBlock()
                                  .mapi_unicode(kPrSubject, u"Hi")
                                  .named(kSomeSet, u"N")
                                  .mapi_long(0x8000, 1))
          .recipient_table(rows)
          .attach_rend_data()
          .attach_data("abc")
          .attachment_properties(MapiBlock().mapi_string8(kPrAttachLongFilename, "a.txt"))
          .bytes();
  const std::optional<TnefMessage> whole = read_tnef(stream);
  ASSERT_TRUE(whole && whole->complete);
  for (std::size_t size = 7; size < stream.size(); ++size) {
    tb::GuardedBuffer prefix(Bytes(stream).first(size));
    const std::optional<TnefMessage> cut = read_tnef(prefix.view());
    ASSERT_TRUE(cut);
    std::size_t records = cut->attributes.size();
    for (const TnefAttachment& attachment : cut->attachments)
      records += attachment.attributes.size();
    std::size_t ending_inside = 0;
    for (const Attribute& attribute : whole->attributes)
      ending_inside += attribute.offset + 11 + attribute.value.size() <= size;
    for (const Attribute& attribute : whole->attachments[0].attributes)
      ending_inside += attribute.offset + 11 + attribute.value.size() <= size;
    EXPECT_EQ(records, ending_inside) << size;
    // Cut at the end of a record, the stream is whole as far as it goes.
    bool at_record_end = false;
    for (const Attribute& attribute : whole->attributes)
      at_record_end |= attribute.offset + 11 + attribute.value.size() == size;
    for (const Attribute& attribute : whole->attachments[0].attributes)
      at_record_end |= attribute.offset + 11 + attribute.value.size() == size;
    EXPECT_EQ(cut->complete, at_record_end) << size;
  }
}

// Every byte of a stream set to each of a few values: the length fields become huge, zero or off
// by one, the counts lie. Whatever is read stays inside the stream.
TEST(MessageCorruption, EveryBytePositionCorrupted) {
  const ByteVector stream =
      TnefBuilder()
          .signature()
          .message_properties(MapiBlock()
                                  .mapi_string8(kPrSubject, "s")
                                  .named(kSomeSet, u"N")
                                  .mapi_multi(kPtLong, 0x8000, std::vector<ByteVector>{le32(1)}))
          .attach_rend_data()
          .attach_data("abc")
          .attachment_properties(MapiBlock().mapi_binary(kPrAttachDataObj, bytes_of("obj")))
          .bytes();
  for (std::size_t at = 0; at < stream.size(); ++at) {
    for (std::uint8_t value : ByteVector{0x00, 0x01, 0x7F, 0xFF}) {
      ByteVector corrupted = stream;
      corrupted[at] = value;
      tb::GuardedBuffer guarded(corrupted);
      const std::optional<TnefMessage> message = read_tnef(guarded.view());
      if (!message) continue;
      const auto inside = [&](Bytes value_bytes) {
        return value_bytes.empty() ||
               (value_bytes.data() >= guarded.view().data() &&
                value_bytes.data() + value_bytes.size() <= guarded.view().data() + guarded.size());
      };
      for (const Property& property : message->properties.properties) {
        for (Bytes v : property.values) EXPECT_TRUE(inside(v)) << at;
      }
      for (const TnefAttachment& attachment : message->attachments) {
        for (const Attribute& attribute : attachment.attributes)
          EXPECT_TRUE(inside(attribute.value));
      }
    }
  }
}

// The attAttachData records of every corpus stream are those that a strict walk of its records
// found, at the same offsets with the same bytes, and the reader ends where the walk did.
TEST(MessageCorpus, FindsTheAttachDataRecordsOfTheWalk) {
  REQUIRE_SAMPLE_CORPUS();
  std::map<std::string, std::vector<std::string>> expected;
  std::map<std::string, std::string> walk_status;
  for (const std::vector<std::string>& row : tb::corpus_table("attachdata_records.tsv")) {
    ASSERT_EQ(row.size(), 7u);
    walk_status[row[0]] = row[6];
    if (row[1] != "-") expected[row[0]].push_back(row[2] + " " + row[3] + " " + row[4]);
  }
  const std::vector<tb::CorpusStream> streams = tb::corpus_streams();
  ASSERT_EQ(streams.size(), walk_status.size());
  for (const tb::CorpusStream& stream : streams) {
    SCOPED_TRACE(stream.name);
    const std::optional<TnefMessage> message = read_tnef(stream.bytes);
    const std::string& status = walk_status[stream.name];
    if (status == "no TNEF signature") {
      EXPECT_FALSE(message);
      continue;
    }
    ASSERT_TRUE(message);
    EXPECT_EQ(message->complete, status == "clean end") << status;
    std::vector<std::string> found;
    for (const TnefAttachment& attachment : message->attachments) {
      for (const Attribute& attribute : attachment.attributes) {
        if (&attribute != attachment.data()) continue;
        found.push_back(std::to_string(attribute.offset) + " " +
                        std::to_string(attribute.value.size()) + " " +
                        tb::sha256_hex(attribute.value));
      }
    }
    EXPECT_EQ(found, expected[stream.name]);
  }
}

// A message with the given message-level properties (and attributes before them).
ByteVector message_with(const MapiBlock& properties, std::string_view subject = {},
                        std::string_view body = {}, std::uint32_t code_page = 1252) {
  TnefBuilder tnef;
  tnef.signature().oem_codepage(code_page);
  if (!subject.empty()) tnef.subject(subject);
  if (!body.empty()) tnef.body(body);
  return tnef.message_properties(properties).bytes();
}

ByteVector compressed(std::string_view rtf) {
  return tb::CompressedRtfBuilder().literals(rtf).end().bytes();
}

struct NameCase {
  const char* what;
  std::function<ByteVector()> stream;
  std::string_view mime_subject;
  std::string expected;
};

const NameCase kNames[] = {
    {"PR_SUBJECT, Unicode, over attSubject",
     [] { return message_with(MapiBlock().mapi_unicode(kPrSubject, u"\u0411ox"), "att"); }, "",
     "\u0411ox"},
    {"PR_SUBJECT, 8-bit in the message's code page",
     [] { return message_with(MapiBlock().mapi_string8(kPrSubject, "\xC1ox"), {}, {}, 1251); }, "",
     "\u0411ox"},
    {"the prefix mark and its length dropped",
     [] { return message_with(MapiBlock().mapi_unicode(kPrSubject, u"\u0001\u0004RE: x")); }, "",
     "RE: x"},
    {"attSubject where there is no PR_SUBJECT",
     [] { return message_with(MapiBlock().mapi_string8(kPrConversationTopic, "topic"), "att"); },
     "", "att"},
    {"the conversation topic past a blank subject",
     [] {
       return message_with(
           MapiBlock().mapi_string8(kPrSubject, " ").mapi_string8(kPrConversationTopic, "topic"));
     },
     "", "topic"},
    {"the MIME subject", [] { return message_with(MapiBlock()); }, "From MIME", "From MIME"},
    {"nothing", [] { return message_with(MapiBlock()); }, "", "message"},
    {"cut to 200 bytes between characters",
     [] {
       return message_with(MapiBlock().mapi_unicode(kPrSubject, std::u16string(150, u'\u0411')));
     },
     "",
     [] {
       std::string cut;
       for (int i = 0; i < 100; ++i) cut += "\u0411";
       return cut;
     }()},
};

TEST(MessageText, Names) {
  for (const NameCase& row : kNames) {
    SCOPED_TRACE(row.what);
    const ByteVector stream = row.stream();
    const std::optional<TnefMessage> message = read_tnef(stream);
    ASSERT_TRUE(message);
    EXPECT_EQ(message_name(*message, row.mime_subject), row.expected);
  }
}

struct TextCase {
  const char* what;
  std::function<ByteVector()> stream;
  std::string_view extension;  // empty: no text at all
  std::string expected;
  bool damaged = false;
};

const TextCase kTexts[] = {
    {"PR_HTML without a declaration: PR_INTERNET_CPID's added after <head>",
     [] {
       return message_with(MapiBlock()
                               .mapi_binary(kPrHtml, bytes_of("<html><HEAD lang=x><p>\xE9</html>"))
                               .mapi_long(kPrInternetCodepage, 28591)
                               .mapi_binary(kPrRtfCompressed, compressed("{\\rtf1 x}")));
     },
     ".html",
     "<html><HEAD lang=x><meta http-equiv=\"Content-Type\" content=\"text/html; "
     "charset=iso-8859-1\"><p>\xE9</html>"},
    {"PR_HTML with its own declaration: as stored",
     [] {
       return message_with(MapiBlock().mapi_binary(
           kPrHtml, bytes_of("<head><meta charset=\"koi8-r\"><header>\xC1</header>")));
     },
     ".html", "<head><meta charset=\"koi8-r\"><header>\xC1</header>"},
    {"PR_HTML without <head> and without PR_INTERNET_CPID: the message's code page at the start",
     [] {
       return message_with(MapiBlock().mapi_string8(kPrHtml, "<header>x</header>"), {}, {}, 1251);
     },
     ".html",
     "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">"
     "<header>x</header>"},
    {"PR_HTML in Unicode: UTF-8, its declaration made so",
     [] {
       return message_with(
           MapiBlock().mapi_unicode(kPrHtml,
                                    u"<head><META http-equiv=Content-Type content='text/html; "
                                    u"charset=windows-1251'></head>\u0411"));
     },
     ".html",
     "<head><META http-equiv=Content-Type content='text/html; charset=utf-8'></head>\u0411"},
    {"RTF that encapsulates HTML: UTF-8, declared after <head>",
     [] {
       return message_with(MapiBlock().mapi_binary(
           kPrRtfCompressed,
           compressed("{\\rtf1\\ansi\\ansicpg1251\\fromhtml1 {\\*\\htmltag1 <html><head>}"
                      "{\\*\\htmltag2 </head>}\\'c1}")));
     },
     ".html",
     "<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
     "</head>\u0411"},
    {"RTF that encapsulates text",
     [] {
       return message_with(MapiBlock().mapi_binary(
           kPrRtfCompressed, compressed("{\\rtf1\\ansi\\fromtext a\\par b}")));
     },
     ".txt", "a\r\nb"},
    {"RTF as it is, its trailing NUL kept, over PR_BODY",
     [] {
       return message_with(
           MapiBlock()
               .mapi_binary(kPrRtfCompressed, compressed(std::string_view("{\\rtf1 x}\0", 10)))
               .mapi_string8(kPrBody, "body"));
     },
     ".rtf", std::string("{\\rtf1 x}\0", 10)},
    {"damaged RTF gives what it decompressed to",
     [] {
       return message_with(MapiBlock().mapi_binary(
           kPrRtfCompressed, tb::CompressedRtfBuilder().literals("{\\rtf1 x}").bytes()));
     },
     ".rtf", "{\\rtf1 x}", true},
    {"an RTF property that is no compressed RTF: the plain body",
     [] {
       return message_with(MapiBlock()
                               .mapi_binary(kPrRtfCompressed, bytes_of("short"))
                               .mapi_unicode(kPrBody, u"\u0411ody"));
     },
     ".txt", "\u0411ody"},
    {"PR_BODY in 8 bits, by the message's code page, over attBody",
     [] { return message_with(MapiBlock().mapi_string8(kPrBody, "\xC1"), {}, "att", 1251); },
     ".txt", "\u0411"},
    {"attBody", [] { return message_with(MapiBlock(), {}, "\xC1 body", 1251); }, ".txt",
     "\u0411 body"},
    {"no text", [] { return message_with(MapiBlock().mapi_string8(kPrSubject, "s")); }, "", ""},
};

TEST(MessageText, Texts) {
  for (const TextCase& row : kTexts) {
    SCOPED_TRACE(row.what);
    const ByteVector stream = row.stream();
    const std::optional<TnefMessage> message = read_tnef(stream);
    ASSERT_TRUE(message);
    const std::optional<MessageText> text = message_text(*message);
    ASSERT_EQ(text.has_value(), !row.extension.empty());
    if (!text) continue;
    EXPECT_EQ(text->extension, row.extension);
    EXPECT_EQ(text->bytes, row.expected);
    EXPECT_EQ(text->damaged, row.damaged);
  }
}

TEST(MessageText, PlainText) {
  const ByteVector encapsulated = message_with(
      MapiBlock().mapi_binary(kPrRtfCompressed, compressed("{\\rtf1\\ansi\\fromtext a\\tab b}")));
  const ByteVector html = message_with(MapiBlock().mapi_binary(
      kPrRtfCompressed, compressed("{\\rtf1\\ansi\\fromhtml1 {\\*\\htmltag1 <p>}a}")));
  const ByteVector both =
      message_with(MapiBlock()
                       .mapi_binary(kPrRtfCompressed, compressed("{\\rtf1\\ansi\\fromtext rtf}"))
                       .mapi_unicode(kPrBody, u"body"));
  EXPECT_EQ(message_plain_text(*read_tnef(encapsulated)), "a\tb");
  EXPECT_EQ(message_plain_text(*read_tnef(html)), std::nullopt);
  EXPECT_EQ(message_plain_text(*read_tnef(both)), "body");
}

TEST(MessageText, ContentIdLinks) {
  const std::vector<std::pair<std::string, std::string>> files = {
      {"image001.jpg@01D1.2B3C", "image001.jpg"},
      {"<pic@x>", "my picture (2).png"},
      {"image001.jpg@01D1", "wrong.jpg"},
  };
  struct Row {
    std::string_view html, expected;
  };
  const Row rows[] = {
      {"<img src=\"cid:image001.jpg@01D1.2B3C\">", "<img src=\"image001.jpg\">"},
      {"<img src='CID:pic@x'><img src=cid:pic%40x>",
       "<img src='my%20picture%20%282%29.png'><img src=my%20picture%20%282%29.png>"},
      {"url(cid:image001.jpg@01D1) cid:image001.jpg@01D1.2B3Cx cid:other cid:",
       "url(wrong.jpg) cid:image001.jpg@01D1.2B3Cx cid:other cid:"},
  };
  for (const Row& row : rows) {
    std::string html(row.html);
    link_content_ids(html, files);
    EXPECT_EQ(html, row.expected);
  }
}

// What each corpus stream's text is. The RTF, and the HTML and text inside RTF, are held to the
// peers' bytes in rtf_test.cpp; an HTML body here is the stored PR_HTML itself, every corpus page
// having its own charset declaration.
struct CorpusText {
  std::string_view sample, extension;  // extension empty: no text
  std::size_t length;
  bool damaged;
};
const CorpusText kCorpusTexts[] = {
    {"mime/horde_Itip_Reply.eml", ".rtf", 10128, false},
    {"mime/horde_tnef_task.eml", ".rtf", 856, false},
    {"mime/mimekit_rich-text.eml", ".rtf", 15237, false},
    {"mime/mimekit_ukr.eml", ".html", 830, false},
    {"mime/roundcube_tnef1.eml", "", 0, false},
    {"mime/roundcube_tnef2.eml", ".html", 5358, false},
    {"mime/roundcube_tnef3.eml", ".rtf", 443, false},
    {"raw/horde_TnefAttachments.tnef", ".rtf", 23699, false},
    {"raw/horde_TnefAttachmentsMultiple.tnef", ".rtf", 11962, false},
    {"raw/horde_TnefMeetingRequest.tnef", ".rtf", 10025, false},
    {"raw/horde_tnef_vnote.tnef", ".rtf", 841, false},
    {"raw/horde_winmail2.dat", ".rtf", 10106, false},
    {"raw/ktnef_mapi_attach_data_obj.tnef", ".rtf", 2429, false},
    {"raw/ktnef_umlaut-filename.tnef", ".rtf", 10853, false},
    {"raw/mimekit_christmas.tnef", ".rtf", 15237, false},
    {"raw/mimekit_winmail.tnef", ".rtf", 13412, false},
    {"raw/poi_bug52400-winmail-simple.dat", ".html", 473, false},
    {"raw/poi_bug52400-winmail-with-attachments.dat", ".html", 672, false},
    {"raw/poi_bug63955-winmail.dat", ".html", 1697, false},
    {"raw/poi_oom.tnef", "", 0, false},
    {"raw/poi_quick-winmail.dat", ".rtf", 25528, false},
    {"raw/qu_invalid-checksum.tnef", ".rtf", 593, true},
    {"raw/roundcube_winmail-10193.tnef", ".html", 16664, false},
    {"raw/teamwork_panic.tnef", ".html", 10561, false},
    {"raw/tnefparse_IPM-DistList.tnef", ".html", 2143, false},
    {"raw/tnefparse_bad_checksum.tnef", ".html", 4614, false},
    {"raw/tnefparse_duplicate_filename.tnef", ".rtf", 2429, false},
    {"raw/tnefparse_minimal_attachment.tnef", "", 0, false},
    {"raw/tnefparse_umlaut.tnef", ".html", 2679, false},
    {"raw/vt_MAPI_ATTACH_DATA_OBJ.tnef", ".rtf", 2429, false},
    {"raw/vt_MAPI_OBJECT.tnef", ".rtf", 732, false},
    {"raw/vt_body.tnef", ".html", 5358, false},
    {"raw/vt_data-before-name.tnef", ".rtf", 163, false},
    {"raw/vt_garbage-at-end.tnef", "", 0, false},
    {"raw/vt_long-filename.tnef", ".txt", 729, false},
    {"raw/vt_missing-filenames.tnef", ".txt", 961, false},
    {"raw/vt_multi-name-property.tnef", "", 0, false},
    {"raw/vt_multi-value-attribute.tnef", ".html", 760, false},
    {"raw/vt_one-file.tnef", "", 0, false},
    {"raw/vt_rtf.tnef", ".rtf", 593, false},
    {"raw/vt_triples.tnef", ".rtf", 247, false},
    {"raw/vt_two-files.tnef", "", 0, false},
    {"raw/vt_unicode-mapi-attr-name.tnef", ".html", 6389, false},
    {"raw/vt_unicode-mapi-attr.tnef", ".html", 1226, false},
    {"raw/ytnef_multi-value-attribute.tnef", ".html", 760, false},
    {"raw/ytnef_oob-TNEFVersion-SwapWord.tnef", "", 0, false},
    {"raw/ytnef_winmail.dat", ".rtf", 443, false},
};

TEST(MessageCorpus, Texts) {
  REQUIRE_SAMPLE_CORPUS();
  std::map<std::string_view, const CorpusText*> expected;
  for (const CorpusText& row : kCorpusTexts) expected[row.sample] = &row;
  std::size_t checked = 0;
  for (const tb::CorpusStream& stream : tb::corpus_streams()) {
    SCOPED_TRACE(stream.name);
    const std::optional<TnefMessage> message = read_tnef(stream.bytes);
    if (!message) continue;
    const auto row = expected.find(stream.name);
    ASSERT_NE(row, expected.end());
    ++checked;
    const std::optional<MessageText> text = message_text(*message);
    ASSERT_EQ(text.has_value(), !row->second->extension.empty());
    if (!text) continue;
    EXPECT_EQ(text->extension, row->second->extension);
    EXPECT_EQ(text->bytes.size(), row->second->length);
    EXPECT_EQ(text->damaged, row->second->damaged);
    if (const std::optional<Bytes> html = property_bytes(message->properties.find(kPrHtml))) {
      EXPECT_EQ(text->bytes, std::string(html->begin(), html->end()));
    }
  }
  EXPECT_EQ(checked, std::size(kCorpusTexts));
}

TEST(MessageHeader, SubjectOfAMimeSource) {
  struct Case {
    std::string_view message;
    std::string expected;
  };
  const Case cases[] = {
      {"From: a@b\r\nSubject: Budget 2024\r\n\r\nbody", "Budget 2024"},
      {"subject:  folded\r\n  over lines \r\nTo: x\r\n\r\n", "folded  over lines"},
      {"Subject: =?UTF-8?B?0J7RgtGH0ZHRgg==?=\n\n", "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82"},
      // Q: '_' is a space, =XX a byte of the charset; the space between two words goes.
      {"Subject: =?iso-8859-1?Q?M=FCller_und?= =?windows-1251?b?yu7y?= ok\n\n",
       "M\xC3\xBCller und\xD0\x9A\xD0\xBE\xD1\x82 ok"},
      {"Subject: caf\xE9\n\n", "caf\xC3\xA9"},  // raw 8-bit text read as Windows-1252
      {"Subject: =?utf-8?Q?broken\n\n", "=?utf-8?Q?broken"},
      {"To: x\n\nSubject: in the body\n", ""},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(mime_subject(std::span(reinterpret_cast<const std::uint8_t*>(c.message.data()),
                                     c.message.size())),
              c.expected);
  }
}

}  // namespace
}  // namespace kestrox
