// The host on Linux, macOS and other POSIX systems.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "platform/host.h"

namespace kestrox {

PathStyle host_path_style() { return PathStyle::kPosix; }

void prepare_process() {
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  // Started with standard input, output or error closed, the first file opened would take that
  // number, and text meant for the console would land in an attachment.
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) ::open("/dev/null", O_RDWR);
  }
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

// --- the source ---------------------------------------------------------------------------------

namespace {

// Below this size the source is read into the heap: a mapping and its page faults cost more than
// copying a few pages.
constexpr std::size_t kSmallestMapped = std::size_t{64} << 10;

// The mapped source, for the bus-error handler and the writer. One source at a time.
std::atomic<std::uint8_t*> g_mapped_start{nullptr};
std::atomic<std::size_t> g_mapped_length{0};  // whole pages
std::uintptr_t g_page_size = 4096;            // taken before any handler needs it
volatile sig_atomic_t g_source_cut_short = 0;
int g_source_fd = -1;
std::size_t g_source_length = 0;
bool g_copy_in_kernel = false;  // the mapped bytes are the file's own, and no refusal yet

// A page of the mapping past the end of a file that was cut short raises SIGBUS when touched.
// Anonymous zero pages take the place of the rest of the mapping, the run goes on with zeros,
// and the writer and the driver see the flag before anything read since is trusted.
extern "C" void on_bus_error(int signal_number, siginfo_t* info, void*) {
  const int saved_errno = errno;
  auto* const at = static_cast<std::uint8_t*>(info->si_addr);
  std::uint8_t* const start = g_mapped_start.load();
  const std::size_t length = g_mapped_length.load();
  if (start != nullptr && at >= start && at < start + length) {
    auto* const page =
        reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(at) & ~(g_page_size - 1));
    const std::size_t rest = static_cast<std::size_t>(start + length - page);
    if (::mmap(page, rest, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1,
               0) != MAP_FAILED) {
      g_source_cut_short = 1;
      errno = saved_errno;
      return;
    }
  }
  // Not ours: the default action, when the faulting access runs again.
  ::signal(signal_number, SIG_DFL);
}

void catch_bus_errors() {
  static bool installed = false;
  if (installed) return;
  g_page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  struct sigaction action = {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO;
  sigemptyset(&action.sa_mask);
  installed = ::sigaction(SIGBUS, &action, nullptr) == 0;
}

std::size_t whole_pages(std::size_t length) {
  const auto page_size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (length + page_size - 1) / page_size * page_size;
}

}  // namespace

SourceFile::~SourceFile() { release(); }

void SourceFile::release() {
  if (mapped_ != 0) {
    g_mapped_start.store(nullptr);
    g_mapped_length.store(0);
    ::munmap(data_, mapped_);
  } else if (anonymous_ != 0) {
    ::munmap(data_, anonymous_);
  } else {
    std::free(data_);
  }
  if (g_source_fd == handle_) g_source_fd = -1;
  if (owns_handle_) ::close(static_cast<int>(handle_));
  handle_ = -1;
  owns_handle_ = false;
  data_ = nullptr;
  size_ = capacity_ = mapped_ = anonymous_ = 0;
}

bool SourceFile::open(const std::string& path) {
  release();
  const bool standard_input = path == "-";
  const int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  if (::fstat(fd, &info) != 0 || S_ISDIR(info.st_mode)) {
    // A directory is no source file, as on Windows, where it does not open at all.
    if (!standard_input) ::close(fd);
    errno = EISDIR;
    return false;
  }
  handle_ = fd;
  owns_handle_ = !standard_input;
  // Standard input that its caller has read part of (a shell's `read` of a first line) goes on
  // from where it stands, as a pipe would: read to its end, not mapped or measured from its start.
  stream_ = !S_ISREG(info.st_mode) || (standard_input && ::lseek(fd, 0, SEEK_CUR) > 0);
  read_failed_ = false;
  return true;
}

std::int64_t SourceFile::measure(std::int64_t limit) {
  const int fd = static_cast<int>(handle_);
  if (!stream_) {
    struct stat info;
    if (fd < 0 || ::fstat(fd, &info) != 0) return -1;
    return static_cast<std::int64_t>(info.st_size);
  }
  return read_to_end(limit);
}

std::ptrdiff_t SourceFile::read_some(std::uint8_t* into, std::size_t room) {
  for (;;) {
    const ssize_t got = ::read(static_cast<int>(handle_), into, room);
    if (got >= 0 || errno != EINTR) return got;
  }
}

SourceFile::Load SourceFile::load(std::size_t length) {
  if (stream_) return read_failed_ ? Load::kIncomplete : Load::kLoaded;
  const int fd = static_cast<int>(handle_);
  if (length >= kSmallestMapped) {
    void* const mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (mapping != MAP_FAILED) {
      catch_bus_errors();
      data_ = static_cast<std::uint8_t*>(mapping);
      size_ = length;
      mapped_ = whole_pages(length);
      g_source_cut_short = 0;
      g_mapped_length.store(mapped_);
      g_mapped_start.store(data_);
      g_source_fd = fd;
      g_source_length = length;
      g_copy_in_kernel = true;
      // Cut short between measuring and mapping: the pages past its end hold nothing.
      return intact() ? Load::kLoaded : Load::kIncomplete;
    }
    // A file that cannot be mapped is read.
  }
  data_ = static_cast<std::uint8_t*>(std::malloc(length == 0 ? 1 : length));
  if (data_ == nullptr) return Load::kNoMemory;
  capacity_ = length;
  while (size_ < length) {
    const ssize_t got = ::read(fd, data_ + size_, length - size_);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    size_ += static_cast<std::size_t>(got);
  }
  return size_ == length ? Load::kLoaded : Load::kIncomplete;
}

namespace {
// True while the mapped source, if any, is as long as it was when it was mapped.
bool mapped_source_intact() {
  if (g_mapped_start.load() == nullptr || g_source_fd < 0) return true;
  if (g_source_cut_short) return false;
  struct stat info;
  return ::fstat(g_source_fd, &info) == 0 &&
         static_cast<std::uint64_t>(info.st_size) >= g_source_length;
}
}  // namespace

bool SourceFile::intact() const { return mapped_ == 0 || mapped_source_intact(); }

SourceFile::Load SourceFile::make_writable() {
  if (mapped_ == 0) return Load::kLoaded;
  // Fresh pages of its own, with transparent huge pages asked for: faulting in a large block
  // 4 KiB at a time costs more than reading the file.
  const std::size_t length = size_;
  void* const block =
      ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return Load::kNoMemory;
#if defined(MADV_HUGEPAGE) && !defined(KESTROX_PORTABLE_FALLBACKS)
  ::madvise(block, length, MADV_HUGEPAGE);
#endif
  auto* const into = static_cast<std::uint8_t*>(block);
  std::size_t got_total = 0;
  while (got_total < length) {
    const ssize_t got = ::pread(static_cast<int>(handle_), into + got_total, length - got_total,
                                static_cast<off_t>(got_total));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    got_total += static_cast<std::size_t>(got);
  }
  g_mapped_start.store(nullptr);
  g_mapped_length.store(0);
  ::munmap(data_, mapped_);
  data_ = into;
  mapped_ = 0;
  anonymous_ = whole_pages(length);
  return got_total == length ? Load::kLoaded : Load::kIncomplete;
}

// --- writing ------------------------------------------------------------------------------------

namespace {

// The temporary file being written, for the handler that removes it when a signal ends the run.
std::atomic<const char*> g_pending_temporary{nullptr};

constexpr int kRemovingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
constexpr std::size_t kRemovingSignalCount = sizeof kRemovingSignals / sizeof kRemovingSignals[0];
struct sigaction g_earlier_actions[kRemovingSignalCount];

// Removes the temporary file, then lets the signal do what it did before this handler came.
extern "C" void remove_temporary_and_reraise(int signal_number) {
  if (const char* pending = g_pending_temporary.load()) ::unlink(pending);
  for (std::size_t i = 0; i < kRemovingSignalCount; ++i) {
    if (kRemovingSignals[i] == signal_number)
      ::sigaction(signal_number, &g_earlier_actions[i], nullptr);
  }
  ::raise(signal_number);
}

// Once per process. A signal the process was started to ignore stays ignored. The console puts
// its own handler in place only while it waits for a key, when no temporary file exists, and puts
// this one back afterwards.
void remove_temporaries_on_signals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (std::size_t i = 0; i < kRemovingSignalCount; ++i) {
    if (::sigaction(kRemovingSignals[i], nullptr, &g_earlier_actions[i]) != 0 ||
        g_earlier_actions[i].sa_handler == SIG_IGN) {
      continue;
    }
    struct sigaction action = {};
    action.sa_handler = remove_temporary_and_reraise;
    sigemptyset(&action.sa_mask);
    ::sigaction(kRemovingSignals[i], &action, nullptr);
  }
}

// A name that no attachment takes (their names never begin with '.') and that is unlikely to be
// taken by anything else; the exclusive create settles the rest.
std::string temporary_name_beside(const std::string& path, unsigned attempt) {
  static std::uint64_t state = 0;
  if (state == 0) {
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    state = (static_cast<std::uint64_t>(::getpid()) << 32 ^
             static_cast<std::uint64_t>(now.tv_nsec) ^ static_cast<std::uint64_t>(now.tv_sec)) |
            1;
  }
  state ^= state << 13;
  state ^= state >> 7;
  state ^= state << 17;
  static constexpr char kLetters[] =
      "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::uint64_t bits = state + attempt;
  const std::size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  name += ".kestrox-";
  for (int i = 0; i < 8; ++i) {
    name += kLetters[bits % (sizeof kLetters - 1)];
    bits /= sizeof kLetters - 1;
  }
  return name;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t written = 0;
  while (written < size) {
    const ssize_t done = ::write(fd, data + written, size - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    written += static_cast<std::size_t>(done);
  }
  return true;
}

// Reads the source file's bytes from `from` on through a small buffer that stays in the cache, and
// writes them: no page of the mapping is touched, so none has to be faulted in.
bool copy_through_buffer(int fd, off_t from, std::size_t size) {
  constexpr std::size_t kChunk = std::size_t{1} << 20;
  static auto* const buffer = static_cast<std::uint8_t*>(std::malloc(kChunk));
  if (buffer == nullptr) return false;
  while (size > 0) {
    const ssize_t got = ::pread(g_source_fd, buffer, size < kChunk ? size : kChunk, from);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;  // a source cut short, or a read error
    if (!write_all(fd, buffer, static_cast<std::size_t>(got))) return false;
    from += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// Bytes of the mapped source, unchanged since loading, go from the source file to the output file
// without the mapping: inside the kernel where the file systems allow it and the bytes start on a
// page (from anywhere else the kernel builds every page it writes out of two, which costs half as
// much again as the buffer), else through a buffer. A small attachment is written from the
// mapping: setting up the copy costs more than the few pages it would not touch.
bool copy_or_write(int fd, const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSmallestCopiedInKernel = std::size_t{64} << 10;
  constexpr std::size_t kSmallestBuffered = std::size_t{1} << 20;
  std::uint8_t* const start = g_mapped_start.load();
  if (size < kSmallestCopiedInKernel || start == nullptr || data < start ||
      static_cast<std::size_t>(data - start) > g_source_length ||
      size > g_source_length - static_cast<std::size_t>(data - start)) {
    return write_all(fd, data, size);
  }
  off_t from = data - start;
#if defined(__linux__) && !defined(KESTROX_PORTABLE_FALLBACKS)
  if (g_copy_in_kernel && static_cast<std::uintptr_t>(from) % g_page_size == 0) {
    loff_t next = from;
    std::size_t copied = 0;
    while (copied < size) {
      const ssize_t done = ::copy_file_range(g_source_fd, &next, fd, nullptr, size - copied, 0);
      if (done < 0 && errno == EINTR) continue;
      if (done < 0 && copied == 0 &&
          (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
           errno == EBADF || errno == ETXTBSY || errno == EPERM)) {
        g_copy_in_kernel = false;  // refused between these two files: through the buffer now
        break;
      }
      if (done < 0) return false;  // the output's own failure
      if (done == 0) break;         // the buffer's reads tell whether the source was cut short
      copied += static_cast<std::size_t>(done);
    }
    from += static_cast<off_t>(copied);
    size -= copied;
    data += copied;
  }
#endif
  if (size < kSmallestBuffered) return write_all(fd, data, size);
  return copy_through_buffer(fd, from, size);
}

// Gives the temporary file the name `path` only if nothing stands there; false with errno EEXIST
// when something does.
bool move_into_free_name(const char* temporary, const char* path) {
#if defined(__linux__) && !defined(KESTROX_PORTABLE_FALLBACKS)
  if (::renameat2(AT_FDCWD, temporary, AT_FDCWD, path, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return false;
#endif
  // A second name for the file is made only where none stands, then the first one goes.
  if (::link(temporary, path) == 0) {
    ::unlink(temporary);
    return true;
  }
  if (errno == EEXIST || (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)) return false;
  // No hard links on this file system (FAT, some network ones): the name is claimed by an empty
  // file created exclusively, which the rename then replaces. Whatever stood there before is
  // never touched; only an entry put in place of the claim in the instant between the two could
  // be, and that one did not stand there when the name was found free.
  const int claim = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (claim < 0) return false;
  struct stat claimed;
  const bool known = ::fstat(claim, &claimed) == 0;
  ::close(claim);
  if (::rename(temporary, path) == 0) return true;
  const int error = errno;
  struct stat now;
  if (known && ::lstat(path, &now) == 0 && now.st_dev == claimed.st_dev &&
      now.st_ino == claimed.st_ino) {
    ::unlink(path);
  }
  errno = error;
  return false;
}

}  // namespace

WriteResult write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size,
                             bool replace, FileIdentity& written_identity) {
  // The permissions of a file that is replaced carry over, as they did when it was overwritten
  // in place: a file its owner made private does not come back readable by everyone.
  std::optional<mode_t> kept_permissions;
  if (replace) {
    // A directory is never replaced; nor is a file its user may not change, as opening it for
    // writing would have been refused.
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode) || (S_ISREG(info.st_mode) && ::access(path.c_str(), W_OK) != 0)) {
        return WriteResult::kCannotOpen;
      }
      if (S_ISREG(info.st_mode)) kept_permissions = info.st_mode & 0777;
    }
  }
  remove_temporaries_on_signals();
  std::string temporary;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    temporary = temporary_name_beside(path, attempt);
    g_pending_temporary.store(temporary.c_str());
    fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) {
      g_pending_temporary.store(nullptr);
      if (errno != EEXIST) break;
    }
  }
  if (fd < 0) return WriteResult::kCannotOpen;

  const bool all_written = copy_or_write(fd, data, size);
  if (kept_permissions) ::fchmod(fd, *kept_permissions);
  struct stat info;
  if (::fstat(fd, &info) == 0) written_identity = identity_of(info);
  const bool closed = ::close(fd) == 0;
  // Bytes read from a source that was cut short meanwhile may be zeros: never moved into place.
  WriteResult result = all_written && closed && mapped_source_intact() ? WriteResult::kWritten
                                                                       : WriteResult::kShortWrite;
  if (result == WriteResult::kWritten) {
    const bool moved = replace ? ::rename(temporary.c_str(), path.c_str()) == 0
                               : move_into_free_name(temporary.c_str(), path.c_str());
    if (!moved) result = WriteResult::kCannotOpen;
  }
  if (result != WriteResult::kWritten) ::unlink(temporary.c_str());
  g_pending_temporary.store(nullptr);
  return result;
}

}  // namespace kestrox

#endif  // !_WIN32
