// Container detection and the two in-place transfer decoders, every case on bytes that end right
// before an unreadable page.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "decode/base64.h"
#include "decode/container.h"
#include "decode/quoted_printable.h"
#include "platform/cpu.h"
#include "support/guarded_buffer.h"
#include "support/mime_builder.h"
#include "support/scripted_console.h"

namespace kestrox {
namespace {

using namespace std::string_literals;
using testing::as_bytes;
using testing::base64_value;
using testing::GuardedBuffer;
using testing::ScriptedConsole;

constexpr std::string_view kNotWinmail =
    "This may not be a valid winmail.dat file - checking for attachments anyway.\n";
constexpr std::string_view kMimeNoSignature =
    "This is a MIME message - you can use WinZip or UUDeview to decode it.\n";
constexpr std::string_view kMimeDecoding =
    "This is a MIME message with winmail.dat inside - decoding it.\n";
constexpr std::string_view kQuotedNoSignature =
    "This is a MIME quoted message - you can use WinZip to decode it.\n";
constexpr std::string_view kQuotedDecoding =
    "This is a MIME quoted message with winmail.dat inside - decoding it.\n";

const std::string kBase64Header = "Content-Transfer-Encoding: base64";
const std::string kQuotedHeader = "Content-Transfer-Encoding: quoted-printable";
const std::string kTnefSignature = "\x78\x9F\x3E\x22"s;

std::string text_of(std::span<const std::uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

std::string hex_of(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 15];
    hex += ' ';
  }
  return hex;
}

enum class Decoder { kBase64, kQuotedPrintable };

// Runs one decoder on one path over `input` held right before an unreadable page and returns
// what it wrote from the buffer's first byte. Every byte after that must still be the input's own.
std::string decode_guarded_on_path(Decoder decoder, std::string_view input, std::size_t start) {
  GuardedBuffer buffer(input);
  const std::size_t written = decoder == Decoder::kBase64
                                  ? decode_base64_in_place(buffer.bytes(), start)
                                  : decode_quoted_printable_in_place(buffer.bytes(), start);
  const std::string after = text_of(buffer.view());
  EXPECT_LE(written, input.size() - std::min(start, input.size()));
  if (written > after.size()) return after;
  EXPECT_EQ(hex_of(after.substr(written)), hex_of(input.substr(written)))
      << "the bytes after the decoded data changed";
  return after.substr(0, written);
}

// The same on every path this processor can run, from the plain one up: each must give the
// plain path's answer, which is returned.
std::string decode_guarded(Decoder decoder, std::string_view input, std::size_t start) {
  std::string plain;
  for (int level = 0; level <= static_cast<int>(processor_level()); ++level) {
    limit_cpu_level(static_cast<CpuLevel>(level));
    const std::string decoded = decode_guarded_on_path(decoder, input, start);
    if (level == 0) {
      plain = decoded;
    } else {
      EXPECT_EQ(hex_of(decoded), hex_of(plain)) << "vector path " << level << " differs";
    }
  }
  limit_cpu_level(processor_level());
  return plain;
}

std::string decode_qp(std::string_view input, std::size_t start = 0) {
  return decode_guarded(Decoder::kQuotedPrintable, input, start);
}

std::string decode_b64(std::string_view input, std::size_t start = 0) {
  return decode_guarded(Decoder::kBase64, input, start);
}

// --- Quoted-printable -------------------------------------------------------------------------

struct QuotedCase {
  const char* what;
  std::string input;    // as it stands after the signature
  std::string written;  // what the decoder writes for it
  bool only_at_end;     // its meaning depends on being the last bytes of the buffer
};

const std::vector<QuotedCase>& quoted_cases() {
  static const std::vector<QuotedCase> cases = {
      {"capital hex escape", "=41", "A", false},
      {"escaped CR LF", "=0D=0A", "\r\n", false},
      {"soft line break CR LF", "ab=\r\ncd", "abcd", false},
      {"soft line break LF", "ab=\ncd", "abcd", false},
      {"lower-case hex is not an escape", "=3d", "3d", false},
      {"lower-case second digit", "=0a", "0a", false},
      {"lower-case first digit", "=a0", "a0", false},
      {"not a hex digit", "=G", "G", false},
      {"second '=' starts a new escape", "==41", "A", false},
      {"high byte skipped, x kept", "=\x80x", "x", false},
      {"two high bytes skipped", "=\xFF\x80x", "x", false},
      {"at most two low bytes skipped", "=\r\n\r", "\r", false},
      {"three low bytes, third written", "=\x00\x1F\x01"s, "\x01", false},
      {"a skipped byte then a new escape", "=\x80=41", "A", false},
      {"DEL is neither low nor high", "=\x7F", "\x7F", false},
      {"space is not skipped", "= x", " x", false},
      {"one hex digit then a letter", "=4G", "4G", false},
      {"one hex digit then an escape", "=4=41", "4A", false},
      {"every byte value can be escaped", "=00=FF=9F", "\x00\xFF\x9F"s, false},
      {"plain bytes pass as they stand", "a b\tc\r\n\x01\xE9", "a b\tc\r\n\x01\xE9", false},
      {"'=' as the last byte", "abc=", "abc", true},
      {"'==' at the end", "==", "", true},
      {"'=4' at the end", "=4", "4", true},
      {"'=A' at the end", "=A", "A", true},
      {"'=' CR at the end", "=\r", "", true},
      {"'=' CR LF at the end", "=\r\n", "", true},
      {"'=' high byte at the end", "=\x80", "", true},
  };
  return cases;
}

TEST(QuotedPrintableDecoding, EachRuleAtTheBufferEndAndBeforeMoreText) {
  const std::string signature = "x=9F>";
  for (const QuotedCase& c : quoted_cases()) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(hex_of(decode_qp(signature + c.input)), hex_of("x\x9F>" + c.written));
    if (!c.only_at_end) {
      // Decoding never stops at the end of the body: what follows is passed through too.
      EXPECT_EQ(hex_of(decode_qp(signature + c.input + "\r\n--b--\r\n")),
                hex_of("x\x9F>" + c.written + "\r\n--b--\r\n"));
    }
  }
}

TEST(QuotedPrintableDecoding, WritesFromTheFirstByteAndKeepsTheRest) {
  const std::string header = kQuotedHeader + "\r\n\r\n";
  const std::string body = "x=9F>\"=01=\r\n=02=03\r\n--b=_1--\r\n";
  const std::string input = header + body;
  GuardedBuffer buffer(input);
  const std::size_t written = decode_quoted_printable_in_place(buffer.bytes(), header.size());
  // "=_1" in the boundary is no escape: '_' is taken again as an ordinary byte.
  const std::string expected_decoded = "x\x9F>\"\x01\x02\x03\r\n--b_1--\r\n"s;
  ASSERT_EQ(written, expected_decoded.size());
  EXPECT_EQ(hex_of(text_of(buffer.view())),
            hex_of(expected_decoded + input.substr(expected_decoded.size())));
}

TEST(QuotedPrintableDecoding, RunsOfSoftLineBreaksAroundAFewBytes) {
  // Stretches that give no byte at all, long enough for the vector paths, with the decoded data
  // ending anywhere in a block: the bytes after it must still be the file's own.
  std::string breaks;
  for (int i = 0; i < 30; ++i) breaks += "=\r\n";
  for (std::size_t before = 0; before < breaks.size(); before += 3) {
    for (std::size_t kept = 0; kept < 20; ++kept) {
      const std::string data(kept, 'q');
      EXPECT_EQ(decode_qp(breaks.substr(0, before) + data + breaks + "=41"), data + "A");
    }
  }
}

TEST(QuotedPrintableDecoding, StartAtTheBufferEndWritesNothing) {
  EXPECT_EQ(decode_qp("abc", 3), "");
  EXPECT_EQ(decode_qp("", 0), "");
  EXPECT_EQ(decode_qp("ab=", 2), "");
  EXPECT_EQ(decode_qp("ab=4", 2), "4");
}

// --- base64 -------------------------------------------------------------------------------------

TEST(Base64Decoding, FinalGroups) {
  // "eJ8+" gives 78 9F 3E; the last group gives what its characters hold.
  EXPECT_EQ(hex_of(decode_b64("eJ8+Ig==")), hex_of(kTnefSignature));
  EXPECT_EQ(hex_of(decode_b64("eJ8+IgA=")), hex_of(kTnefSignature + "\x00"s));
  EXPECT_EQ(hex_of(decode_b64("eJ8+IgAA")), hex_of(kTnefSignature + "\x00\x00"s));
  // One character alone holds no whole byte.
  EXPECT_EQ(hex_of(decode_b64("eJ8+I")), hex_of("\x78\x9F\x3E"));
  EXPECT_EQ(hex_of(decode_b64("eJ8+I=")), hex_of("\x78\x9F\x3E"));
  // Groups cut short by the buffer's end, right before the unreadable page.
  EXPECT_EQ(hex_of(decode_b64("eJ8+Ig")), hex_of(kTnefSignature));
  EXPECT_EQ(hex_of(decode_b64("eJ8+IgA")), hex_of(kTnefSignature + "\x00"s));
  EXPECT_EQ(hex_of(decode_b64("eJ8+Ig\r\n")), hex_of(kTnefSignature));
  EXPECT_EQ(hex_of(decode_b64("eJ8+IgA\r\n\r\n")), hex_of(kTnefSignature + "\x00"s));
}

TEST(Base64Decoding, BytesOutsideTheAlphabetDoNotBreakAGroup) {
  const std::string noisy = "e\r\nJ8 +\x00I-g\t\x80\xFF"s + "=";
  EXPECT_EQ(hex_of(decode_b64(noisy)), hex_of(kTnefSignature));
  EXPECT_EQ(hex_of(decode_b64("QU\r\nJD\r\nQU\r\nJD")), hex_of("ABCABC"));
}

TEST(Base64Decoding, LinesOf76WithCrLfDecodeAsOneText) {
  std::mt19937 random(76);
  for (const std::size_t size : {0u, 1u, 2u, 3u, 56u, 57u, 58u, 114u, 1000u, 4096u}) {
    SCOPED_TRACE(size);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    const std::string text = testing::base64_lines(as_bytes(data));
    EXPECT_EQ(hex_of(decode_b64(text)), hex_of(data));
  }
}

TEST(Base64Decoding, StopsAtTheFirstEqualsSignAfterTheStart) {
  EXPECT_EQ(decode_b64("QUJD=QUJD"), "ABC");
  EXPECT_EQ(decode_b64("QUJDQQ==QUJD"), "ABCA");
  // The start is never tested: a '=' there is passed over as a byte outside the alphabet.
  EXPECT_EQ(decode_b64("=QUJD"), "ABC");
  EXPECT_EQ(decode_b64("QUJD=QUJD", 4), "ABC");
  EXPECT_EQ(decode_b64("QUJD==QUJD", 4), "");
}

TEST(Base64Decoding, WithoutAPadItDecodesOnIntoTheFollowingText) {
  // The boundary's letters belong to the alphabet and are decoded too, up to the buffer's end;
  // the final lone '1' gives nothing.
  EXPECT_EQ(hex_of(decode_b64("eJ8+IgAA\r\n\r\n--boundary_1--\r\n")),
            hex_of("\x78\x9F\x3E\x22\x00\x00\x6E\x8B\xA7\x75\xAA\xF2"s));
  // A boundary with a '=' in it ends the decoding there.
  EXPECT_EQ(hex_of(decode_b64("eJ8+IgAA\r\n------=_NextPart_01\r\n")),
            hex_of(kTnefSignature + "\x00\x00"s));
}

TEST(Base64Decoding, WritesFromTheFirstByteAndKeepsTheRest) {
  const std::string header = kBase64Header + "\r\n\r\n";
  const std::string input = header + "eJ8+IgAB\r\nQUJD\r\n=\r\n--b--\r\n";
  GuardedBuffer buffer(input);
  const std::size_t written = decode_base64_in_place(buffer.bytes(), header.size());
  const std::string decoded = kTnefSignature + "\x00\x01"s + "ABC";
  ASSERT_EQ(written, decoded.size());
  EXPECT_EQ(hex_of(text_of(buffer.view())), hex_of(decoded + input.substr(decoded.size())));
}

TEST(Base64Decoding, StartAtOrNearTheBufferEnd) {
  EXPECT_EQ(decode_b64("QUJD", 4), "");
  EXPECT_EQ(decode_b64("", 0), "");
  EXPECT_EQ(decode_b64("QUJD", 3), "");
  EXPECT_EQ(decode_b64("QUJD", 2), "\x24");
}

// --- Both decoders against the rules, over random input ------------------------------------------

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool low_or_high(unsigned char c) { return c < 0x20 || c >= 0x80; }

// The quoted-printable rules, step by step, into a separate output.
std::string reference_quoted_printable(std::string_view in, std::size_t start) {
  std::string out;
  bool pending = false;
  std::size_t read = start;
  while (read < in.size()) {
    const auto c = static_cast<unsigned char>(in[read]);
    if (!pending) {
      if (c == '=') {
        pending = true;
      } else {
        out += static_cast<char>(c);
      }
      ++read;
      continue;
    }
    pending = false;
    if (read + 1 < in.size() && hex_value(c) >= 0 &&
        hex_value(static_cast<unsigned char>(in[read + 1])) >= 0) {
      out += static_cast<char>(hex_value(c) * 16 +
                               hex_value(static_cast<unsigned char>(in[read + 1])));
      read += 2;
    } else if (low_or_high(c)) {
      ++read;
      if (read < in.size() && low_or_high(static_cast<unsigned char>(in[read]))) ++read;
    }
  }
  return out;
}

// The base64 rules, step by step, into a separate output.
std::string reference_base64(std::string_view in, std::size_t start) {
  std::string out;
  std::vector<std::uint32_t> group;
  std::size_t read = start;
  while (read < in.size()) {
    const int value = base64_value(static_cast<unsigned char>(in[read]));
    if (value >= 0) group.push_back(static_cast<std::uint32_t>(value));
    if (group.size() == 4) {
      const std::uint32_t bits = group[0] << 18 | group[1] << 12 | group[2] << 6 | group[3];
      out += static_cast<char>(bits >> 16 & 0xFF);
      out += static_cast<char>(bits >> 8 & 0xFF);
      out += static_cast<char>(bits & 0xFF);
      group.clear();
    }
    ++read;
    if (read == in.size() || in[read] == '=') break;
  }
  if (group.size() >= 2) {
    const std::uint32_t third = group.size() == 3 ? group[2] : 0;
    const std::uint32_t bits = group[0] << 18 | group[1] << 12 | third << 6;
    out += static_cast<char>(bits >> 16 & 0xFF);
    if (group.size() == 3) out += static_cast<char>(bits >> 8 & 0xFF);
  }
  return out;
}

std::string random_text(std::mt19937& random, std::string_view alphabet, std::size_t size) {
  std::string text(size, '\0');
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  for (char& c : text) c = alphabet[pick(random)];
  return text;
}

std::size_t random_size(std::mt19937& random) {
  // Mostly short inputs, where every case meets the buffer's end; some long enough for the
  // decoders' fast paths.
  return random() % 8 == 0 ? random() % 600 : random() % 24;
}

TEST(DecodersAgainstTheRules, RandomQuotedPrintable) {
  std::mt19937 random(20240229);
  const std::string alphabet = "===0123456789ABCDEFafGx \t\r\n\x00\x1F\x7F\x80\xFF"s;
  for (int i = 0; i < 20000; ++i) {
    const std::string input = random_text(random, alphabet, random_size(random));
    const std::size_t start = random() % (input.size() + 1);
    const std::string expected = reference_quoted_printable(input, start);
    const std::string got = decode_qp(input, start);
    ASSERT_EQ(hex_of(got), hex_of(expected)) << "input " << hex_of(input) << "start " << start;
  }
}

TEST(DecodersAgainstTheRules, RandomBase64) {
  std::mt19937 random(64);
  const std::string alphabet = "AQgwz09+/eJ8I\r\n -_\x00\x80\xFF"s;
  for (int i = 0; i < 20000; ++i) {
    // Vary how often the '=' that ends the decoding turns up.
    std::string input = random_text(random, alphabet, random_size(random));
    const unsigned equals_per_1000 = std::array<unsigned, 3>{0, 20, 200}[random() % 3];
    for (char& c : input) {
      if (random() % 1000 < equals_per_1000) c = '=';
    }
    const std::size_t start = random() % (input.size() + 1);
    const std::string expected = reference_base64(input, start);
    const std::string got = decode_b64(input, start);
    ASSERT_EQ(hex_of(got), hex_of(expected)) << "input " << hex_of(input) << "start " << start;
  }
}

TEST(DecodersAgainstTheRules, DamagedRealisticText) {
  // Encoded text as mail programs write it, with a few bytes overwritten: the decoders' fast
  // paths over long clean runs meet the odd byte anywhere.
  std::mt19937 random(1976);
  const std::string damage = "=\r\n\x00\x80-A4f"s;
  for (int i = 0; i < 3000; ++i) {
    std::string data(random() % 400, '\0');
    for (char& c : data) c = static_cast<char>(random() % 3 == 0 ? random() : 'a' + random() % 26);
    std::string base64_text = testing::base64_lines(as_bytes(data));
    std::string quoted_text = testing::quoted_printable_lines(as_bytes(data));
    for (std::string* text : {&base64_text, &quoted_text}) {
      for (unsigned hits = random() % 4; hits > 0 && !text->empty(); --hits) {
        (*text)[random() % text->size()] = damage[random() % damage.size()];
      }
      const std::size_t start = random() % 5 == 0 ? random() % (text->size() + 1) : 0;
      ASSERT_EQ(hex_of(decode_b64(*text, start)), hex_of(reference_base64(*text, start)))
          << "input " << hex_of(*text) << "start " << start;
      ASSERT_EQ(hex_of(decode_qp(*text, start)), hex_of(reference_quoted_printable(*text, start)))
          << "input " << hex_of(*text) << "start " << start;
    }
  }
}

TEST(DecodersAgainstTheRules, StepsThatMakeRoomDecodeAlike) {
  // Told of each step, on every path, the decoders give the same bytes as in one go, each step
  // starting where the last ended, never writing ahead of what they read; the room made may hold
  // anything (zeros here) before it is written.
  std::mt19937 random(4096);
  std::string data((std::size_t{9} << 20) + 7, '\0');
  for (char& c : data) c = static_cast<char>(random() % 4 == 0 ? random() : 'a' + random() % 26);
  const std::string header(300, 'h');
  for (const bool base64 : {false, true}) {
    SCOPED_TRACE(base64 ? "base64" : "quoted-printable");
    const std::string text = header + (base64 ? testing::base64_lines(as_bytes(data))
                                              : testing::quoted_printable_lines(as_bytes(data)));
    for (int level = 0; level <= static_cast<int>(processor_level()); ++level) {
      SCOPED_TRACE(level);
      limit_cpu_level(static_cast<CpuLevel>(level));
      std::vector<std::uint8_t> whole(text.begin(), text.end());
      std::vector<std::uint8_t> stepped = whole;
      const std::size_t length = base64 ? decode_base64_in_place(whole, header.size())
                                        : decode_quoted_printable_in_place(whole, header.size());
      std::size_t steps = 0;
      std::size_t last_read = 0;
      const DecodeRoom room = [&](std::size_t write, std::size_t read) {
        ++steps;
        EXPECT_LE(write, read);
        EXPECT_GE(read, last_read);
        // Room made: what lies between is never read again, and may be anything until written.
        std::fill(stepped.begin() + static_cast<std::ptrdiff_t>(write),
                  stepped.begin() + static_cast<std::ptrdiff_t>(read), std::uint8_t{0});
        last_read = read;
      };
      const std::size_t stepped_length =
          base64 ? decode_base64_in_place(stepped, header.size(), room)
                 : decode_quoted_printable_in_place(stepped, header.size(), room);
      EXPECT_EQ(stepped_length, length);
      EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(length),
                             stepped.begin()));
      // Base64 below AVX2 decodes in one go; every other path steps through the 12 MiB.
      EXPECT_GE(steps, base64 && level < static_cast<int>(CpuLevel::kAvx2) ? 0u : 3u);
    }
    limit_cpu_level(processor_level());
  }
}

// --- Detection ----------------------------------------------------------------------------------

struct Detected {
  std::string line;    // everything printed
  std::string buffer;  // the buffer afterwards
};

Detected detect(std::string_view input) {
  GuardedBuffer buffer(input);
  ScriptedConsole console;
  decode_container(buffer.bytes(), console);
  EXPECT_EQ(console.err_text(), "");
  EXPECT_EQ(console.keys_read(), 0);
  return {console.out_text(), text_of(buffer.view())};
}

TEST(ContainerDetection, RawTnefIsLeftAsItIs) {
  for (const std::string& input :
       {kTnefSignature, kTnefSignature + "\x01\x06\x90"s,
        kTnefSignature + "\r\n" + kBase64Header + "\r\n\r\neJ8+IgAB\r\n" + kQuotedHeader +
            "\r\n\r\nx=9F>\"\r\n"}) {
    const Detected result = detect(input);
    EXPECT_EQ(result.line, "");
    EXPECT_EQ(hex_of(result.buffer), hex_of(input));
  }
}

TEST(ContainerDetection, EmptyAndShortFilesAreNotRawTnef) {
  for (const std::string& input : {""s, "\x78"s, "\x78\x9F"s, "\x78\x9F\x3E"s, "eJ8"s}) {
    const Detected result = detect(input);
    EXPECT_EQ(result.line, kNotWinmail);
    EXPECT_EQ(hex_of(result.buffer), hex_of(input));
  }
  // Four bytes that differ from the signature in the last one.
  const Detected near = detect("\x78\x9F\x3E\x32"s);
  EXPECT_EQ(near.line, kNotWinmail);
}

TEST(ContainerDetection, NoHeaderMeansNoDecoding) {
  const std::string input = "Subject: x\r\n\r\neJ8+IgAB\r\nx=9F>\"\r\n";
  const Detected result = detect(input);
  EXPECT_EQ(result.line, kNotWinmail);
  EXPECT_EQ(result.buffer, input);
}

TEST(ContainerDetection, Base64HeaderWinsOverQuotedPrintable) {
  // No base64 signature: nothing is decoded, even though the quoted-printable one is there.
  for (const std::string& input :
       {kQuotedHeader + "\r\n\r\nx=9F>\"\r\n" + kBase64Header + "\r\n\r\nAAAA\r\n",
        kBase64Header + "\r\n\r\nAAAA\r\n" + kQuotedHeader + "\r\n\r\nx=9F>\"\r\n"}) {
    const Detected result = detect(input);
    EXPECT_EQ(result.line, kMimeNoSignature);
    EXPECT_EQ(result.buffer, input);
  }
  const std::string both =
      kQuotedHeader + "\r\n\r\nx=9F>\"\r\n" + kBase64Header + "\r\n\r\neJ8+IgAB";
  const Detected result = detect(both);
  EXPECT_EQ(result.line, kMimeDecoding);
  EXPECT_EQ(hex_of(result.buffer.substr(0, 6)), hex_of(kTnefSignature + "\x00\x01"s));
}

TEST(ContainerDetection, HeadersAreMatchedByteForByte) {
  for (const std::string& header :
       {"Content-transfer-Encoding: base64"s, "Content-Transfer-Encoding: BASE64"s,
        "Content-Transfer-Encoding:  base64"s, "Content-Transfer-Encoding:base64"s,
        "content-transfer-encoding: base64"s, "Content-Transfer-Encoding: Base64"s,
        "Content-Transfer-Encoding: quoted-Printable"s,
        "Content-Transfer-Encoding: QUOTED-PRINTABLE"s,
        "Content-Transfer-Encoding:  quoted-printable"s,
        "Content-transfer-encoding: quoted-printable"s,
        "Content-Transfer-Encoding: quoted_printable"s}) {
    SCOPED_TRACE(header);
    const std::string input = header + "\r\n\r\neJ8+IgAB\r\nx=9F>\"\r\n";
    const Detected result = detect(input);
    EXPECT_EQ(result.line, kNotWinmail);
    EXPECT_EQ(result.buffer, input);
  }
}

TEST(ContainerDetection, AHeaderEndingAtTheLastByteIsNotSeen) {
  const std::string base64_body = "eJ8+IgAB\r\n";
  EXPECT_EQ(detect(base64_body + kBase64Header).line, kNotWinmail);
  EXPECT_EQ(detect(base64_body + kBase64Header + "\n").line, kMimeDecoding);

  const std::string quoted_body = "x=9F>\"\r\n";
  EXPECT_EQ(detect(quoted_body + kQuotedHeader).line, kNotWinmail);
  EXPECT_EQ(detect(quoted_body + kQuotedHeader + "\n").line, kQuotedDecoding);

  // An unseen base64 header leaves the quoted-printable one to be found.
  const Detected result = detect(kQuotedHeader + "\r\n\r\n" + quoted_body + kBase64Header);
  EXPECT_EQ(result.line, kQuotedDecoding);
  EXPECT_EQ(hex_of(result.buffer.substr(0, 4)), hex_of(kTnefSignature));
}

TEST(ContainerDetection, SignaturesThatAreNotFound) {
  const std::string base64_message = kBase64Header + "\r\n\r\n";
  // Split by a line break.
  EXPECT_EQ(detect(base64_message + "eJ8+\r\nIgAB\r\n").line, kMimeNoSignature);
  // Ending exactly at the buffer's last byte.
  EXPECT_EQ(detect(base64_message + "eJ8+I").line, kMimeNoSignature);
  EXPECT_EQ(detect(base64_message + "eJ8+I\n").line, kMimeDecoding);

  const std::string quoted_message = kQuotedHeader + "\r\n\r\n";
  EXPECT_EQ(detect(quoted_message + "x=\r\n9F>\"\r\n").line, kQuotedNoSignature);
  EXPECT_EQ(detect(quoted_message + "x=9f>\"\r\n").line, kQuotedNoSignature);
  EXPECT_EQ(detect(quoted_message + "x=9F>").line, kQuotedNoSignature);
  EXPECT_EQ(detect(quoted_message + "x=9F>\"").line, kQuotedDecoding);
}

TEST(ContainerDetection, TheFirstSignatureInTheFileIsUsed) {
  // The signature searches start at the buffer's first byte, not at the header.
  const std::string base64_input = "eJ8+IgAB=\r\n" + kBase64Header + "\r\n\r\neJ8+IgCD==\r\n";
  const Detected base64_result = detect(base64_input);
  EXPECT_EQ(base64_result.line, kMimeDecoding);
  EXPECT_EQ(hex_of(base64_result.buffer),
            hex_of(kTnefSignature + "\x00\x01"s + base64_input.substr(6)));

  const std::string quoted_input = "x=9F>A\r\n" + kQuotedHeader + "\r\n\r\nx=9F>B\r\n";
  const Detected quoted_result = detect(quoted_input);
  EXPECT_EQ(quoted_result.line, kQuotedDecoding);
  EXPECT_EQ(quoted_result.buffer.substr(0, 8), "x\x9F>A\r\n" + kQuotedHeader.substr(0, 2));
}

std::string sample_stream(std::size_t size) {
  std::mt19937 random(static_cast<unsigned>(size));
  std::string stream = kTnefSignature;
  while (stream.size() < size) stream += static_cast<char>(random());
  stream.resize(size);
  return stream;
}

TEST(ContainerDetection, WholeMessagesDecodeToTheStream) {
  for (const std::size_t size : {4u, 5u, 6u, 300u, 301u, 302u, 5000u}) {
    SCOPED_TRACE(size);
    const std::string stream = sample_stream(size);
    for (const auto encoding :
         {testing::TransferEncoding::kBase64, testing::TransferEncoding::kQuotedPrintable}) {
      const std::string message = testing::mime_message(as_bytes(stream), encoding);
      const Detected result = detect(message);
      EXPECT_EQ(result.line,
                encoding == testing::TransferEncoding::kBase64 ? kMimeDecoding : kQuotedDecoding);
      EXPECT_EQ(hex_of(result.buffer.substr(0, size)), hex_of(stream));
      EXPECT_EQ(result.buffer.size(), message.size());
    }
  }
}

// --- The MIME builder itself
// ----------------------------------------------------------------------

TEST(MimeBuilder, LinesKeepTheirLengthAndDecodeBack) {
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes += static_cast<char>(i);
  const std::string data = all_bytes + all_bytes + "trailing space ";
  const std::string quoted_text = testing::quoted_printable_lines(as_bytes(data));
  const std::string base64_text = testing::base64_lines(as_bytes(data));
  for (const std::string* text : {&quoted_text, &base64_text}) {
    std::size_t line_start = 0;
    for (std::size_t end = text->find("\r\n"); end != std::string::npos;
         end = text->find("\r\n", line_start)) {
      EXPECT_LE(end - line_start, 76u);
      line_start = end + 2;
    }
    EXPECT_EQ(line_start, text->size());
  }
  // Escapes in capital hex, never cut by a soft line break, and nothing raw outside printable
  // ASCII.
  for (const char c : quoted_text) {
    const auto byte = static_cast<unsigned char>(c);
    EXPECT_TRUE(byte == '\r' || byte == '\n' || (byte >= 0x20 && byte < 0x7F));
  }
  EXPECT_NE(quoted_text.find("=FF"), std::string::npos);
  EXPECT_NE(quoted_text.find("=3D"), std::string::npos);
  EXPECT_NE(quoted_text.find("space=20\r\n"), std::string::npos);
  EXPECT_EQ(reference_quoted_printable(quoted_text, 0), data + "\r\n");
  EXPECT_EQ(hex_of(text_of(testing::decode_base64_text(base64_text))), hex_of(data));
  EXPECT_EQ(reference_base64(base64_text, 0), data);
}

}  // namespace
}  // namespace kestrox
