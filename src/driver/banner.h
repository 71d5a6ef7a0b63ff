// The boxed banner that opens every run.
#pragma once

#include <string>
#include <string_view>

namespace kestrox {

inline constexpr std::string_view kVersionLabel = "version 1.0";

enum class BannerStyle { kCodePage437, kUtf8 };

// The banner's exact bytes: six rows of 80 characters in code page 437 with one newline after
// the last, or the same box in UTF-8 box-drawing characters with a newline after every row.
std::string banner_text(BannerStyle style);

}  // namespace kestrox
