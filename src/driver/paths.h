// The text rules for the source path and the output directory, as pure functions of the style.
#pragma once

#include <string>
#include <string_view>

#include "platform/host.h"

namespace kestrox {

inline constexpr std::string_view kDefaultSourceName = "winmail.dat";

char path_separator(PathStyle style);

// The path cut at its last separator (the separator removed); empty when it holds none.
std::string directory_part(std::string_view path, PathStyle style);

// Empty stays empty, a text ending in the separator stays, a bare drive "X:" stays in the
// Windows style; anything else gets one separator appended.
std::string normalise_output_directory(std::string directory, PathStyle style);

// The directory followed by the separator and "winmail.dat", whatever the directory ends with.
std::string default_source_in(std::string_view directory, PathStyle style);

// The program's own directory, from argument 0: cut at the last separator, else at the last
// 'K', else at the last 'k'; else kept whole and `marked` is set (the run then prints "#").
struct ProgramDirectory {
  std::string directory;
  bool marked = false;
};
ProgramDirectory program_directory(std::string_view program_path, PathStyle style);

}  // namespace kestrox
