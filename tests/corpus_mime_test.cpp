// Real samples in their containers: a MIME message yields the files that its own TNEF part yields
// alone, bare base64 text is not decoded, and every raw sample wrapped in either encoding yields
// the files of the raw run.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"
#include "platform/host.h"
#include "support/mime_builder.h"
#include "support/scripted_console.h"

namespace kestrox {
namespace {

namespace fs = std::filesystem;
using testing::as_bytes;
using testing::ScriptedConsole;
using testing::TransferEncoding;

constexpr std::string_view kNotWinmail =
    "This may not be a valid winmail.dat file - checking for attachments anyway.\n";
constexpr std::string_view kMimeDecoding =
    "This is a MIME message with winmail.dat inside - decoding it.\n";

#ifdef KESTROX_SHARED_DIR
const fs::path kCorpus = fs::path(KESTROX_SHARED_DIR) / "corpus";
#else
const fs::path kCorpus;
#endif

bool have_corpus() { return !kCorpus.empty() && fs::is_directory(kCorpus / "mime"); }

#define REQUIRE_CORPUS()                                     \
  if (!have_corpus())                                        \
  GTEST_SKIP() << "no sample corpus at " << kCorpus.string() \
               << ": these tests read real messages kept beside the source tree, not in it"

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::vector<fs::path> files_in(const fs::path& directory) {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(directory)) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

// A fresh directory under the system's temporary directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "kestrox-corpus-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct RunResult {
  int result = 0;
  std::string out;
  std::map<std::string, std::string> files;  // name -> contents, of every file written
};

// A quiet run in-process on `input`, writing into a fresh directory.
RunResult run_on(const fs::path& input) {
  TempDir output;
  ScriptedConsole console;
  const std::vector<std::string> arguments = {"kestrox", input.string(), "q",
                                              output.path().string() + "/"};
  RunResult result;
  result.result = run(arguments, console, host_path_style());
  result.out = console.out_text();
  for (const fs::path& file : files_in(output.path())) {
    result.files[file.filename().string()] = read_file(file);
  }
  return result;
}

RunResult run_on_bytes(std::string_view bytes, std::string_view name) {
  TempDir input;
  write_file(input.path() / name, bytes);
  return run_on(input.path() / name);
}

std::string describe(const RunResult& run) {
  std::ostringstream text;
  text << "result " << run.result << ", files:";
  for (const auto& [name, contents] : run.files)
    text << " " << name << " (" << contents.size() << ")";
  return text.str();
}

void expect_same_files(const RunResult& got, const RunResult& expected) {
  EXPECT_EQ(got.result, expected.result);
  EXPECT_EQ(got.files.size(), expected.files.size());
  EXPECT_TRUE(got.files == expected.files)
      << "got " << describe(got) << "\nexpected " << describe(expected);
}

// The body of the application/ms-tnef part, base64-decoded by the plain decoder.
std::string tnef_part_of(std::string_view message) {
  const std::size_t type = message.find("application/ms-tnef");
  if (type == std::string_view::npos) return {};
  // The part's headers run from its boundary line to the first empty line.
  const std::size_t headers = message.rfind("\n--", type);
  const std::size_t blank = std::min(message.find("\n\r\n", type), message.find("\n\n", type));
  if (headers == std::string_view::npos || blank == std::string_view::npos) return {};
  const std::string_view part_headers = message.substr(headers, blank - headers);
  EXPECT_NE(part_headers.find("Content-Transfer-Encoding: base64"), std::string_view::npos)
      << part_headers;
  const std::size_t body = message.find('\n', blank + 1) + 1;
  const std::size_t body_end = message.find("\n--", body);
  const std::vector<std::uint8_t> bytes =
      testing::decode_base64_text(message.substr(body, body_end - body));
  return {bytes.begin(), bytes.end()};
}

// Where the sample list says that a message's TNEF part is the same stream as a raw sample.
std::map<std::string, std::string> raw_twins() {
  std::map<std::string, std::string> twins;
  std::istringstream lines(read_file(kCorpus / "SOURCES.tsv"));
  constexpr std::string_view kSame = "decodes to the same bytes as raw/";
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("mime/", 0) != 0) continue;
    const std::size_t same = line.find(kSame);
    if (same == std::string::npos) continue;
    std::string raw = line.substr(same + kSame.size());
    raw = raw.substr(0, raw.find_first_of(" \t\r("));
    twins[line.substr(5, line.find('\t') - 5)] = raw;
  }
  return twins;
}

TEST(CorpusMime, MessagesYieldTheFilesOfTheirTnefPart) {
  REQUIRE_CORPUS();
  const std::map<std::string, std::string> twins = raw_twins();
  EXPECT_GE(twins.size(), 4u);
  const std::vector<fs::path> messages = files_in(kCorpus / "mime");
  ASSERT_FALSE(messages.empty());
  for (const fs::path& message : messages) {
    const std::string name = message.filename().string();
    SCOPED_TRACE(name);
    const std::string part = tnef_part_of(read_file(message));
    ASSERT_GE(part.size(), 4u);
    EXPECT_EQ(part.substr(0, 4), "\x78\x9F\x3E\x22");
    if (const auto twin = twins.find(name); twin != twins.end()) {
      EXPECT_TRUE(part == read_file(kCorpus / "raw" / twin->second)) << twin->second;
    }
    const RunResult whole = run_on(message);
    EXPECT_NE(whole.out.find(kMimeDecoding), std::string::npos);
    expect_same_files(whole, run_on_bytes(part, "winmail.dat"));
  }
}

TEST(CorpusMime, BareBase64TextIsNotDecoded) {
  REQUIRE_CORPUS();
  const std::vector<fs::path> samples = files_in(kCorpus / "b64");
  ASSERT_FALSE(samples.empty());
  for (const fs::path& sample : samples) {
    SCOPED_TRACE(sample.filename().string());
    const RunResult run = run_on(sample);
    EXPECT_NE(run.out.find(kNotWinmail), std::string::npos);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.files.empty()) << describe(run);
  }
}

struct Wrapping {
  const char* what;
  TransferEncoding encoding;
  std::string_view boundary;
};

// A boundary with '=' ends a base64 stream that has no pad of its own; one without lets the
// decoding run on through the boundary line to the buffer's end.
constexpr Wrapping kWrappings[] = {
    {"quoted-printable", TransferEncoding::kQuotedPrintable, testing::kDefaultBoundary},
    {"base64", TransferEncoding::kBase64, testing::kDefaultBoundary},
    {"base64, boundary without '='", TransferEncoding::kBase64, "_000_KX0PR09MB2770A1B2eurp_"},
};

// Samples whose wrapped runs differ from the raw run, and why.
struct Exception {
  std::string_view sample;
  TransferEncoding encoding;
  std::string_view line;  // the container line of the wrapped run
  std::string_view reason;
};

constexpr Exception kExceptions[] = {
    {"teamwork_badchecksum.tnef", TransferEncoding::kBase64,
     "This is a MIME message - you can use WinZip or UUDeview to decode it.\n",
     "its fourth signature byte is 0x32, so its base64 form begins \"eJ8+M\", not \"eJ8+I\": the "
     "stream is not found and nothing is decoded"},
};

const Exception* exception_for(std::string_view sample, TransferEncoding encoding) {
  for (const Exception& exception : kExceptions) {
    if (exception.sample == sample && exception.encoding == encoding) return &exception;
  }
  return nullptr;
}

TEST(CorpusMime, RawSamplesWrappedInMimeYieldTheSameFiles) {
  REQUIRE_CORPUS();
  const std::vector<fs::path> samples = files_in(kCorpus / "raw");
  ASSERT_FALSE(samples.empty());
  for (const fs::path& sample : samples) {
    const std::string name = sample.filename().string();
    const std::string tnef = read_file(sample);
    const RunResult raw = run_on(sample);
    for (const Wrapping& wrapping : kWrappings) {
      SCOPED_TRACE(name + " as " + wrapping.what);
      const std::string message =
          testing::mime_message(as_bytes(tnef), wrapping.encoding, wrapping.boundary);
      const RunResult wrapped = run_on_bytes(message, "message.eml");
      if (const Exception* exception = exception_for(name, wrapping.encoding)) {
        EXPECT_FALSE(wrapped.files == raw.files && wrapped.result == raw.result)
            << "listed as an exception but runs the same: " << exception->reason;
        EXPECT_NE(wrapped.out.find(exception->line), std::string::npos) << exception->reason;
        continue;
      }
      expect_same_files(wrapped, raw);
    }
  }
}

// No sample in the corpus ends inside a record, so one is cut here. Decoding never changes the
// buffer's length, and the scan reads on past the decoded stream into the message's own bytes:
// a last record cut short, which the raw run passes over, is then complete in the buffer and is
// written, its missing tail made up of the encoded text that follows the decoded stream.
TEST(CorpusMime, AStreamCutInsideItsLastRecordIsMadeUpFromTheMessage) {
  REQUIRE_CORPUS();
  const std::string tnef = read_file(kCorpus / "raw" / "vt_two-files.tnef");
  const std::string att_attach_data("\x02\x0F\x80\x06\x00", 5);
  const std::size_t last = tnef.rfind(att_attach_data);
  ASSERT_NE(last, std::string::npos);
  const std::uint32_t length =
      static_cast<std::uint8_t>(tnef[last + 5]) | static_cast<std::uint8_t>(tnef[last + 6]) << 8 |
      static_cast<std::uint8_t>(tnef[last + 7]) << 16 |
      static_cast<std::uint32_t>(static_cast<std::uint8_t>(tnef[last + 8])) << 24;
  ASSERT_EQ(length, 893u);  // README
  const std::size_t data = last + 9;
  const std::string cut = tnef.substr(0, data + length - 20);

  const RunResult raw = run_on_bytes(cut, "winmail.dat");
  ASSERT_EQ(raw.files.size(), 1u) << describe(raw);
  ASSERT_EQ(raw.files.count("README"), 0u);
  for (const Wrapping& wrapping : kWrappings) {
    SCOPED_TRACE(wrapping.what);
    const RunResult wrapped = run_on_bytes(
        testing::mime_message(as_bytes(cut), wrapping.encoding, wrapping.boundary), "message.eml");
    EXPECT_EQ(wrapped.result, 2);
    ASSERT_EQ(wrapped.files.count("README"), 1u) << describe(wrapped);
    const std::string& readme = wrapped.files.at("README");
    ASSERT_EQ(readme.size(), length);
    EXPECT_EQ(readme.substr(0, length - 20), cut.substr(data));
    EXPECT_NE(readme.substr(length - 20), tnef.substr(data + length - 20, 20));
    EXPECT_EQ(wrapped.files.at("AUTHORS"), raw.files.at("AUTHORS"));
  }
}

}  // namespace
}  // namespace kestrox
