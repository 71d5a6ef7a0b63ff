// Batch runs in-process: many sources, one line per file, failures on standard error, the status.
#include "driver/batch.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/run.h"
#include "extract/lines.h"
#include "support/scripted_console.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

namespace fs = std::filesystem;
using testing::ScratchDirectory;
using testing::ScriptedConsole;

struct BatchOutcome {
  int status = 0;
  std::string out;
  std::string err;
};

BatchOutcome run_batch_kestrox(std::vector<std::string> words) {
  words.insert(words.begin(), "kestrox");
  ScriptedConsole console("yyyy");
  BatchOutcome outcome;
  outcome.status = exit_status(run(words, console, PathStyle::kPosix), PathStyle::kPosix);
  outcome.out = console.out_text();
  outcome.err = console.err_text();
  EXPECT_EQ(console.keys_read(), 0) << "a batch run never waits for a key";
  return outcome;
}

// A message with two named attachments.
testing::ByteVector two_attachments() {
  const std::vector<testing::AttachmentSpec> specs = {
      {"notes.txt", testing::pattern_free_bytes(148, 1)},
      {"report.pdf", testing::pattern_free_bytes(595, 2)},
  };
  return testing::tnef_message(specs);
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Batch, EveryLineNamesAFileWrittenAndEveryFailureItsSource) {
  ScratchDirectory dir;
  ASSERT_TRUE(testing::write_file(dir / "a.dat", two_attachments()));
  ASSERT_TRUE(testing::write_text_file(dir / "plain.eml", "Subject: hello\n\nno attachment\n"));
  ASSERT_TRUE(fs::create_directory(dir / "folder"));
  const std::string out = dir / "saved/deeper";  // made, with its parent
  const BatchOutcome run = run_batch_kestrox({"--batch", "-o", out, dir / "a.dat", dir / "missing",
                                              dir / "folder", dir / "plain.eml", dir / "a.dat"});
  // No banner, no glyph, no summary: a line per file, and a source given twice is written twice,
  // the second time kept apart from the run's own first files.
  const std::vector<std::string> expected = {dir / "a.dat\t148\t" + out + "/notes.txt",
                                             dir / "a.dat\t595\t" + out + "/report.pdf",
                                             dir / "a.dat\t148\t" + out + "/notes (2).txt",
                                             dir / "a.dat\t595\t" + out + "/report (2).pdf"};
  EXPECT_EQ(lines_of(run.out), expected);
  for (const std::string& line : expected) {
    const std::size_t tab = line.rfind('\t');
    EXPECT_EQ(fs::file_size(line.substr(tab + 1)), std::stoul(line.substr(line.find('\t') + 1)));
  }
  EXPECT_EQ(run.err, "kestrox: " + dir / "missing" + ": " + std::strerror(ENOENT) + "\n" +
                         "kestrox: " + dir / "folder" + ": " + std::strerror(EISDIR) + "\n" +
                         "kestrox: " + dir / "plain.eml" + ": no TNEF stream found\n");
  EXPECT_EQ(run.status, kBatchSomeFailed);
}

TEST(Batch, StatusAndStandardErrorForEachKindOfEnding) {
  ScratchDirectory dir;
  ASSERT_TRUE(testing::write_file(dir / "a.dat", two_attachments()));
  ASSERT_TRUE(testing::write_text_file(dir / "notes.txt", "stood here before"));
  ASSERT_TRUE(testing::write_text_file(dir / "file", ""));
  struct Case {
    std::vector<std::string> words;
    std::string err;
    int status;
  };
  const std::vector<Case> cases = {
      // An existing name is kept and said; the run still did all it should.
      {{"--batch", dir / "a.dat"},
       "kestrox: " + dir / "notes.txt" + ": File exists\n",
       kBatchAllDone},
      {{"--batch", "--keep-both", dir / "a.dat"}, "", kBatchAllDone},
      {{"--batch", "-o", dir / "file", dir / "a.dat"},
       "kestrox: " + dir / "file" + ": " + std::strerror(ENOTDIR) + "\n",
       kBatchSomeFailed},
      {{"--batch", "--", "-x"},
       "kestrox: -x: " + std::string(std::strerror(ENOENT)) + "\n",
       kBatchSomeFailed},
      {{"--batch"}, "kestrox: no source given\n", kBatchInvalid},
      {{"--batch", "-o"}, "kestrox: the option needs a directory after it\n", kBatchInvalid},
      {{"--batch", "-", "-"}, "kestrox: standard input (-) given more than once\n", kBatchInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.words));
    const BatchOutcome run = run_batch_kestrox(c.words);
    const std::string usage = c.status == kBatchInvalid ? "Usage: kestrox --batch" : "";
    EXPECT_EQ(run.err.substr(0, c.err.size()), c.err);
    EXPECT_EQ(run.err.substr(c.err.size(), usage.size()), usage);
    EXPECT_EQ(run.status, c.status);
  }
  EXPECT_EQ(testing::read_text_file(dir / "notes.txt"), "stood here before");
}

TEST(Batch, ListingIsTheBatchRunThatWritesNothing) {
  ScratchDirectory dir;
  ASSERT_TRUE(testing::write_file(dir / "a.dat", two_attachments()));
  for (const bool json : {false, true}) {
    std::vector<std::string> words = {"-o", dir / "out", dir / "a.dat", dir / "a.dat"};
    if (json) words.insert(words.begin(), "--json");
    std::vector<std::string> listing_words = words;
    listing_words.insert(listing_words.begin(), "--list");
    const BatchOutcome listing = run_batch_kestrox(listing_words);
    EXPECT_FALSE(fs::exists(dir / "out")) << "a listing makes nothing";
    words.insert(words.begin(), "--batch");
    const BatchOutcome written = run_batch_kestrox(words);
    EXPECT_EQ(listing.out, written.out);
    EXPECT_EQ(lines_of(written.out).size(), 4u);
    EXPECT_EQ(listing.status, kBatchAllDone);
    fs::remove_all(dir / "out");
  }
  // Ten thousand sources in one process, each listed.
  std::vector<std::string> many = {"--list"};
  many.insert(many.end(), 10000, dir / "a.dat");
  EXPECT_EQ(lines_of(run_batch_kestrox(many).out).size(), 20000u);
}

TEST(BatchLines, FieldsStayFieldsAndJsonStaysJson) {
  struct Case {
    FileLine line;
    std::string tabs;
    std::string json;
  };
  const std::vector<Case> cases = {
      {{"in.dat", "out/a.pdf", 12, "attachment", "A.PDF"},
       "in.dat\t12\tout/a.pdf\n",
       R"({"source":"in.dat","path":"out/a.pdf","length":12,"kind":"attachment","title":"A.PDF"})"
       "\n"},
      // Controls in a path would break a line into two, or a field into two.
      {{"a\tb\n.dat", "o/x", 1, "message text", "q\"\\\x01", "img@01", true},
       "a?b?.dat\t1\to/x\n",
       R"({"source":"a\tb\n.dat","path":"o/x","length":1,"kind":"message text",)"
       R"("title":"q\"\\\u0001","content_id":"img@01","damaged":true})"
       "\n"},
      // A title in an 8-bit code page is no UTF-8: its bytes become U+FFFD, its letters stay.
      {{"s", "p", 0, "attachment", "M\xFCller \xC3\xA9"},
       "s\t0\tp\n",
       "{\"source\":\"s\",\"path\":\"p\",\"length\":0,\"kind\":\"attachment\","
       "\"title\":\"M\xEF\xBF\xBDller \xC3\xA9\"}\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(tab_line(c.line), c.tabs);
    EXPECT_EQ(json_line(c.line), c.json);
  }
}

}  // namespace
}  // namespace kestrox
