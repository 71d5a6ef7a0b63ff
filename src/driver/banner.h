// What the program says about itself: the boxed banner that opens every run, the usage text and
// the version.
#pragma once

#include <string>
#include <string_view>

#include "platform/host.h"

#ifndef KESTROX_VERSION
#error "KESTROX_VERSION comes from the project version in CMakeLists.txt"
#endif

namespace kestrox {

inline constexpr std::string_view kVersion = KESTROX_VERSION;
inline constexpr std::string_view kVersionLabel = "version " KESTROX_VERSION;

enum class BannerStyle { kCodePage437, kUtf8 };

// The banner's exact bytes: six rows of 80 characters in code page 437 with one newline after
// the last, or the same box in UTF-8 box-drawing characters with a newline after every row.
std::string banner_text(BannerStyle style);

// The answer to --help: how to call the program, with the program name, exit statuses and help
// options of the host that `style` names.
std::string usage_text(PathStyle style);

// The answer to --version: "kestrox VERSION" and a newline.
std::string version_text();

}  // namespace kestrox
