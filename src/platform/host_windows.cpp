// The host on Windows.
#if defined(_WIN32)

#include <conio.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host.h"

namespace kestrox {

PathStyle host_path_style() { return PathStyle::kWindows; }

void prepare_process() {}


bool get_working_directory(std::string& directory) {
  char buffer[260];
  if (_getcwd(buffer, sizeof buffer) == nullptr) return false;
  directory.assign(buffer);
  return true;
}

std::string describe_current_error() { return std::strerror(errno); }

bool can_open_for_reading(const std::string& path) {
  const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) return false;
  _close(fd);
  return true;
}

namespace {
bool identity_of(HANDLE handle, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handle, &info)) return false;
  identity.device = info.dwVolumeSerialNumber;
  identity.number = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  return true;
}
}  // namespace

std::optional<FileIdentity> entry_identity(const std::string& path) {
  if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  // The entry itself: a reparse point is opened as what it is, and a directory opens too.
  const HANDLE handle =
      CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FileIdentity identity;
  if (handle != INVALID_HANDLE_VALUE) {
    identity_of(handle, identity);
    CloseHandle(handle);
  }
  return identity;
}

InputFile::~InputFile() { close(); }

bool InputFile::open(const std::string& path) {
  close();
  const int fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
  if (fd < 0) return false;
  handle_ = fd;
  return true;
}

std::int64_t InputFile::size() const {
  struct _stati64 info;
  if (handle_ < 0 || _fstati64(static_cast<int>(handle_), &info) != 0) return -1;
  return static_cast<std::int64_t>(info.st_size);
}

std::size_t InputFile::read(std::uint8_t* into, std::size_t count) {
  std::size_t total = 0;
  while (total < count) {
    const std::size_t chunk = count - total < INT_MAX ? count - total : INT_MAX;
    const int got = _read(static_cast<int>(handle_), into + total, static_cast<unsigned>(chunk));
    if (got <= 0) break;
    total += static_cast<std::size_t>(got);
  }
  return total;
}

void InputFile::close() {
  if (handle_ >= 0) _close(static_cast<int>(handle_));
  handle_ = -1;
}

SourceBlock::~SourceBlock() { std::free(data_); }

bool SourceBlock::allocate(std::size_t size) {
  data_ = static_cast<std::uint8_t*>(std::malloc(size == 0 ? 1 : size));
  size_ = size;
  return data_ != nullptr;
}

WriteResult write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size,
                             FileIdentity& written_identity) {
  const int fd =
      _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
  if (fd < 0) return WriteResult::kCannotOpen;
  std::size_t written = 0;
  while (written < size) {
    const std::size_t chunk = size - written < INT_MAX ? size - written : INT_MAX;
    const int done = _write(fd, data + written, static_cast<unsigned>(chunk));
    if (done <= 0) break;
    written += static_cast<std::size_t>(done);
  }
  identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(fd)), written_identity);
  const bool closed = _close(fd) == 0;
  return written == size && closed ? WriteResult::kWritten : WriteResult::kShortWrite;
}

}  // namespace kestrox

#endif  // _WIN32
