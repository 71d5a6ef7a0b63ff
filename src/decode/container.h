// Recognising the container (raw TNEF, MIME base64, MIME quoted-printable) and decoding it in
// place over the start of the source buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "decode/room.h"
#include "platform/console.h"

namespace kestrox {

// Prints at most one line about what the buffer holds and, when it finds an encoded TNEF stream,
// decodes it over the buffer from its first byte. The buffer's length never changes: the bytes
// after the decoded data stay the file's own. Returns how many bytes were decoded over the start
// (0 when nothing was).
std::size_t decode_container(std::span<std::uint8_t> source, Console& console,
                             const DecodeRoom& room = nullptr);

}  // namespace kestrox
