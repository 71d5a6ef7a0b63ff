// The attachment scan: progress glyphs, bad lengths, search windows and limits, and the names and
// titles it hands over, observed through the "Extracting file" line of each record.
#include "extract/scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "extract/output.h"
#include "support/guarded_buffer.h"
#include "support/scripted_console.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

using testing::ByteVector;
using testing::GuardedBuffer;
using testing::kAtpByte;
using testing::kAtpString;
using testing::kAttAttachData;
using testing::kAttAttachTitle;
using testing::kLevelAttachment;
using testing::kPrAttachData;
using testing::kPrAttachLongFilename;
using testing::kPrDisplayName;
using testing::kPropertyBlockHeadSize;
using testing::kPtBinary;
using testing::kPtObject;
using testing::kPtString8;
using testing::kPtUnicode;
using testing::kRecordChecksumSize;
using testing::kRecordHeadSize;
using testing::MapiBlock;
using testing::Nul;
using testing::pattern_free_bytes;
using testing::ScratchDirectory;
using testing::ScriptedConsole;
using testing::TnefBuilder;

constexpr std::string_view kNoFiles =
    "\nYour winmail.dat does not seem to contain attached files.\n"
    "This is normal; Outlook also saves the formatting of the e-mail in winmail.dat.\n";

// One "Extracting file %s, (%s) length %d to %s" line, taken apart.
struct Announcement {
  std::string name;
  std::string title;
  long length = 0;
  std::string path;
};

struct ScanResult {
  std::string directory;  // the output directory, with its trailing '/'
  std::string out;
  std::vector<Announcement> files;
  std::map<std::string, ByteVector> written;  // what the output directory held afterwards
  bool failed = false;
  ExtractionState state;
};

std::vector<Announcement> announcements(const std::string& out) {
  static constexpr std::string_view kHead = "Extracting file ";
  std::vector<Announcement> found;
  for (std::size_t at = out.find(kHead); at != std::string::npos; at = out.find(kHead, at + 1)) {
    const std::size_t end = out.find('\n', at);
    const std::string line = out.substr(at + kHead.size(), end - at - kHead.size());
    const std::size_t open = line.find(", (");
    const std::size_t close = line.rfind(") length ");
    const std::size_t to = line.find(" to ", close);
    Announcement a;
    a.name = line.substr(0, open);
    a.title = line.substr(open + 3, close - open - 3);
    a.length = std::stol(line.substr(close + 9, to - close - 9));
    a.path = line.substr(to + 4);
    found.push_back(a);
  }
  return found;
}

// The progress glyphs of the whole run: the console text with every announcement and answer
// taken out, up to the summary.
std::string glyphs(std::string out) {
  for (std::string_view cut :
       {std::string_view("File already exists, press Y to overwrite ... "),
        std::string_view("Not writing.\n"), std::string_view("Writing.\n")}) {
    for (std::size_t at = out.find(cut); at != std::string::npos; at = out.find(cut)) {
      out.erase(at, cut.size());
    }
  }
  for (std::size_t at = out.find("Extracting file "); at != std::string::npos;
       at = out.find("Extracting file ")) {
    out.erase(at, out.find('\n', at) - at + 1);
  }
  return out.substr(0, out.find('\n'));
}

// Runs the scan over `source` into a fresh directory.
ScanResult scan(std::span<const std::uint8_t> source, bool quiet = false,
                NameCharacters characters = NameCharacters::kPortable) {
  ScratchDirectory directory;
  ScanResult result;
  result.directory = directory.path() + "/";
  ScriptedConsole console("", /*utf8=*/true);
  OutputTarget target{result.directory, quiet, PathStyle::kPosix};
  target.characters = characters;
  result.failed = scan_attachments(source, target, console, result.state).failed();
  result.out = console.out_text();
  result.files = announcements(result.out);
  for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
    result.written[entry.path().filename().string()] = testing::read_file(entry.path().string());
  }
  return result;
}

ScanResult scan(const TnefBuilder& tnef) { return scan(tnef.bytes()); }

// The same, with the bytes right before an unreadable page.
ScanResult scan_guarded(std::span<const std::uint8_t> source) {
  GuardedBuffer guarded(source);
  return scan(guarded.view());
}

ByteVector data(std::size_t n, std::uint32_t seed = 7) { return pattern_free_bytes(n, seed); }

MapiBlock one_property(std::uint16_t type, std::uint16_t id, std::string_view text) {
  MapiBlock block;
  if (type == kPtString8) {
    block.mapi_string8(id, text);
  } else {
    block.mapi_unicode(id, std::u16string(text.begin(), text.end()));
  }
  return block;
}

// A 16-byte interface identifier, then `contents`: the value of a PR_ATTACH_DATA_OBJ.
ByteVector object_value(const ByteVector& contents) {
  ByteVector value(16 + contents.size(), 0xA5);
  std::copy(contents.begin(), contents.end(), value.begin() + 16);
  return value;
}

// ---------------------------------------------------------------------------------------------
// Glyphs and the record step

TEST(ScanGlyphs, NoRecordGivesOnlyTheSummary) {
  TnefBuilder tnef;
  tnef.signature().tnef_version().attach_title("a.txt").attachment_properties(
      MapiBlock().mapi_string8(kPrDisplayName, "a.txt"));
  EXPECT_EQ(scan(tnef).out, kNoFiles);
  EXPECT_EQ(scan(ByteVector{}).out, kNoFiles);
}

TEST(ScanGlyphs, RecordWithoutTitleOrNameIsTheUnknownAttachment) {
  TnefBuilder tnef;
  tnef.signature().attach_data(data(100));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(r.out,
            ".~ #Extracting file Unknown Attachment.txt, (Unknown Attachment.txt) length "
            "100 to " +
                r.directory + "Unknown Attachment.txt\nWriting.\n\nExtracted 1 file.\n");
  EXPECT_EQ(r.written.at("Unknown Attachment.txt"), data(100));
}

TEST(ScanGlyphs, EachWayOfNamingHasItsGlyphs) {
  struct Case {
    const char* what;
    bool backward_title, forward_title, name8, unicode;
    std::string glyphs, name;
  };
  const std::vector<Case> cases = {
      {"backward title and 8-bit name", true, false, true, false, ".;", "eight.pdf"},
      {"backward title alone", true, false, false, false, ".;~ ", "back.doc"},
      {"backward title and Unicode name", true, false, false, true, ".;~ * ", "wide.xls"},
      {"all three", true, false, true, true, ".;* ", "wide.xls"},
      {"forward title alone", false, true, false, false, ".~ ", "fore.doc"},
      {"Unicode name alone", false, false, false, true, ".~ * ", "wide.xls"},
      {"8-bit name alone", false, false, true, false, ".", "eight.pdf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnefBuilder tnef;
    tnef.signature();
    if (c.backward_title) tnef.attach_title("back.doc");
    tnef.attach_data(data(64));
    if (c.forward_title) tnef.attach_title("fore.doc");
    MapiBlock block;
    if (c.name8) block.mapi_string8(kPrAttachLongFilename, "eight.pdf");
    if (c.unicode) block.mapi_unicode(kPrAttachLongFilename, u"wide.xls");
    if (block.count() > 0) tnef.attachment_properties(block);
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), c.glyphs);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, c.name);
  }
}

TEST(ScanGlyphs, BadDataLengthsAreSkippedWithTheirGlyph) {
  struct Case {
    std::int32_t declared;
    std::string glyph;
  };
  for (const Case& c : {Case{1000, ">"}, Case{-1, "-"}, Case{INT32_MIN, "-"}, Case{0, " - "}}) {
    SCOPED_TRACE(c.declared);
    TnefBuilder tnef;
    tnef.signature().record_head(kLevelAttachment, kAttAttachData, kAtpByte, c.declared).filler(40);
    const ScanResult r = scan(tnef);
    EXPECT_EQ(r.out, "." + c.glyph + std::string(kNoFiles));
    EXPECT_EQ(r.state.files_found, 0);
  }
}

TEST(ScanGlyphs, AfterABadLengthTheScanLooksInsideTheSkippedBytes) {
  for (std::int32_t declared : {1000, -1, 0}) {
    SCOPED_TRACE(declared);
    TnefBuilder tnef;
    tnef.signature()
        .record_head(kLevelAttachment, kAttAttachData, kAtpByte, declared)
        .attach_title("inner.txt")
        .attach_data(data(50, 3));
    const ScanResult r = scan(tnef);
    const std::string bad = declared > 0 ? ">" : declared < 0 ? "-" : " - ";
    EXPECT_EQ(glyphs(r.out), "." + bad + ".;~ ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "inner.txt");
    EXPECT_EQ(r.written.at("inner.txt"), data(50, 3));
  }
}

TEST(ScanGlyphs, DataMayEndAtTheBuffersLastByteButNotBeyond) {
  for (std::int32_t declared : {50, 51}) {
    SCOPED_TRACE(declared);
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("edge.bin")
        .record_head(kLevelAttachment, kAttAttachData, kAtpByte, declared)
        .raw(data(50));  // no checksum: the data ends the buffer
    const ScanResult r = scan_guarded(tnef.bytes());
    if (declared == 50) {
      EXPECT_EQ(glyphs(r.out), ".;~ ");
      ASSERT_EQ(r.files.size(), 1u);
      EXPECT_EQ(r.files[0].length, 50);
    } else {
      EXPECT_EQ(r.out, ".>" + std::string(kNoFiles));
    }
  }
}

TEST(ScanGlyphs, LengthFieldCutByTheBufferEnd) {
  // The record pattern, then 0 to 3 bytes of its length field, then the end of the buffer.
  for (std::size_t kept = 0; kept <= 3; ++kept) {
    SCOPED_TRACE(kept);
    TnefBuilder tnef;
    tnef.signature().filler(20).record_head(kLevelAttachment, kAttAttachData, kAtpByte, 1);
    ByteVector bytes = tnef.bytes();
    bytes.resize(bytes.size() - 4 + kept);
    const ScanResult r = scan_guarded(bytes);
    // A pattern that ends at the last byte is not found at all.
    EXPECT_EQ(r.out, (kept == 0 ? "" : ".>") + std::string(kNoFiles));
  }
  // The whole length field and nothing after it: nothing is left for the data.
  struct Case {
    std::int32_t declared;
    std::string glyph;
  };
  for (const Case& c : {Case{1, ">"}, Case{0, " - "}, Case{-1, "-"}}) {
    SCOPED_TRACE(c.declared);
    TnefBuilder tnef;
    tnef.signature().record_head(kLevelAttachment, kAttAttachData, kAtpByte, c.declared);
    EXPECT_EQ(scan_guarded(tnef.bytes()).out, "." + c.glyph + std::string(kNoFiles));
  }
}

TEST(ScanGlyphs, TheScanResumesNineBytesBeforeTheDataEnd) {
  // A record pattern hidden in the last bytes of the data: at offset 91 of 100 it lies at the
  // resume point and is found; at offset 90 it lies before it and is not.
  for (std::size_t hidden : {91u, 90u}) {
    SCOPED_TRACE(hidden);
    ByteVector content = data(100);
    const std::uint8_t pattern[] = {0x02, 0x0F, 0x80, 0x06, 0x00};
    std::copy(std::begin(pattern), std::end(pattern), content.begin() + hidden);
    for (std::size_t i = hidden + 5; i < 100; ++i) content[i] = 0;  // a length of 0
    TnefBuilder tnef;
    tnef.signature().attach_title("outer.bin").attach_data(content).filler(16);
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), hidden == 91 ? ".;~ . - " : ".;~ ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].length, 100);
  }
}

TEST(ScanGlyphs, CorruptingAnyByteNeverBreaksTheScan) {
  std::vector<testing::AttachmentSpec> attachments(2);
  attachments[0].long_name = "first.txt";
  attachments[0].data = data(40, 1);
  attachments[1].long_name = "second.txt";
  attachments[1].data = data(30, 2);
  attachments[1].unicode_name = u"second wide.txt";
  // And a third whose contents are kept in its property list.
  TnefBuilder tnef;
  tnef.raw(testing::tnef_message(attachments))
      .attach_title("third.txt")
      .attachment_properties(MapiBlock()
                                 .mapi_counted(kPtObject, kPrAttachData, 36, object_value(data(20, 3)))
                                 .mapi_unicode(kPrDisplayName, u"third wide.txt"));
  const ByteVector clean = tnef.bytes();
  ASSERT_EQ(glyphs(scan(clean).out), ".;.;* +;~ * ");

  ScratchDirectory directory;
  const OutputTarget target{directory.path() + "/", true, PathStyle::kPosix};
  for (std::size_t at = 0; at < clean.size(); ++at) {
    for (std::uint8_t value : std::initializer_list<std::uint8_t>{0x00, 0x02, 0x7F, 0x80, 0xFF}) {
      ByteVector corrupt = clean;
      corrupt[at] = value;
      GuardedBuffer guarded{std::span<const std::uint8_t>(corrupt)};
      ScriptedConsole console;
      ExtractionState state;
      const bool failed = scan_attachments(guarded.view(), target, console, state).failed();
      ASSERT_FALSE(failed) << "byte " << at << " = " << int{value};
      // Whatever the damage, the run ends with the summary that fits its counts.
      const std::string& out = console.out_text();
      std::string summary = "\n";
      if (state.files_written == 1) summary = "\nExtracted 1 file.\n";
      if (state.files_written > 1) {
        summary = "\nExtracted " + std::to_string(state.files_written) + " files.\n";
      }
      if (state.files_found == 0) summary = kNoFiles;
      ASSERT_TRUE(out.ends_with(summary)) << "byte " << at << " = " << int{value} << ": " << out;
      EXPECT_EQ(console.keys_read(), 0);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Attachments kept in their property list, and names kept in it past the window

TEST(ScanPropertyLists, ContentsAndLengthsOfBinaryAndObjectProperties) {
  struct Case {
    const char* what;
    std::uint16_t type;
    std::int32_t declared;  // the value length; -1 here: the true one
    std::string glyphs;
    std::size_t written;  // bytes of the file written, 0 for none
  };
  const ByteVector contents = data(300, 4);
  for (const Case& c : {
           Case{"binary", kPtBinary, -1, "+;", 300},
           Case{"object, without its identifier", kPtObject, -1, "+;", 300},
           Case{"binary past the property list", kPtBinary, 2000, "+>", 0},
           Case{"binary of negative length", kPtBinary, -5, "+-", 0},
           Case{"binary of length 0", kPtBinary, 0, "+ - ", 0},
           Case{"object shorter than its identifier", kPtObject, 15, "+-", 0},
           Case{"object of its identifier alone", kPtObject, 16, "+ - ", 0},
       }) {
    SCOPED_TRACE(c.what);
    const ByteVector value = c.type == kPtObject ? object_value(contents) : contents;
    const std::int32_t declared =
        c.declared == -1 ? static_cast<std::int32_t>(value.size()) : c.declared;
    TnefBuilder tnef;
    tnef.signature().attach_rend_data().attach_title("report.doc").attachment_properties(
        MapiBlock()
            .mapi_counted(c.type, kPrAttachData, declared, value)
            .mapi_string8(kPrAttachLongFilename, "report.pdf"));
    const ScanResult r = scan_guarded(tnef.bytes());
    EXPECT_EQ(glyphs(r.out), c.glyphs);
    if (c.written == 0) {
      EXPECT_TRUE(r.written.empty());
      EXPECT_TRUE(r.out.ends_with(kNoFiles));
    } else {
      ASSERT_EQ(r.files.size(), 1u);
      EXPECT_EQ(r.files[0].name, "report.pdf");
      EXPECT_EQ(r.files[0].title, "report.doc");
      EXPECT_EQ(r.written.at("report.pdf"), contents);
    }
  }
}

TEST(ScanPropertyLists, AttachmentsWithARecordAreWrittenOnceFromIt) {
  // The first and the third have a record, the third its contents in its list as well; the
  // second has only its list. Each is written once, the second after the records.
  TnefBuilder tnef;
  tnef.signature()
      .attach_rend_data()
      .attach_data(data(40, 1))
      .attachment_properties(MapiBlock().mapi_string8(kPrDisplayName, "one.txt"))
      .attach_rend_data()
      .attachment_properties(MapiBlock()
                                 .mapi_counted(kPtBinary, kPrAttachData, 40, data(40, 2))
                                 .mapi_string8(kPrDisplayName, "two.txt"))
      .attach_rend_data()
      .attach_data(data(40, 3))
      .attachment_properties(MapiBlock()
                                 .mapi_counted(kPtBinary, kPrAttachData, 40, data(40, 4))
                                 .mapi_string8(kPrDisplayName, "three.txt"));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), "..+");
  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.files[2].name, "two.txt");
  EXPECT_EQ(r.written.at("one.txt"), data(40, 1));
  EXPECT_EQ(r.written.at("two.txt"), data(40, 2));
  EXPECT_EQ(r.written.at("three.txt"), data(40, 3));
}

TEST(ScanPropertyLists, NamesAreTakenFromTheListAroundTheContents) {
  // Before the contents, after them, and a name pattern inside them that is not the name.
  ByteVector contents = data(200, 5);
  const ByteVector decoy = one_property(kPtString8, kPrDisplayName, "decoy.exe").properties();
  std::copy(decoy.begin(), decoy.end(), contents.begin() + 50);
  for (bool before : {true, false}) {
    SCOPED_TRACE(before);
    MapiBlock list;
    if (before) list.mapi_unicode(kPrAttachLongFilename, u"before.txt");
    list.mapi_counted(kPtBinary, kPrAttachData, 200, contents);
    if (!before) list.mapi_string8(kPrAttachLongFilename, "after.txt");
    TnefBuilder tnef;
    tnef.signature().attachment_properties(list);
    const ScanResult r = scan_guarded(tnef.bytes());
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, before ? "before.txt" : "after.txt");
    EXPECT_EQ(glyphs(r.out), before ? "+~ * " : "+");
  }
}

TEST(ScanPropertyLists, NameBehindTheIconPictureIsFoundInTheOwnList) {
  // Outlook writes the icon between the data and the property list, so the name properties lie
  // past the 4000-byte window. A record without a list of its own never takes the next one's.
  TnefBuilder tnef;
  tnef.signature()
      .attach_title("HASSEL~1.JPG")
      .attach_data(data(100, 1))
      .record(kLevelAttachment, 0x9008, kAtpByte, data(5000, 2))  // attAttachMetaFile: the icon
      .attachment_properties(MapiBlock()
                                 .mapi_string8(kPrAttachLongFilename, "hasselhoff.jpg")
                                 .mapi_unicode(kPrDisplayName, u"hasselhoff wide.jpg"))
      .attach_title("NEXT~1.TXT")
      .attach_data(data(100, 3))
      .record(kLevelAttachment, 0x9008, kAtpByte, data(5000, 4))
      .attach_title("THIRD~1.TXT")
      .attach_data(data(100, 5))
      .record(kLevelAttachment, 0x9008, kAtpByte, data(5000, 6))
      .attachment_properties(MapiBlock().mapi_string8(kPrDisplayName, "third.txt"));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".;* .;~ .;");
  ASSERT_EQ(r.files.size(), 3u);
  EXPECT_EQ(r.files[0].name, "hasselhoff wide.jpg");
  EXPECT_EQ(r.files[1].name, "NEXT_1.TXT");
  EXPECT_EQ(r.files[2].name, "third.txt");
}

// ---------------------------------------------------------------------------------------------
// Names as the sender wrote them

TEST(ScanOriginalNames, DecodedFromTheMessagesCodePageAndFromUtf16) {
  struct Case {
    const char* what;
    std::uint32_t code_page;  // 0: no attOemCodepage record
    std::string title;        // as stored
    std::string name8;        // as stored, empty for none
    std::u16string unicode;   // empty for none
    std::string expected;     // the file's name
    std::string portable;     // the file's name without the option
  };
  const std::u16string cjk_long = std::u16string(95, u'\u62A5') + u".pdf";
  const std::string cjk_cut = [] {
    std::string name;
    for (int i = 0; i < 83; ++i) name += "\xE6\x8A\xA5";
    return name + ".pdf";
  }();
  const std::vector<Case> cases = {
      {"Russian, 1251", 1251, "OTCHET~1.DOC", "\xCE\xF2\xF7\xE5\xF2.docx", u"",
       "\xD0\x9E\xD1\x82\xD1\x87\xD0\xB5\xD1\x82.docx", "_____.docx"},
      {"Czech, 1250", 1250, "", "\x8Akoda \xE8\xED\xF8.txt", u"",
       "\xC5\xA0koda \xC4\x8D\xC3\xAD\xC5\x99.txt", "_koda ___.txt"},
      {"German, no code page: 1252", 0, "", "M\xFCller.pdf", u"", "M\xC3\xBCller.pdf",
       "M_ller.pdf"},
      {"Chinese, 936", 936, "", "\xB1\xA8\xB8\xE6.pdf", u"", "\xE6\x8A\xA5\xE5\x91\x8A.pdf",
       "____.pdf"},
      {"a title in 1251 for want of a name", 1251, "\xC4\xEE\xEA\xF3\xEC\xE5\xED\xF2", "",
       u"", "\xD0\x94\xD0\xBE\xD0\xBA\xD1\x83\xD0\xBC\xD0\xB5\xD0\xBD\xD1\x82",
       "________"},
      {"beyond the BMP", 1252, "", "", u"\U0001F600 smile.png", "\xF0\x9F\x98\x80 smile.png",
       "___ smile.png"},
      {"reserved characters", 1252, "", "a/b\\c:d*e?f\"g<h>i|j.txt", u"", "a_b_c_d_e_f_g_h_i_j.txt",
       "a_b_c_d_e_f_g_h_i_j.txt"},
      {"a direction override", 1252, "", "", u"invoice\u202Efdp.exe", "invoice_fdp.exe",
       "invoice. fdp.exe"},
      {"too long for a file system", 1252, "", "", cjk_long, cjk_cut, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnefBuilder tnef;
    tnef.signature();
    if (c.code_page != 0) tnef.oem_codepage(c.code_page);
    if (!c.title.empty()) tnef.attach_title(c.title);
    tnef.attach_data(data(20));
    MapiBlock names;
    if (!c.name8.empty()) names.mapi_string8(kPrAttachLongFilename, c.name8);
    if (!c.unicode.empty()) names.mapi_unicode(kPrDisplayName, c.unicode);
    if (names.count() > 0) tnef.attachment_properties(names);
    const ScanResult original = scan(tnef.bytes(), false, NameCharacters::kOriginal);
    ASSERT_EQ(original.written.size(), 1u);
    EXPECT_EQ(original.written.begin()->first, c.expected);
    if (c.portable.empty()) continue;
    const ScanResult portable = scan(tnef);
    ASSERT_EQ(portable.written.size(), 1u);
    EXPECT_EQ(portable.written.begin()->first, c.portable);
  }
}

// ---------------------------------------------------------------------------------------------
// Search windows and the next-record limit

TEST(ScanWindows, BackwardTitleFoundUpTo5800BytesBeforeTheRecord) {
  for (std::size_t distance : {5800u, 5801u}) {
    SCOPED_TRACE(distance);
    TnefBuilder tnef;
    tnef.signature().filler(100);
    const std::size_t title_at = tnef.offset();
    tnef.attach_title("early.doc").filler_to(title_at + distance).attach_data(data(100));
    const ScanResult r = scan(tnef);
    ASSERT_EQ(r.files.size(), 1u);
    if (distance == 5800) {
      EXPECT_EQ(glyphs(r.out), ".;~ ");
      EXPECT_EQ(r.files[0].name, "early.doc");
    } else {
      EXPECT_EQ(glyphs(r.out), ".~ #");
      EXPECT_EQ(r.files[0].name, "Unknown Attachment.txt");
    }
  }
}

TEST(ScanWindows, BackwardWindowStartsAtTheBufferStartNearIt) {
  // The title record is the buffer's very first byte.
  TnefBuilder tnef;
  tnef.attach_title("first.doc").filler(200).attach_data(data(10));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".;~ ");
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].name, "first.doc");
}

TEST(ScanWindows, ForwardTitleFoundUpTo3994BytesAfterTheResumePoint) {
  for (std::size_t distance : {3994u, 3995u}) {
    SCOPED_TRACE(distance);
    TnefBuilder tnef;
    tnef.signature();
    const std::size_t resume = tnef.offset() + 100;  // record start + data length
    tnef.attach_data(data(100)).filler_to(resume + distance).attach_title("late.doc").filler(64);
    const ScanResult r = scan(tnef);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, distance == 3994 ? "late.doc" : "Unknown Attachment.txt");
    EXPECT_EQ(glyphs(r.out), distance == 3994 ? ".~ " : ".~ #");
  }
}

TEST(ScanWindows, NamePropertiesFoundUpTo3993BytesAfterTheResumePoint) {
  struct Kind {
    std::uint16_t type, id;
    std::string found_glyphs;
  };
  for (const Kind& kind :
       {Kind{kPtString8, kPrDisplayName, "."}, Kind{kPtString8, kPrAttachLongFilename, "."},
        Kind{kPtUnicode, kPrDisplayName, ".~ * "},
        Kind{kPtUnicode, kPrAttachLongFilename, ".~ * "}}) {
    for (std::size_t distance : {3993u, 3994u}) {
      SCOPED_TRACE(::testing::Message()
                   << std::hex << kind.type << " " << kind.id << std::dec << " at " << distance);
      TnefBuilder tnef;
      tnef.signature();
      const std::size_t resume = tnef.offset() + 100;
      // The property alone, in no property list, which would be searched whole.
      tnef.attach_data(data(100))
          .filler_to(resume + distance)
          .raw(one_property(kind.type, kind.id, "far.pdf").properties())
          .filler(32);
      const ScanResult r = scan(tnef);
      ASSERT_EQ(r.files.size(), 1u);
      if (distance == 3993) {
        EXPECT_EQ(glyphs(r.out), kind.found_glyphs);
        EXPECT_EQ(r.files[0].name, "far.pdf");
      } else {
        EXPECT_EQ(glyphs(r.out), ".~ #");
        EXPECT_EQ(r.files[0].name, "Unknown Attachment.txt");
      }
    }
  }
}

TEST(ScanWindows, TitlesAndNamesAfterTheNextRecordAreNotUsed) {
  TnefBuilder tnef;
  tnef.signature()
      .attach_data(data(100, 1))
      .attach_data(data(100, 2))
      .attach_title("second.doc")
      .attachment_properties(MapiBlock().mapi_string8(kPrDisplayName, "second.pdf"));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(r.out,
            ".~ #Extracting file Unknown Attachment.txt, (Unknown Attachment.txt) length 100 to " +
                r.directory +
                "Unknown Attachment.txt\nWriting.\n"
                ".Extracting file second.pdf, (second.doc) length 100 to " +
                r.directory + "second.pdf\nWriting.\n\nExtracted 2 files.\n");
}

TEST(ScanWindows, AnUnusableNextRecordStillBoundsTheSearches) {
  TnefBuilder tnef;
  tnef.signature()
      .attach_data(data(100, 1))
      .record_head(kLevelAttachment, kAttAttachData, kAtpByte, -1)
      .attach_title("late.doc")
      .attachment_properties(MapiBlock().mapi_string8(kPrDisplayName, "late.pdf"));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".~ #.-");
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].name, "Unknown Attachment.txt");
}

// ---------------------------------------------------------------------------------------------
// Length limits

TEST(ScanLengths, BackwardTitleOfStoredLength53IsTakenAnd54IsNot) {
  const std::string title53 = std::string(48, 'b') + ".doc";  // 52 characters and the NUL
  const std::string title54 = std::string(49, 'b') + ".doc";
  {
    TnefBuilder tnef;
    tnef.signature().attach_title(title53).attach_data(data(30)).attach_title("fwd.doc");
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), ".;~ ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, title53);
  }
  for (std::int32_t bad : {54, -1}) {
    SCOPED_TRACE(bad);
    ByteVector value(title54.begin(), title54.end());
    value.push_back(0);
    TnefBuilder tnef;
    tnef.signature()
        .record_declaring(kLevelAttachment, kAttAttachTitle, kAtpString, bad, value)
        .attach_data(data(30))
        .attach_title("fwd.doc");
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), ".~ ");  // the forward title, which prints nothing
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "fwd.doc");
  }
}

TEST(ScanLengths, ForwardTitleOfStoredLength33IsTakenAnd34IsNot) {
  const std::string title33 = std::string(28, 'f') + ".doc";  // 32 characters and the NUL
  const std::string title34 = std::string(29, 'f') + ".doc";
  for (const std::string& title : {title33, title34}) {
    SCOPED_TRACE(title.size() + 1);
    TnefBuilder tnef;
    tnef.signature().attach_data(data(30)).attach_title(title);
    const ScanResult r = scan(tnef);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, title == title33 ? title : "Unknown Attachment.txt");
  }
}

TEST(ScanLengths, StoredTextStopsAtItsLengthOrItsFirstNul) {
  struct Case {
    std::int32_t declared;
    std::string value;
    std::string name;
  };
  const std::vector<Case> cases = {
      {12, "abcdefgh.txt", "abcdefgh.txt"},  // no NUL: exactly the stored bytes, not the checksum
      {5, std::string("notes.txt\0", 10), "notes"},
      {10, std::string("ab.c\0de.fgh", 11), "ab.c"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ByteVector value(c.value.begin(), c.value.end());
    TnefBuilder tnef;
    tnef.signature()
        .record_declaring(kLevelAttachment, kAttAttachTitle, kAtpString, c.declared, value)
        .attach_data(data(30));
    const ScanResult r = scan(tnef);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, c.name);
    EXPECT_EQ(r.files[0].title, c.name);
  }
}

TEST(ScanLengths, EightBitNamesOfValueLength2To100AreTaken) {
  struct Case {
    std::int32_t declared;
    std::string value;
    bool taken;
  };
  const std::vector<Case> cases = {
      {1, "a", false},
      {2, std::string("a\0", 2), true},  // "a" has no extension: the "#" fallback follows
      {100, std::string(96, 'n') + ".pdf", true},
      {101, std::string(97, 'n') + ".pdf", false},
      {0, "zero.pdf", false},
      {-2, "negative.pdf", false},
  };
  for (std::uint16_t id : {kPrDisplayName, kPrAttachLongFilename}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << std::hex << id << std::dec << " " << c.declared);
      ByteVector value(c.value.begin(), c.value.end());
      TnefBuilder tnef;
      tnef.signature().attach_data(data(30)).attachment_properties(
          MapiBlock().mapi_counted(kPtString8, id, c.declared, value));
      const ScanResult r = scan(tnef);
      if (c.taken) {
        ASSERT_EQ(r.files.size(), 1u);
        EXPECT_EQ(r.files[0].name, c.value.substr(0, c.value.find('\0')));
        EXPECT_EQ(glyphs(r.out), c.declared == 2 ? ".#" : ".");
      } else {
        // Found but unusable: the name is empty, and with no title either the attachment is
        // written under the default name.
        ASSERT_EQ(r.files.size(), 1u);
        EXPECT_EQ(r.files[0].path, r.directory + "Unknown Attachment.txt");
        EXPECT_EQ(glyphs(r.out), ".#");
      }
    }
  }
}

TEST(ScanLengths, UnicodeNamesOfValueLengthUpTo200AreTaken) {
  const std::u16string name99 = std::u16string(95, u'w') + u".pdf";  // 198 bytes and the NUL
  for (std::int32_t declared : {200, 201}) {
    SCOPED_TRACE(declared);
    ByteVector value;
    for (char16_t unit : name99) {
      value.push_back(static_cast<std::uint8_t>(unit));
      value.push_back(0);
    }
    value.resize(static_cast<std::size_t>(declared), 0);
    TnefBuilder tnef;
    tnef.signature().attach_data(data(30)).attachment_properties(
        MapiBlock().mapi_counted(kPtUnicode, kPrAttachLongFilename, declared, value));
    const ScanResult r = scan(tnef);
    ASSERT_EQ(r.files.size(), 1u);
    if (declared == 200) {
      EXPECT_EQ(glyphs(r.out), ".~ * ");
      EXPECT_EQ(r.files[0].name, std::string(95, 'w') + ".pdf");
    } else {
      EXPECT_EQ(glyphs(r.out), ".~ #");
      EXPECT_EQ(r.files[0].name, "Unknown Attachment.txt");
    }
  }
}

TEST(ScanLengths, TheNearerUnicodeNameAloneDecides) {
  // The display name comes first and is too long: the usable long file name behind it is not
  // tried.
  const ByteVector long_value(201, 'x');
  TnefBuilder tnef;
  tnef.signature().attach_data(data(30)).attachment_properties(
      MapiBlock()
          .mapi_counted(kPtUnicode, kPrDisplayName, 201, long_value)
          .mapi_unicode(kPrAttachLongFilename, u"usable.pdf"));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".~ #");
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].name, "Unknown Attachment.txt");

  // In the other order the long file name is taken.
  TnefBuilder swapped;
  swapped.signature().attach_data(data(30)).attachment_properties(
      MapiBlock()
          .mapi_unicode(kPrAttachLongFilename, u"usable.pdf")
          .mapi_counted(kPtUnicode, kPrDisplayName, 201, long_value));
  const ScanResult s = scan(swapped);
  ASSERT_EQ(s.files.size(), 1u);
  EXPECT_EQ(s.files[0].name, "usable.pdf");
}

TEST(ScanLengths, AUnicodeValueLengthOf0OrLessExaminesOneByte) {
  for (std::int32_t declared : {0, -1, INT32_MIN}) {
    SCOPED_TRACE(declared);
    const ByteVector value = {'Q', 0, 'R', 0, 0, 0};
    TnefBuilder tnef;
    tnef.signature().attach_title("t.doc").attach_data(data(30)).attachment_properties(
        MapiBlock().mapi_counted(kPtUnicode, kPrDisplayName, declared, value));
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), ".;~ * ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "Q");
  }
}

// ---------------------------------------------------------------------------------------------
// Which name wins

TEST(ScanNames, ABackwardTitleEqualToThePreviousTitleIsPassedOver) {
  // The second record's backward search finds the first record's title again.
  TnefBuilder tnef;
  tnef.signature()
      .attach_title("Notes.doc")
      .attach_data(data(50, 1))
      .filler(16)
      .attach_data(data(50, 2))
      .attach_title("Other.doc");
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".;~ .~ ");
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files[0].name, "Notes.doc");
  EXPECT_EQ(r.files[1].name, "Other.doc");
}

TEST(ScanNames, TwoAttachmentsWithTheSameTitle) {
  // The second title repeats the previous one, so it is passed over like a stale one.
  TnefBuilder tnef;
  tnef.signature()
      .attach_title("Same.doc")
      .attach_data(data(50, 1))
      .attach_title("Same.doc")
      .attach_data(data(50, 2));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".;~ .~ #");
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files[1].name, "Unknown Attachment.txt");
}

TEST(ScanNames, AnEmptyBackwardTitleAtTheFirstRecordGivesWayToTheForwardOne) {
  TnefBuilder tnef;
  tnef.signature().attach_title("").attach_data(data(30)).attach_title("fwd.doc");
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".~ ");
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].name, "fwd.doc");
}

TEST(ScanNames, ALaterBackwardTitleOfLength0IsTakenAndKeepsTheDefaultName) {
  TnefBuilder tnef;
  tnef.signature()
      .attach_title("one.doc")
      .attach_data(data(30, 1))
      .attach_title("", Nul::kWithout)  // stored length 0
      .attach_data(data(30, 2))
      .attach_title("fwd.doc");
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".;~ .;~ #");
  ASSERT_EQ(r.files.size(), 2u);
  EXPECT_EQ(r.files[1].name, "Unknown Attachment.txt");
  EXPECT_EQ(r.files[1].title, "Unknown Attachment.txt");
}

TEST(ScanNames, TheNearerUsable8BitNameWins) {
  const ByteVector too_short = {'x'};
  const ByteVector empty_text = {0, 0};
  struct Case {
    const char* what;
    MapiBlock block;
    std::string name;
  };
  const std::vector<Case> cases = {
      {"display name first",
       MapiBlock()
           .mapi_string8(kPrDisplayName, "display.pdf")
           .mapi_string8(kPrAttachLongFilename, "long.pdf"),
       "display.pdf"},
      {"long file name first",
       MapiBlock()
           .mapi_string8(kPrAttachLongFilename, "long.pdf")
           .mapi_string8(kPrDisplayName, "display.pdf"),
       "long.pdf"},
      {"display name of length 1",
       MapiBlock()
           .mapi_counted(kPtString8, kPrDisplayName, 1, too_short)
           .mapi_string8(kPrAttachLongFilename, "long.pdf"),
       "long.pdf"},
      {"display name of length 101 after",
       MapiBlock()
           .mapi_string8(kPrAttachLongFilename, "long.pdf")
           .mapi_counted(kPtString8, kPrDisplayName, 101, ByteVector(101, 'd')),
       "long.pdf"},
      {"display name with an empty text",
       MapiBlock()
           .mapi_counted(kPtString8, kPrDisplayName, 2, empty_text)
           .mapi_string8(kPrAttachLongFilename, "long.pdf"),
       "long.pdf"},
      {"display name only", MapiBlock().mapi_string8(kPrDisplayName, "display.pdf"), "display.pdf"},
      {"long file name only", MapiBlock().mapi_string8(kPrAttachLongFilename, "long.pdf"),
       "long.pdf"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TnefBuilder tnef;
    tnef.signature().attach_title("title.doc").attach_data(data(30)).attachment_properties(c.block);
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), ".;");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, c.name);
    EXPECT_EQ(r.files[0].title, "title.doc");
  }
}

TEST(ScanNames, AFound8BitNameWithAnUnusableLengthEmptiesTheName) {
  const ByteVector too_long(101, 'z');
  {
    // The title takes the empty name's place.
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("Report (final).doc")
        .attach_data(data(30))
        .attachment_properties(MapiBlock().mapi_counted(kPtString8, kPrDisplayName, 101, too_long));
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), ".;");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "Report _final_.doc");
    EXPECT_EQ(r.files[0].path, r.directory + "Report _final_.doc");
  }
  {
    // "Untitled Attachment" as the name gets ".txt".
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("Untitled Attachment")
        .attach_data(data(30))
        .attachment_properties(MapiBlock().mapi_counted(kPtString8, kPrDisplayName, 101, too_long));
    const ScanResult r = scan(tnef);
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "Untitled Attachment.txt");
    EXPECT_EQ(r.files[0].path, r.directory + "Untitled Attachment.txt");
  }
  {
    // A Unicode name fills it again.
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("Report.doc")
        .attach_data(data(30))
        .attachment_properties(MapiBlock()
                                   .mapi_counted(kPtString8, kPrAttachLongFilename, 101, too_long)
                                   .mapi_unicode(kPrAttachLongFilename, u"Report final.doc"));
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), ".;* ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "Report final.doc");
  }
}

TEST(ScanNames, PropertiesCutByTheBufferEnd) {
  const std::uint8_t display8[] = {0x1E, 0x00, 0x01, 0x30, 0x01, 0x00};
  const std::uint8_t display16[] = {0x1F, 0x00, 0x01, 0x30, 0x01, 0x00};
  // 8-bit: found with a value-length field that does not fit, so the name is emptied.
  for (std::size_t kept = 0; kept <= 5; ++kept) {
    SCOPED_TRACE(kept);
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("Report.doc")
        .attach_data(data(30))
        .raw(display8)
        .filler(kept, 0x01);
    const ScanResult r = scan_guarded(tnef.bytes());
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "Report.doc");  // the title, in the emptied name's place
  }
  // Unicode: with no room for the value-length field nothing happens.
  for (std::size_t kept = 0; kept <= 5; ++kept) {
    SCOPED_TRACE(kept);
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("Report.doc")
        .attach_data(data(30))
        .raw(display16)
        .filler(kept, 0x01);
    const ScanResult r = scan_guarded(tnef.bytes());
    EXPECT_EQ(glyphs(r.out), ".;~ ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "Report.doc");
  }
  // Unicode value cut by the buffer end: narrowed up to the end.
  {
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("Report.doc")
        .attach_data(data(30))
        .raw(display16)
        .raw(ByteVector{0x00, 0x00, 40, 0, 0, 0, 'A', 0, 'B', 0, 'C'});
    const ScanResult r = scan_guarded(tnef.bytes());
    EXPECT_EQ(glyphs(r.out), ".;~ * ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "ABC");
  }
  // A Unicode value-length field that ends the buffer: no byte can be examined, the name ends up
  // empty and the title takes its place.
  {
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("Report.doc")
        .attach_data(data(30))
        .raw(display16)
        .raw(ByteVector{0x00, 0x00, 8, 0, 0, 0});
    const ScanResult r = scan_guarded(tnef.bytes());
    EXPECT_EQ(glyphs(r.out), ".;~ * ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "Report.doc");
  }
  // An 8-bit value cut by the buffer end: its text ends there.
  {
    TnefBuilder tnef;
    tnef.signature()
        .attach_title("Report.doc")
        .attach_data(data(30))
        .raw(display8)
        .raw(ByteVector{0x00, 0x00, 50, 0, 0, 0, 'c', 'u', 't', '.', 'p', 'd', 'f'});
    const ScanResult r = scan_guarded(tnef.bytes());
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, "cut.pdf");
  }
}

TEST(ScanNames, UnicodeNamesAreNarrowedByteByByte) {
  struct Case {
    std::u16string value;
    std::string name;
  };
  const std::vector<Case> cases = {
      {u"plain.txt", "plain.txt"},
      // U+4E2D gives 2D 4E, U+6587 gives 87 65: both bytes, low first, then sanitised.
      {u"\u4E2D\u6587.txt", "-N_e.txt"},
      {u"caf\u00E9.txt", "caf_.txt"},  // below U+0100: the low byte
      {u"\u0100x.txt", "_x.txt"},      // low byte zero: the high byte, 01
      {u"A\u3000B.txt", "A0B.txt"},    // low byte zero: the high byte, '0'
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TnefBuilder tnef;
    tnef.signature().attach_data(data(30)).attachment_properties(
        MapiBlock().mapi_unicode(kPrAttachLongFilename, c.value));
    const ScanResult r = scan(tnef);
    EXPECT_EQ(glyphs(r.out), ".~ * ");
    ASSERT_EQ(r.files.size(), 1u);
    EXPECT_EQ(r.files[0].name, c.name);
  }
}

TEST(ScanNames, AUnicodeNameReplacesThe8BitOne) {
  TnefBuilder tnef;
  tnef.signature().attach_data(data(30)).attachment_properties(
      MapiBlock()
          .mapi_unicode(kPrDisplayName, u"wide.txt")
          .mapi_string8(kPrDisplayName, "a much longer eight-bit name.txt"));
  const ScanResult r = scan(tnef);
  EXPECT_EQ(glyphs(r.out), ".* ");
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].name, "wide.txt");  // nothing of the longer name is left behind
}

TEST(ScanNames, NamesAreSanitisedButTitlesAreNot) {
  const std::string raw = "a(b)/c\\d:e*f?g\"h<i>j|k,l;m\tn\x80\xff@-. Z9.txt";
  TnefBuilder tnef;
  tnef.signature()
      .attach_title("x/y (1).doc")
      .attach_data(data(30))
      .attachment_properties(MapiBlock().mapi_string8(kPrDisplayName, raw));
  const ScanResult r = scan(tnef);
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].name, "a_b__c_d_e_f_g_h_i_j_k_l_m_n__@-. Z9.txt");
  EXPECT_EQ(r.files[0].title, "x/y (1).doc");
  EXPECT_EQ(r.files[0].path, r.directory + "a_b__c_d_e_f_g_h_i_j_k_l_m_n__@-. Z9.txt");
}

TEST(ScanNames, SanitisingKeepsOnlyNameBytes) {
  for (int value = 0; value < 256; ++value) {
    const char c = static_cast<char>(value);
    std::string name(1, c);
    sanitise_name(name);
    const bool kept = value == '@' || value == '-' || value == '.' || value == ' ' ||
                      (value >= 'A' && value <= 'Z') || (value >= 'a' && value <= 'z') ||
                      (value >= '0' && value <= '9');
    ASSERT_EQ(name.size(), 1u);
    EXPECT_EQ(name[0], kept ? c : '_') << "byte " << value;
  }
}

}  // namespace
}  // namespace kestrox
