// The host on Windows. Paths are UTF-8 inside the program and reach the system through its wide
// calls, so that a folder named in any script opens whatever the ANSI code page is.
#if defined(_WIN32)

#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/host.h"
#include "platform/windows_text.h"

// The C runtime's own parse of the command line, which also builds argv.
struct RuntimeStartupInfo {
  int new_mode;
};
extern "C" int __wgetmainargs(int* count, wchar_t*** arguments, wchar_t*** environment,
                              int expand_wildcards, RuntimeStartupInfo* startup);
extern "C" int _dowildcard;

namespace kestrox {

namespace {

// Why the last host operation failed: a Windows error, or the C runtime's errno where the
// failing call was one of the runtime's.
struct HostError {
  bool set = false;
  bool from_runtime = false;
  unsigned long code = 0;
};
HostError g_error;

bool fail_with(DWORD code) {
  g_error = {true, false, code};
  return false;
}
bool fail() { return fail_with(GetLastError()); }
bool fail_in_runtime(int number) {
  g_error = {true, true, static_cast<unsigned long>(number)};
  return false;
}

bool starts_with_ignoring_case(std::wstring_view text, std::wstring_view start) {
  return text.size() >= start.size() &&
         CompareStringOrdinal(text.data(), static_cast<int>(start.size()), start.data(),
                              static_cast<int>(start.size()), TRUE) == CSTR_EQUAL;
}

// The path as the system completes it: the working directory before a relative path, "." and
// ".." gone, a device name as "\\.\NAME". Empty where it cannot.
std::wstring full_path_of(const std::wstring& path) {
  const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return {};
  std::wstring full(needed, L'\0');
  full.resize(GetFullPathNameW(path.c_str(), needed, full.data(), nullptr));
  return full;
}

// A path for the wide calls. Where its full form reaches MAX_PATH (less the room that a folder
// keeps for a file name), it goes as "\\?\" and that full form, which the system takes whole up to
// 32,767 characters: a deep folder works, and the temporary's longer name never fails where the
// attachment's would not. Shorter paths go as they are.
std::wstring system_path(std::string_view path) {
  std::wstring wide = wide_from(path);
  if (starts_with_ignoring_case(wide, L"\\\\?\\")) return wide;
  const std::wstring full = full_path_of(wide);
  if (full.size() < MAX_PATH - 12 || starts_with_ignoring_case(full, L"\\\\.\\")) return wide;
  if (starts_with_ignoring_case(full, L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
  return L"\\\\?\\" + full;
}

}  // namespace

PathStyle host_path_style() { return PathStyle::kWindows; }

void prepare_process() {}

bool get_working_directory(std::string& directory) {
  wchar_t buffer[MAX_PATH];
  const DWORD got = GetCurrentDirectoryW(MAX_PATH, buffer);
  if (got == 0) return fail();
  // The 260-character buffer of old: a longer directory is refused, counted in UTF-16 units as
  // Windows counts MAX_PATH.
  if (got >= MAX_PATH) return fail_with(ERROR_FILENAME_EXCED_RANGE);
  directory = utf8_from({buffer, got});
  return true;
}

std::string describe_current_error() {
  if (!g_error.set) return {};
  if (g_error.from_runtime) return std::strerror(static_cast<int>(g_error.code));
  const DWORD code = g_error.code;
  wchar_t* message = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                         FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                     nullptr, code, 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
  std::string text = length > 0 ? utf8_from({message, length}) : std::string();
  LocalFree(message);
  // The message ends in a line break (a blank with the width mask); its full stop stays.
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n')) {
    text.pop_back();
  }
  if (text.empty()) text = "Windows error " + std::to_string(code);
  return text;
}

void clear_current_error() { g_error = {}; }

std::vector<std::string> host_arguments(int argc, char** argv) {
  // The runtime's parse of the wide command line follows the very rules that gave argv (quotes,
  // backslashes, argument 0, globbing as configured), without the ANSI code page, which turns
  // every letter it lacks into '?'.
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  RuntimeStartupInfo startup{0};
  __wgetmainargs(&count, &wide, &environment, _dowildcard, &startup);
  if (wide == nullptr || count != argc) return {argv, argv + argc};
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(utf8_from(wide[i]));
  return arguments;
}

bool running_executable_path(std::string& path) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD got = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (got == 0) return fail();
    if (got < buffer.size()) {
      path = utf8_from({buffer.data(), got});
      return true;
    }
    if (buffer.size() >= 32768) return fail_with(ERROR_INSUFFICIENT_BUFFER);
    buffer.resize(buffer.size() * 2);
  }
}

bool source_may_wait(const std::string& path) {
  if (path == "-") return GetFileType(GetStdHandle(STD_INPUT_HANDLE)) != FILE_TYPE_DISK;
  // Decided by the name, as the system resolves it, without opening anything: opening a named
  // pipe would take one of its server's instances. The full path of a device name (CON, NUL,
  // COM1, also "dir\nul.txt" where Windows still reserves it) is "\\.\" and the device.
  const std::wstring full = full_path_of(wide_from(path));
  std::wstring_view rest(full);
  if (starts_with_ignoring_case(rest, L"\\\\.\\") || starts_with_ignoring_case(rest, L"\\\\?\\")) {
    rest.remove_prefix(4);
    if (starts_with_ignoring_case(rest, L"UNC\\")) {
      rest.remove_prefix(4);
    } else {
      // A drive ("\\?\C:\x") or a volume ("\\?\Volume{...}\x") holds files; anything else
      // there is a device or a pipe.
      const bool drive = rest.size() >= 2 && rest[1] == L':';
      return !drive && !starts_with_ignoring_case(rest, L"Volume{");
    }
  } else if (starts_with_ignoring_case(rest, L"\\\\")) {
    rest.remove_prefix(2);
  } else {
    return false;
  }
  // A share: "server\pipe\name" is a named pipe on that server.
  const std::size_t server_end = rest.find(L'\\');
  return server_end != std::wstring_view::npos &&
         starts_with_ignoring_case(rest.substr(server_end + 1), L"pipe\\");
}

bool can_open_for_reading(const std::string& path) {
  // As the runtime's read-only open did it; a directory does not open this way.
  const HANDLE file =
      CreateFileW(system_path(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return fail();
  CloseHandle(file);
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
  const std::wstring name = system_path(path);
  if (GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES) return std::nullopt;
  // The entry itself: a reparse point is opened as what it is, and a directory opens too.
  const HANDLE handle = CreateFileW(
      name.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  FileIdentity identity;
  if (handle != INVALID_HANDLE_VALUE) {
    identity_of(handle, identity);
    CloseHandle(handle);
  }
  return identity;
}

// --- the source ---------------------------------------------------------------------------------

namespace {
HANDLE as_handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
}  // namespace

SourceFile::~SourceFile() { release(); }

void SourceFile::release() {
  std::free(data_);
  if (owns_handle_) CloseHandle(as_handle(handle_));
  handle_ = -1;
  owns_handle_ = false;
  written_by_other_ = false;
  data_ = nullptr;
  size_ = capacity_ = mapped_ = 0;
}

bool SourceFile::open(const std::string& path) {
  release();
  const bool standard_input = path == "-";
  HANDLE file;
  if (standard_input) {
    file = GetStdHandle(STD_INPUT_HANDLE);
    // Started without standard input: there is nothing to read.
    if (file == nullptr || file == INVALID_HANDLE_VALUE) return fail_with(ERROR_INVALID_HANDLE);
  } else {
    // Not shared for writing: while the run holds it no other program may open it to write, and
    // one that has it open for writing already makes the open fail with a sharing violation.
    const std::wstring name = system_path(path);
    file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) {
      // Opened shared, it tells a file that another program writes (which then opens) from one
      // that another program holds for itself alone (which still does not).
      file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file == INVALID_HANDLE_VALUE) return fail_with(ERROR_SHARING_VIOLATION);
      written_by_other_ = true;
    }
    if (file == INVALID_HANDLE_VALUE) return fail();
  }
  const bool disk = GetFileType(file) == FILE_TYPE_DISK;
  BY_HANDLE_FILE_INFORMATION info{};
  if (disk && (!GetFileInformationByHandle(file, &info) ||
               (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)) {
    // A directory, which the system would not have opened for reading either.
    fail_with(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? ERROR_ACCESS_DENIED
                                                               : GetLastError());
    if (!standard_input) CloseHandle(file);
    written_by_other_ = false;
    return false;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  owns_handle_ = !standard_input;
  // Standard input that its caller has read part of goes on from where it stands, as a pipe
  // would: read to its end, not measured from its start.
  LARGE_INTEGER position{};
  stream_ = !disk ||
            (standard_input && SetFilePointerEx(file, LARGE_INTEGER{}, &position, FILE_CURRENT) &&
             position.QuadPart > 0);
  read_failed_ = false;
  return true;
}

std::int64_t SourceFile::measure(std::int64_t limit) {
  if (!stream_) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(as_handle(handle_), &size)) {
      fail();
      return -1;
    }
    // Not a failure here, but the reason for the one that a size past the limit will be.
    if (size.QuadPart > limit) fail_in_runtime(EFBIG);
    return size.QuadPart;
  }
  const std::int64_t got = read_to_end(limit);
  // A read error is kept for the load; here the source was too long, or memory ran out.
  if (got < 0) fail_in_runtime(size_ > static_cast<std::size_t>(limit) ? EFBIG : ENOMEM);
  return got;
}

std::ptrdiff_t SourceFile::read_some(std::uint8_t* into, std::size_t room) {
  const DWORD asked = room < 0x40000000 ? static_cast<DWORD>(room) : 0x40000000;
  DWORD got = 0;
  if (ReadFile(as_handle(handle_), into, asked, &got, nullptr)) return got;
  // A pipe whose writer has gone is at its end.
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
  fail();
  return -1;
}

SourceFile::Load SourceFile::load(std::size_t length) {
  if (stream_) return read_failed_ ? Load::kIncomplete : Load::kLoaded;
  if (written_by_other_) {
    // Nothing is read from it: whatever it holds now may be half of another program's write.
    clear_current_error();
    return Load::kIncomplete;
  }
  data_ = static_cast<std::uint8_t*>(std::malloc(length == 0 ? 1 : length));
  if (data_ == nullptr) {
    fail_in_runtime(ENOMEM);
    return Load::kNoMemory;
  }
  capacity_ = length;
  std::ptrdiff_t got = 1;
  while (size_ < length && (got = read_some(data_ + size_, length - size_)) > 0) {
    size_ += static_cast<std::size_t>(got);
  }
  if (size_ == length) return Load::kLoaded;
  // Shorter than it was when measured (a read error has its own reason already).
  if (got == 0) fail_with(ERROR_HANDLE_EOF);
  return Load::kIncomplete;
}

// Read into memory of its own, from a file that nobody could open for writing meanwhile: nothing
// that happens to the file later changes it.
std::string_view SourceFile::change() const {
  return written_by_other_ ? "the file is open for writing by another program" : "";
}

// In memory of its own already, written over where it stands.
void SourceFile::make_room(std::size_t, std::size_t) {}

void SourceFile::overwritten(std::size_t) {}

// --- writing ------------------------------------------------------------------------------------

namespace {

// The temporary file being written, for the handler that removes it by name when Ctrl+C,
// Ctrl+Break or closing the console ends the run where the file system would not delete it by
// itself. The handler runs on a thread of its own; the file is opened for sharing its deletion.
std::atomic<const wchar_t*> g_pending_temporary{nullptr};

BOOL WINAPI remove_temporary(DWORD) {
  if (const wchar_t* pending = g_pending_temporary.load()) DeleteFileW(pending);
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

// Marks the open file to be deleted when its handle closes, whatever ends the process, or takes
// the mark back.
bool set_delete_on_close(HANDLE file, bool remove) {
  FILE_DISPOSITION_INFO disposition;
  disposition.DeleteFile = remove;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// Gives the open file the name `path`. Without `replace` the rename fails where anything
// stands; with it the entry itself is replaced, a reparse point included, never a directory.
bool rename_open_file(HANDLE file, const std::wstring& path, bool replace) {
  const std::size_t name_bytes = (path.size() + 1) * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(FILE_RENAME_INFO, FileName) + name_bytes);
  auto* const info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->RootDirectory = nullptr;
  info->FileNameLength = static_cast<DWORD>(path.size() * sizeof(wchar_t));
  std::memcpy(info->FileName, path.c_str(), name_bytes);
  SetLastError(NO_ERROR);
  if (SetFileInformationByHandle(file, FileRenameInfo, info, static_cast<DWORD>(buffer.size()))) {
    return true;
  }
  return fail_with(GetLastError() != NO_ERROR ? GetLastError() : ERROR_NOT_SUPPORTED);
}

// Gives the file that replaces the entry at `path` that entry's access rules where they were set
// apart from its folder's (inheritance turned off, as "make this file private" does), so that a
// private file stays private. Otherwise the new file inherits its folder's rules, as the old one
// did. Nothing to give where the entry's rules cannot be read (a file system without them).
bool keep_access_rules(const std::wstring& path, HANDLE file) {
  const HANDLE old = CreateFileW(
      path.c_str(), READ_CONTROL, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
      OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (old == INVALID_HANDLE_VALUE) return true;
  ACL* rules = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD error = GetSecurityInfo(old, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                &rules, nullptr, &descriptor);
  CloseHandle(old);
  if (error != ERROR_SUCCESS) return true;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (GetSecurityDescriptorControl(descriptor, &control, &revision) &&
      (control & SE_DACL_PROTECTED) != 0) {
    error = SetSecurityInfo(file, SE_FILE_OBJECT,
                            DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, rules, nullptr);
  }
  LocalFree(descriptor);
  return error == ERROR_SUCCESS || fail_with(error);
}

}  // namespace

WriteResult write_whole_file(std::string& path, const std::uint8_t* data, std::size_t size,
                             bool replace, FileIdentity& written_identity,
                             const NextName& next_name) {
  std::wstring target = system_path(path);
  if (replace) {
    // A directory is never replaced, nor a read-only file, which could not be opened for writing:
    // the system's answer to both is "access denied".
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
      fail_with(ERROR_ACCESS_DENIED);
      return WriteResult::kCannotOpen;
    }
  }
  static const bool handler_installed = SetConsoleCtrlHandler(remove_temporary, TRUE) != 0;
  (void)handler_installed;

  // Created only where nothing stands, and a reparse point there is never followed. Nobody else
  // may open it while it is written.
  std::wstring temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  DWORD create_error = NO_ERROR;
  for (unsigned attempt = 0; file == INVALID_HANDLE_VALUE && attempt < 100; ++attempt) {
    temporary = system_path(temporary_name_beside(path, attempt));
    g_pending_temporary.store(temporary.c_str());
    file = CreateFileW(temporary.c_str(), GENERIC_WRITE | DELETE | (replace ? WRITE_DAC : 0),
                       FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      create_error = GetLastError();
      g_pending_temporary.store(nullptr);
      if (create_error != ERROR_FILE_EXISTS && create_error != ERROR_ALREADY_EXISTS) break;
    }
  }
  if (file == INVALID_HANDLE_VALUE) {
    fail_with(create_error);
    return WriteResult::kCannotOpen;
  }
  // From here until the mark is taken back, right before the rename, the system deletes the
  // file when its handle closes, also when the process is killed or crashes. Where the file
  // system refuses the mark, the handler above is all there is.
  bool deleted_on_close = set_delete_on_close(file, true);

  WriteResult result = WriteResult::kWritten;
  bool renamed = false;
  std::size_t written = 0;
  while (written < size) {
    const DWORD chunk =
        size - written < 0x40000000 ? static_cast<DWORD>(size - written) : 0x40000000;
    DWORD done = 0;
    const bool wrote = WriteFile(file, data + written, chunk, &done, nullptr) != 0;
    if (!wrote || done == 0) {
      fail_with(wrote ? ERROR_WRITE_FAULT : GetLastError());
      result = WriteResult::kShortWrite;
      break;
    }
    written += done;
  }
  identity_of(file, written_identity);
  if (result == WriteResult::kWritten && replace && !keep_access_rules(target, file)) {
    result = WriteResult::kCannotOpen;
  }
  if (result == WriteResult::kWritten) {
    if (deleted_on_close && !set_delete_on_close(file, false)) {
      fail();
      result = WriteResult::kCannotOpen;
    } else {
      deleted_on_close = false;
      renamed = rename_open_file(file, target, replace);
      // A free name that another program took meanwhile: the next one, where there is one.
      while (!renamed && !replace && next_name &&
             (g_error.code == ERROR_ALREADY_EXISTS || g_error.code == ERROR_FILE_EXISTS) &&
             !g_error.from_runtime && next_name(path)) {
        target = system_path(path);
        renamed = rename_open_file(file, target, replace);
      }
      if (!renamed) result = WriteResult::kCannotOpen;
    }
  }
  if (result != WriteResult::kWritten && !deleted_on_close) {
    deleted_on_close = set_delete_on_close(file, true);
  }
  // Closing reports no error for data on a local disk (WriteFile did); a failure here comes
  // after the rename, when the file is in its place already, and is reported all the same.
  if (!CloseHandle(file) && result == WriteResult::kWritten) {
    fail();
    result = WriteResult::kShortWrite;
  }
  if (!renamed && !deleted_on_close) DeleteFileW(temporary.c_str());
  g_pending_temporary.store(nullptr);
  return result;
}

bool make_directories(const std::string& path) {
  if (path.empty()) return true;
  // Each separator ends a directory above the last one. Steps that cannot be made (a drive, a
  // server's name, a folder that stands there) are passed over: the last step tells.
  DWORD last_error = ERROR_SUCCESS;
  for (std::size_t end = path.find_first_of("\\/", 1);; end = path.find_first_of("\\/", end + 1)) {
    last_error = CreateDirectoryW(system_path(path.substr(0, end)).c_str(), nullptr)
                     ? ERROR_SUCCESS
                     : GetLastError();
    if (end == std::string::npos || end + 1 == path.size()) break;
  }
  const DWORD attributes = GetFileAttributesW(system_path(path).c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return true;
  }
  if (attributes != INVALID_FILE_ATTRIBUTES) return fail_with(ERROR_DIRECTORY);
  return last_error != ERROR_SUCCESS && last_error != ERROR_ALREADY_EXISTS ? fail_with(last_error)
                                                                           : fail();
}

}  // namespace kestrox

#endif  // _WIN32
