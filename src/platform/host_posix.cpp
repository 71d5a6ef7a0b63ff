// The host on Linux, macOS and other POSIX systems: the process, its arguments, paths and
// entries. The source, the writing and the signals have files of their own.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>

#include "platform/host.h"
#include "platform/host_posix.h"

namespace kestrox {

PathStyle host_path_style() { return PathStyle::kPosix; }

bool get_working_directory(std::string& directory) {
  std::string buffer(4096, '\0');
  for (;;) {
    if (::getcwd(buffer.data(), buffer.size()) != nullptr) break;
    if (errno != ERANGE || buffer.size() > (1u << 20)) return false;
    buffer.resize(buffer.size() * 2);
  }
  directory.assign(buffer.c_str());
  if (directory.size() > 259) {
    errno = ERANGE;
    return false;
  }
  return true;
}

std::string describe_current_error() { return errno == 0 ? std::string() : std::strerror(errno); }

void clear_current_error() { errno = 0; }

std::vector<std::string> host_arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool running_executable_path(std::string& path) {
#if defined(__APPLE__)
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  path.assign(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return false;
  path.resize(std::strlen(path.c_str()));
  return !path.empty();
#else
  // Linux, and the BSDs with a Linux-compatible /proc; elsewhere the host cannot tell.
  std::string buffer(4096, '\0');
  const ssize_t got = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (got <= 0 || static_cast<std::size_t>(got) >= buffer.size()) return false;
  path.assign(buffer.data(), static_cast<std::size_t>(got));
  return true;
#endif
}

bool source_may_wait(const std::string& path) {
  struct stat info;
  const int got = path == "-" ? ::fstat(STDIN_FILENO, &info) : ::stat(path.c_str(), &info);
  return got == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

bool can_open_for_reading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A directory opens here but not on Windows, and loading refuses it: it is no file to read.
  struct stat info;
  const bool directory = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  ::close(fd);
  return !directory;
}

std::optional<FileIdentity> entry_identity(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return posix::identity_of(info);
}

namespace {
// Standard input was closed when the process started; descriptor 0 is /dev/null since.
bool g_standard_input_closed = false;
}  // namespace

void prepare_process() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  // Started with standard input, output or error closed, the first file opened would take that
  // number, and text meant for the console would land in an attachment.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF && ::open("/dev/null", O_RDWR) == fd &&
        fd == STDIN_FILENO) {
      g_standard_input_closed = true;
    }
  }
}

bool posix::standard_input_was_closed() { return g_standard_input_closed; }

}  // namespace kestrox

#endif  // !_WIN32
