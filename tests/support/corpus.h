// The shared sample corpus beside the source tree: where it is, and its TNEF streams.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/tnef_builder.h"

namespace kestrox::testing {

// The corpus folder, or an empty path when the tree was built without the shared folder beside it
// or the folder is not there.
std::filesystem::path corpus_dir();

// Skips the running test, with its reason, when the corpus is not there.
#define REQUIRE_SAMPLE_CORPUS()                 \
  if (::kestrox::testing::corpus_dir().empty()) \
  GTEST_SKIP() << "no sample corpus next to the source tree"

// One TNEF stream of the corpus: a raw sample as it is, or the decoded application/ms-tnef part of
// a MIME sample. `name` is "raw/NAME" or "mime/NAME", as the corpus tables name them.
struct CorpusStream {
  std::string name;
  ByteVector bytes;
};
std::vector<CorpusStream> corpus_streams();

// The rows of one of the corpus's tab-separated tables, its header left out.
std::vector<std::vector<std::string>> corpus_table(const std::string& file_name);

}  // namespace kestrox::testing
