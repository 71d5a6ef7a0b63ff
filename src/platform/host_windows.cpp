// The host on Windows.
#if defined(_WIN32)

#include <conio.h>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <atomic>
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

std::string describe_current_error() { return errno == 0 ? std::string() : std::strerror(errno); }

void clear_current_error() { errno = 0; }

std::vector<std::string> host_arguments(int argc, char** argv) { return {argv, argv + argc}; }

bool running_executable_path(std::string& path) {
  char buffer[MAX_PATH];
  const DWORD got = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
  if (got == 0 || got >= sizeof buffer) return false;
  path.assign(buffer, got);
  return true;
}

bool source_may_wait(const std::string& path) {
  if (path == "-") return GetFileType(GetStdHandle(STD_INPUT_HANDLE)) != FILE_TYPE_DISK;
  return false;
}

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
  const HANDLE handle = CreateFileA(
      path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FileIdentity identity;
  if (handle != INVALID_HANDLE_VALUE) {
    identity_of(handle, identity);
    CloseHandle(handle);
  }
  return identity;
}

// --- the source ---------------------------------------------------------------------------------

SourceFile::~SourceFile() { release(); }

void SourceFile::release() {
  std::free(data_);
  if (owns_handle_) _close(static_cast<int>(handle_));
  handle_ = -1;
  owns_handle_ = false;
  data_ = nullptr;
  size_ = capacity_ = mapped_ = anonymous_ = 0;
}

bool SourceFile::open(const std::string& path) {
  release();
  const bool standard_input = path == "-";
  int fd = 0;
  if (standard_input) {
    _setmode(fd, _O_BINARY);
  } else {
    fd = _open(path.c_str(), _O_RDONLY | _O_BINARY);
    if (fd < 0) return false;
  }
  struct _stati64 info;
  if (_fstati64(fd, &info) != 0 || (info.st_mode & _S_IFMT) == _S_IFDIR) {
    if (!standard_input) _close(fd);
    return false;
  }
  handle_ = fd;
  owns_handle_ = !standard_input;
  // Standard input that its caller has read part of goes on from where it stands, as a pipe
  // would: read to its end, not measured from its start.
  stream_ =
      (info.st_mode & _S_IFMT) != _S_IFREG || (standard_input && _lseeki64(fd, 0, SEEK_CUR) > 0);
  read_failed_ = false;
  return true;
}

std::int64_t SourceFile::measure(std::int64_t limit) {
  const int fd = static_cast<int>(handle_);
  if (!stream_) {
    struct _stati64 info;
    if (fd < 0 || _fstati64(fd, &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
  }
  return read_to_end(limit);
}

std::ptrdiff_t SourceFile::read_some(std::uint8_t* into, std::size_t room) {
  if (room > INT_MAX) room = INT_MAX;
  return _read(static_cast<int>(handle_), into, static_cast<unsigned>(room));
}

SourceFile::Load SourceFile::load(std::size_t length) {
  if (stream_) return read_failed_ ? Load::kIncomplete : Load::kLoaded;
  data_ = static_cast<std::uint8_t*>(std::malloc(length == 0 ? 1 : length));
  if (data_ == nullptr) return Load::kNoMemory;
  capacity_ = length;
  while (size_ < length) {
    const std::size_t chunk = length - size_ < INT_MAX ? length - size_ : INT_MAX;
    const int got = _read(static_cast<int>(handle_), data_ + size_, static_cast<unsigned>(chunk));
    if (got <= 0) break;
    size_ += static_cast<std::size_t>(got);
  }
  return size_ == length ? Load::kLoaded : Load::kIncomplete;
}

// Read into memory of its own: nothing that happens to the file later changes it.
bool SourceFile::intact() const { return true; }

SourceFile::Load SourceFile::make_writable() { return Load::kLoaded; }

// --- writing ------------------------------------------------------------------------------------

namespace {

// The temporary file being written, for the handler that removes it when Ctrl+C, Ctrl+Break or
// closing the console ends the run. The handler runs on a thread of its own; the file is opened
// for sharing its deletion, so the name goes at once and the file when the process ends.
std::atomic<const char*> g_pending_temporary{nullptr};

BOOL WINAPI remove_temporary(DWORD) {
  if (const char* pending = g_pending_temporary.load()) DeleteFileA(pending);
  return FALSE;  // and the default handling, which ends the process
}

std::string temporary_name_beside(const std::string& path, unsigned attempt) {
  static std::uint64_t state = 0;
  if (state == 0) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    state =
        (std::uint64_t{GetCurrentProcessId()} << 32 ^ static_cast<std::uint64_t>(now.QuadPart)) | 1;
  }
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::uint64_t bits = state + attempt;
  // The directory part: up to the last backslash or slash, or a bare drive's colon.
  const std::size_t cut = path.find_last_of("\\/:");
  std::string name = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
  name += ".kestrox-";
  for (int i = 0; i < 8; ++i) {
    name += kLetters[bits % (sizeof kLetters - 1)];
    bits /= sizeof kLetters - 1;
  }
  return name;
}

}  // namespace

WriteResult write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size,
                             bool replace, FileIdentity& written_identity) {
  if (replace) {
    // A directory is never replaced, nor a read-only file, which could not be opened for writing.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
      return WriteResult::kCannotOpen;
    }
  }
  static const bool handler_installed = SetConsoleCtrlHandler(remove_temporary, TRUE) != 0;
  (void)handler_installed;

  // Created only where nothing stands, and a reparse point there is never followed.
  std::string temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (unsigned attempt = 0; file == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    temporary = temporary_name_beside(path, attempt);
    g_pending_temporary.store(temporary.c_str());
    file = CreateFileA(temporary.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      g_pending_temporary.store(nullptr);
      const DWORD error = GetLastError();
      if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) return WriteResult::kCannotOpen;

  bool all_written = true;
  std::size_t written = 0;
  while (written < size) {
    const DWORD chunk =
        size - written < 0x40000000 ? static_cast<DWORD>(size - written) : 0x40000000;
    DWORD done = 0;
    if (!WriteFile(file, data + written, chunk, &done, nullptr) || done == 0) {
      all_written = false;
      break;
    }
    written += done;
  }
  identity_of(file, written_identity);
  const bool closed = CloseHandle(file) != 0;
  WriteResult result = all_written && closed ? WriteResult::kWritten : WriteResult::kShortWrite;
  if (result == WriteResult::kWritten) {
    // Without the replacing flag the move fails where anything stands; with it, the entry
    // itself is replaced, a link included, never what it points to.
    const DWORD flags = replace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (!MoveFileExA(temporary.c_str(), path.c_str(), flags)) result = WriteResult::kCannotOpen;
  }
  if (result != WriteResult::kWritten) DeleteFileA(temporary.c_str());
  g_pending_temporary.store(nullptr);
  return result;
}

}  // namespace kestrox

#endif  // _WIN32
