// Reading the shared sample corpus for the suites that check against real files.
#include "support/corpus.h"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "support/mime_builder.h"

namespace kestrox::testing {

namespace fs = std::filesystem;

namespace {

// The base64 body of the application/ms-tnef part, decoded.
ByteVector tnef_part_of(std::string_view message) {
  const std::size_t type = message.find("application/ms-tnef");
  if (type == std::string_view::npos) return {};
  const std::size_t blank = std::min(message.find("\n\r\n", type), message.find("\n\n", type));
  if (blank == std::string_view::npos) return {};
  const std::size_t body = message.find('\n', blank + 1) + 1;
  const std::size_t body_end = message.find("\n--", body);
  return decode_base64_text(message.substr(body, body_end - body));
}

}  // namespace

fs::path corpus_dir() {
#ifdef KESTROX_SHARED_DIR
  const fs::path corpus = fs::path(KESTROX_SHARED_DIR) / "corpus";
  if (fs::is_directory(corpus / "raw") && fs::is_directory(corpus / "mime")) return corpus;
#endif
  return {};
}

std::vector<CorpusStream> corpus_streams() {
  std::vector<CorpusStream> streams;
  const fs::path corpus = corpus_dir();
  if (corpus.empty()) return streams;
  for (const char* folder : {"raw", "mime"}) {
    for (const auto& entry : fs::directory_iterator(corpus / folder)) {
      CorpusStream stream{std::string(folder) + "/" + entry.path().filename().string(),
                          read_file(entry.path().string())};
      if (std::string_view(folder) == "mime") {
        stream.bytes = tnef_part_of(std::string(stream.bytes.begin(), stream.bytes.end()));
      }
      streams.push_back(std::move(stream));
    }
  }
  std::sort(streams.begin(), streams.end(),
            [](const CorpusStream& a, const CorpusStream& b) { return a.name < b.name; });
  return streams;
}

std::vector<std::vector<std::string>> corpus_table(const std::string& file_name) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(corpus_dir() / file_name);
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::vector<std::string> fields;
    std::stringstream split(line);
    for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
    rows.push_back(std::move(fields));
  }
  return rows;
}

}  // namespace kestrox::testing
