// A copy of a fuzz input that ends exactly where readable memory ends, so that touching one byte
// past it is caught: by AddressSanitizer's redzone around a heap block of exactly that size when
// the build has it, otherwise by an inaccessible page right behind the copy.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KESTROX_FUZZ_ASAN 1
#endif
#endif

namespace kestrox::fuzz {

class ExactBlock {
 public:
  ExactBlock(const std::uint8_t* data, std::size_t size) : size_(size) {
#if KESTROX_FUZZ_ASAN
    heap_.reset(new std::uint8_t[size]);
    bytes_ = heap_.get();
#else
    static std::uint8_t* const guard = make_guard();
    if (size > kRoom) {
      heap_.reset(new std::uint8_t[size]);
      bytes_ = heap_.get();
    } else {
      bytes_ = guard - size;
    }
#endif
    if (size != 0) std::memcpy(bytes_, data, size);
  }
  ExactBlock(const ExactBlock&) = delete;
  ExactBlock& operator=(const ExactBlock&) = delete;

  std::span<std::uint8_t> bytes() { return {bytes_, size_}; }

 private:
#if !KESTROX_FUZZ_ASAN
  static constexpr std::size_t kRoom = std::size_t{1} << 20;

  // kRoom writable bytes, then one page that cannot be touched; returns where that page starts.
  static std::uint8_t* make_guard() {
    const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    void* mapping =
        ::mmap(nullptr, kRoom + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) std::abort();
    std::uint8_t* const guard = static_cast<std::uint8_t*>(mapping) + kRoom;
    if (::mprotect(guard, page, PROT_NONE) != 0) std::abort();
    return guard;
  }
#endif

  std::unique_ptr<std::uint8_t[]> heap_;
  std::uint8_t* bytes_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace kestrox::fuzz
