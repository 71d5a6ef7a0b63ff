// What the hosts' source files share: the block that a source without a length is read into.
#include <cstdlib>

#include "platform/host.h"

namespace kestrox {

bool SourceFile::make_room(std::size_t most) {
  if (size_ < capacity_) return true;
  if (capacity_ >= most) return false;
  // A large block grows by remapping its pages, not by copying them.
  const std::size_t grown = capacity_ == 0 ? std::size_t{64} << 10 : capacity_ * 2;
  const std::size_t wanted = grown < most ? grown : most;
  auto* const block = static_cast<std::uint8_t*>(std::realloc(data_, wanted));
  if (block == nullptr) return false;
  data_ = block;
  capacity_ = wanted;
  return true;
}

}  // namespace kestrox
