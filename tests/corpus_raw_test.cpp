// Whole quiet runs over the real raw TNEF samples: each reaches the normal ending, every file
// written holds the contents of one of the sample's attAttachData records or attachment property
// lists, and every attachment that Convert::TNEF wrote is among them unless a rule of this program
// passes it over.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"
#include "platform/host.h"
#include "support/scripted_console.h"
#include "support/sha256.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

namespace fs = std::filesystem;
using testing::ByteVector;
using testing::ScratchDirectory;
using testing::ScriptedConsole;
using testing::sha256_hex;

#ifdef KESTROX_SHARED_DIR
const fs::path kCorpus = fs::path(KESTROX_SHARED_DIR) / "corpus";
#else
const fs::path kCorpus;
#endif

bool have_raw_corpus() {
  return !kCorpus.empty() && fs::is_directory(kCorpus / "raw") &&
         fs::is_regular_file(kCorpus / "peers.tsv") &&
         fs::is_regular_file(kCorpus / "attachdata_records.tsv");
}

// The rows of a tab-separated file, header left out.
std::vector<std::vector<std::string>> read_tsv(const fs::path& path) {
  std::ifstream in(path);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    std::string field;
    while (std::getline(split, field, '\t')) fields.push_back(field);
    rows.push_back(fields);
  }
  return rows;
}

// Attachments that Convert::TNEF wrote and this program does not, each for a reason of its own.
// None of the other rules that pass an attachment over (the 348-byte ".AUF" files, an empty
// name, a repeated name declined in a quiet run) happens to apply to an attachment of this corpus.
struct Exception {
  std::string_view sample, name, reason;
};
constexpr Exception kExceptions[] = {
    {"mimekit_winmail.tnef", "Picture (Device Independent Bitmap)",
     "an OLE object in PR_ATTACH_DATA_OBJ, of which the peer wrote 0 bytes"},
    {"mimekit_winmail.tnef", "Picture (Device Independent Bitmap).1",
     "an OLE object in PR_ATTACH_DATA_OBJ, of which the peer wrote 0 bytes"},
    {"vt_MAPI_ATTACH_DATA_OBJ.tnef", "VIA Nytt 1402.doc",
     "the data is in PR_ATTACH_DATA_BIN, of which the peer wrote 0 bytes"},
    {"vt_MAPI_ATTACH_DATA_OBJ.tnef", "VIA Nytt 1402.pdf",
     "the data is in PR_ATTACH_DATA_BIN, of which the peer wrote 0 bytes"},
    {"vt_MAPI_ATTACH_DATA_OBJ.tnef", "VIA Nytt 14021.htm",
     "the data is in PR_ATTACH_DATA_BIN, of which the peer wrote 0 bytes"},
    {"vt_MAPI_OBJECT.tnef", "Untitled_Attachment",
     "an embedded message in PR_ATTACH_DATA_OBJ, of which the peer wrote 0 bytes"},
    {"vt_data-before-name.tnef", "AUTOEXEC.BAT",
     "attAttachData record of length 0, skipped with \" - \"; the peer wrote 0 bytes"},
    {"vt_data-before-name.tnef", "CONFIG.SYS",
     "attAttachData record of length 0, skipped with \" - \"; the peer wrote 0 bytes"},
};

// The names of the samples whose attachments the record scan alone named wrongly or missed.
struct ExpectedNames {
  std::string_view sample;
  std::vector<std::string> names;
};
const ExpectedNames kExpectedNames[] = {
    // A name property behind the icon picture, past the window after the data.
    {"horde_TnefAttachments.tnef", {"hasselhoff_birthday.jpg"}},
    {"tnefparse_IPM-DistList.tnef", {"XXXXnews.txt"}},
    // The contents in the property lists, with no attAttachData record.
    {"vt_MAPI_ATTACH_DATA_OBJ.tnef",
     {"VIA Nytt 1402.doc", "VIA Nytt 1402.pdf", "VIA Nytt 14021.htm"}},
    {"mimekit_winmail.tnef",
     {"Picture _Device Independent Bitmap_.txt", "Picture _Device Independent Bitmap_1.txt"}},
    {"vt_MAPI_OBJECT.tnef", {"Untitled_Attachment"}},
    // The same picture twice: the second copy, in a nested TNEF stream, meets the file that the
    // first wrote in this run, and is numbered with the 3 files found before it.
    {"mimekit_christmas.tnef",
     {"Build a train table.txt", "Unknown Attachment.txt",
      "kitten-playing-with-a-christmas-tree.jpg", "kitten-playing-with-a-christmas-tree3.jpg"}},
};

const Exception* exception_for(std::string_view sample, std::string_view name) {
  for (const Exception& e : kExceptions) {
    if (e.sample == sample && e.name == name) return &e;
  }
  return nullptr;
}

// True when `file` is exactly the contents that some head in `sample` announces: `pattern`, then
// at `length_at` a length of the file's size plus `extra`, then `extra` bytes and the file's bytes.
bool announced_by(const ByteVector& file, const ByteVector& sample,
                  std::span<const std::uint8_t> pattern, std::size_t length_at, std::size_t extra) {
  auto at = sample.begin();
  while ((at = std::search(at, sample.end(), pattern.begin(), pattern.end())) != sample.end()) {
    const std::size_t head = static_cast<std::size_t>(at - sample.begin());
    if (sample.size() - head >= length_at + 4) {
      const std::uint32_t length = std::uint32_t{sample[head + length_at]} |
                                   std::uint32_t{sample[head + length_at + 1]} << 8 |
                                   std::uint32_t{sample[head + length_at + 2]} << 16 |
                                   std::uint32_t{sample[head + length_at + 3]} << 24;
      const std::size_t data = head + length_at + 4 + extra;
      if (length == file.size() + extra && data <= sample.size() &&
          sample.size() - data >= file.size() &&
          std::equal(file.begin(), file.end(),
                     sample.begin() + static_cast<std::ptrdiff_t>(data))) {
        return true;
      }
    }
    ++at;
  }
  return false;
}

constexpr std::uint8_t kRecordHead[] = {0x02, 0x0F, 0x80, 0x06, 0x00};

// The contents of a PR_ATTACH_DATA_BIN property, or of a PR_ATTACH_DATA_OBJ property after its
// 16-byte interface identifier.
bool is_property_data_of(const ByteVector& file, const ByteVector& sample) {
  static constexpr std::uint8_t kBinary[] = {0x02, 0x01, 0x01, 0x37, 0x01, 0x00};
  static constexpr std::uint8_t kObject[] = {0x0D, 0x00, 0x01, 0x37, 0x01, 0x00};
  return announced_by(file, sample, kBinary, 8, 0) || announced_by(file, sample, kObject, 8, 16);
}

TEST(CorpusSupport, Sha256OfKnownTexts) {
  auto hash = [](std::string_view text) {
    return sha256_hex({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
  };
  EXPECT_EQ(hash(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(hash("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(hash("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  EXPECT_EQ(hash(std::string(1000000, 'a')),
            "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(CorpusRaw, EverySampleYieldsRecordDataAndWhatThePeerFound) {
  if (!have_raw_corpus())
    GTEST_SKIP() << "no sample corpus at " << kCorpus.string()
                 << ": these tests read real messages kept beside the source tree, not in it";

  std::map<std::string, std::set<std::string>> record_digests;  // per sample file name
  std::map<std::string, std::size_t> record_counts;
  for (const auto& row : read_tsv(kCorpus / "attachdata_records.tsv")) {
    if (row.size() >= 5 && row[0].starts_with("raw/") && row[4] != "-") {
      record_digests[row[0].substr(4)].insert(row[4]);
      ++record_counts[row[0].substr(4)];
    }
  }
  struct PeerFile {
    std::string name, digest;
    long size = 0;
  };
  std::map<std::string, std::vector<PeerFile>> peer_files;
  // What any peer wrote, and the sizes that tnef wrote.
  std::map<std::string, std::set<std::string>> any_peer_digests;
  std::map<std::string, std::set<long>> tnef_sizes;
  for (const auto& row : read_tsv(kCorpus / "peers.tsv")) {
    if (row.size() < 5 || !row[0].starts_with("raw/") || row[4] == "-") continue;
    const std::string sample = row[0].substr(4);
    any_peer_digests[sample].insert(row[4]);
    if (row[1] == "tnef") tnef_sizes[sample].insert(std::stol(row[3]));
    if (row[1] == "convert-tnef") peer_files[sample].push_back({row[2], row[4], std::stol(row[3])});
  }

  std::vector<fs::path> samples;
  for (const auto& entry : fs::directory_iterator(kCorpus / "raw")) {
    if (entry.is_regular_file()) samples.push_back(entry.path());
  }
  std::sort(samples.begin(), samples.end());
  ASSERT_FALSE(samples.empty());

  std::string table =
      "sample                                       records  kestrox  convert-tnef  notes\n";
  int exceptions_used = 0;
  for (const fs::path& sample_path : samples) {
    const std::string sample = sample_path.filename().string();
    SCOPED_TRACE(sample);
    const ByteVector sample_bytes = testing::read_file(sample_path.string());

    ScratchDirectory out;
    ScriptedConsole console;
    const std::vector<std::string> args = {"kestrox", sample_path.string(), "q", out.path() + "/"};
    const int result = run(args, console, host_path_style());
    EXPECT_NE(result, kFailureResult) << console.out_text();
    EXPECT_EQ(console.keys_read(), 0);

    // Every file written is the data of one of the sample's attAttachData records.
    std::set<std::string> written_digests;
    std::vector<std::string> names;
    int written = 0;
    int outside_walk = 0;
    for (const auto& entry : fs::directory_iterator(out.path())) {
      ++written;
      names.push_back(entry.path().filename().string());
      const ByteVector bytes = testing::read_file(entry.path().string());
      const std::string digest = sha256_hex(bytes);
      written_digests.insert(digest);
      if (record_digests[sample].count(digest) != 0) continue;
      ++outside_walk;  // not a record that the strict attribute walk reached
      if (announced_by(bytes, sample_bytes, kRecordHead, 5, 0)) continue;
      // Contents from a property list: what a peer wrote too, or what tnef wrote with the
      // object's interface identifier in front.
      EXPECT_TRUE(is_property_data_of(bytes, sample_bytes))
          << entry.path().filename() << " (" << bytes.size()
          << " bytes) is not the contents of any attachment of the sample";
      const auto size = static_cast<long>(bytes.size());
      EXPECT_TRUE(any_peer_digests[sample].count(digest) != 0 ||
                  tnef_sizes[sample].count(size + 16) != 0)
          << entry.path().filename() << " (" << bytes.size() << " bytes) matches no peer's file";
    }
    EXPECT_EQ(result, written);
    for (const ExpectedNames& expected : kExpectedNames) {
      if (expected.sample != sample) continue;
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names, expected.names);
    }

    // Every attachment that the peer wrote is among them, or is a listed exception.
    int missed = 0;
    std::string notes;
    for (const PeerFile& peer : peer_files[sample]) {
      if (written_digests.count(peer.digest) != 0) {
        EXPECT_EQ(exception_for(sample, peer.name), nullptr)
            << "stale exception: " << peer.name << " is written now";
        continue;
      }
      ++missed;
      const Exception* exception = exception_for(sample, peer.name);
      EXPECT_NE(exception, nullptr) << "Convert::TNEF wrote " << peer.name << " (" << peer.size
                                    << " bytes, " << peer.digest << "); this program did not";
      if (exception != nullptr) ++exceptions_used;
    }
    if (missed > 0) notes += std::to_string(missed) + " of the peer's not written (excepted)";
    if (outside_walk > 0) {
      if (!notes.empty()) notes += "; ";
      notes += std::to_string(outside_walk) +
               " from records the strict walk did not reach or from property lists";
    }

    char line[256];
    std::snprintf(line, sizeof line, "%-44s %7zu  %7d  %12zu  %s\n", sample.c_str(),
                  record_counts[sample], written, peer_files[sample].size(), notes.c_str());
    table += line;
  }
  EXPECT_EQ(exceptions_used, static_cast<int>(std::size(kExceptions)));
  std::printf("%s", table.c_str());
}

TEST(CorpusRaw, OriginalNamesOfTheUmlautSamples) {
  if (!have_raw_corpus())
    GTEST_SKIP() << "no sample corpus at " << kCorpus.string()
                 << ": these tests read real messages kept beside the source tree, not in it";
  struct Case {
    const char* sample;
    std::vector<std::string> names;
  };
  for (const Case& c : {Case{"ktnef_umlaut-filename.tnef",
                             {"d\xC3\xB6"
                              "cument.pdf"}},
                        Case{"tnefparse_umlaut.tnef",
                             {"TBZ PARIV GmbH.jpg", "UmlautAnhang-\xC3\xA4\xC3\xBC\xC3\xB6.txt",
                              "image003.jpg"}}}) {
    SCOPED_TRACE(c.sample);
    ScratchDirectory out;
    ScriptedConsole console("", /*utf8=*/true);
    const std::vector<std::string> args = {"kestrox", "--original-names",
                                           (kCorpus / "raw" / c.sample).string(), "q",
                                           out.path() + "/"};
    EXPECT_EQ(run(args, console, host_path_style()), static_cast<int>(c.names.size()));
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out.path())) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, c.names);
  }
}

// What --message makes of every sample: the text's kind, name and length (the bytes that tnef and
// an independent RTF reader give, checked where those are made), each meeting and attached
// message by name; and the attachments that the byte search finds stay what they are, but for
// the records whose place an attached message takes.
struct MadeFile {
  std::string_view sample;
  std::string_view kind;
  std::string_view name;
  long length;  // of a text; 0 for the others
  bool damaged = false;
};
const MadeFile kMadeFiles[] = {
    {"raw/horde_TnefAttachments.tnef", "message text", "winmail.dat Test.rtf", 23699},
    {"raw/horde_TnefAttachmentsMultiple.tnef", "message text", "ultiple.rtf", 11962},
    {"raw/horde_TnefMeetingRequest.tnef", "message text", "Meeting.rtf", 10025},
    {"raw/horde_TnefMeetingRequest.tnef", "meeting", "Meeting.ics", 0},
    {"raw/horde_tnef_vnote.tnef", "attached message", "Some important task..eml", 0},
    {"raw/horde_tnef_vnote.tnef", "message text", "Some important task..rtf", 841},
    {"raw/horde_winmail2.dat", "message text", "Test Meeting.rtf", 10106},
    {"raw/horde_winmail2.dat", "meeting", "Test Meeting.ics", 0},
    {"raw/ktnef_mapi_attach_data_obj.tnef", "message text", "Bod_-damer p_ vei_.rtf", 2429},
    {"raw/ktnef_umlaut-filename.tnef", "message text", "test mit pdf.rtf", 10853},
    {"raw/mimekit_christmas.tnef", "attached message", "Build a train table.eml", 0},
    {"raw/mimekit_christmas.tnef", "attached message", "Christmas Celebration_.eml", 0},
    {"raw/mimekit_christmas.tnef", "message text", "Rich Text.rtf", 15237},
    {"raw/mimekit_winmail.tnef", "message text", "rt.rtf", 13412},
    {"raw/poi_bug52400-winmail-simple.dat", "message text", "Testing TNEF Message.html", 473},
    {"raw/poi_bug52400-winmail-with-attachments.dat", "message text",
     "TNEF test message with attachments.html", 672},
    {"raw/poi_bug63955-winmail.dat", "message text", "Test.html", 1697},
    {"raw/poi_quick-winmail.dat", "message text", "This is a test message.rtf", 25528},
    {"raw/qu_invalid-checksum.tnef", "message text", "message.rtf", 593, true},
    {"raw/roundcube_winmail-10193.tnef", "message text",
     "_..Re_ Vyzva_Teplotka_Ordinace_perioperacni_pece.html", 16573},
    {"raw/teamwork_panic.tnef", "message text",
     "Fw_ VIKTIGT_ Vill att n_gon av er g_r f_ljande _ndringar i https___baka.spiderads.eu_.html",
     10495},
    {"raw/tnefparse_IPM-DistList.tnef", "attached message", "XXXXnews.eml", 0},
    {"raw/tnefparse_IPM-DistList.tnef", "message text", "XXXXNewsletter.html", 2143},
    {"raw/tnefparse_bad_checksum.tnef", "message text",
     "Mediterranean Delight  - Baklava and Persian Tea_____ Dec 14th .html", 4614},
    {"raw/tnefparse_duplicate_filename.tnef", "message text", "Bod_-damer p_ vei_.rtf", 2429},
    {"raw/tnefparse_umlaut.tnef", "message text", "UmlautAnhang TEST ___ _-___.html", 2635},
    {"raw/vt_MAPI_ATTACH_DATA_OBJ.tnef", "message text", "Bod_-damer p_ vei_.rtf", 2429},
    {"raw/vt_MAPI_OBJECT.tnef", "message text", "OCTOBER DISCOUNTED PRICE LIST.rtf", 732},
    {"raw/vt_body.tnef", "message text", "Bill of Rights.html", 5358},
    {"raw/vt_data-before-name.tnef", "message text", "test again.rtf", 163},
    {"raw/vt_long-filename.tnef", "message text", "RE_ license file.txt", 729},
    {"raw/vt_missing-filenames.tnef", "message text", "Y2K problem with Add-DT.txt", 961},
    {"raw/vt_multi-name-property.tnef", "meeting", "Pfingstmontag.ics", 0},
    {"raw/vt_multi-value-attribute.tnef", "message text", "Voice Mail _5 seconds_.html", 760},
    {"raw/vt_rtf.tnef", "message text", "message.rtf", 593},
    {"raw/vt_triples.tnef", "message text", "Sample Summary.rtf", 247},
    {"raw/vt_triples.tnef", "meeting", "Sample Summary.ics", 0},
    {"raw/vt_unicode-mapi-attr-name.tnef", "message text",
     "RE_ _ZGLOSZENIE_ THU_29044 Aktualizacja numer_w w dodatkowych panelach.html", 6323},
    {"raw/vt_unicode-mapi-attr.tnef", "message text", "example.html", 1226},
    {"raw/ytnef_multi-value-attribute.tnef", "message text", "Voice Mail _5 seconds_.html", 760},
    {"raw/ytnef_winmail.dat", "message text", "test.rtf", 443},
    {"mime/horde_Itip_Reply.eml", "message text",
     "Zugesagt_ Infoveranstaltung VDI_VDE Jena _Digitalisierung Medizintechnik_.rtf", 10128},
    {"mime/horde_Itip_Reply.eml", "meeting",
     "Zugesagt_ Infoveranstaltung VDI_VDE Jena _Digitalisierung Medizintechnik_.ics", 0},
    {"mime/horde_tnef_task.eml", "attached message", "Test Task.eml", 0},
    {"mime/horde_tnef_task.eml", "message text", "Test Task.rtf", 856},
    {"mime/mimekit_rich-text.eml", "attached message", "Build a train table.eml", 0},
    {"mime/mimekit_rich-text.eml", "attached message", "Christmas Celebration_.eml", 0},
    {"mime/mimekit_rich-text.eml", "message text", "Rich Text.rtf", 15237},
    {"mime/mimekit_ukr.eml", "message text", "rr test 7.html", 830},
    {"mime/roundcube_tnef2.eml", "message text", "Bill of Rights.html", 5358},
    {"mime/roundcube_tnef3.eml", "message text", "test.rtf", 443},
};

// The files a batch run lists for a sample, as "KIND\tNAME\tLENGTH[\tdamaged]" lines, the length
// of a meeting or an attached message as "*".
std::vector<std::string> listed_files(const fs::path& sample, bool message) {
  ScriptedConsole console;
  std::vector<std::string> args = {"kestrox", "--json", "--list", "-o", "/x", sample.string()};
  if (message) args.insert(args.begin() + 1, "--message");
  EXPECT_EQ(run(args, console, host_path_style()), 0) << console.err_text();
  std::vector<std::string> files;
  std::istringstream lines(console.out_text());
  for (std::string line; std::getline(lines, line);) {
    auto field = [&](std::string_view key) -> std::string {
      const std::string tag = "\"" + std::string(key) + "\":";
      const std::size_t at = line.find(tag);
      if (at == std::string::npos) return {};
      std::size_t from = at + tag.size();
      if (line[from] != '"') return line.substr(from, line.find_first_of(",}", from) - from);
      ++from;
      return line.substr(from, line.find('"', from) - from);
    };
    // A meeting's or a mail's length is not compared: their writers' tests look inside them.
    const std::string kind = field("kind");
    const bool text = kind == "message text" || kind == "attachment";
    std::string file =
        kind + "\t" + field("path").substr(3) + "\t" + (text ? field("length") : "*");
    if (!field("damaged").empty()) file += "\tdamaged";
    files.push_back(std::move(file));
  }
  return files;
}

TEST(CorpusMessage, WhatTheMessageGivesForEverySample) {
  if (!have_raw_corpus())
    GTEST_SKIP() << "no sample corpus at " << kCorpus.string()
                 << ": these tests read real messages kept beside the source tree, not in it";
  std::size_t rows_met = 0;
  for (const char* folder : {"raw", "mime"}) {
    std::vector<fs::path> samples;
    for (const auto& entry : fs::directory_iterator(kCorpus / folder)) samples.push_back(entry);
    std::sort(samples.begin(), samples.end());
    for (const fs::path& sample : samples) {
      const std::string key = std::string(folder) + "/" + sample.filename().string();
      SCOPED_TRACE(key);
      const std::vector<std::string> plain = listed_files(sample, false);
      std::vector<std::string> made;
      std::size_t attached_messages = 0;
      for (const std::string& file : listed_files(sample, true)) {
        if (file.starts_with("attachment\t")) {
          EXPECT_NE(std::find(plain.begin(), plain.end(), file), plain.end()) << file;
        } else {
          made.push_back(file);
          if (file.starts_with("attached message\t")) ++attached_messages;
        }
      }
      EXPECT_EQ(plain.size() + made.size(), listed_files(sample, true).size() + attached_messages);
      std::vector<std::string> expected;
      for (const MadeFile& row : kMadeFiles) {
        if (row.sample != key) continue;
        ++rows_met;
        expected.push_back(std::string(row.kind) + "\t" + std::string(row.name) + "\t" +
                           (row.length == 0 ? "*" : std::to_string(row.length)) +
                           (row.damaged ? "\tdamaged" : ""));
      }
      EXPECT_EQ(made, expected);
    }
  }
  EXPECT_EQ(rows_met, std::size(kMadeFiles));
}

}  // namespace
}  // namespace kestrox
