// Whole runs in-process: arguments, the default source, loading failures and the two endings.
#include "driver/run.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decode/container.h"
#include "driver/banner.h"
#include "support/mime_builder.h"
#include "support/scripted_console.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

namespace fs = std::filesystem;
using testing::ScriptedConsole;

#if !defined(RUNNING_ON_VALGRIND)
#define RUNNING_ON_VALGRIND 0
#endif

constexpr std::string_view kPrompt = "\nPress a key to continue...";
constexpr std::string_view kNotTnef =
    "This may not be a valid winmail.dat file - checking for attachments anyway.\n";
constexpr std::string_view kNoAttachments =
    "\nYour winmail.dat does not seem to contain attached files.\n"
    "This is normal; Outlook also saves the formatting of the e-mail in winmail.dat.\n";
constexpr std::string_view kCannotFind = "\nCannot find source file.\n";
// A program path whose directory holds no winmail.dat.
constexpr std::string_view kNowhereProgram = "/nonexistent-kestrox-dir/kestrox";

// A fresh directory, removed with everything in it at the end of the test.
using TempDir = testing::ScratchDirectory;

// Changes the working directory for one test and puts the old one back afterwards.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const std::string& path) : saved_(fs::current_path()) {
    if (::chdir(path.c_str()) != 0) ADD_FAILURE() << "chdir " << path;
  }
  ~WorkingDirectory() {
    if (::chdir(saved_.c_str()) != 0) ADD_FAILURE() << "cannot return to " << saved_;
  }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path saved_;
};

void write_file(const std::string& path, std::string_view contents) {
  ASSERT_TRUE(testing::write_text_file(path, contents)) << path;
}

std::string read_file(const std::string& path) { return testing::read_text_file(path); }

std::vector<std::string> entries_of(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void put_le32(std::string& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A raw TNEF stream holding one attAttachData record per data text, with no title and no name.
std::string raw_tnef(std::initializer_list<std::string_view> attachments) {
  std::string out("\x78\x9F\x3E\x22", 4);  // TNEF signature
  for (std::string_view data : attachments) {
    out.append("\x02\x0F\x80\x06\x00", 5);  // level 2, attAttachData, atpByte
    put_le32(out, static_cast<std::uint32_t>(data.size()));
    out += data;
    out.append("\0\0", 2);  // checksum, never read
  }
  return out;
}

const std::string kOneAttachment = raw_tnef({"hello"});  // 20 bytes

// The console text of one unnamed 5-byte attachment written into `directory`, which is given as
// it prefixes the output path (empty, or ending in '/').
std::string unnamed_written(std::string_view directory, std::string_view as_name) {
  return ".~ #Extracting file Unknown Attachment.txt, (Unknown Attachment.txt) length 5 to " +
         std::string(directory) + std::string(as_name) + "\nWriting.\n";
}
std::string unnamed_written(std::string_view directory) {
  return unnamed_written(directory, "Unknown Attachment.txt");
}

struct RunOutcome {
  int result = 0;
  std::string out;  // what followed the banner
  std::string err;
  int keys_read = 0;
};

RunOutcome run_kestrox(std::vector<std::string> arguments, bool utf8 = false,
                       PathStyle style = PathStyle::kPosix) {
  ScriptedConsole console("k", utf8);
  RunOutcome outcome;
  outcome.result = run(arguments, console, style);
  const std::string banner = banner_text(utf8 ? BannerStyle::kUtf8 : BannerStyle::kCodePage437);
  const std::string& out = console.out_text();
  EXPECT_EQ(out.substr(0, banner.size()), banner) << "every run opens with the banner";
  outcome.out = out.size() >= banner.size() ? out.substr(banner.size()) : std::string();
  outcome.err = console.err_text();
  outcome.keys_read = console.keys_read();
  return outcome;
}

std::string analysing(std::string_view source, std::int64_t length) {
  return "Analysing file " + std::string(source) + ", length " + std::to_string(length) + "\n";
}

// ---------------------------------------------------------------------------------------------

TEST(RunArguments, MoreThanThreeIsInvalidAndOpensNothing) {
  TempDir dir;
  write_file(dir / "in.dat", kOneAttachment);
  const std::string out_dir = dir / "out";
  ASSERT_TRUE(fs::create_directory(out_dir));
  // The quiet word is not looked at: the arguments are refused before it is read.
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"kestrox", dir / "in.dat", "q", out_dir, "extra"},
        std::vector<std::string>{"kestrox", dir / "in.dat", "x", out_dir, "a", "b"}}) {
    const RunOutcome run = run_kestrox(arguments);
    EXPECT_EQ(run.out, "Invalid arguments\n" + std::string(kPrompt));
    EXPECT_EQ(run.err, "kestrox: " + arguments[4] +
                           ": too many arguments: at most SOURCE, OPTIONS and OUTPUT-DIRECTORY\n");
    EXPECT_EQ(run.keys_read, 1);
    EXPECT_EQ(run.result, 999);
  }
  EXPECT_EQ(entries_of(out_dir), std::vector<std::string>{});
  EXPECT_EQ(entries_of(dir.path()), (std::vector<std::string>{"in.dat", "out"}));
}

TEST(RunArguments, UnreachableWorkingDirectoryIsReportedOnStandardError) {
  TempDir dir;
  const std::string doomed = dir / "gone";
  ASSERT_TRUE(fs::create_directory(doomed));
  WorkingDirectory inside(doomed);
  ASSERT_EQ(::rmdir(doomed.c_str()), 0);
  const RunOutcome run = run_kestrox({"kestrox"});
  const std::string reason = std::strerror(ENOENT);
  EXPECT_EQ(run.err, "Error getting working directory.: " + reason + "\nkestrox: .: " + reason + "\n");
  EXPECT_EQ(run.out, kPrompt);
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 999);
}

// Creates nested directories under `base` so that the deepest one's path is `length` characters.
std::string directory_of_length(const std::string& base, std::size_t length) {
  std::string path = base;
  while (path.size() < length) {
    const std::size_t left = length - path.size();  // at least 2: '/' and one character
    const std::size_t part = left - 1 <= 100 ? left - 1 : (left - 101 >= 2 ? 100 : 50);
    path += '/';
    path.append(part, 'd');
    EXPECT_TRUE(fs::create_directory(path)) << path;
  }
  return path;
}

TEST(RunArguments, WorkingDirectoryOf259CharactersIsTheLongestTaken) {
  TempDir dir;
  ASSERT_LT(dir.path().size(), 200u);
  const std::string longest = directory_of_length(dir.path(), 259);
  ASSERT_EQ(longest.size(), 259u);
  write_file(longest + "/winmail.dat", kOneAttachment);
  WorkingDirectory inside(longest);
  const RunOutcome run = run_kestrox({std::string(kNowhereProgram)});
  // The source path and the output path grow past 259 characters and are held whole.
  EXPECT_EQ(run.out, analysing(longest + "/winmail.dat", 20) + unnamed_written(longest + "/") +
                         "\nExtracted 1 file.\n" + std::string(kPrompt));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(read_file(longest + "/Unknown Attachment.txt"), "hello");
}

TEST(RunArguments, WorkingDirectoryOver259CharactersIsAFailure) {
  TempDir dir;
  const std::string too_long = directory_of_length(dir.path(), 260);
  ASSERT_EQ(too_long.size(), 260u);
  write_file(too_long + "/winmail.dat", kOneAttachment);
  WorkingDirectory inside(too_long);
  const RunOutcome run = run_kestrox({std::string(kNowhereProgram)});
  const std::string reason = std::strerror(ERANGE);
  EXPECT_EQ(run.err, "Error getting working directory.: " + reason + "\nkestrox: .: " + reason + "\n");
  EXPECT_EQ(run.out, kPrompt);
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 999);
  EXPECT_FALSE(fs::exists(too_long + "/Unknown Attachment.txt"));
}

// ---------------------------------------------------------------------------------------------
// Loading failures.

TEST(RunLoading, MissingSourceCannotBeFound) {
  TempDir dir;
  const std::string missing = dir / "missing.dat";
  const RunOutcome run = run_kestrox({"kestrox", missing});
  EXPECT_EQ(run.out, "Analysing file " + missing + std::string(kCannotFind) + std::string(kPrompt));
  EXPECT_EQ(run.err, "kestrox: " + missing + ": " + std::strerror(ENOENT) + "\n");
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 999);
}

TEST(RunLoading, EmptyArgumentCannotBeFound) {
  const RunOutcome run = run_kestrox({"kestrox", ""});
  EXPECT_EQ(run.out, "Analysing file " + std::string(kCannotFind) + std::string(kPrompt));
  EXPECT_EQ(run.result, 999);
}

TEST(RunLoading, DirectoryIsNoSourceFile) {
  TempDir dir;
  const std::string directory = dir / "folder.dat";
  ASSERT_TRUE(fs::create_directory(directory));
  const RunOutcome run = run_kestrox({"kestrox", directory});
  EXPECT_EQ(run.out,
            "Analysing file " + directory + std::string(kCannotFind) + std::string(kPrompt));
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 999);
}

// A sparse file of `size` bytes; no disk space is used.
bool make_sparse(const std::string& path, std::int64_t size) {
  write_file(path, "");
  return ::truncate(path.c_str(), static_cast<off_t>(size)) == 0;
}

TEST(RunLoading, SizeBeyondTheSigned32BitLengthCannotBeAllocated) {
  TempDir dir;
  // 2 GiB is one more than the largest length; 4 GiB + 5 must not be cut to 5.
  for (std::int64_t size : {std::int64_t{1} << 31, (std::int64_t{1} << 32) + 5}) {
    SCOPED_TRACE(size);
    const std::string big = dir / "big.dat";
    if (!make_sparse(big, size)) GTEST_SKIP() << "no sparse file of " << size << " bytes here";
    const RunOutcome run = run_kestrox({"kestrox", big});
    EXPECT_EQ(run.out, analysing(big, -1) + "Cannot allocate memory.\n" + std::string(kPrompt));
    EXPECT_EQ(run.keys_read, 1);
    EXPECT_EQ(run.result, 999);
  }
}

// A file whose reported size is more than a read gives, such as many sysfs files.
std::string find_short_reading_file(std::int64_t& reported) {
  for (const char* candidate :
       {"/sys/kernel/mm/transparent_hugepage/enabled", "/sys/kernel/mm/transparent_hugepage/defrag",
        "/sys/power/state", "/sys/kernel/profiling"}) {
    struct stat info;
    if (::stat(candidate, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size <= 0) continue;
    std::ifstream file(candidate, std::ios::binary);
    if (!file) continue;
    const std::string contents{std::istreambuf_iterator<char>(file),
                               std::istreambuf_iterator<char>()};
    if (static_cast<std::int64_t>(contents.size()) < info.st_size) {
      reported = info.st_size;
      return candidate;
    }
  }
  return {};
}

TEST(RunLoading, ShortReadIsAnIncompleteFileRead) {
  std::int64_t reported = 0;
  const std::string path = find_short_reading_file(reported);
  if (path.empty()) GTEST_SKIP() << "no file here whose size exceeds what a read returns";
  const RunOutcome run = run_kestrox({"kestrox", path, "x"});
  EXPECT_EQ(run.out, analysing(path, reported) + "Incomplete file read.\n" + std::string(kPrompt));
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 999);
}

TEST(RunLoading, LargeMessagesDecodeOverFreshPagesAndKeepTheirOwnBytesAfter) {
  // Messages of some MiB, whose decoding is written over pages of its own rather than copies of
  // the file's, with a record left raw in the encoded text: in the decoded stream it lies inside
  // the large attachment, and the scan meets it among the file's own bytes after the decoded
  // data, on pages that held what decoding left there until they were the file's again. It is
  // put where those pages are: past the decoded data, before the last 4 MiB step's read.
  const testing::ByteVector data = testing::pattern_free_bytes(std::size_t{6} << 20, 3);
  testing::TnefBuilder tnef;
  tnef.signature().attach_title("big.bin").attach_data(data);
  testing::TnefBuilder record;
  record.attach_data("from the tail");
  const std::string raw(record.bytes().begin(), record.bytes().end());
  struct Case {
    testing::TransferEncoding encoding;
    std::size_t tenths;  // of the message, where the record goes
  };
  for (const Case& c : {Case{testing::TransferEncoding::kQuotedPrintable, 6},
                        Case{testing::TransferEncoding::kBase64, 8}}) {
    SCOPED_TRACE(c.tenths);
    std::string message = testing::mime_message(tnef.bytes(), c.encoding);
    message.insert(message.find("\r\n", message.size() * c.tenths / 10) + 2, raw);
    TempDir dir;
    write_file(dir / "in.eml", message);
    const RunOutcome run = run_kestrox({"kestrox", dir / "in.eml", "q"});
    EXPECT_EQ(run.result, 2) << run.out;
    EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "from the tail");
    // The attachment as the same bytes decode in memory of their own.
    ScriptedConsole console;
    std::vector<std::uint8_t> copy(message.begin(), message.end());
    const std::size_t decoded = decode_container(copy, console);
    const std::string in_memory(copy.begin(), copy.begin() + static_cast<std::ptrdiff_t>(decoded));
    const std::size_t data_at = in_memory.find(std::string(data.begin(), data.begin() + 64));
    ASSERT_NE(data_at, std::string::npos);
    EXPECT_TRUE(read_file(dir / "big.bin") == in_memory.substr(data_at, data.size()));
  }
}

TEST(RunLoading, EmptySourceRunsToTheNormalEnding) {
  TempDir dir;
  const std::string empty = dir / "empty.dat";
  write_file(empty, "");
  const RunOutcome run = run_kestrox({"kestrox", empty});
  EXPECT_EQ(run.out, analysing(empty, 0) + std::string(kNotTnef) + std::string(kNoAttachments) +
                         std::string(kPrompt));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(entries_of(dir.path()), std::vector<std::string>{"empty.dat"});
}

// ---------------------------------------------------------------------------------------------
// Endings and the quiet option.

TEST(RunEnding, ResultIsTheNumberOfFilesWritten) {
  TempDir dir;
  const std::string source = dir / "three.dat";
  write_file(source, raw_tnef({"one..", "two..", "three"}));
  const RunOutcome run = run_kestrox({"kestrox", source});
  const std::string to = dir.path() + "/";
  EXPECT_EQ(run.out, analysing(source, 4 + 3 * 16) + unnamed_written(to) +
                         unnamed_written(to, "Unknown Attachment1.txt") +
                         unnamed_written(to, "Unknown Attachment2.txt") + "\nExtracted 3 files.\n" +
                         std::string(kPrompt));
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 3);
  EXPECT_EQ(read_file(dir / "Unknown Attachment2.txt"), "three");
}

TEST(RunEnding, QuietWordsSkipThePromptAndTheKey) {
  for (const char* word : {"q", "Q", "quiet", "Quick", "q-anything", "-q", "--quiet"}) {
    SCOPED_TRACE(word);
    TempDir dir;
    const std::string source = dir / "in.dat";
    write_file(source, kOneAttachment);
    const RunOutcome run = run_kestrox({"kestrox", source, word});
    EXPECT_EQ(run.out,
              analysing(source, 20) + unnamed_written(dir.path() + "/") + "\nExtracted 1 file.\n");
    EXPECT_EQ(run.keys_read, 0);
    EXPECT_EQ(run.result, 1);
  }
}

TEST(RunEnding, OtherWordsAreAcceptedWithoutEffect) {
  for (const char* word : {"x", "", "aq", " q", "-Q", "-quiet", "--q", "--quietly"}) {
    SCOPED_TRACE(word);
    TempDir dir;
    const std::string source = dir / "in.dat";
    write_file(source, kOneAttachment);
    const RunOutcome run = run_kestrox({"kestrox", source, word});
    EXPECT_EQ(run.out, analysing(source, 20) + unnamed_written(dir.path() + "/") +
                           "\nExtracted 1 file.\n" + std::string(kPrompt));
    EXPECT_EQ(run.keys_read, 1);
    EXPECT_EQ(run.result, 1);
  }
}

TEST(RunEnding, QuietFailureWritesNoPrompt) {
  TempDir dir;
  const std::string missing = dir / "missing.dat";
  const RunOutcome run = run_kestrox({"kestrox", missing, "Q", dir.path()});
  EXPECT_EQ(run.out, "Analysing file " + missing + std::string(kCannotFind));
  EXPECT_EQ(run.keys_read, 0);
  EXPECT_EQ(run.result, 999);
}

TEST(RunEnding, QuietRunAnswersNoToTheOverwriteQuestion) {
  TempDir dir;
  const std::string source = dir / "in.dat";
  write_file(source, kOneAttachment);
  write_file(dir / "Unknown Attachment.txt", "keep me");
  const RunOutcome run = run_kestrox({"kestrox", source, "quiet"});
  EXPECT_EQ(run.out, analysing(source, 20) +
                         ".~ #Extracting file Unknown Attachment.txt, (Unknown Attachment.txt) "
                         "length 5 to " +
                         dir.path() +
                         "/Unknown Attachment.txt\n"
                         "File already exists, press Y to overwrite ... Not writing.\n\n");
  EXPECT_EQ(run.keys_read, 0);
  EXPECT_EQ(run.result, 0);
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "keep me");
}

TEST(RunEnding, Utf8ConsoleGetsTheUtf8Banner) {
  TempDir dir;
  const RunOutcome run = run_kestrox({"kestrox", dir / "missing.dat", "q"}, /*utf8=*/true);
  EXPECT_EQ(run.out, "Analysing file " + (dir / "missing.dat") + std::string(kCannotFind));
}

// ---------------------------------------------------------------------------------------------
// Options before the source.

TEST(RunOptions, OptionsBeforeTheSourceDoWhatThePositionalWordsDo) {
  struct Case {
    std::vector<std::string> arguments;  // "SRC" and "OUT" stand for the paths
    bool quiet;
    bool into_out;  // else beside the source
    const char* invalid;  // the argument that standard error names, or null
  };
  const std::vector<Case> cases = {
      {{"-q", "SRC"}, true, false, nullptr},
      {{"--quiet", "-o", "OUT", "SRC"}, true, true, nullptr},
      {{"-o", "OUT", "SRC", "q"}, true, true, nullptr},
      {{"--output", "OUT", "-q", "SRC", "x"}, true, true, nullptr},
      {{"--output=OUT", "SRC"}, false, true, nullptr},
      {{"--keep-both", "--original-names", "SRC", "go", "OUT"}, false, true, nullptr},
      {{"-q", "--", "SRC"}, true, false, nullptr},
      // The quiet word is not looked at: the arguments are refused before it is read.
      {{"-o", "OUT", "SRC", "q", "OUT"}, false, true, "OUT"},
      {{"-q", "-o"}, true, false, "-o"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    ASSERT_TRUE(fs::create_directory(dir / "out"));
    std::vector<std::string> arguments = {"kestrox"};
    for (std::string word : c.arguments) {
      for (const auto& [from, to] : {std::pair<std::string, std::string>{"SRC", dir / "in.dat"},
                                     {"OUT", dir / "out"}}) {
        if (const std::size_t at = word.find(from); at != std::string::npos) {
          word.replace(at, from.size(), to);
        }
      }
      arguments.push_back(word);
    }
    SCOPED_TRACE(::testing::PrintToString(arguments));
    write_file(dir / "in.dat", kOneAttachment);
    const RunOutcome run = run_kestrox(arguments);
    const std::string prompt = c.quiet ? "" : std::string(kPrompt);
    EXPECT_EQ(run.keys_read, c.quiet ? 0 : 1);
    if (c.invalid != nullptr) {
      EXPECT_EQ(run.out, "Invalid arguments\n" + prompt);
      EXPECT_TRUE(run.err.starts_with("kestrox: " + arguments.back() + ": ")) << run.err;
      EXPECT_EQ(run.result, 999);
      continue;
    }
    const std::string to = c.into_out ? dir / "out/" : dir.path() + "/";
    EXPECT_EQ(run.out, analysing(dir / "in.dat", 20) + unnamed_written(to) +
                           "\nExtracted 1 file.\n" + prompt);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(read_file(to + "Unknown Attachment.txt"), "hello");
  }
  // After "--" and beyond the first word that is no option, words are positional: a source.
  for (const char* source : {"--", "--foo", "-x"}) {
    const RunOutcome run = run_kestrox({"kestrox", "-q", "--", source});
    EXPECT_EQ(run.out, "Analysing file " + std::string(source) + std::string(kCannotFind));
  }
}

TEST(RunOptions, ListSaysWhatWouldBeWrittenAndWritesNothing) {
  // Names that repeat, a file that stands there already (not asked about: the names are those
  // of an empty directory), and a "#" fallback; no banner, glyph or summary around the lines.
  TempDir dir;
  const std::string source = dir / "in.dat";
  write_file(source, raw_tnef({"one..", "two..", "three"}));
  write_file(dir / "Unknown Attachment.txt", "keep me");
  ScriptedConsole console;
  const std::vector<std::string> arguments = {"kestrox", "--list", source};
  EXPECT_EQ(run(arguments, console, PathStyle::kPosix), 0);
  const std::string to = "\t5\t" + dir.path() + "/Unknown Attachment";
  EXPECT_EQ(console.out_text(),
            source + to + ".txt\n" + source + to + "1.txt\n" + source + to + "2.txt\n");
  EXPECT_EQ(entries_of(dir.path()), (std::vector<std::string>{"Unknown Attachment.txt", "in.dat"}));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "keep me");
}

TEST(RunOptions, KeepBothKeepsEveryRunsFilesUnderNumberedNames) {
  // One message of two unnamed attachments (the second a repeat, numbered as always) taken into
  // one folder run after run, where one of the names stood before: each name taken by another's
  // entry gets the first free "STEM (N).EXT", so nothing is asked or lost and no name grows with
  // the number of runs.
  TempDir dir;
  const std::string source = dir / "in.dat";
  write_file(source, raw_tnef({"one..", "two.."}));
  write_file(dir / "Unknown Attachment.txt", "keep me");
  const int runs = RUNNING_ON_VALGRIND ? 30 : 300;
  for (int n = 1; n <= runs; ++n) {
    const RunOutcome run = run_kestrox({"kestrox", "--keep-both", "-q", source});
    ASSERT_EQ(run.result, 2) << run.out;
    if (n > 2) continue;
    const std::string first = "Unknown Attachment (" + std::to_string(n + 1) + ").txt";
    const std::string second = n == 1 ? "Unknown Attachment1.txt" : "Unknown Attachment1 (2).txt";
    EXPECT_EQ(run.out, analysing(source, 4 + 2 * 16) + unnamed_written(dir.path() + "/", first) +
                           unnamed_written(dir.path() + "/", second) + "\nExtracted 2 files.\n");
    EXPECT_EQ(run.err, "");
  }
  const std::vector<std::string> names = entries_of(dir.path());
  EXPECT_EQ(names.size(), static_cast<std::size_t>(2 * runs + 2));
  int first_parts = 0;
  int second_parts = 0;
  for (const std::string& name : names) {
    EXPECT_LE(name.size(), std::string("Unknown Attachment1 (300).txt").size()) << name;
    const std::string contents = read_file(dir / name);
    first_parts += contents == "one..";
    second_parts += contents == "two..";
  }
  EXPECT_EQ(first_parts, runs);
  EXPECT_EQ(second_parts, runs);
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "keep me");
  EXPECT_EQ(read_file(dir / ("Unknown Attachment (" + std::to_string(runs + 1) + ").txt")),
            "one..");
}

TEST(RunOptions, EachFailureEndingNamesItsPathAndReasonOnStandardError) {
  TempDir dir;
  write_file(dir / "in.dat", kOneAttachment);
  write_file(dir / "file", "");
  struct Case {
    std::vector<std::string> arguments;
    std::string err;
  };
  const std::vector<Case> cases = {
      {{dir / "missing.dat"}, dir / "missing.dat" + ": " + std::strerror(ENOENT)},
      {{dir.path()}, dir.path() + ": " + std::strerror(EISDIR)},
      {{dir / "in.dat", "q", dir / "absent"},
       dir / "absent/Unknown Attachment.txt" + ": " + std::strerror(ENOENT)},
      {{dir / "in.dat", "q", dir / "file"},
       dir / "file/Unknown Attachment.txt" + ": " + std::strerror(ENOTDIR)},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"kestrox"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    SCOPED_TRACE(::testing::PrintToString(arguments));
    const RunOutcome run = run_kestrox(arguments);
    EXPECT_EQ(run.err, "kestrox: " + c.err + "\n");
    EXPECT_EQ(run.result, 999);
  }
}

// ---------------------------------------------------------------------------------------------
// Where the files go.

TEST(RunOutput, ArgumentWithoutSlashWritesIntoTheWorkingDirectory) {
  TempDir dir;
  write_file(dir / "in.dat", kOneAttachment);
  WorkingDirectory inside(dir.path());
  const RunOutcome run = run_kestrox({"kestrox", "in.dat"});
  EXPECT_EQ(run.out, analysing("in.dat", 20) + unnamed_written("") + "\nExtracted 1 file.\n" +
                         std::string(kPrompt));
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "hello");
}

TEST(RunOutput, RelativeArgumentWritesBesideTheSource) {
  TempDir dir;
  ASSERT_TRUE(fs::create_directory(dir / "mail"));
  write_file(dir / "mail/in.dat", kOneAttachment);
  WorkingDirectory inside(dir.path());
  const RunOutcome run = run_kestrox({"kestrox", "mail/in.dat", "q"});
  EXPECT_EQ(run.out,
            analysing("mail/in.dat", 20) + unnamed_written("mail/") + "\nExtracted 1 file.\n");
  EXPECT_EQ(read_file(dir / "mail/Unknown Attachment.txt"), "hello");
  EXPECT_FALSE(fs::exists(dir / "Unknown Attachment.txt"));
}

TEST(RunOutput, ThirdArgumentNamesTheOutputDirectory) {
  // Given without and with its trailing slash: one slash either way.
  for (const char* suffix : {"", "/"}) {
    SCOPED_TRACE(suffix);
    TempDir dir;
    write_file(dir / "in.dat", kOneAttachment);
    ASSERT_TRUE(fs::create_directory(dir / "out"));
    const RunOutcome run = run_kestrox({"kestrox", dir / "in.dat", "x", dir / "out" + suffix});
    EXPECT_EQ(run.out, analysing(dir / "in.dat", 20) + unnamed_written(dir / "out/") +
                           "\nExtracted 1 file.\n" + std::string(kPrompt));
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_file(dir / "out/Unknown Attachment.txt"), "hello");
    EXPECT_FALSE(fs::exists(dir / "Unknown Attachment.txt"));
  }
}

TEST(RunOutput, EmptyThirdArgumentMeansTheWorkingDirectory) {
  TempDir dir;
  ASSERT_TRUE(fs::create_directory(dir / "mail"));
  ASSERT_TRUE(fs::create_directory(dir / "work"));
  write_file(dir / "mail/in.dat", kOneAttachment);
  WorkingDirectory inside(dir / "work");
  const RunOutcome run = run_kestrox({"kestrox", dir / "mail/in.dat", "q", ""});
  EXPECT_EQ(run.out,
            analysing(dir / "mail/in.dat", 20) + unnamed_written("") + "\nExtracted 1 file.\n");
  EXPECT_EQ(read_file(dir / "work/Unknown Attachment.txt"), "hello");
}

TEST(RunOutput, MissingOutputDirectoryFailsAtTheFirstWrite) {
  TempDir dir;
  write_file(dir / "in.dat", kOneAttachment);
  const RunOutcome run = run_kestrox({"kestrox", dir / "in.dat", "x", dir / "absent"});
  EXPECT_EQ(run.out, analysing(dir / "in.dat", 20) + unnamed_written(dir / "absent/") +
                         "File error - Cannot open file for writing\n" + std::string(kPrompt));
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 999);
}

// ---------------------------------------------------------------------------------------------
// No argument: winmail.dat in the working directory, else beside the program.

TEST(RunDefaultSource, WinmailInTheWorkingDirectory) {
  TempDir dir;
  write_file(dir / "winmail.dat", kOneAttachment);
  WorkingDirectory inside(dir.path());
  const RunOutcome run = run_kestrox({std::string(kNowhereProgram)});
  EXPECT_EQ(run.out, analysing(dir / "winmail.dat", 20) + unnamed_written(dir.path() + "/") +
                         "\nExtracted 1 file.\n" + std::string(kPrompt));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "hello");
}

TEST(RunDefaultSource, WorkingDirectoryWinsOverTheProgramsDirectory) {
  TempDir work;
  TempDir program;
  write_file(work / "winmail.dat", kOneAttachment);
  write_file(program / "winmail.dat", raw_tnef({"other", "files"}));
  WorkingDirectory inside(work.path());
  const RunOutcome run = run_kestrox({program / "kestrox"});
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(run.out.substr(0, analysing(work / "winmail.dat", 20).size()),
            analysing(work / "winmail.dat", 20));
  EXPECT_EQ(entries_of(program.path()), std::vector<std::string>{"winmail.dat"});
}

TEST(RunDefaultSource, FallsBackToTheProgramsDirectory) {
  TempDir work;
  TempDir program;
  write_file(program / "winmail.dat", kOneAttachment);
  WorkingDirectory inside(work.path());
  const RunOutcome run = run_kestrox({program / "kestrox"});
  EXPECT_EQ(run.out, analysing(program / "winmail.dat", 20) +
                         unnamed_written(program.path() + "/") + "\nExtracted 1 file.\n" +
                         std::string(kPrompt));
  EXPECT_EQ(run.result, 1);
  EXPECT_EQ(read_file(program / "Unknown Attachment.txt"), "hello");
  EXPECT_EQ(entries_of(work.path()), std::vector<std::string>{});
}

TEST(RunDefaultSource, DirectoryNamedWinmailInTheWorkingDirectoryIsPassedOver) {
  TempDir work;
  TempDir program;
  ASSERT_TRUE(fs::create_directory(work / "winmail.dat"));
  write_file(program / "winmail.dat", kOneAttachment);
  WorkingDirectory inside(work.path());
  const RunOutcome run = run_kestrox({program / "kestrox"});
  EXPECT_EQ(run.out, analysing(program / "winmail.dat", 20) +
                         unnamed_written(program.path() + "/") + "\nExtracted 1 file.\n" +
                         std::string(kPrompt));
  EXPECT_EQ(run.result, 1);
}

TEST(RunDefaultSource, MissingBesideTheProgramToo) {
  TempDir work;
  TempDir program;
  WorkingDirectory inside(work.path());
  const RunOutcome run = run_kestrox({program / "kestrox"});
  EXPECT_EQ(run.out, "Analysing file " + (program / "winmail.dat") + std::string(kCannotFind) +
                         std::string(kPrompt));
  EXPECT_EQ(run.keys_read, 1);
  EXPECT_EQ(run.result, 999);
}

// On POSIX a program started through the search path has no '/' in argument 0, which then says
// nothing of where the program lies: the running executable's own directory is used.
TEST(RunDefaultSource, ProgramPathWithoutSlashIsTheRunningExecutablesDirectory) {
  TempDir work;
  WorkingDirectory inside(work.path());
  std::string executable;
  ASSERT_TRUE(running_executable_path(executable));
  const std::string beside = executable.substr(0, executable.rfind('/')) + "/winmail.dat";
  if (fs::exists(beside)) GTEST_SKIP() << beside << " exists";
  const RunOutcome run = run_kestrox({"kestrox"});
  EXPECT_EQ(run.out, "Analysing file " + beside + std::string(kCannotFind) + std::string(kPrompt));
}

// Elsewhere, as on Windows, it is cut at its last 'K', else its last 'k', else kept whole and
// marked with "#". The paths are Windows ones, names in the working directory here.
TEST(RunDefaultSource, ProgramPathWithoutSeparatorIsCutAtTheLetterK) {
  struct Case {
    const char* program;
    const char* directory;  // "" when it is cut to nothing
    const char* mark;
  };
  for (const Case& c : {Case{"binKestrox", "bin", ""}, Case{"tools-kestrox", "tools-", ""},
                        Case{"MyKit-kestrox", "My", ""}, Case{"prog", "prog", "#"},
                        Case{"Kestrox", "", ""}}) {
    SCOPED_TRACE(c.program);
    TempDir work;
    const std::string directory = std::string(c.directory) + "\\";
    if (*c.directory != '\0') write_file(work / directory + "winmail.dat", kOneAttachment);
    WorkingDirectory inside(work.path());
    const RunOutcome run = run_kestrox({c.program}, false, PathStyle::kWindows);
    if (*c.directory == '\0') {
      EXPECT_EQ(run.out, "Analysing file \\winmail.dat" + std::string(kCannotFind) +
                             std::string(kPrompt));
      continue;
    }
    EXPECT_EQ(run.out, c.mark + analysing(directory + "winmail.dat", 20) +
                           unnamed_written(directory) + "\nExtracted 1 file.\n" +
                           std::string(kPrompt));
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(read_file(work / directory + "Unknown Attachment.txt"), "hello");
  }
}

}  // namespace
}  // namespace kestrox
