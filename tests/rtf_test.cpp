// The message's RTF: decompression ([MS-OXRTFCP]) and the HTML or text it encapsulates.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <string>

#include "message/properties.h"
#include "message/rtf_compressed.h"
#include "message/rtf_encapsulated.h"
#include "message/tnef.h"
#include "support/corpus.h"
#include "support/guarded_buffer.h"
#include "support/mime_builder.h"
#include "support/rtf_builder.h"
#include "support/sha256.h"

namespace kestrox {
namespace {

namespace tb = testing;
using tb::ByteVector;
using tb::CompressedRtfBuilder;

std::string sha256_of(std::string_view text) { return tb::sha256_hex(tb::as_bytes(text)); }

struct DecompressionCase {
  const char* what;
  std::function<ByteVector()> value;
  std::optional<std::string> expected;  // nothing: not a compressed RTF at all
  bool damaged;
};

const DecompressionCase kDecompressions[] = {
    {"literals", [] { return CompressedRtfBuilder().literals("{\\rtf1 hi}").end().bytes(); },
     "{\\rtf1 hi}", false},
    {"a reference into the dictionary's prefix",
     [] { return CompressedRtfBuilder().reference(0, 6).literals(" x}").end().bytes(); },
     "{\\rtf1 x}", false},
    {"a reference overlapping the bytes it writes",
     [] { return CompressedRtfBuilder().literals("ab").reference(207, 7).end().bytes(); },
     "ababababa", false},
    {"a reference to bytes never written reads the dictionary's zeros",
     [] { return CompressedRtfBuilder().literals("a").reference(4000, 3).end().bytes(); },
     std::string("a\0\0\0", 4), false},
    {"the write position wraps around the dictionary",
     [] {
       CompressedRtfBuilder rtf;
       for (int i = 0; i < 300; ++i)
         rtf.literals("x").reference(static_cast<std::uint16_t>((207 + 17 * i) % 4096), 16);
       return rtf.end().bytes();
     },
     std::string(300 * 17, 'x'), false},
    {"a CRC that does not match",
     [] { return CompressedRtfBuilder().literals("{}").end().crc(1).bytes(); }, "{}", true},
    {"RAWSIZE larger than what comes",
     [] { return CompressedRtfBuilder().literals("{}").end().raw_size(3).bytes(); }, "{}", true},
    {"RAWSIZE smaller: the bytes past it are not given",
     [] { return CompressedRtfBuilder().literals("{abc}").end().raw_size(3).bytes(); }, "{ab",
     true},
    {"RAWSIZE inside a reference: what fits is given",
     [] { return CompressedRtfBuilder().reference(0, 17).end().raw_size(5).bytes(); }, "{\\rtf",
     true},
    {"RAWSIZE far beyond what the bytes could give",
     [] { return CompressedRtfBuilder().reference(0, 17).raw_size(0xFFFFFFFF).bytes(); },
     "{\\rtf1\\ansi\\mac\\d", true},
    {"no end marker", [] { return CompressedRtfBuilder().literals("{}").bytes(); }, "{}", true},
    {"a reference cut in half",
     [] {
       ByteVector value = CompressedRtfBuilder().literals("{}").end().bytes();
       value.pop_back();
       return value;
     },
     "{}", true},
    {"COMPSIZE past the value's end",
     [] { return CompressedRtfBuilder().literals("{}").end().compressed_size(100).bytes(); }, "{}",
     true},
    {"COMPSIZE smaller than its header",
     [] { return CompressedRtfBuilder().literals("{}").end().compressed_size(3).bytes(); }, "{}",
     true},
    {"COMPSIZE short of the data: the end marker is left out",
     [] { return CompressedRtfBuilder().literals("{}").end().compressed_size(12 + 3).bytes(); },
     "{}", true},
    {"stored", [] { return tb::stored_rtf("{\\rtf1 plain}"); }, "{\\rtf1 plain}", false},
    {"stored, RAWSIZE larger than the bytes", [] { return tb::stored_rtf("{\\rtf1}", 100); },
     "{\\rtf1}", true},
    {"stored, RAWSIZE smaller", [] { return tb::stored_rtf("{\\rtf1}", 2); }, "{\\", false},
    {"another compression type",
     [] {
       ByteVector value = tb::stored_rtf("{}");
       value[8] = 'X';
       return value;
     },
     std::nullopt, false},
    {"shorter than the header", [] { return ByteVector(15, 0); }, std::nullopt, false},
};

TEST(RtfDecompression, Streams) {
  for (const DecompressionCase& row : kDecompressions) {
    SCOPED_TRACE(row.what);
    const ByteVector value = row.value();
    tb::GuardedBuffer guarded(value);  // a read past the value's end crashes
    const std::optional<DecompressedRtf> rtf = decompress_rtf(guarded.view());
    ASSERT_EQ(rtf.has_value(), row.expected.has_value());
    if (!rtf) continue;
    EXPECT_EQ(rtf->bytes, *row.expected);
    EXPECT_EQ(rtf->damaged, row.damaged);
    // What the data could give, and the 4 KiB dictionary it was written behind.
    EXPECT_LE(rtf->bytes.capacity(), std::max<std::size_t>(9 * value.size(), 15) + 4096);
  }
}

TEST(RtfDecompression, Crc) {
  EXPECT_EQ(rtf_crc32(tb::as_bytes("123456789")), 0x2DFD2D88u);
  EXPECT_EQ(rtf_crc32({}), 0u);
}

// Every prefix of a stream: no read outside it, and damaged unless it holds the end marker.
TEST(RtfDecompression, EveryTruncation) {
  const ByteVector value =
      CompressedRtfBuilder().literals("{\\rtf1 abc").reference(0, 17).literals("}").end().bytes();
  for (std::size_t size = 16; size < value.size(); ++size) {
    tb::GuardedBuffer guarded(Bytes(value).first(size));
    const std::optional<DecompressedRtf> rtf = decompress_rtf(guarded.view());
    ASSERT_TRUE(rtf);
    EXPECT_TRUE(rtf->damaged) << size;
  }
}

// What tnef --save-body --body-pref=R (tnef 1.4.18, run as a black box) wrote for every corpus
// stream with a compressed RTF body; -K for the three whose record checksums it rejects.
struct CorpusRtf {
  std::string_view sample;
  std::size_t length;
  std::string_view sha256;
};
const CorpusRtf kCorpusRtf[] = {
    {"mime/horde_Itip_Reply.eml", 10128,
     "b46c9deba27dfd0010cfad042d0e8442595b1ad48adab5e5ba6e9a09667bacb0"},
    {"mime/horde_tnef_task.eml", 856,
     "5c9ae71e506ee77879941f04496d5f63eec30f581eae41ee7fe72a028a1f56de"},
    {"mime/mimekit_rich-text.eml", 15237,
     "3716ee1ced39726b038a01a003ff26cbef59d5d37d2c65e38a323ee4db9d7901"},
    {"mime/roundcube_tnef3.eml", 443,
     "5dcd1bdee036cc1c7639bca7f7e96355d80a18f9e366b3be672a3112019d4356"},
    {"raw/horde_TnefAttachments.tnef", 23699,
     "a8d7614097382ce6a88a565ad376c29c87357007cc3708f611dccd4387c87ade"},
    {"raw/horde_TnefAttachmentsMultiple.tnef", 11962,
     "9500bfe70109f9734832778ee3ebe58a6d54e3af0af94536c093b0b42361054f"},
    {"raw/horde_TnefMeetingRequest.tnef", 10025,
     "18313d0fcabf44c5db5bf53b1110ef90de40be26fd7330dc0b09e78604b58ea0"},
    {"raw/horde_tnef_vnote.tnef", 841,
     "f859946845a98429c7d8842cb5bf90a05c9b7390587ea56b9afa8cab1cbde6e6"},
    {"raw/horde_winmail2.dat", 10106,
     "62d6e9d72cf45b3bc586a22aa98cc045ba24e493f7f47423761c21a91487d389"},
    {"raw/ktnef_mapi_attach_data_obj.tnef", 2429,
     "e803e31e72d8d36f2528719a632d029806d6cbbdf168013865725b602302b0db"},
    {"raw/ktnef_umlaut-filename.tnef", 10853,
     "e8b1211049b3f64b88c97dcc9e4ad8a347bae6377204354a829b4ada38c3e33a"},
    {"raw/mimekit_christmas.tnef", 15237,
     "3716ee1ced39726b038a01a003ff26cbef59d5d37d2c65e38a323ee4db9d7901"},
    {"raw/mimekit_winmail.tnef", 13412,
     "cad7003a27529058a508e95ef8df485d7e85eaab31bf2a80ef30091e03dd13f2"},
    {"raw/poi_quick-winmail.dat", 25528,
     "81f0340e47351ec2472303af15d31381169b0d9caad489d4b24383eb727671a0"},
    {"raw/tnefparse_IPM-DistList.tnef", 3781,
     "d31f0365e69cdbe576d102a6f074dcaa84c58d797d5bbc1f3d5197e5d5e7171a"},
    {"raw/tnefparse_duplicate_filename.tnef", 2429,
     "e803e31e72d8d36f2528719a632d029806d6cbbdf168013865725b602302b0db"},
    {"raw/tnefparse_umlaut.tnef", 5190,
     "fa3743d4393726cfa2443fbd02c8a3cb6f842b67f74322be47f4e9e37981fd73"},
    {"raw/vt_MAPI_ATTACH_DATA_OBJ.tnef", 2429,
     "e803e31e72d8d36f2528719a632d029806d6cbbdf168013865725b602302b0db"},
    {"raw/vt_MAPI_OBJECT.tnef", 732,
     "095da1917ef2b6c25839ddd215a916605f95d45a4f780736ed6055107be19c71"},
    {"raw/vt_data-before-name.tnef", 163,
     "047bc7915ca95a0273baafc020a51e745a2e68d6f0cc9ba3c326090ff8e7fd8d"},
    {"raw/vt_long-filename.tnef", 1066,
     "2f522487cfb7ad54cea360683d80bca7f6da39e8c1bfa9b723168aa7bca74695"},
    {"raw/vt_missing-filenames.tnef", 1367,
     "507cd565d470dc9cb62d2205d818be0f35658a5b7e0052b557dab6f4b63de4ff"},
    {"raw/vt_multi-value-attribute.tnef", 1796,
     "1feaf9614a5da99b28dc0c6efc0f9ade9d7a07433ed79c8b47484577747de96a"},
    {"raw/vt_rtf.tnef", 593, "285e04e771fe1f1d699d8c7c6ce5d5fcf4dfebf239d9ed002239662e4862bde7"},
    {"raw/vt_triples.tnef", 247,
     "8bbeaeb23fc3a13faaccd850e600d78aa01fce545f0ce9759c66a5a47867e29b"},
    {"raw/ytnef_multi-value-attribute.tnef", 1796,
     "1feaf9614a5da99b28dc0c6efc0f9ade9d7a07433ed79c8b47484577747de96a"},
    {"raw/ytnef_winmail.dat", 443,
     "5dcd1bdee036cc1c7639bca7f7e96355d80a18f9e366b3be672a3112019d4356"},
};

TEST(RtfDecompression, CorpusBodiesAsTnefWritesThem) {
  REQUIRE_SAMPLE_CORPUS();
  std::map<std::string_view, const CorpusRtf*> expected;
  for (const CorpusRtf& row : kCorpusRtf) expected[row.sample] = &row;
  std::size_t checked = 0;
  for (const tb::CorpusStream& stream : tb::corpus_streams()) {
    SCOPED_TRACE(stream.name);
    const std::optional<TnefMessage> message = read_tnef(stream.bytes);
    const std::optional<Bytes> value =
        message ? property_bytes(message->properties.find(kPrRtfCompressed)) : std::nullopt;
    if (!value) continue;
    const std::optional<DecompressedRtf> rtf = decompress_rtf(*value);
    ASSERT_TRUE(rtf);
    if (stream.name == "raw/qu_invalid-checksum.tnef") {
      // vt_rtf.tnef with one byte of its compressed RTF changed: tnef stops there.
      EXPECT_TRUE(rtf->damaged);
      EXPECT_EQ(rtf->bytes.size(), 593u);
      continue;
    }
    const auto row = expected.find(stream.name);
    ASSERT_NE(row, expected.end());
    EXPECT_FALSE(rtf->damaged);
    EXPECT_EQ(rtf->bytes.size(), row->second->length);
    EXPECT_EQ(sha256_of(rtf->bytes), row->second->sha256);
    ++checked;
  }
  EXPECT_EQ(checked, std::size(kCorpusRtf));
}

// A header that declares HTML, with fonts in Windows-1252 (0), Windows-1251 (1), the document's
// code page (2: no \fcharset) and Shift JIS (3).
#define HTML_HEADER                                                                            \
  "{\\rtf1\\ansi\\ansicpg1252\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fswiss\\fcharset0 Arial;}"    \
  "{\\f1\\fnil\\fcharset204 Arial Cyr;}{\\f2\\fnil Mincho;}{\\f3\\fnil\\fcharset128 Gothic;}}" \
  "{\\colortbl\\red0\\green0\\blue0;}"

struct DeencapsulationCase {
  const char* what;
  std::string_view rtf;
  std::optional<EncapsulatedKind> kind;
  std::string_view expected;
};

// Where the rows agree with rtf-stream-parser 3.8 (npm, run as a black box) their expected text is
// what it gave; the rows marked "differs" are those where it gives something else, and why.
const DeencapsulationCase kDeencapsulations[] = {
    {"tags, and the text between them outside \\htmlrtf spans",
     HTML_HEADER "{\\*\\htmltag19 <html>}{\\*\\htmltag50 <body>}\\htmlrtf {\\b\\htmlrtf0 Hi "
                 "{\\*\\htmltag84 <b>}\\htmlrtf {\\b \\htmlrtf0 there\\htmlrtf }\\htmlrtf0"
                 "{\\*\\htmltag92 </b>}\\htmlrtf\\par\\htmlrtf0}\\htmlrtf0{\\*\\htmltag58 </body>}"
                 "{\\*\\htmltag27 </html>}}",
     EncapsulatedKind::kHtml, "<html><body>Hi <b>there</b></body></html>"},
    {"\\par, \\tab and escaped braces inside a tag",
     HTML_HEADER "{\\*\\htmltag241 <style>\\par p \\{x:1;\\}\\par\\tab q\\\\r</style>}}",
     EncapsulatedKind::kHtml, "<style>\r\np {x:1;}\r\n\tq\\r</style>"},
    {"\\'xx by the current font's charset, back to the outer font after a group",
     HTML_HEADER "\\f1 \\'cf\\'f0\\'e8 \\f0 \\'e9\\htmlrtf \\'ff\\htmlrtf0{\\f1 \\'e2}\\'e9}",
     EncapsulatedKind::kHtml, "\u041F\u0440\u0438 \u00E9\u0432\u00E9"},
    {"\\'xx by \\ansicpg where the font names no charset, in a tag and in text",
     "{\\rtf1\\ansi\\ansicpg1251\\fromhtml1 \\deff0{\\fonttbl{\\f0\\fnil Arial;}}"
     "{\\*\\htmltag1 <p title=\"\\'c4\">}\\'c4}",
     EncapsulatedKind::kHtml, "<p title=\"\u0414\">\u0414"},
    {"double-byte pairs of escapes", HTML_HEADER "\\f3 \\'82\\'a0\\'82\\'a2 A\\f0 }",
     EncapsulatedKind::kHtml, "\u3042\u3044 A"},
    {"\\uN and its \\ucN fallback, a control word counting as one",
     HTML_HEADER "\\uc1 a\\u1055?b\\uc2 \\u1088\\'3f\\'3fc{\\uc0 \\u1080}d}",
     EncapsulatedKind::kHtml, "a\u041Fb\u0440c\u0438d"},
    {"surrogate pairs joined, lone halves replaced",
     HTML_HEADER "\\uc1 d\\u-10179?\\u-8704?e\\u-10179?f\\u55357?\\u56832?g\\u-8704?h}",
     EncapsulatedKind::kHtml, "d\U0001F600e\uFFFDf\U0001F600g\uFFFDh"},
    {"characters named by control words (differs: the peer gives \\_ as a soft hyphen)",
     HTML_HEADER "\\lquote x\\rquote \\ldblquote y\\rdblquote \\bullet \\endash \\emdash "
                 "\\~\\_\\-z}",
     EncapsulatedKind::kHtml, "\u2018x\u2019\u201Cy\u201D\u2022\u2013\u2014\u00A0\u2011z"},
    {"other destinations passed over (differs: the peer writes \\mhtmltag's and \\info's text)",
     HTML_HEADER "{\\*\\htmltag84 <a href=\"x\">{\\*\\mhtmltag84 <a href=\"cid:y\">}}"
                 "{\\*\\generator Riched20;}{\\*\\unknown text}{\\info{\\title T}}ok}",
     EncapsulatedKind::kHtml, "<a href=\"x\">ok"},
    {"\\bin data passed over whole, braces and all",
     HTML_HEADER "a{\\*\\pic \\bin5 }{\\x}}b\\bin99 {}", EncapsulatedKind::kHtml, "ab"},
    {"encapsulated text",
     "{\\rtf1\\ansi\\ansicpg1251\\fromtext \\deff0{\\fonttbl{\\f0\\fswiss Arial;}}"
     "\\pard line\\par \\'c4\\tab end\\par}",
     EncapsulatedKind::kText, "line\r\n\u0414\tend\r\n"},
    {"plain RTF", "{\\rtf1\\ansi\\deff0{\\fonttbl{\\f0 Arial;}}\\pard plain text\\par}",
     std::nullopt, ""},
    {"\\fromhtml1 after the text has begun", "{\\rtf1\\ansi text\\fromhtml1 {\\*\\htmltag1 <p>}}",
     std::nullopt, ""},
    {"\\fromhtml0 (differs: the peer takes it as \\fromhtml1)",
     "{\\rtf1\\ansi\\fromhtml0 {\\*\\htmltag1 <p>}}", std::nullopt, ""},
    {"a \\uN that ends the input (differs: the peer drops it)", HTML_HEADER "a\\u1055",
     EncapsulatedKind::kHtml, "a\u041F"},
    {"numbers past any width (differs: the peer throws)",
     HTML_HEADER "a\\u99999999999999999999999?b\\u70000?c\\uc99999999999999999 \\u65}",
     EncapsulatedKind::kHtml, "a\uFFFDb\uFFFDcA"},
    {"unbalanced braces (differs: the peer throws)", HTML_HEADER "}}}a{{{b\\par",
     EncapsulatedKind::kHtml, "ab\r\n"},
    {"a broken escape and an empty one at the end (differs: the peer stops at it)",
     HTML_HEADER "a\\'4g\\'", EncapsulatedKind::kHtml, "a4g"},
};

TEST(RtfDeencapsulation, Documents) {
  for (const DeencapsulationCase& row : kDeencapsulations) {
    SCOPED_TRACE(row.what);
    tb::GuardedBuffer guarded(row.rtf);  // a read past the end crashes
    const std::optional<Encapsulated> result = deencapsulate_rtf(
        std::string_view(reinterpret_cast<const char*>(guarded.data()), guarded.size()));
    ASSERT_EQ(result.has_value(), row.kind.has_value());
    if (!result) continue;
    EXPECT_EQ(result->kind, *row.kind);
    EXPECT_EQ(result->text, row.expected);
  }
}

// Deep nesting, long runs of words and escapes: one pass, no recursion, time linear in the input.
TEST(RtfDeencapsulation, HostileShapesTakeLinearTime) {
  const auto repeat = [](std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
  };
  const std::string shapes[] = {
      HTML_HEADER + repeat("{", 100'000) + "x" + repeat("}", 100'000),
      HTML_HEADER + repeat("{\\*\\htmltag1 ", 100'000) + "<p>",
      HTML_HEADER + repeat("\\u1055", 100'000),
      HTML_HEADER + repeat("\\uc1000000\\u65", 50'000),
      HTML_HEADER + repeat("\\'", 100'000),
      HTML_HEADER + repeat("}", 200'000) + repeat("\\htmlrtf{", 50'000),
      std::string(HTML_HEADER) + "\\" + std::string(200'000, 'a') + " x}",
  };
  for (const std::string& rtf : shapes) {
    const auto start = std::chrono::steady_clock::now();
    const std::optional<Encapsulated> result = deencapsulate_rtf(rtf);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(result);
    EXPECT_LE(result->text.size(), 3 * rtf.size());
    EXPECT_LT(took, std::chrono::seconds(2)) << rtf.substr(200, 40);
  }
}

// The four HTML bodies and two text bodies of the corpus, against rtf-stream-parser 3.8 (npm, run
// as a black box on the decompressed RTF): the same text, byte for byte.
struct CorpusEncapsulated {
  std::string_view sample;
  EncapsulatedKind kind;
  std::size_t length;
  std::string_view sha256;
};
const CorpusEncapsulated kCorpusEncapsulated[] = {
    {"raw/tnefparse_IPM-DistList.tnef", EncapsulatedKind::kHtml, 2076,
     "bc1594e886ace21dc0c25bdac019de3cc1c68343172fcc154f6a4d682198e61f"},
    {"raw/tnefparse_umlaut.tnef", EncapsulatedKind::kHtml, 2612,
     "7e8dc7b1c429ca01673d6eb0629f34c717b7077dbc511a0f63de2efc05a96dc1"},
    {"raw/vt_multi-value-attribute.tnef", EncapsulatedKind::kHtml, 693,
     "549b988852d2989ee20e963a118749de4f8a5920714238a5986b401ae733fe07"},
    {"raw/ytnef_multi-value-attribute.tnef", EncapsulatedKind::kHtml, 693,
     "549b988852d2989ee20e963a118749de4f8a5920714238a5986b401ae733fe07"},
    {"raw/vt_long-filename.tnef", EncapsulatedKind::kText, 729,
     "d98d982b0011c7748c7a5e087c3c9479b0775ea287c80e1de1060f65a04ff871"},
    {"raw/vt_missing-filenames.tnef", EncapsulatedKind::kText, 961,
     "637554fc71c4e0eea859e06e394bdf639c9c2bff7574f1b18a9774deccd0662f"},
};

TEST(RtfDeencapsulation, CorpusBodiesAsAnIndependentReaderGivesThem) {
  REQUIRE_SAMPLE_CORPUS();
  std::map<std::string_view, const CorpusEncapsulated*> expected;
  for (const CorpusEncapsulated& row : kCorpusEncapsulated) expected[row.sample] = &row;
  std::size_t checked = 0;
  for (const tb::CorpusStream& stream : tb::corpus_streams()) {
    SCOPED_TRACE(stream.name);
    const std::optional<TnefMessage> message = read_tnef(stream.bytes);
    const std::optional<Bytes> value =
        message ? property_bytes(message->properties.find(kPrRtfCompressed)) : std::nullopt;
    const std::optional<DecompressedRtf> rtf = value ? decompress_rtf(*value) : std::nullopt;
    if (!rtf) continue;
    const std::optional<Encapsulated> result = deencapsulate_rtf(rtf->bytes);
    const auto row = expected.find(stream.name);
    ASSERT_EQ(result.has_value(), row != expected.end());
    if (!result) continue;
    EXPECT_EQ(result->kind, row->second->kind);
    EXPECT_EQ(result->text.size(), row->second->length);
    EXPECT_EQ(sha256_of(result->text), row->second->sha256);
    ++checked;
  }
  EXPECT_EQ(checked, std::size(kCorpusEncapsulated));
}

}  // namespace
}  // namespace kestrox
