// SHA-256 of a byte sequence, for comparing extracted files with recorded digests.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace kestrox::testing {

// The digest as 64 lower-case hex digits.
std::string sha256_hex(std::span<const std::uint8_t> bytes);

}  // namespace kestrox::testing
