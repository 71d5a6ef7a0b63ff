// Bytes placed right before a page that cannot be read, so that any read past their end crashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace kestrox::testing {

class GuardedBuffer {
 public:
  // A buffer of `size` bytes whose last byte is the last readable byte before a guard page.
  explicit GuardedBuffer(std::size_t size);
  explicit GuardedBuffer(std::string_view contents);
  explicit GuardedBuffer(std::span<const std::uint8_t> contents);
  GuardedBuffer(const GuardedBuffer&) = delete;
  GuardedBuffer& operator=(const GuardedBuffer&) = delete;
  ~GuardedBuffer();

  std::span<std::uint8_t> bytes() { return {data_, size_}; }
  std::span<const std::uint8_t> view() const { return {data_, size_}; }
  std::uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* mapping_ = nullptr;
  std::size_t mapped_ = 0;
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kestrox::testing
