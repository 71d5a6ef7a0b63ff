// What decoding tells the memory it writes over, as it goes.
#pragma once

#include <cstddef>
#include <functional>

namespace kestrox {

// Called before each step of decoding over a buffer: the step writes from `write` on, and nothing
// before `read` is read again, so the pages between may be made ready at once (a mapped file's
// pages are otherwise copied one at a time as they are first written).
using DecodeRoom = std::function<void(std::size_t write, std::size_t read)>;

// How many bytes a decoder reads between two calls.
inline constexpr std::size_t kDecodeStep = std::size_t{4} << 20;

}  // namespace kestrox
