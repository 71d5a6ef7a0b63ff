// A fixed 260-byte text buffer, as every name and title of the scan lives in one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace kestrox {

// The bytes a file name may keep: '@', '-', '.', a space, ASCII letters and digits.
constexpr bool is_name_byte(unsigned char c) {
  return c == '@' || c == '-' || c == '.' || c == ' ' || (c >= 'A' && c <= 'Z') ||
         (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

class Text {
 public:
  static constexpr std::size_t kCapacity = 259;  // characters, besides the terminator

  Text() = default;
  explicit Text(std::string_view text) { assign(text); }

  void clear() { size_ = 0; }
  // Texts that would not fit are cut at the capacity; nothing is ever written past the buffer.
  void assign(std::string_view text) {
    size_ = text.size() < kCapacity ? text.size() : kCapacity;
    for (std::size_t i = 0; i < size_; ++i) bytes_[i] = text[i];
  }
  void append(char c) {
    if (size_ < kCapacity) bytes_[size_++] = c;
  }
  void append(std::string_view text) {
    for (char c : text) append(c);
  }
  char& operator[](std::size_t i) { return bytes_[i]; }

  std::string_view view() const { return {bytes_, size_}; }
  const char* c_str() {
    bytes_[size_] = '\0';
    return bytes_;
  }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool operator==(std::string_view other) const { return view() == other; }

 private:
  char bytes_[kCapacity + 1];
  std::size_t size_ = 0;
};

}  // namespace kestrox
