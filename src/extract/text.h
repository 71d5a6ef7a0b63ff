// The bytes that a file name may keep as they are.
#pragma once

namespace kestrox {

// The bytes a file name may keep: '@', '-', '.', a space, ASCII letters and digits.
constexpr bool is_name_byte(unsigned char c) {
  return c == '@' || c == '-' || c == '.' || c == ' ' || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

}  // namespace kestrox
