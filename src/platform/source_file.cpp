// What the hosts' source files share: the block that a source without a length is read into.
#include <cerrno>
#include <cstdlib>

#include "platform/host.h"

namespace kestrox {

std::int64_t SourceFile::read_to_end(std::int64_t limit) {
  // One byte more than the limit tells a source that is too long.
  const auto most = static_cast<std::size_t>(limit) + 1;
  for (;;) {
    if (size_ == capacity_) {
      // The block doubles as it fills; a large one grows by remapping its pages, not by copying.
      if (capacity_ >= most) {
        errno = EFBIG;
        return -1;
      }
      const std::size_t grown = capacity_ == 0 ? std::size_t{64} << 10 : capacity_ * 2;
      const std::size_t wanted = grown < most ? grown : most;
      auto* const block = static_cast<std::uint8_t*>(std::realloc(data_, wanted));
      if (block == nullptr) return -1;
      data_ = block;
      capacity_ = wanted;
    }
    const std::ptrdiff_t got = read_some(data_ + size_, capacity_ - size_);
    if (got < 0) {
      read_failed_ = true;
      read_error_ = errno;  // for the load, after the console has been written to
    }
    if (got <= 0) break;
    size_ += static_cast<std::size_t>(got);
  }
  if (size_ > static_cast<std::size_t>(limit)) {
    errno = EFBIG;
    return -1;
  }
  return static_cast<std::int64_t>(size_);
}

}  // namespace kestrox
