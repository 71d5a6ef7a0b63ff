// Damaged real files and crafted worst cases, each through a whole quiet run into a fresh output
// directory: every run ends through one of the two endings (ctest's timeout catches a hang), with
// every file it counts on disk and nothing written beside the output directory.
//
// Counts: each file of the shared corpus (raw TNEF, MIME messages, bare base64) is cut at 64
// evenly spaced lengths (0 included, the whole file not), and has one bit flipped at each of
// kFlipsPerFile seeded positions, half of them in the length fields of records and name
// properties, half anywhere. Each flip is a variant of its own, except in the larger files, whose
// flips are grouped so that no file costs more than about kBytesPerFile of variants. With the
// corpus of 52 files (12 MB) that is 3328 truncated and 11437 flipped variants, each a whole run:
// about 15 s in a Release build and about a minute under ASan and UBSan.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"
#include "bytes/patterns.h"
#include "platform/host.h"
#include "support/scripted_console.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

namespace fs = std::filesystem;
using testing::ByteVector;
using testing::ScratchDirectory;
using testing::ScriptedConsole;

constexpr int kTruncations = 64;
constexpr int kFlipsPerFile = 256;
constexpr std::size_t kBytesPerFile = std::size_t{64} << 20;

// A sandbox: the variant file and the output directory side by side, nothing else.
class Sandbox {
 public:
  Sandbox() : source_(dir_ / "variant"), out_(dir_ / "out") {}

  // One whole quiet run of `bytes`; adds a failure (with `what`) for every rule broken. Returns
  // the result value.
  int run_variant(std::span<const std::uint8_t> bytes, const std::string& what) {
    SCOPED_TRACE(what);
    std::error_code ignored;
    fs::remove_all(out_, ignored);
    fs::create_directory(out_);
    if (!testing::write_file(source_, bytes)) {
      ADD_FAILURE() << "cannot write the variant";
      return -1;
    }

    ScriptedConsole console;
    const std::vector<std::string> args = {"kestrox", source_, "q", out_ + "/"};
    const int result = run(args, console, PathStyle::kPosix);

    EXPECT_EQ(console.keys_read(), 0);
    EXPECT_EQ(console.out_text().find("Press a key"), std::string::npos);
    const std::string& out = console.out_text();
    if (result == kFailureResult) {
      // The only failures a loaded file can meet are the two write failures.
      const bool write_failure = out.ends_with("File error - Cannot open file for writing\n") ||
                                 out.ends_with("File error - wrote wrong length\n");
      EXPECT_TRUE(write_failure) << out.substr(out.size() > 300 ? out.size() - 300 : 0);
    } else {
      EXPECT_GE(result, 0);
      // Quiet runs never overwrite, so each file counted as written is a file of its own.
      EXPECT_EQ(regular_files_in(out_), result);
      EXPECT_TRUE(out.ends_with("\n"));
    }
    EXPECT_EQ(entries_in(dir_.path()), (std::vector<std::string>{"out", "variant"}));
    return result;
  }

 private:
  static std::vector<std::string> entries_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  // Every entry must be a regular file.
  static int regular_files_in(const std::string& dir) {
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(entry.path()))) << entry.path().filename();
      ++files;
    }
    return files;
  }

  ScratchDirectory dir_;
  std::string source_;
  std::string out_;
};

// --- the corpus ---------------------------------------------------------------------------------

std::string corpus_dir() { return std::string(KESTROX_SHARED_DIR) + "/corpus"; }

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  for (const char* kind : {"raw", "mime", "b64"}) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(corpus_dir() + "/" + kind, error)) {
      if (entry.is_regular_file())
        files.push_back(std::string(kind) + "/" + entry.path().filename().string());
    }
  }
  std::sort(files.begin(), files.end());
  // Without the corpus one empty name stands in, and the test skips.
  if (files.empty()) files.emplace_back();
  return files;
}

std::string test_name(const ::testing::TestParamInfo<std::string>& info) {
  std::string name = info.param.empty() ? "absent" : info.param;
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

ByteVector load(const std::string& relative) {
  return testing::read_file(corpus_dir() + "/" + relative);
}

// Where the length fields stand: of attribute records (the data and title records) and of the
// MAPI name properties.
std::vector<std::size_t> length_field_bytes(std::span<const std::uint8_t> bytes) {
  std::vector<std::size_t> at;
  auto collect = [&](std::span<const std::uint8_t> pattern, std::size_t field) {
    auto from = bytes.begin();
    for (;;) {
      from = std::search(from, bytes.end(), pattern.begin(), pattern.end());
      if (from == bytes.end()) return;
      const std::size_t position = static_cast<std::size_t>(from - bytes.begin());
      for (std::size_t i = 0; i < 4; ++i) {
        if (position + field + i < bytes.size()) at.push_back(position + field + i);
      }
      ++from;
    }
  };
  collect(kAttAttachData, kRecordLengthOffset);
  collect(kAttAttachTitle, kRecordLengthOffset);
  collect(kPtString8DisplayName, kPropertyLengthOffset);
  collect(kPtString8AttachLongFilename, kPropertyLengthOffset);
  collect(kPtUnicodeDisplayName, kPropertyLengthOffset);
  collect(kPtUnicodeAttachLongFilename, kPropertyLengthOffset);
  return at;
}

struct Flip {
  std::size_t position;
  std::uint8_t mask;
};

// kFlipsPerFile seeded flips, half of them in length fields when the file has any.
std::vector<Flip> seeded_flips(std::span<const std::uint8_t> bytes, const std::string& name) {
  std::mt19937_64 random(std::hash<std::string>{}(name) ^ 0x6b657374726f78ull);
  const std::vector<std::size_t> fields = length_field_bytes(bytes);
  std::vector<Flip> flips;
  for (int i = 0; i < kFlipsPerFile; ++i) {
    const bool in_field = !fields.empty() && i % 2 == 0;
    const std::size_t position =
        in_field ? fields[random() % fields.size()] : random() % bytes.size();
    flips.push_back({position, static_cast<std::uint8_t>(1u << random() % 8)});
  }
  return flips;
}

// How many flips go into one variant: one, unless the file is so large that single flips would
// cost more than kBytesPerFile.
std::size_t flips_per_variant(std::size_t file_size) {
  const std::size_t variants =
      std::max<std::size_t>(1, kBytesPerFile / std::max<std::size_t>(file_size, 1));
  return std::max<std::size_t>(1, (kFlipsPerFile + variants - 1) / variants);
}

class DamagedCorpus : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (GetParam().empty()) GTEST_SKIP() << "no corpus at " << corpus_dir();
    bytes_ = load(GetParam());
    ASSERT_FALSE(bytes_.empty()) << GetParam();
  }
  ByteVector bytes_;
  Sandbox sandbox_;
};

TEST_P(DamagedCorpus, TruncatedAtEvenlySpacedLengths) {
  for (int i = 0; i < kTruncations && !HasFailure(); ++i) {
    const std::size_t length = bytes_.size() * static_cast<std::size_t>(i) / kTruncations;
    sandbox_.run_variant(std::span(bytes_).first(length),
                         GetParam() + " cut to " + std::to_string(length));
  }
}

TEST_P(DamagedCorpus, BitsFlippedAtSeededPositions) {
  const std::vector<Flip> flips = seeded_flips(bytes_, GetParam());
  const std::size_t group = flips_per_variant(bytes_.size());
  for (std::size_t first = 0; first < flips.size() && !HasFailure(); first += group) {
    ByteVector variant = bytes_;
    std::string what = GetParam();
    what += " flipped at";
    for (std::size_t i = first; i < std::min(flips.size(), first + group); ++i) {
      variant[flips[i].position] ^= flips[i].mask;
      what.append(" ").append(std::to_string(flips[i].position));
      what.append("/").append(std::to_string(flips[i].mask));
    }
    sandbox_.run_variant(variant, what);
  }
}

INSTANTIATE_TEST_SUITE_P(Corpus, DamagedCorpus, ::testing::ValuesIn(corpus_files()), test_name);

// --- worst cases, at a small size ---------------------------------------------------------------

ByteVector bytes_of(std::string_view text) { return ByteVector(text.begin(), text.end()); }

void append(ByteVector& to, std::span<const std::uint8_t> bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

void append_le32(ByteVector& to, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) to.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

TEST(WorstCases, BackToBackDataRecordsWithBadLengths) {
  // Every record is found and rejected, and the scan resumes right behind its length field.
  ByteVector bytes = {0x78, 0x9F, 0x3E, 0x22, 0x01, 0x00};
  for (int i = 0; i < 20000; ++i) {
    append(bytes, kAttAttachData);
    append_le32(bytes, i % 3 == 0 ? 0xFFFFFFFFu : i % 3 == 1 ? 0u : 0x7FFFFFFFu);
  }
  Sandbox sandbox;
  EXPECT_EQ(sandbox.run_variant(bytes, "20000 bad records"), 0);
}

TEST(WorstCases, BackToBackOneByteRecords) {
  // Each record is usable, holds one byte and is named after the default: all are written, the
  // repeated name numbered.
  ByteVector bytes = {0x78, 0x9F, 0x3E, 0x22, 0x01, 0x00};
  for (int i = 0; i < 2000; ++i) {
    append(bytes, kAttAttachData);
    append_le32(bytes, 1);
    bytes.push_back('x');
    bytes.push_back(0);
    bytes.push_back(0);
  }
  Sandbox sandbox;
  EXPECT_EQ(sandbox.run_variant(bytes, "2000 one-byte records"), 2000);
}

TEST(WorstCases, ThousandsOfTitleAndNamePatterns) {
  // Title records and name properties fill the windows that every record's searches cover.
  ByteVector names;
  for (int i = 0; i < 500; ++i) {
    append(names, kAttAttachTitle);
    append_le32(names, 0x7FFFFFFF);
    for (auto pattern : {Pattern(kPtString8DisplayName), Pattern(kPtString8AttachLongFilename),
                         Pattern(kPtUnicodeDisplayName), Pattern(kPtUnicodeAttachLongFilename)}) {
      append(names, pattern);
      append_le32(names, 0xFFFFFFFF);
      append_le32(names, 0xFFFFFFFF);
    }
  }
  ByteVector bytes = {0x78, 0x9F, 0x3E, 0x22, 0x01, 0x00};
  for (int i = 0; i < 30; ++i) {
    append(bytes, names);
    append(bytes, kAttAttachData);
    append_le32(bytes, 16);
    append(bytes, bytes_of("sixteen bytes..."));
  }
  Sandbox sandbox;
  const int written = sandbox.run_variant(bytes, "title and name patterns");
  EXPECT_NE(written, kFailureResult);
}

TEST(WorstCases, QuotedPrintableBodyOfEqualsSigns) {
  ByteVector bytes = bytes_of("Content-Transfer-Encoding: quoted-printable\r\n\r\nx=9F>");
  bytes.resize(bytes.size() + (256 << 10), '=');
  Sandbox sandbox;
  EXPECT_EQ(sandbox.run_variant(bytes, "a body of '='"), 0);
}

TEST(WorstCases, Base64BodyWithoutPad) {
  ByteVector bytes = bytes_of("Content-Transfer-Encoding: base64\r\n\r\neJ8+I");
  for (std::size_t i = 0; i < (256 << 10); ++i) bytes.push_back("AgEPgAY"[i % 7]);
  Sandbox sandbox;
  EXPECT_NE(sandbox.run_variant(bytes, "base64 without '='"), kFailureResult);
}

}  // namespace
}  // namespace kestrox
