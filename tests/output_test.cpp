// Output naming, the "#" fallback, duplicate numbering, the ".AUF" pass-over, the overwrite
// question, writing, the counts and the summary; and the file-name and console safety rules.
#include "extract/output.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"
#include "extract/scan.h"
#include "extract/text.h"
#include "support/scripted_console.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

namespace fs = std::filesystem;
using testing::ByteVector;
using testing::MapiBlock;
using testing::pattern_free_bytes;
using testing::read_file;
using testing::ScratchDirectory;
using testing::ScriptedConsole;
using testing::TnefBuilder;

constexpr std::string_view kNoFiles =
    "\nYour winmail.dat does not seem to contain attached files.\n"
    "This is normal; Outlook also saves the formatting of the e-mail in winmail.dat.\n";
constexpr std::string_view kQuestion = "File already exists, press Y to overwrite ... ";

// A source buffer holding one attAttachData record, and where the record's bytes lie.
struct Attachment {
  ByteVector source;
  std::size_t data_start = 0;
  std::int32_t data_length = 0;
  ByteVector content() const {
    return ByteVector(source.begin() + static_cast<std::ptrdiff_t>(data_start),
                      source.begin() + static_cast<std::ptrdiff_t>(data_start) + data_length);
  }
};

Attachment attachment(const ByteVector& content) {
  TnefBuilder tnef;
  tnef.signature();
  const std::size_t start = tnef.offset();
  tnef.attach_data(content).filler(16);
  return {tnef.bytes(), start + testing::kRecordHeadSize, static_cast<std::int32_t>(content.size())};
}

Attachment attachment_of(std::size_t size, std::uint32_t seed = 5) {
  return attachment(pattern_free_bytes(size, seed));
}

// Runs extract_attachment record after record, as the scan would, keeping the run state.
class Extractor {
 public:
  explicit Extractor(std::string directory, std::string keys = {}, bool quiet = false,
                     PathStyle style = PathStyle::kPosix)
      : console_(std::move(keys)), target_{std::move(directory), quiet, style} {}

  // Hands one record over and returns what this call printed.
  std::string extract(const Attachment& a, std::string_view name, std::string_view title) {
    FoundAttachment found{a.data_start, a.data_length, std::string(name), std::string(title)};
    const std::size_t before = console_.out_text().size();
    failure_ = extract_attachment(a.source, found, target_, console_, state_).failure;
    return console_.out_text().substr(before);
  }

  const ExtractionState& state() const { return state_; }
  const ScriptedConsole& console() const { return console_; }
  const char* failure() const { return failure_; }
  const std::string& directory() const { return target_.directory; }

 private:
  ScriptedConsole console_;
  OutputTarget target_;
  ExtractionState state_;
  const char* failure_ = nullptr;
};

// The announcement line, after the glyphs that `extract_attachment` prints before it.
std::string announcement(std::string_view name, std::string_view title, int length,
                         const std::string& path, std::string_view glyphs = "") {
  std::string line(glyphs);
  line += "Extracting file " + std::string(name) + ", (" + std::string(title) + ") length " +
          std::to_string(length) + " to " + path + "\n";
  return line;
}

std::vector<std::string> entries(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Output : public ::testing::Test {
 protected:
  ScratchDirectory scratch_;
  const std::string dir_ = scratch_.path() + "/";
};

// ---------------------------------------------------------------------------------------------
// Choosing the file name

TEST_F(Output, ExtensionRuleChoosesNameOrTitle) {
  struct Case {
    std::string name, title;
    std::string shown_name, file;
  };
  const std::vector<Case> cases = {
      {"report.pdf", "REPORT~1.PDF", "report.pdf", "report.pdf"},
      {"archive.tar.gz", "ARCHIV~1.GZ", "archive.tar.gz", "archive.tar.gz"},  // the last '.'
      {"page.backup", "Untitled Attachment", "page.backup.txt", "page.backup.txt"},
      {"README", "Untitled Attachment", "README.txt", "README.txt"},
      {"README", "Quarterly figures", "README", "Quarterly figures"},
      {"README", "", "README", "README"},
      {".docx", "whatever", ".docx", "_.docx"},  // five characters from the '.'; not hidden
      {"photo.backup", "photo.jpg", "photo.backup", "photo.jpg"},
      {"page.mhtml", "PAGE~1.MHT", "page.mhtml", "PAGE_1.MHT"},  // six characters from the '.'

  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " / " + c.title);
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/");
    const Attachment a = attachment_of(10);
    EXPECT_EQ(x.extract(a, c.name, c.title),
              announcement(c.shown_name, c.title, 10, x.directory() + c.file) + "Writing.\n");
    EXPECT_EQ(entries(scratch.path()), std::vector<std::string>{c.file});
    EXPECT_EQ(read_file(x.directory() + c.file), a.content());
  }
}

// ---------------------------------------------------------------------------------------------
// The "#" fallback

// An attachment of `size` bytes holding a title record of the given declared length and text
// at `offset` into its data; a record that would run past the data is cut there.
Attachment attachment_with_title_at(std::size_t size, std::size_t offset, std::int32_t declared,
                                    std::string_view text) {
  TnefBuilder content;
  content.filler(offset, 'z')
      .record_declaring(testing::kLevelAttachment, testing::kAttAttachTitle, testing::kAtpString,
                        declared, ByteVector(text.begin(), text.end()));
  ByteVector bytes = content.bytes();
  bytes.resize(size, 'z');
  return attachment(bytes);
}

TEST_F(Output, FallbackTakesATitleFromTheLast4500BytesOfALargeAttachment) {
  const std::string unknown = "Unknown Attachment.txt";
  const std::string budget("Budget\0", 7);
  struct Case {
    const char* what;
    std::size_t offset;  // of the title record in the 10,000 data bytes
    std::int32_t declared;
    std::string text, file;
  };
  // The resume point lies at data offset 10,000 - 9, so the window starts at offset 5491.
  const std::vector<Case> cases = {
      {"length 7", 8000, 7, budget, "Budget"},
      {"at the window start", 5491, 7, budget, "Budget"},
      {"one byte before the window", 5490, 7, budget, unknown},
      {"length 53", 8000, 53, std::string(52, 'b') + '\0', std::string(52, 'b')},
      {"length 54", 8000, 54, std::string(53, 'b') + '\0', unknown},
      {"length 0", 8000, 0, "", unknown},
      {"negative length", 8000, -7, budget, unknown},
      {"no NUL in the text", 8000, 4, "Plan.doc", "Plan"},
      {"unsafe text", 8000, 11, std::string("../../evil\0", 11), "_.._.._evil"},
      {"empty text", 8000, 1, std::string(1, '\0'), "_"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/");
    const Attachment a = attachment_with_title_at(10000, c.offset, c.declared, c.text);
    EXPECT_EQ(x.extract(a, unknown, unknown),
              announcement(unknown, unknown, 10000, x.directory() + c.file, "#") + "Writing.\n");
    EXPECT_EQ(entries(scratch.path()), std::vector<std::string>{c.file});
  }
}

TEST_F(Output, FallbackOfASmallAttachmentLooksOnlyInItsOwnData) {
  const std::string unknown = "Unknown Attachment.txt";
  {
    Extractor x(dir_);
    const Attachment a = attachment_with_title_at(100, 0, 7, std::string("Budget\0", 7));
    EXPECT_EQ(x.extract(a, unknown, unknown),
              announcement(unknown, unknown, 100, dir_ + "Budget", "#") + "Writing.\n");
  }
  {
    // A title record right behind the data is not the attachment's own.
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/");
    Attachment a = attachment_of(100);
    TnefBuilder behind;
    behind.attach_title("Budget");
    a.source.insert(a.source.begin() + static_cast<std::ptrdiff_t>(a.data_start) + 100 + 2,
                    behind.bytes().begin(), behind.bytes().end());
    EXPECT_EQ(x.extract(a, unknown, unknown),
              announcement(unknown, unknown, 100, x.directory() + unknown, "#") + "Writing.\n");
  }
}

TEST_F(Output, FallbackWindowOfAnAttachmentOf4509Bytes) {
  // The window is the last 4500 bytes before the resume point, which here begins at the data
  // start; the last position it tests is its end minus the pattern length, less one.
  const std::string unknown = "Unknown Attachment.txt";
  for (std::size_t offset : {4494u, 4495u}) {
    SCOPED_TRACE(offset);
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/");
    const Attachment a = attachment_with_title_at(4509, offset, 6, "Budget");
    const std::string file = offset == 4494 ? "Budget" : unknown;
    EXPECT_EQ(x.extract(a, unknown, unknown),
              announcement(unknown, unknown, 4509, x.directory() + file, "#") + "Writing.\n");
  }
}

TEST_F(Output, FallbackAppliesToAnyPathEndingInTheDefaultName) {
  const Attachment a = attachment_with_title_at(100, 10, 7, std::string("Budget\0", 7));
  {
    Extractor x(dir_);
    EXPECT_EQ(
        x.extract(a, "MyUnknown Attachment.txt", "t"),
        announcement("MyUnknown Attachment.txt", "t", 100, dir_ + "MyBudget", "#") + "Writing.\n");
  }
  {
    // Chosen by title.
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/");
    EXPECT_EQ(x.extract(a, "README", "Unknown Attachment.txt"),
              announcement("README", "Unknown Attachment.txt", 100, x.directory() + "Budget", "#") +
                  "Writing.\n");
  }
  {
    // What stood before the default name and the title found make one name, made safe whole.
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/", "", false, PathStyle::kWindows);
    const Attachment dot_txt = attachment_with_title_at(100, 10, 5, std::string(".txt\0", 5));
    EXPECT_EQ(x.extract(dot_txt, "CONUnknown Attachment.txt", "t"),
              announcement("CONUnknown Attachment.txt", "t", 100, x.directory() + "_CON.txt", "#") +
                  "Writing.\n");
  }
  {
    // A shorter path does not end with it.
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/");
    EXPECT_EQ(
        x.extract(a, "Attachment.txt", "t"),
        announcement("Attachment.txt", "t", 100, x.directory() + "Attachment.txt") + "Writing.\n");
  }
}

// ---------------------------------------------------------------------------------------------
// Duplicate numbering and the ".AUF" pass-over

TEST_F(Output, ThreeRecordsInARowWithTheSameName) {
  Extractor x(dir_);
  const Attachment a = attachment_of(10);
  std::string out;
  for (int i = 0; i < 3; ++i) out += x.extract(a, "a.txt", "a.txt");
  EXPECT_EQ(out, announcement("a.txt", "a.txt", 10, dir_ + "a.txt") + "Writing.\n" +
                     announcement("a.txt", "a.txt", 10, dir_ + "a1.txt") + "Writing.\n" +
                     announcement("a.txt", "a.txt", 10, dir_ + "a2.txt") + "Writing.\n");
  EXPECT_EQ(x.state().previous_output_path, dir_ + "a.txt");
  EXPECT_EQ(entries(scratch_.path()), (std::vector<std::string>{"a.txt", "a1.txt", "a2.txt"}));
}

TEST_F(Output, TheNumberIsTheCountOfFilesAnnouncedBefore) {
  Extractor x(dir_);
  const Attachment a = attachment_of(10);
  x.extract(a, "b.txt", "b.txt");
  x.extract(a, "a.txt", "a.txt");
  EXPECT_EQ(x.extract(a, "a.txt", "a.txt"),
            announcement("a.txt", "a.txt", 10, dir_ + "a2.txt") + "Writing.\n");
  // A declined file was announced, so it counts too.
  ASSERT_TRUE(testing::write_file(dir_ + "c.txt", ByteVector{'c'}));
  Extractor declining(dir_, "n");
  declining.extract(a, "c.txt", "c.txt");
  EXPECT_EQ(declining.extract(a, "c.txt", "c.txt"),
            announcement("c.txt", "c.txt", 10, dir_ + "c1.txt") + "Writing.\n");
  // Without a '.' the number goes at the end.
  x.extract(a, "README", "");
  EXPECT_EQ(x.extract(a, "README", ""),
            announcement("README", "", 10, dir_ + "README4") + "Writing.\n");
}

TEST_F(Output, ARepeatIsThePreviousPathOrAFileOfThisRun) {
  Extractor x(dir_, "n");
  const Attachment first = attachment_of(10, 1);
  const Attachment second = attachment_of(10, 2);
  x.extract(first, "a.txt", "a.txt");
  x.extract(second, "b.txt", "b.txt");
  EXPECT_EQ(x.extract(second, "a.txt", "a.txt"),
            announcement("a.txt", "a.txt", 10, dir_ + "a2.txt") + "Writing.\n");
  EXPECT_EQ(read_file(dir_ + "a.txt"), first.content());
  // A file that stood there before the run, declined, is asked about again after another path.
  ASSERT_TRUE(testing::write_file(dir_ + "c.txt", ByteVector{'c'}));
  x.extract(first, "c.txt", "c.txt");
  x.extract(first, "d.txt", "d.txt");
  EXPECT_EQ(x.extract(second, "c.txt", "c.txt"),
            announcement("c.txt", "c.txt", 10, dir_ + "c.txt") + std::string(kQuestion) +
                "Not writing.\n");
  // Byte-for-byte comparison, and on this file system another file: A.TXT does not repeat a.txt.
  Extractor y(dir_ + "case/");
  fs::create_directory(dir_ + "case");
  y.extract(first, "a.txt", "a.txt");
  EXPECT_EQ(y.extract(second, "A.TXT", "A.TXT"),
            announcement("A.TXT", "A.TXT", 10, dir_ + "case/A.TXT") + "Writing.\n");
}

TEST_F(Output, TheNumberNeverGoesIntoTheDirectory) {
  fs::create_directory(dir_ + "Mail.box");
  Extractor x(dir_ + "Mail.box/");
  const Attachment a = attachment_of(10);
  EXPECT_EQ(x.extract(a, "README", "Notes"),
            announcement("README", "Notes", 10, dir_ + "Mail.box/Notes") + "Writing.\n");
  EXPECT_EQ(x.extract(a, "README", "Notes"),
            announcement("README", "Notes", 10, dir_ + "Mail.box/Notes1") + "Writing.\n");
}

TEST_F(Output, AUFAttachmentsOf348BytesArePassedOver) {
  Extractor x(dir_);
  EXPECT_EQ(x.extract(attachment_of(348), "x.AUF", "x.AUF"), "<");
  EXPECT_EQ(x.state().files_found, 0);
  EXPECT_EQ(x.state().files_written, 0);
  EXPECT_EQ(x.state().previous_output_path, dir_ + "x.AUF");  // updated all the same
  // So a following x.AUF of another size is numbered, with no file announced yet: 0.
  EXPECT_EQ(x.extract(attachment_of(349), "x.AUF", "x.AUF"),
            announcement("x.AUF", "x.AUF", 349, dir_ + "x0.AUF") + "Writing.\n");
  EXPECT_EQ(x.extract(attachment_of(348), "y.auf", "y.auf"),
            announcement("y.auf", "y.auf", 348, dir_ + "y.auf") + "Writing.\n");
  EXPECT_EQ(x.extract(attachment_of(349), "z.AUF", "z.AUF"),
            announcement("z.AUF", "z.AUF", 349, dir_ + "z.AUF") + "Writing.\n");
  EXPECT_EQ(entries(scratch_.path()), (std::vector<std::string>{"x0.AUF", "y.auf", "z.AUF"}));
}

// ---------------------------------------------------------------------------------------------
// The overwrite question

TEST_F(Output, ExistingFileIsOverwrittenOnlyOnY) {
  struct Case {
    std::string keys;
    bool quiet;
    bool overwritten;
    int keys_read;
  };
  const std::vector<Case> cases = {
      {"y", false, true, 1},   {"Y", false, true, 1}, {"n", false, false, 1},
      {"\r", false, false, 1}, {"", false, false, 1},  // end of input: kNoKey
      {"y", true, false, 0},                           // a quiet run never reads a key
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "keys '" << c.keys << "' quiet " << c.quiet);
    ScratchDirectory scratch;
    const std::string path = scratch / "a.txt";
    const ByteVector old = {'o', 'l', 'd'};
    ASSERT_TRUE(testing::write_file(path, old));
    Extractor x(scratch.path() + "/", c.keys, c.quiet);
    const Attachment a = attachment_of(10);
    EXPECT_EQ(x.extract(a, "a.txt", "a.txt"),
              announcement("a.txt", "a.txt", 10, path) + std::string(kQuestion) +
                  (c.overwritten ? "Writing.\n" : "Not writing.\n"));
    EXPECT_EQ(read_file(path), c.overwritten ? a.content() : old);
    EXPECT_EQ(x.state().files_found, 1);
    EXPECT_EQ(x.state().files_written, c.overwritten ? 1 : 0);
    EXPECT_EQ(x.console().keys_read(), c.keys_read);
  }
}

TEST_F(Output, AnyExistingEntryRaisesTheQuestion) {
  const Attachment a = attachment_of(10);
  const std::string expected =
      announcement("a.txt", "a.txt", 10, dir_ + "a.txt") + std::string(kQuestion);
  // A directory: declined it stays; accepted, the open for writing fails.
  fs::create_directory(dir_ + "a.txt");
  {
    Extractor x(dir_, "n");
    EXPECT_EQ(x.extract(a, "a.txt", "a.txt"), expected + "Not writing.\n");
  }
  {
    Extractor x(dir_, "y");
    EXPECT_EQ(x.extract(a, "a.txt", "a.txt"), expected + "Writing.\n");
    ASSERT_NE(x.failure(), nullptr);
    EXPECT_STREQ(x.failure(), "File error - Cannot open file for writing\n");
  }
  fs::remove(dir_ + "a.txt");
  // A link to nothing.
  fs::create_symlink(dir_ + "nowhere", dir_ + "a.txt");
  {
    Extractor x(dir_, "n");
    EXPECT_EQ(x.extract(a, "a.txt", "a.txt"), expected + "Not writing.\n");
    EXPECT_FALSE(fs::exists(dir_ + "nowhere"));
  }
  fs::remove(dir_ + "a.txt");
  // A file that cannot be read.
  ASSERT_TRUE(testing::write_file(dir_ + "a.txt", ByteVector{'s'}));
  ::chmod((dir_ + "a.txt").c_str(), 0);
  {
    Extractor x(dir_, "n");
    EXPECT_EQ(x.extract(a, "a.txt", "a.txt"), expected + "Not writing.\n");
  }
  ::chmod((dir_ + "a.txt").c_str(), 0600);
  EXPECT_EQ(read_file(dir_ + "a.txt"), ByteVector{'s'});
}

// ---------------------------------------------------------------------------------------------
// Write failures

TEST_F(Output, MissingDirectoryStopsTheRunWithoutASummary) {
  const std::vector<testing::AttachmentSpec> specs = {
      {"one.txt", pattern_free_bytes(20, 1), "", u"", ""},
      {"two.txt", pattern_free_bytes(20, 2), "", u"", ""},
  };
  const std::string source = scratch_ / "winmail.dat";
  ASSERT_TRUE(testing::write_file(source, testing::tnef_message(specs)));
  const std::vector<std::string> args = {"kestrox", source, "q", dir_ + "missing/"};
  ScriptedConsole console;
  EXPECT_EQ(run(args, console, PathStyle::kPosix), kFailureResult);
  const std::string& out = console.out_text();
  const std::string tail = ".;" + announcement("one.txt", "one.txt", 20, dir_ + "missing/one.txt") +
                           "Writing.\nFile error - Cannot open file for writing\n";
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(out.find("two.txt"), std::string::npos);
}

TEST_F(Output, ShortWriteIsAFailure) {
  // In a child process, so that the file-size limit does not outlive the test.
  const std::string path = dir_ + "big.bin";
  const pid_t child = ::fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const struct rlimit limit = {1000, 1000};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(10);
    Extractor x(dir_);
    const std::string out = x.extract(attachment_of(5000), "big.bin", "big.bin");
    if (out != announcement("big.bin", "big.bin", 5000, path) + "Writing.\n") ::_exit(11);
    if (x.failure() == nullptr) ::_exit(12);
    if (std::string_view(x.failure()) != "File error - wrote wrong length\n") ::_exit(13);
    if (x.state().files_written != 1) ::_exit(14);
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(fs::is_empty(dir_));  // neither the part written nor a temporary file stays
}

// ---------------------------------------------------------------------------------------------
// Counts and summary

TEST_F(Output, CountsFollowEachOutcome) {
  ASSERT_TRUE(testing::write_file(dir_ + "taken.txt", ByteVector{'t'}));
  Extractor x(dir_, "n");
  x.extract(attachment_of(10), "new.txt", "new.txt");      // written
  x.extract(attachment_of(10), "taken.txt", "taken.txt");  // declined
  x.extract(attachment_of(348), "tiny.AUF", "tiny.AUF");   // passed over
  EXPECT_EQ(x.state().files_found, 2);
  EXPECT_EQ(x.state().files_written, 1);
}

TEST(OutputSummary, EachCombinationOfCounts) {
  struct Case {
    std::int32_t found, written;
    std::string out;
  };
  const std::vector<Case> cases = {
      {0, 0, std::string(kNoFiles)},    {2, 0, "\n"},
      {1, 1, "\nExtracted 1 file.\n"},  {3, 3, "\nExtracted 3 files.\n"},
      {3, 2, "\nExtracted 2 files.\n"},
  };
  for (const Case& c : cases) {
    ExtractionState state;
    state.files_found = c.found;
    state.files_written = c.written;
    ScriptedConsole console;
    print_extraction_summary(state, console);
    EXPECT_EQ(console.out_text(), c.out) << c.found << " found, " << c.written << " written";
  }
}

TEST_F(Output, ARunOfOnlyPassedOverAttachmentsFoundNone) {
  TnefBuilder tnef;
  tnef.signature()
      .attach_title("a.AUF")
      .attach_data(pattern_free_bytes(348))
      .attachment_properties(
          testing::MapiBlock().mapi_string8(testing::kPrAttachLongFilename, "a.AUF"));
  ScriptedConsole console;
  ExtractionState state;
  const OutputTarget target{dir_, false, PathStyle::kPosix};
  EXPECT_FALSE(scan_attachments(tnef.bytes(), target, console, state).failed());
  EXPECT_EQ(console.out_text(), ".;<" + std::string(kNoFiles));
  EXPECT_TRUE(entries(scratch_.path()).empty());
}

// ---------------------------------------------------------------------------------------------
// Safety of names and of console text

TEST_F(Output, TitlesNeverLeaveTheOutputDirectory) {
  struct Case {
    std::string title;
    PathStyle style;
    std::string file;
  };
  const std::vector<Case> cases = {
      {"../../x", PathStyle::kPosix, "_.._.._x"},
      {"..\\..\\x", PathStyle::kWindows, ".._.._x"},
      {"/etc/x", PathStyle::kPosix, "_etc_x"},
      {"C:\\x", PathStyle::kWindows, "C__x"},
      {".", PathStyle::kPosix, "_."},
      {"..", PathStyle::kPosix, "_.."},
      {"...", PathStyle::kWindows, "____"},
      {"notes.", PathStyle::kWindows, "notes_"},
      {"CON", PathStyle::kWindows, "_CON"},
      {"nul.txt", PathStyle::kWindows, "_nul.txt"},
      {"Com1.log", PathStyle::kWindows, "_Com1.log"},
      {"lpt9", PathStyle::kWindows, "_lpt9"},
      {"CON", PathStyle::kPosix, "CON"},
      {"CONSOLE", PathStyle::kWindows, "CONSOLE"},
      {"COM0", PathStyle::kWindows, "COM0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.title);
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/", "", false, c.style);
    const Attachment a = attachment_of(10);
    EXPECT_EQ(x.extract(a, "attachment", c.title),
              announcement("attachment", c.title, 10, x.directory() + c.file) + "Writing.\n");
    EXPECT_EQ(entries(scratch.path()), std::vector<std::string>{c.file});
    EXPECT_EQ(read_file(x.directory() + c.file), a.content());
  }
}

TEST_F(Output, NamesMadeOfDotsAreMadeFiles) {
  for (const std::string name : {".", ".."}) {
    SCOPED_TRACE(name);
    ScratchDirectory scratch;
    Extractor x(scratch.path() + "/");
    EXPECT_EQ(x.extract(attachment_of(10), name, "t"),
              announcement(name, "t", 10, x.directory() + "_" + name) + "Writing.\n");
    EXPECT_FALSE(x.failure());
  }
}

TEST_F(Output, ControlBytesOfATitleAreNotSentToTheConsole) {
  Extractor x(dir_);
  const std::string title = "\x1b]0;owned\x07report\x7f\x1b[2J";
  EXPECT_EQ(
      x.extract(attachment_of(10), "attachment", title),
      announcement("attachment", "_]0;owned_report__[2J", 10, dir_ + "__0_owned_report___2J") +
          "Writing.\n");
}

// Whole runs, each from a source and into an output directory whose names hold escape sequences:
// what names the files get and what the console shows of them ({out}: the output directory as
// shown).
TEST(OutputNames, WholeRuns) {
  auto message = [](std::vector<std::string> names, std::string title = "") {
    std::vector<testing::AttachmentSpec> specs;
    for (const std::string& name : names) specs.push_back({name, {'d'}, title, u"", ""});
    return testing::tnef_message(specs);
  };
  const std::string too_long = std::string(96, 'q') + ".pdf";  // 101 bytes with its NUL
  const std::string c1_title = "a\xC2\x9Bm\x9Bn\x85.pdf";
  struct Row {
    const char* what;
    ByteVector tnef;
    std::vector<std::string> files;
    std::string shown;  // a piece of the console text
    bool utf8 = false;
    // Names the first file, once written, also by the second, as a file system that ignores case
    // would: the same file under a name that differs only in case.
    std::pair<std::string, std::string> same_file = {};
  };
  const std::vector<Row> rows = {
      {"an 8-bit name too long, with a title",
       message({too_long}, "QUARTE~1.PDF"),
       {"QUARTE_1.PDF"},
       ".;Extracting file QUARTE_1.PDF, (QUARTE~1.PDF) length 1 to {out}/QUARTE_1.PDF"},
      {"an 8-bit name too long, no title",
       message({too_long}),
       {"Unknown Attachment.txt"},
       ".#Extracting file Unknown Attachment.txt, (Unknown Attachment.txt) length 1"},
      {"an empty 8-bit name",
       TnefBuilder()
           .signature()
           .attach_title("Untitled Attachment")
           .attach_data("d")
           .attachment_properties(MapiBlock().mapi_string8(testing::kPrAttachLongFilename, ""))
           .bytes(),
       {"Untitled Attachment.txt"},
       "file Untitled Attachment.txt, (Untitled Attachment) length"},
      {"a hidden file",
       message({".profile"}),
       {"_.profile"},
       "file .profile, (.profile) length 1 to {out}/_.profile\n"},
      {"an option", message({"-rf"}), {"_-rf"}, "(-rf) length 1 to {out}/_-rf\n"},
      {"names that sanitising makes equal",
       message({"M\xFCller.pdf", "x.txt", "M\xF6ller.pdf"}),
       {"M_ller.pdf", "M_ller2.pdf", "x.txt"},
       "(M\xF6ller.pdf) length 1 to {out}/M_ller2.pdf\n"},
      {"a numbered name that the run has written already",
       message({"a2.txt", "a.txt", "a.txt"}),
       {"a.txt", "a2.txt", "a22.txt"},
       "length 1 to {out}/a22.txt\n"},
      {"a name that differs only in case",
       message({"Report.pdf", "REPORT.PDF"}),
       {"REPORT.PDF", "REPORT1.PDF", "Report.pdf"},
       "(REPORT.PDF) length 1 to {out}/REPORT1.PDF\n",
       false,
       {"Report.pdf", "REPORT.PDF"}},
      {"C1 controls in a title, UTF-8 console",
       message({""}, c1_title),
       {"a__m_n_.pdf"},
       "(a_m_n_.pdf) length",
       true},
      {"C1 controls in a title, 8-bit console",
       message({""}, c1_title),
       {"a__m_n_.pdf"},
       "(a\xC2_m_n_.pdf) length"},
      {"an escape sequence in the source name",
       message({"a.txt"}),
       {"a.txt"},
       "Analysing file {dir}/in_]0;x_.dat, length 192\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ScratchDirectory scratch;
    const std::string out = scratch / "out\x1B[2J";
    ASSERT_TRUE(fs::create_directory(out));
    ASSERT_TRUE(testing::write_file(scratch / "in\x1B]0;x\a.dat", row.tnef));
    ScriptedConsole console({}, row.utf8);
    if (!row.same_file.first.empty()) {
      console.on_out = [&](const std::string&) {
        const std::string first = out + "/" + row.same_file.first;
        const std::string second = out + "/" + row.same_file.second;
        if (fs::exists(first) && !fs::exists(second)) fs::create_hard_link(first, second);
      };
    }
    const std::vector<std::string> args = {"kestrox", scratch / "in\x1B]0;x\a.dat", "q", out + "/"};
    EXPECT_NE(run(args, console, PathStyle::kPosix), kFailureResult);
    EXPECT_EQ(entries(out), row.files);
    std::string shown = row.shown;
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"{out}", "{dir}/out_[2J"},
                                   {"{dir}", scratch.path()}}) {
      if (const std::size_t at = shown.find(from); at != std::string::npos) {
        shown.replace(at, from.size(), to);
      }
    }
    EXPECT_NE(console.out_text().find(shown), std::string::npos) << console.out_text();
    EXPECT_EQ(console.out_text().find("File already exists"), std::string::npos);
  }
}

TEST(OutputSafety, SafeFileNameOfEveryOneAndTwoByteName) {
  auto allowed = [](char c) { return is_name_byte(static_cast<unsigned char>(c)) || c == '_'; };
  for (PathStyle style : {PathStyle::kPosix, PathStyle::kWindows}) {
    for (int first = 0; first < 256; ++first) {
      for (int second = -1; second < 256; ++second) {
        std::string name(1, static_cast<char>(first));
        if (second >= 0) name += static_cast<char>(second);
        const std::string safe = safe_file_name(name, style);
        ASSERT_FALSE(safe.empty());
        ASSERT_TRUE(std::all_of(safe.begin(), safe.end(), allowed)) << first << " " << second;
        ASSERT_NE(safe.find_first_not_of('.'), std::string::npos);
        // Each byte is kept or replaced in place; the only change in length is a leading '_'.
        // Windows would drop the dots and spaces at the end: they are replaced too.
        const std::string body = safe.size() > name.size() ? safe.substr(1) : safe;
        ASSERT_EQ(body.size(), name.size());
        const std::size_t end =
            style == PathStyle::kWindows ? name.find_last_not_of(". ") + 1 : name.size();
        for (std::size_t i = 0; i < name.size(); ++i) {
          const bool keep = is_name_byte(static_cast<unsigned char>(name[i])) && i < end;
          ASSERT_EQ(body[i], keep ? name[i] : '_') << first << " " << second;
        }
        const bool only_dots = name.find_first_not_of(style == PathStyle::kWindows ? ". " : ".") ==
                               std::string::npos;
        const bool hidden_or_option =
            style == PathStyle::kPosix && (name[0] == '.' || name[0] == '-');
        ASSERT_EQ(safe.size() > name.size(), only_dots || hidden_or_option)
            << first << " " << second;
      }
    }
  }
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

TEST(OutputSafety, WindowsDeviceNamesInAnyCase) {
  for (std::string stem : {"CON", "PRN", "AUX", "NUL", "COM1", "COM9", "LPT1", "LPT9"}) {
    for (std::string name : {stem, stem + ".txt", stem + ".tar.gz", stem + "."}) {
      for (const std::string& variant : {name, lower(name)}) {
        std::string windows = "_" + variant;
        if (windows.back() == '.') windows.back() = '_';  // which Windows would drop
        EXPECT_EQ(safe_file_name(variant, PathStyle::kWindows), windows);
        EXPECT_EQ(safe_file_name(variant, PathStyle::kPosix), variant);
      }
    }
  }
  for (std::string name : {"COM0", "LPT0", "COM10", "CONX", "CON1", "XCON", "NULL.txt", "AUX_"}) {
    EXPECT_EQ(safe_file_name(name, PathStyle::kWindows), name);
  }
}

TEST(OutputSafety, ConsoleSafeReplacesOnlyControlBytes) {
  for (int value = 1; value < 256; ++value) {
    const std::string text(1, static_cast<char>(value));
    const bool control = value < 0x20 || value == 0x7F;
    const bool c1 = value >= 0x80 && value <= 0x9F;
    EXPECT_EQ(console_safe(text, PathStyle::kWindows, true), control ? "_" : text) << value;
    for (bool utf8 : {false, true}) {
      EXPECT_EQ(console_safe(text, PathStyle::kPosix, utf8), control || c1 ? "_" : text) << value;
    }
  }
  // In the POSIX style, on a UTF-8 console a C1 control in its UTF-8 form is one '_', while any
  // other well-formed character stays whole, whatever its bytes; elsewhere every byte 0x80-0x9F
  // is masked on its own.
  // Wherever the console reads UTF-8, the characters that show nothing are '_' too, in names as
  // the sender wrote them or not; a console that is not UTF-8 shows '?' for each character of an
  // original name beyond ASCII. The Windows style masks no byte 0x80-0x9F that is no UTF-8.
  struct Case {
    std::string text, utf8, eight_bit, original_utf8, original_eight_bit, windows;
  };
  const std::vector<Case> cases = {
      {"a\xC2\x9Bmb", "a_mb", "a\xC2_mb", "a_mb", "a_mb", "a_mb"},  // U+009B, CSI
      {"\xC2\x80\xC2\x9F\xC2\xA0", "__\xC2\xA0", "\xC2_\xC2_\xC2\xA0", "__\xC2\xA0", "__?",
       "__\xC2\xA0"},  // U+00A0 is no control
      {"\xD0\x94\xD1\x8B", "\xD0\x94\xD1\x8B", "\xD0_\xD1_", "\xD0\x94\xD1\x8B", "??",
       "\xD0\x94\xD1\x8B"},
      {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80", "\xF0___", "\xF0\x9F\x98\x80", "?",
       "\xF0\x9F\x98\x80"},
      {"\xE0\x82\x9B", "\xE0__", "\xE0__", "\xE0__", "\xE0__", "\xE0\x82\x9B"},  // overlong U+009B
      {"\xD0\x94\x9B", "\xD0\x94_", "\xD0__", "\xD0\x94_", "?_", "\xD0\x94\x9B"},  // a stray byte
      {"\x1B[2J\xE2\x80\x9C", "_[2J\xE2\x80\x9C", "_[2J\xE2__", "_[2J\xE2\x80\x9C", "_[2J?",
       "_[2J\xE2\x80\x9C"},
      {"(invoice\xE2\x80\xAE" "fdp.exe)", "(invoice_fdp.exe)", "(invoice\xE2_\xAE" "fdp.exe)",
       "(invoice_fdp.exe)", "(invoice_fdp.exe)", "(invoice_fdp.exe)"},  // U+202E
      {"a\xF3\xA0\x81\xA1.txt\xE2\x80\xA8", "a_.txt_", "a\xF3\xA0_\xA1.txt\xE2_\xA8", "a_.txt_",
       "a_.txt_", "a_.txt_"},  // a tag character, the line separator
      {"\xD9\x85\xE2\x80\x8C\xD8\xAE\xE2\x80\x8D", "\xD9\x85\xE2\x80\x8C\xD8\xAE_",
       "\xD9_\xE2__\xD8\xAE\xE2__", "\xD9\x85\xE2\x80\x8C\xD8\xAE_", "???_",
       "\xD9\x85\xE2\x80\x8C\xD8\xAE_"},  // joiners: between letters, and not
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    EXPECT_EQ(console_safe(c.text, PathStyle::kPosix, true), c.utf8);
    EXPECT_EQ(console_safe(c.text, PathStyle::kPosix, false), c.eight_bit);
    EXPECT_EQ(console_safe(c.text, PathStyle::kPosix, true, NameCharacters::kOriginal),
              c.original_utf8);
    EXPECT_EQ(console_safe(c.text, PathStyle::kPosix, false, NameCharacters::kOriginal),
              c.original_eight_bit);
    for (bool utf8 : {false, true}) {
      EXPECT_EQ(console_safe(c.text, PathStyle::kWindows, utf8), c.windows);
      EXPECT_EQ(console_safe(c.text, PathStyle::kWindows, utf8, NameCharacters::kOriginal),
                c.windows);
    }
  }
}

}  // namespace
}  // namespace kestrox
