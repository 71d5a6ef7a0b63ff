// Writes the inputs of the whole-run benchmark: large raw TNEF files, the same as base64 and
// quoted-printable MIME messages, and a file of many small attachments.
//
//   kestrox_bench_inputs DIR
#include <cstdio>
#include <string>
#include <vector>

#include "support/mime_builder.h"
#include "support/tnef_builder.h"

namespace {

using kestrox::testing::ByteVector;

constexpr std::size_t kMiB = std::size_t{1} << 20;

// `total` bytes in all, held by `count` attachments of equal size.
ByteVector raw_of(std::size_t total, std::size_t count) {
  constexpr std::size_t kOverheadEach = 256;  // records and properties around each attachment
  const std::vector<std::size_t> sizes(count, total / count - kOverheadEach);
  return kestrox::testing::tnef_with_attachments(sizes);
}

bool save(const std::string& path, std::span<const std::uint8_t> bytes) {
  if (!kestrox::testing::write_file(path, bytes)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    return false;
  }
  std::printf("%s: %zu bytes\n", path.c_str(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  using kestrox::testing::as_bytes;
  using kestrox::testing::mime_message;
  using kestrox::testing::TransferEncoding;
  const std::string dir = argv[1];
  bool ok = true;
  for (std::size_t mib : {32, 64, 128, 256}) {
    const ByteVector raw = raw_of(mib * kMiB, 16);
    ok = ok && save(dir + "/raw-" + std::to_string(mib) + ".tnef", raw);
    if (mib == 256) {
      ok = ok && save(dir + "/base64-256.eml",
                      as_bytes(mime_message(raw, TransferEncoding::kBase64)));
      ok = ok && save(dir + "/qp-256.eml",
                      as_bytes(mime_message(raw, TransferEncoding::kQuotedPrintable)));
    }
  }
  ok = ok && save(dir + "/small-64.tnef", raw_of(64 * kMiB, 100000));
  return ok ? 0 : 1;
}
