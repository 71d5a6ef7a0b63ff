// Whole quiet runs over the real raw TNEF samples: each reaches the normal ending, every file
// written holds the data of one of the sample's attAttachData records, and every attachment that
// Convert::TNEF wrote is among them unless a rule of this program passes it over.
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
     "no attAttachData record: the picture is an OLE object in PR_ATTACH_DATA_OBJ; the peer "
     "wrote 0 bytes"},
    {"mimekit_winmail.tnef", "Picture (Device Independent Bitmap).1",
     "no attAttachData record: OLE object in PR_ATTACH_DATA_OBJ; the peer wrote 0 bytes"},
    {"vt_MAPI_ATTACH_DATA_OBJ.tnef", "VIA Nytt 1402.doc",
     "no attAttachData record: the data is in a property; the peer wrote 0 bytes"},
    {"vt_MAPI_ATTACH_DATA_OBJ.tnef", "VIA Nytt 1402.pdf",
     "no attAttachData record: the data is in a property; the peer wrote 0 bytes"},
    {"vt_MAPI_ATTACH_DATA_OBJ.tnef", "VIA Nytt 14021.htm",
     "no attAttachData record: the data is in a property; the peer wrote 0 bytes"},
    {"vt_MAPI_OBJECT.tnef", "Untitled_Attachment",
     "no attAttachData record: an embedded message object; the peer wrote 0 bytes"},
    {"vt_data-before-name.tnef", "AUTOEXEC.BAT",
     "attAttachData record of length 0, skipped with \" - \"; the peer wrote 0 bytes"},
    {"vt_data-before-name.tnef", "CONFIG.SYS",
     "attAttachData record of length 0, skipped with \" - \"; the peer wrote 0 bytes"},
};

const Exception* exception_for(std::string_view sample, std::string_view name) {
  for (const Exception& e : kExceptions) {
    if (e.sample == sample && e.name == name) return &e;
  }
  return nullptr;
}

// True when `file` is exactly the data of an attAttachData record somewhere in `sample`: the
// record pattern, a length equal to the file's size, and the file's bytes after it.
bool is_record_data_of(const ByteVector& file, const ByteVector& sample) {
  static constexpr std::uint8_t kPattern[] = {0x02, 0x0F, 0x80, 0x06, 0x00};
  auto at = sample.begin();
  while ((at = std::search(at, sample.end(), std::begin(kPattern), std::end(kPattern))) !=
         sample.end()) {
    const std::size_t record = static_cast<std::size_t>(at - sample.begin());
    if (sample.size() - record >= testing::kRecordHeadSize) {
      const std::uint32_t length =
          std::uint32_t{sample[record + 5]} | std::uint32_t{sample[record + 6]} << 8 |
          std::uint32_t{sample[record + 7]} << 16 | std::uint32_t{sample[record + 8]} << 24;
      const std::size_t data = record + testing::kRecordHeadSize;
      if (length == file.size() && sample.size() - data >= file.size() &&
          std::equal(file.begin(), file.end(),
                     sample.begin() + static_cast<std::ptrdiff_t>(data))) {
        return true;
      }
    }
    ++at;
  }
  return false;
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
  if (!have_raw_corpus()) GTEST_SKIP() << "no sample corpus next to the source tree";

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
  for (const auto& row : read_tsv(kCorpus / "peers.tsv")) {
    if (row.size() >= 5 && row[1] == "convert-tnef" && row[0].starts_with("raw/") &&
        row[4] != "-") {
      peer_files[row[0].substr(4)].push_back({row[2], row[4], std::stol(row[3])});
    }
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
      ++outside_walk;  // a record that the strict attribute walk did not reach
      EXPECT_TRUE(is_record_data_of(bytes, sample_bytes))
          << entry.path().filename() << " (" << bytes.size()
          << " bytes) is not the data of any attAttachData record of the sample";
    }
    EXPECT_EQ(result, written);
    if (sample == "mimekit_christmas.tnef") {
      // The same picture twice: the second copy, in a nested TNEF stream, meets the file that the
      // first wrote in this run, and is numbered with the 3 files found before it.
      std::sort(names.begin(), names.end());
      EXPECT_EQ(names,
                (std::vector<std::string>{"Build a train table.txt", "Unknown Attachment.txt",
                                          "kitten-playing-with-a-christmas-tree.jpg",
                                          "kitten-playing-with-a-christmas-tree3.jpg"}));
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
      notes += std::to_string(outside_walk) + " from records the strict walk did not reach";
    }

    char line[256];
    std::snprintf(line, sizeof line, "%-44s %7zu  %7d  %12zu  %s\n", sample.c_str(),
                  record_counts[sample], written, peer_files[sample].size(), notes.c_str());
    table += line;
  }
  EXPECT_EQ(exceptions_used, static_cast<int>(std::size(kExceptions)));
  std::printf("%s", table.c_str());
}

}  // namespace
}  // namespace kestrox
