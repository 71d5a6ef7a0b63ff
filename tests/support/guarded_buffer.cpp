// Guarded buffers: the data ends exactly where an unreadable page begins.
#include "support/guarded_buffer.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace kestrox::testing {

GuardedBuffer::GuardedBuffer(std::size_t size) : size_(size) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t data_pages = (size + page - 1) / page;
  mapped_ = (data_pages + 1) * page;
  void* mapping = mmap(nullptr, mapped_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) std::abort();
  mapping_ = static_cast<std::uint8_t*>(mapping);
  if (mprotect(mapping_ + data_pages * page, page, PROT_NONE) != 0) std::abort();
  data_ = mapping_ + data_pages * page - size;
}

GuardedBuffer::GuardedBuffer(std::string_view contents) : GuardedBuffer(contents.size()) {
  if (!contents.empty()) std::memcpy(data_, contents.data(), contents.size());
}

GuardedBuffer::GuardedBuffer(std::span<const std::uint8_t> contents)
    : GuardedBuffer(contents.size()) {
  if (!contents.empty()) std::memcpy(data_, contents.data(), contents.size());
}

GuardedBuffer::~GuardedBuffer() { munmap(mapping_, mapped_); }

}  // namespace kestrox::testing
