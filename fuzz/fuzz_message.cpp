// The message's layers on their own input, chosen by its first byte: the stream's reader with the
// name and text made of it, the compressed RTF's decompressor, and the RTF de-encapsulator. A read
// outside the input, a crash, a hang and output past the bounds each layer promises are findings.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "exact_block.h"
#include "message/rtf_compressed.h"
#include "message/rtf_encapsulated.h"
#include "message/text.h"
#include "message/tnef.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  kestrox::fuzz::ExactBlock block(data + 1, size - 1);
  const kestrox::Bytes input = block.bytes();
  switch (data[0] % 3) {
    case 0: {
      const std::optional<kestrox::TnefMessage> message = kestrox::read_tnef(input);
      if (!message) break;
      if (kestrox::message_name(*message, "").size() > kestrox::kLongestMessageName) std::abort();
      std::optional<kestrox::MessageText> text = kestrox::message_text(*message);
      if (text && text->extension == ".html") {
        kestrox::link_content_ids(text->bytes, {{"a@b", "a b.png"}, {"", "none"}});
      }
      kestrox::message_plain_text(*message);
      break;
    }
    case 1: {
      const std::optional<kestrox::DecompressedRtf> rtf = kestrox::decompress_rtf(input);
      // A 2-byte reference gives at most 17 bytes.
      if (rtf && rtf->bytes.size() > 9 * input.size()) std::abort();
      break;
    }
    default: {
      const std::string_view rtf(reinterpret_cast<const char*>(input.data()), input.size());
      const std::optional<kestrox::Encapsulated> inner = kestrox::deencapsulate_rtf(rtf);
      // No byte of RTF gives more than 3 bytes of UTF-8.
      if (inner && inner->text.size() > 3 * input.size()) std::abort();
      break;
    }
  }
  return 0;
}
