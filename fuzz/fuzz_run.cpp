// Container decoding, the attachment scan and the writing of every attachment, in a quiet run
// into a sandbox directory: no input may crash, wait for a key, fail a write or leave the sandbox.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "decode/container.h"
#include "exact_block.h"
#include "extract/output.h"
#include "extract/scan.h"
#include "platform/console.h"
#include "platform/host.h"

namespace {

// A quiet run prints but never reads a key: a read is a finding.
class QuietConsole final : public kestrox::Console {
 public:
  void write_out(std::string_view text) override { printed_ += text.size(); }
  void write_err(std::string_view text) override { printed_ += text.size(); }
  void flush() override {}
  int read_key() override {
    std::fprintf(stderr, "a quiet run read a key\n");
    std::abort();
  }
  bool utf8() const override { return false; }

 private:
  std::size_t printed_ = 0;
};

[[noreturn]] void finding(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "%s %s\n", what, detail.c_str());
  std::abort();
}

// sandbox/ holds nothing but out/, the output directory.
struct Sandbox {
  std::string root;
  std::string out;

  Sandbox() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/kestrox-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) finding("cannot make the sandbox", pattern);
    root = pattern;
    out = root + "/out/";
    if (::mkdir(out.c_str(), 0700) != 0) finding("cannot make", out);
  }
  ~Sandbox() {
    count_and_empty();
    ::rmdir(out.c_str());
    ::rmdir(root.c_str());
  }

  // Every entry of out/ must be a regular file; returns how many there were, and removes them.
  int count_and_empty() {
    DIR* dir = ::opendir(out.c_str());
    if (dir == nullptr) finding("the output directory has gone");
    int files = 0;
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (entry->d_type != DT_REG) finding("not a regular file in the output directory:", name);
      if (::unlink((out + name).c_str()) != 0) finding("cannot remove", name);
      ++files;
    }
    ::closedir(dir);
    return files;
  }

  // Nothing but out/ may stand beside the output directory.
  void check_root() {
    DIR* dir = ::opendir(root.c_str());
    if (dir == nullptr) finding("the sandbox has gone");
    while (const dirent* entry = ::readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != ".." && name != "out") {
        finding("written outside the output directory:", name);
      }
    }
    ::closedir(dir);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Sandbox sandbox;
  // The source buffer is exactly as long as the file: a read past it is caught.
  kestrox::fuzz::ExactBlock block(data, size);
  const std::span<std::uint8_t> source = block.bytes();

  QuietConsole console;
  kestrox::ExtractionState state;
  kestrox::OutputTarget target{sandbox.out, true, kestrox::PathStyle::kPosix};
  // Every kind of name, and numbering in place of the question, each on a third of the inputs.
  if (size % 3 != 0) target.characters = kestrox::NameCharacters::kOriginal;
  target.keep_both = size % 3 == 2;
  kestrox::decode_container(source, console);
  const kestrox::Outcome outcome = kestrox::scan_attachments(source, target, console, state);

  // In a sandbox with room, every name fits the file system and every write succeeds.
  if (outcome.failed()) finding("a write failed:", outcome.failure);
  if (state.files_written < 0 || state.files_written > state.files_found) {
    finding("counts out of order");
  }
  sandbox.check_root();
  // A quiet run never overwrites, so every file counted as written is a new file of its own.
  const int files = sandbox.count_and_empty();
  if (files != state.files_written) {
    finding("files on disk differ from files written:",
            std::to_string(files) + " vs " + std::to_string(state.files_written));
  }
  return 0;
}
