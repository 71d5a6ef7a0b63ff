// Reading length fields and stored texts out of the source buffer, never past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrox {

// Reads the signed little-endian 32-bit field at `at`; false when it does not lie wholly inside.
inline bool read_length(std::span<const std::uint8_t> source, std::size_t at,
                        std::int32_t& value) {
  if (at > source.size() || source.size() - at < 4) return false;
  const std::uint32_t bits = std::uint32_t{source[at]} | std::uint32_t{source[at + 1]} << 8 |
                             std::uint32_t{source[at + 2]} << 16 |
                             std::uint32_t{source[at + 3]} << 24;
  value = static_cast<std::int32_t>(bits);
  return true;
}

// The stored text of `length` bytes at `at`: up to its first NUL, and never past the buffer end.
inline std::string_view stored_text(std::span<const std::uint8_t> source, std::size_t at,
                                    std::int32_t length) {
  if (length <= 0 || at >= source.size()) return {};
  std::size_t size = static_cast<std::size_t>(length);
  if (size > source.size() - at) size = source.size() - at;
  const char* text = reinterpret_cast<const char*>(source.data() + at);
  std::size_t used = 0;
  while (used < size && text[used] != '\0') ++used;
  return {text, used};
}

}  // namespace kestrox
