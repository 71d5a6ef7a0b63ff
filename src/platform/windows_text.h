// Text between the program's UTF-8 (or a code page's bytes) and the UTF-16 of the Windows calls.
#pragma once
#if defined(_WIN32)

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrox {

// The characters of `bytes` in `code_page`; an ill-formed sequence becomes U+FFFD.
inline std::wstring wide_from(std::string_view bytes, UINT code_page = CP_UTF8) {
  std::wstring wide;
  if (bytes.empty()) return wide;
  const int size = static_cast<int>(bytes.size());
  wide.resize(
      static_cast<std::size_t>(MultiByteToWideChar(code_page, 0, bytes.data(), size, nullptr, 0)));
  MultiByteToWideChar(code_page, 0, bytes.data(), size, wide.data(), static_cast<int>(wide.size()));
  return wide;
}

inline std::string utf8_from(std::wstring_view wide) {
  std::string text;
  if (wide.empty()) return text;
  const int size = static_cast<int>(wide.size());
  text.resize(static_cast<std::size_t>(
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr)));
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), static_cast<int>(text.size()),
                      nullptr, nullptr);
  return text;
}

}  // namespace kestrox

#endif
