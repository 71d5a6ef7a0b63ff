// The message's RTF: decompression ([MS-OXRTFCP]) and the HTML or text it encapsulates.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "message/properties.h"
#include "message/rtf_compressed.h"
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
    EXPECT_LE(rtf->bytes.capacity(), std::max<std::size_t>(9 * value.size(), 15));
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

}  // namespace
}  // namespace kestrox
