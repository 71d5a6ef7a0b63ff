// Path rules of the run driver.
#include "driver/paths.h"

namespace kestrox {

char path_separator(PathStyle style) { return style == PathStyle::kWindows ? '\\' : '/'; }

std::string directory_part(std::string_view path, PathStyle style) {
  const std::size_t cut = path.rfind(path_separator(style));
  return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut));
}

std::string normalise_output_directory(std::string directory, PathStyle style) {
  const char separator = path_separator(style);
  if (directory.empty() || directory.back() == separator) return directory;
  if (style == PathStyle::kWindows && directory.size() == 2 && directory[1] == ':') {
    return directory;
  }
  directory += separator;
  return directory;
}

std::string default_source_in(std::string_view directory, PathStyle style) {
  std::string source(directory);
  source += path_separator(style);
  source += kDefaultSourceName;
  return source;
}

ProgramDirectory program_directory(std::string_view program_path, PathStyle style) {
  for (char cut_at : {path_separator(style), 'K', 'k'}) {
    const std::size_t cut = program_path.rfind(cut_at);
    if (cut != std::string_view::npos) return {std::string(program_path.substr(0, cut)), false};
  }
  return {std::string(program_path), true};
}

}  // namespace kestrox
