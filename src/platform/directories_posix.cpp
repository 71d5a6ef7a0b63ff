// Directories made on request, on Linux, macOS and other POSIX systems.
#if !defined(_WIN32)

#include <errno.h>
#include <sys/stat.h>

#include <string>

#include "platform/host.h"

namespace kestrox {

namespace {

bool is_directory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

bool make_directories(const std::string& path) {
  if (path.empty()) return true;
  // Each '/' ends a directory above the last one; the whole path is the last.
  for (std::size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string step = path.substr(0, end);
    if (::mkdir(step.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (end == std::string::npos || end + 1 == path.size()) break;
  }
  if (is_directory(path)) return true;
  errno = ENOTDIR;
  return false;
}

}  // namespace kestrox

#endif  // !_WIN32
