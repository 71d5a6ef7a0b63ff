// Micro-benchmarks of the hot paths: the two searches, the two decoders, the scan and the
// message's reader and text.
#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <vector>

#include "bytes/patterns.h"
#include "bytes/search.h"
#include "decode/base64.h"
#include "decode/quoted_printable.h"
#include "extract/scan.h"
#include "message/base64_encode.h"
#include "message/text.h"
#include "message/tnef.h"
#include "platform/cpu.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

constexpr std::size_t kLarge = std::size_t{64} << 20;

// Random bytes without the attAttachData pattern's first byte, then that byte planted every
// `every` bytes (0: never), so that the searches find nothing but meet candidates that often.
std::vector<std::uint8_t> haystack(std::size_t size, std::size_t every) {
  std::vector<std::uint8_t> bytes(size);
  std::mt19937 random(42);
  for (auto& byte : bytes) {
    byte = static_cast<std::uint8_t>(random());
    if (byte == kAttAttachData[0]) byte = 0x55;
  }
  if (every != 0) {
    for (std::size_t i = 0; i < size; i += every) bytes[i] = kAttAttachData[0];
  }
  return bytes;
}

void BM_FindBytes(benchmark::State& state) {
  const auto bytes = haystack(kLarge, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(find_bytes(bytes, 0, bytes.size(), kAttAttachData, bytes.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_FindBytes)->Arg(0)->Arg(256)->Arg(16)->ArgName("first_byte_every");

void BM_FindBytesBackward(benchmark::State& state) {
  const auto bytes = haystack(kLarge, static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        find_bytes_backward(bytes, 0, bytes.size(), kAttAttachData, bytes.size()));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_FindBytesBackward)->Arg(0)->Arg(256)->Arg(16)->ArgName("first_byte_every");

// The windows of the title and name searches: 4000 bytes forward, 5800 backward.
void BM_FindBytesWindows(benchmark::State& state) {
  const auto bytes = haystack(std::size_t{1} << 20, 64);
  const std::size_t window = static_cast<std::size_t>(state.range(0));
  const bool backward = state.range(1) != 0;
  std::size_t searched = 0;
  for (auto _ : state) {
    for (std::size_t start = 0; start + window <= bytes.size(); start += window) {
      benchmark::DoNotOptimize(
          backward ? find_bytes_backward(bytes, start, window, kAttAttachTitle, bytes.size())
                   : find_bytes(bytes, start, window, kPtString8DisplayName, bytes.size()));
      searched += window;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(searched));
}
BENCHMARK(BM_FindBytesWindows)->Args({4000, 0})->Args({5800, 1})->ArgNames({"window", "back"});

// Base64 as mail carries it: 76-column lines ending in CR LF.
std::vector<std::uint8_t> base64_text(std::size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::vector<std::uint8_t> text;
  text.reserve(size);
  std::mt19937 random(7);
  while (text.size() + 78 <= size) {
    for (int i = 0; i < 76; ++i)
      text.push_back(static_cast<std::uint8_t>(kAlphabet[random() % 64]));
    text.push_back('\r');
    text.push_back('\n');
  }
  return text;
}

// Quoted-printable of binary data: about one byte in three escaped, soft breaks every 76 columns.
std::vector<std::uint8_t> quoted_printable_text(std::size_t size) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::vector<std::uint8_t> text;
  text.reserve(size);
  std::mt19937 random(9);
  int column = 0;
  while (text.size() + 8 <= size) {
    const auto byte = static_cast<std::uint8_t>(random());
    if (byte >= 33 && byte <= 126 && byte != '=') {
      text.push_back(byte);
      ++column;
    } else {
      text.insert(text.end(), {'=', static_cast<std::uint8_t>(kHex[byte >> 4]),
                               static_cast<std::uint8_t>(kHex[byte & 15])});
      column += 3;
    }
    if (column >= 73) {
      text.insert(text.end(), {'=', '\r', '\n'});
      column = 0;
    }
  }
  return text;
}

constexpr std::size_t kHeader = 256;

template <std::size_t (*Decode)(std::span<std::uint8_t>, std::size_t, const DecodeRoom&)>
void decode_benchmark(benchmark::State& state, const std::vector<std::uint8_t>& encoded) {
  std::vector<std::uint8_t> buffer(encoded.size());
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(buffer.data(), encoded.data(), encoded.size());
    state.ResumeTiming();
    // From past a header's worth of bytes, as in a message.
    benchmark::DoNotOptimize(Decode(buffer, kHeader, nullptr));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * encoded.size()));
}

// The decoders on each path: 0 plain, 1 SSSE3, 2 AVX2, 3 AVX-512 (as far as the processor goes).
bool take_path(benchmark::State& state) {
  const auto level = static_cast<CpuLevel>(state.range(0));
  if (level > processor_level()) {
    state.SkipWithError("not on this processor");
    return false;
  }
  limit_cpu_level(level);
  return true;
}

void BM_DecodeBase64(benchmark::State& state) {
  if (take_path(state)) decode_benchmark<decode_base64_in_place>(state, base64_text(kLarge));
  limit_cpu_level(processor_level());
}
BENCHMARK(BM_DecodeBase64)->DenseRange(0, 3)->ArgName("path");

void BM_DecodeQuotedPrintable(benchmark::State& state) {
  if (take_path(state)) {
    decode_benchmark<decode_quoted_printable_in_place>(state, quoted_printable_text(kLarge));
  }
  limit_cpu_level(processor_level());
}
BENCHMARK(BM_DecodeQuotedPrintable)->DenseRange(0, 3)->ArgName("path");

// The encoder of attached messages' parts: random bytes into 76-column lines ending in CR LF.
void BM_EncodeBase64Lines(benchmark::State& state) {
  const auto bytes = haystack(kLarge, 0);
  std::string out;
  for (auto _ : state) {
    out.clear();
    append_base64_lines(out, bytes);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_EncodeBase64Lines);

// Prints nothing, answers no key.
class SilentConsole final : public Console {
 public:
  void write_out(std::string_view) override {}
  void write_err(std::string_view) override {}
  void flush() override {}
  int read_key() override { return kNoKey; }
  bool utf8() const override { return false; }
};

// The scan over a file of many small attachments, writing every one.
void BM_ScanManySmall(benchmark::State& state) {
  const std::vector<std::size_t> sizes(static_cast<std::size_t>(state.range(0)), 600);
  const testing::ByteVector tnef = testing::tnef_with_attachments(sizes);
  const testing::ScratchDirectory directory;
  SilentConsole console;
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove_all(directory.path());
    std::filesystem::create_directory(directory.path());
    state.ResumeTiming();
    ExtractionState extraction;
    const OutputTarget target{directory.path() + "/", true, PathStyle::kPosix};
    benchmark::DoNotOptimize(scan_attachments(tnef, target, console, extraction).failed());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * tnef.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * sizes.size()));
}
BENCHMARK(BM_ScanManySmall)->Arg(10000)->Unit(benchmark::kMillisecond);

// A file of nothing but attAttachment heads, each with an empty property list, or each with a
// length that runs past the buffer: the scan of property lists stays linear in the file size.
void BM_ScanPropertyListHeads(benchmark::State& state) {
  const std::uint8_t head[] = {0x02, 0x05, 0x90, 0x06, 0x00};
  const std::uint8_t length = state.range(0) == 0 ? 0x00 : 0x7F;
  testing::ByteVector tnef(std::size_t{16} << 20);
  for (std::size_t at = 0; at + 11 <= tnef.size(); at += 11) {
    std::copy(std::begin(head), std::end(head), tnef.begin() + static_cast<std::ptrdiff_t>(at));
    tnef[at + 5] = tnef[at + 6] = tnef[at + 7] = 0;
    tnef[at + 8] = length;
  }
  SilentConsole console;
  for (auto _ : state) {
    ExtractionState extraction;
    const OutputTarget target{"/nonexistent/", true, PathStyle::kPosix};
    benchmark::DoNotOptimize(scan_attachments(tnef, target, console, extraction).failed());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * tnef.size()));
}
BENCHMARK(BM_ScanPropertyListHeads)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("too_long")
    ->Unit(benchmark::kMillisecond);

// The 91 KiB corpus sample of the run benchmarks (a picture and a 24 KB compressed RTF body): the
// stream read and its name and text made, as --message adds them to a run.
void BM_MessageText(benchmark::State& state) {
  const std::filesystem::path sample =
      std::filesystem::path(KESTROX_SOURCE_DIR) / "../shared/corpus/raw/horde_TnefAttachments.tnef";
  const testing::ByteVector bytes = testing::read_file(sample.string());
  if (bytes.empty()) {
    state.SkipWithError("no sample corpus next to the source tree");
    return;
  }
  for (auto _ : state) {
    const std::optional<TnefMessage> message = read_tnef(bytes);
    benchmark::DoNotOptimize(message_name(*message, ""));
    benchmark::DoNotOptimize(message_text(*message));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes.size()));
}
BENCHMARK(BM_MessageText)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace kestrox

BENCHMARK_MAIN();
