// The one way every structured read of untrusted bytes is made: a span and a position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kestrox {

// Reads little-endian fields off a span. Every read either succeeds whole and moves on, or
// reports that too little is left and moves nowhere: the position never passes the end, and no
// caller computes an offset of its own.
class Cursor {
 public:
  using Bytes = std::span<const std::uint8_t>;

  Cursor() = default;
  explicit Cursor(Bytes bytes) : bytes_(bytes) {}

  std::size_t position() const { return position_; }
  std::size_t left() const { return bytes_.size() - position_; }
  bool at_end() const { return position_ == bytes_.size(); }
  // What has not been read yet.
  Bytes rest() const { return bytes_.subspan(position_); }

  std::optional<std::uint8_t> read_u8() {
    if (left() < 1) return std::nullopt;
    return bytes_[position_++];
  }
  std::optional<std::uint16_t> read_u16_le() {
    if (left() < 2) return std::nullopt;
    const std::uint16_t value =
        static_cast<std::uint16_t>(bytes_[position_] | bytes_[position_ + 1] << 8);
    position_ += 2;
    return value;
  }
  // Big-endian, as compressed RTF writes its references.
  std::optional<std::uint16_t> read_u16_be() {
    if (left() < 2) return std::nullopt;
    const std::uint16_t value =
        static_cast<std::uint16_t>(bytes_[position_] << 8 | bytes_[position_ + 1]);
    position_ += 2;
    return value;
  }
  std::optional<std::uint32_t> read_u32_le() {
    if (left() < 4) return std::nullopt;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) value |= std::uint32_t{bytes_[position_ + i]} << (8 * i);
    position_ += 4;
    return value;
  }
  std::optional<std::uint64_t> read_u64_le() {
    if (left() < 8) return std::nullopt;
    std::uint64_t value = 0;
    for (std::size_t i = 0; i < 8; ++i) value |= std::uint64_t{bytes_[position_ + i]} << (8 * i);
    position_ += 8;
    return value;
  }
  // The next `n` bytes, as a view into the span: nothing is copied.
  std::optional<Bytes> read_bytes(std::size_t n) {
    if (left() < n) return std::nullopt;
    const Bytes taken = bytes_.subspan(position_, n);
    position_ += n;
    return taken;
  }
  bool skip(std::size_t n) {
    if (left() < n) return false;
    position_ += n;
    return true;
  }

 private:
  Bytes bytes_;
  std::size_t position_ = 0;
};

}  // namespace kestrox
