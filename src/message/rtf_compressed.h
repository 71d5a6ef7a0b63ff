// The message's compressed RTF (PR_RTF_COMPRESSED) decompressed, as [MS-OXRTFCP] lays it out.
#pragma once

#include <optional>
#include <string>

#include "message/tnef.h"

namespace kestrox {

struct DecompressedRtf {
  std::string bytes;
  // The stream did not check out: its CRC does not match, it ends before RAWSIZE bytes or
  // without its end marker, or its size fields disagree with the bytes there are. `bytes` is then
  // what it decompressed to before that.
  bool damaged = false;
};

// The RTF in a PR_RTF_COMPRESSED value: "LZFu" streams decompressed, "MELA" streams as stored.
// Never more than RAWSIZE bytes, and never more than the compressed bytes could give whatever
// RAWSIZE says. Nothing when the value is too short for the header or names another kind.
std::optional<DecompressedRtf> decompress_rtf(Bytes value);

// CRC-32 of [MS-OXRTFCP] (polynomial 0xEDB88320, initial value 0, no final inversion).
std::uint32_t rtf_crc32(Bytes bytes);

}  // namespace kestrox
