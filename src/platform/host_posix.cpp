// The host on Linux, macOS and other POSIX systems.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host.h"

namespace kestrox {

PathStyle host_path_style() { return PathStyle::kPosix; }

void prepare_process() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
}

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

std::string describe_current_error() { return std::strerror(errno); }

bool can_open_for_reading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // A directory opens here but not on Windows, and loading refuses it: it is no file to read.
  struct stat info;
  const bool directory = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode);
  ::close(fd);
  return !directory;
}

namespace {
FileIdentity identity_of(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}
}  // namespace

std::optional<FileIdentity> entry_identity(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return identity_of(info);
}

InputFile::~InputFile() { close(); }

bool InputFile::open(const std::string& path) {
  close();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    // A directory is no source file, as on Windows, where it does not open at all.
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  handle_ = fd;
  return true;
}

std::int64_t InputFile::size() const {
  struct stat info;
  if (handle_ < 0 || ::fstat(static_cast<int>(handle_), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

std::size_t InputFile::read(std::uint8_t* into, std::size_t count) {
  std::size_t total = 0;
  while (total < count) {
    const ssize_t got = ::read(static_cast<int>(handle_), into + total, count - total);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

void InputFile::close() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));
  handle_ = -1;
}

SourceBlock::~SourceBlock() {
  if (mapped_ != 0) {
    ::munmap(data_, mapped_);
  } else {
    std::free(data_);
  }
}

bool SourceBlock::allocate(std::size_t size) {
  // Small files take the heap. Large ones take fresh pages of their own, with transparent huge
  // pages asked for: faulting in a large block 4 KiB at a time costs more than reading the file.
  constexpr std::size_t kLarge = std::size_t{4} << 20;
  if (size < kLarge) {
    data_ = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
    size_ = size;
    return data_ != nullptr;
  }
  void* block = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return false;
#if defined(MADV_HUGEPAGE)
  ::madvise(block, size, MADV_HUGEPAGE);
#endif
  data_ = static_cast<std::uint8_t*>(block);
  size_ = size;
  mapped_ = size;
  return true;
}

WriteResult write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size,
                             FileIdentity& written_identity) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return WriteResult::kCannotOpen;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t done = ::write(fd, data + written, size - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) break;
    written += static_cast<std::size_t>(done);
  }
  struct stat info;
  if (::fstat(fd, &info) == 0) written_identity = identity_of(info);
  const bool closed = ::close(fd) == 0;
  return written == size && closed ? WriteResult::kWritten : WriteResult::kShortWrite;
}

}  // namespace kestrox

#endif  // !_WIN32
