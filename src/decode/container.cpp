// Container detection: raw TNEF, MIME base64 or MIME quoted-printable, and which decoder runs.
#include "decode/container.h"

#include <cstring>

#include "bytes/patterns.h"
#include "bytes/search.h"
#include "decode/base64.h"
#include "decode/quoted_printable.h"

namespace kestrox {

namespace {

std::size_t find_whole(std::span<const std::uint8_t> source, Pattern pattern) {
  return find_bytes(source, 0, source.size(), pattern, source.size());
}

}  // namespace

std::size_t decode_container(std::span<std::uint8_t> source, Console& console,
                             const DecodeRoom& room) {
  if (source.size() >= sizeof kTnefSignature &&
      std::memcmp(source.data(), kTnefSignature, sizeof kTnefSignature) == 0) {
    return 0;
  }
  if (find_whole(source, kBase64Header) == kNotFound) {
    if (find_whole(source, kQuotedPrintableHeader) == kNotFound) {
      console.out("This may not be a valid winmail.dat file - checking for attachments anyway.\n");
      return 0;
    }
    const std::size_t signature = find_whole(source, kQuotedPrintableSignature);
    if (signature == kNotFound) {
      console.out("This is a MIME quoted message - you can use WinZip to decode it.\n");
      return 0;
    }
    console.out("This is a MIME quoted message with winmail.dat inside - decoding it.\n");
    return decode_quoted_printable_in_place(source, signature, room);
  }
  const std::size_t signature = find_whole(source, kBase64Signature);
  if (signature == kNotFound) {
    console.out("This is a MIME message - you can use WinZip or UUDeview to decode it.\n");
    return 0;
  }
  console.out("This is a MIME message with winmail.dat inside - decoding it.\n");
  return decode_base64_in_place(source, signature, room);
}

}  // namespace kestrox
