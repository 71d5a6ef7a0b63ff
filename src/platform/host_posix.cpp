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

// --- signals that end the process ---------------------------------------------------------------

namespace {

// A signal number that this file's handler may have taken, for the table of earlier actions.
constexpr int kSignalSlots = 65;

// The actions that were in place before the handler below took each signal, and which signals it
// took. Filled before the handler is installed, read only by the handler afterwards.
struct sigaction g_earlier_actions[kSignalSlots];
bool g_caught[kSignalSlots];

// The temporary file whose name exists at this moment, if any, for the handler to remove.
std::atomic<const char*> g_pending_temporary{nullptr};

// The mapped source, for the bus-error handler and the writer. One source at a time.
std::atomic<std::uint8_t*> g_mapped_start{nullptr};
std::atomic<std::size_t> g_mapped_length{0};  // whole pages
std::uintptr_t g_page_size = 4096;            // taken before any handler needs it
volatile sig_atomic_t g_source_cut_short = 0;

// A page of the mapping past the end of a file that was cut short raises SIGBUS when touched.
// Anonymous zero pages take the place of the rest of the mapping, the run goes on with zeros,
// and the writer and the driver see the flag before anything read since is trusted.
bool replace_lost_source_pages(void* address) {
  auto* const at = static_cast<std::uint8_t*>(address);
  std::uint8_t* const start = g_mapped_start.load();
  const std::size_t length = g_mapped_length.load();
  if (start == nullptr || at < start || at >= start + length) return false;
  auto* const page =
      reinterpret_cast<std::uint8_t*>(reinterpret_cast<std::uintptr_t>(at) & ~(g_page_size - 1));
  const std::size_t rest = static_cast<std::size_t>(start + length - page);
  if (::mmap(page, rest, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) ==
      MAP_FAILED) {
    return false;
  }
  g_source_cut_short = 1;
  return true;
}

bool is_fault(int signal_number) {
  return signal_number == SIGSEGV || signal_number == SIGBUS || signal_number == SIGILL ||
         signal_number == SIGFPE;
}

// Removes the temporary file, then lets the signal do what it did before this handler came: a
// signal that was sent is raised again; a fault comes again by itself as soon as the instruction
// runs again, and meets the earlier action with its own details (a sanitizer's report, a core).
extern "C" void on_ending_signal(int signal_number, siginfo_t* info, void*) {
  const int saved_errno = errno;
  const bool fault = info != nullptr && info->si_code > 0 && is_fault(signal_number);
  if (fault && signal_number == SIGBUS && replace_lost_source_pages(info->si_addr)) {
    errno = saved_errno;
    return;
  }
  if (const char* pending = g_pending_temporary.exchange(nullptr)) ::unlink(pending);
  ::sigaction(signal_number, &g_earlier_actions[signal_number], nullptr);
  if (!fault) ::raise(signal_number);  // held until this handler returns
  errno = saved_errno;
}

// Puts the handler above in place for the signal. A signal the process was started to ignore
// (nohup's SIGHUP, a background job's SIGINT) stays ignored unless `even_if_ignored`.
void catch_signal(int signal_number, bool even_if_ignored) {
  if (signal_number <= 0 || signal_number >= kSignalSlots || g_caught[signal_number]) return;
  g_caught[signal_number] = true;
  struct sigaction action = {};
  action.sa_sigaction = on_ending_signal;
  // On the alternate stack where there is one (a sanitizer's), so that a stack overflow is still
  // met; nothing else is handled meanwhile.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  sigfillset(&action.sa_mask);
  // Put in place and the earlier action read in one call; where the earlier one turns out to have
  // been to ignore the signal, it goes back. Such a signal sent in the instant between is ignored
  // all the same, by way of the handler, and no temporary file exists yet.
  struct sigaction& earlier = g_earlier_actions[signal_number];
  if (::sigaction(signal_number, &action, &earlier) != 0) return;
  if (!even_if_ignored && (earlier.sa_flags & SA_SIGINFO) == 0 && earlier.sa_handler == SIG_IGN) {
    ::sigaction(signal_number, &earlier, nullptr);
  }
}

// Every signal that can be caught and whose default action ends the process. The console puts
// its own handlers in place for some of them only while it waits for a key, when no temporary
// file exists, and puts these back afterwards.
void remove_temporaries_on_signals() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  static constexpr int kEnding[] = {
      SIGHUP,  SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT, SIGBUS,    SIGFPE,  SIGUSR1, SIGSEGV,
      SIGUSR2, SIGPIPE, SIGALRM, SIGTERM, SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,
#if defined(__linux__)
      SIGIO,  // SIGPOLL, which ends a process on Linux only
      SIGPWR,
#if defined(SIGSTKFLT)
      SIGSTKFLT,
#endif
#endif
#if defined(SIGEMT)
      SIGEMT,
#endif
  };
  for (const int signal_number : kEnding) catch_signal(signal_number, false);
#if defined(SIGRTMIN) && defined(SIGRTMAX)
  for (int signal_number = SIGRTMIN; signal_number <= SIGRTMAX; ++signal_number) {
    catch_signal(signal_number, false);
  }
#endif
}

// Holds back every signal that can be held while a temporary name comes into being and is
// recorded for the handler, so that a name is never left unrecorded, nor recorded before it is
// ours.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t all;
    sigfillset(&all);
    ::sigprocmask(SIG_BLOCK, &all, &before_);
  }
  ~SignalsHeld() {
    const int saved_errno = errno;
    ::sigprocmask(SIG_SETMASK, &before_, nullptr);
    errno = saved_errno;
  }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t before_;
};

}  // namespace

// --- the source ---------------------------------------------------------------------------------

namespace {

// Below this size the source is read into the heap: a mapping and its page faults cost more than
// copying a few pages.
constexpr std::size_t kSmallestMapped = std::size_t{64} << 10;

int g_source_fd = -1;
std::size_t g_source_length = 0;
bool g_copy_in_kernel = false;  // the mapped bytes are the file's own, and no refusal yet

// What the mapped file looked like when it was mapped: a file rewritten in place since then
// differs in one of these, even where its length came back the same.
struct SourceStamp {
  off_t size = 0;
  timespec modified = {};
  timespec changed = {};
};
SourceStamp g_source_stamp;

SourceStamp stamp_of(const struct stat& info) {
#if defined(__APPLE__)
  return {info.st_size, info.st_mtimespec, info.st_ctimespec};
#else
  return {info.st_size, info.st_mtim, info.st_ctim};
#endif
}

bool same_time(const timespec& a, const timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

void catch_bus_errors() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  g_page_size = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  // Even where SIGBUS was ignored: the kernel would end the process for this fault regardless.
  catch_signal(SIGBUS, true);
}

std::size_t whole_pages(std::size_t length) {
  const auto page_size = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (length + page_size - 1) / page_size * page_size;
}

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
  // Closed at start, standard input has no bytes to give: /dev/null only holds its place.
  if (standard_input && g_standard_input_closed) {
    errno = EBADF;
    return false;
  }
  const int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat info;
  const bool known = ::fstat(fd, &info) == 0;
  if (!known || S_ISDIR(info.st_mode)) {
    // A directory is no source file, as on Windows, where it does not open at all.
    const int error = known ? EISDIR : errno;
    if (!standard_input) ::close(fd);
    errno = error;
    return false;
  }
  handle_ = fd;
  owns_handle_ = !standard_input;
  // Standard input that its caller has read part of (a shell's `read` of a first line) goes on
  // from where it stands, as a pipe would: read to its end, not mapped or measured from its start.
  stream_ = !S_ISREG(info.st_mode) || (standard_input && ::lseek(fd, 0, SEEK_CUR) > 0);
  read_failed_ = false;
  read_error_ = 0;
  return true;
}

std::int64_t SourceFile::measure(std::int64_t limit) {
  const int fd = static_cast<int>(handle_);
  if (!stream_) {
    struct stat info;
    if (fd < 0) errno = EBADF;
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
  if (stream_) {
    if (!read_failed_) return Load::kLoaded;
    errno = read_error_;
    return Load::kIncomplete;
  }
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
      struct stat info;
      if (::fstat(fd, &info) != 0) return Load::kIncomplete;
      g_source_stamp = stamp_of(info);
      // Cut short between measuring and mapping: the pages past its end hold nothing.
      if (static_cast<std::uint64_t>(info.st_size) >= length) return Load::kLoaded;
      errno = 0;  // no error of the host's: the file changed
      return Load::kIncomplete;
    }
    // A file that cannot be mapped is read.
  }
  data_ = static_cast<std::uint8_t*>(std::malloc(length == 0 ? 1 : length));
  if (data_ == nullptr) return Load::kNoMemory;
  capacity_ = length;
  while (size_ < length) {
    const ssize_t got = ::read(fd, data_ + size_, length - size_);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) errno = 0;  // cut short since it was measured
    if (got <= 0) break;
    size_ += static_cast<std::size_t>(got);
  }
  return size_ == length ? Load::kLoaded : Load::kIncomplete;
}

namespace {
// True while the mapped source, if any, is as it was when it was mapped: not cut short, and of
// the same length, modification time and change time.
bool mapped_source_intact() {
  if (g_mapped_start.load() == nullptr || g_source_fd < 0) return true;
  if (g_source_cut_short) return false;
  struct stat info;
  if (::fstat(g_source_fd, &info) != 0) return false;
  const SourceStamp now = stamp_of(info);
  return now.size == g_source_stamp.size && same_time(now.modified, g_source_stamp.modified) &&
         same_time(now.changed, g_source_stamp.changed);
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
  int error = 0;
  while (got_total < length) {
    const ssize_t got = ::pread(static_cast<int>(handle_), into + got_total, length - got_total,
                                static_cast<off_t>(got_total));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) error = errno;
    if (got <= 0) break;
    got_total += static_cast<std::size_t>(got);
  }
  // Read while the file was rewritten, the copy may hold parts of both versions.
  const bool whole = got_total == length && mapped_source_intact();
  g_mapped_start.store(nullptr);
  g_mapped_length.store(0);
  ::munmap(data_, mapped_);
  data_ = into;
  mapped_ = 0;
  anonymous_ = whole_pages(length);
  if (whole) return Load::kLoaded;
  errno = error;  // 0 when the file changed rather than failed
  return Load::kIncomplete;
}

// --- writing ------------------------------------------------------------------------------------

namespace {

#if defined(__linux__) && defined(O_TMPFILE) && !defined(KESTROX_PORTABLE_FALLBACKS)
#define KESTROX_UNNAMED_FILES 1
// The output's file system, or the kernel, makes no files without a name (or there is no /proc
// to give them one through): temporary names from then on.
bool g_unnamed_refused = false;
#endif

// The permissions of a new file, as creating it with 0666 would have given them.
mode_t new_file_permissions() {
  static const mode_t permissions = [] {
    // The mask can only be read by setting it, and is put back at once; the process has a
    // single thread, so no file is created meanwhile.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
  }();
  return permissions;
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
    if (done == 0) errno = EIO;
    if (done <= 0) return false;
    written += static_cast<std::size_t>(done);
  }
  return true;
}

// Attachments from this size on are copied through the buffer below, and get their blocks at once.
constexpr std::size_t kLargeAttachment = std::size_t{1} << 20;

// The buffer that large attachments are copied through: one huge page where the kernel gives one
// (fewer TLB misses on both copies, half as many calls as a 1 MiB block), which the processor's
// caches hold while the next chunk is read into it.
constexpr std::size_t kChunk = std::size_t{2} << 20;
std::uint8_t* copy_buffer() {
  static std::uint8_t* const buffer = [] {
    // Twice the size, so that a 2 MiB boundary lies inside; the rest goes back at once.
    void* const block =
        ::mmap(nullptr, 2 * kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (block == MAP_FAILED) return static_cast<std::uint8_t*>(nullptr);
    auto* const start = static_cast<std::uint8_t*>(block);
    auto* const aligned = reinterpret_cast<std::uint8_t*>(
        (reinterpret_cast<std::uintptr_t>(start) + kChunk - 1) & ~(std::uintptr_t{kChunk} - 1));
    if (aligned != start) ::munmap(start, static_cast<std::size_t>(aligned - start));
    ::munmap(aligned + kChunk, static_cast<std::size_t>(start + 2 * kChunk - (aligned + kChunk)));
#if defined(MADV_HUGEPAGE) && !defined(KESTROX_PORTABLE_FALLBACKS)
    ::madvise(aligned, kChunk, MADV_HUGEPAGE);
#endif
    return aligned;
  }();
  return buffer;
}

// Reads the source file's bytes from `from` on through the buffer and writes them: no page of the
// mapping is touched, so none has to be faulted in.
bool copy_through_buffer(int fd, off_t from, std::size_t size) {
  std::uint8_t* const buffer = copy_buffer();
  if (buffer == nullptr) return false;
  while (size > 0) {
    const ssize_t got = ::pread(g_source_fd, buffer, size < kChunk ? size : kChunk, from);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) errno = 0;     // a source cut short
    if (got <= 0) return false;  // or a read error
    if (!write_all(fd, buffer, static_cast<std::size_t>(got))) return false;
    from += got;
    size -= static_cast<std::size_t>(got);
  }
  return true;
}

// Gives a large output file all its blocks before the first byte is written: the file system then
// finds them in one call rather than reserving them page by page as the bytes arrive, which took
// a fifth of a large attachment's time on ext4. Only a hint: where it is refused, the writes
// reserve the blocks as they go, and a disk that is full says so there.
void reserve_blocks(int fd, std::size_t size) {
#if defined(__linux__) && !defined(KESTROX_PORTABLE_FALLBACKS)
  static bool refused = false;
  if (refused || size < kLargeAttachment) return;
  if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(size)) != 0 &&
      (errno == EOPNOTSUPP || errno == ENOSYS)) {
    refused = true;
  }
#else
  (void)fd;
  (void)size;
#endif
}

// Bytes of the mapped source, unchanged since loading, go from the source file to the output file
// without the mapping: inside the kernel where the file systems allow it and the bytes start on a
// page (from anywhere else the kernel builds every page it writes out of two, which costs half as
// much again as the buffer), else through a buffer. A small attachment is written from the
// mapping: setting up the copy costs more than the few pages it would not touch.
bool copy_or_write(int fd, const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSmallestCopiedInKernel = std::size_t{64} << 10;
  reserve_blocks(fd, size);
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
  if (size < kLargeAttachment) return write_all(fd, data, size);
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
  const int claim = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
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

// The file an attachment is written to before it takes its name. On Linux it has no name at all
// until it is complete, so that nothing is left of it whatever ends the process; elsewhere it has
// a temporary name beside its own, which a signal that ends the process removes. It is readable
// by its owner alone until it takes its name. Whatever fails, the destructor leaves no trace of
// it and errno as the failure set it.
class PendingFile {
 public:
  explicit PendingFile(const std::string& path) : path_(path) {}
  ~PendingFile() {
    const int saved_errno = errno;
    if (fd_ >= 0) ::close(fd_);
    forget_temporary(true);
    errno = saved_errno;
  }
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  int fd() const { return fd_; }
  bool create();
  // Closes the file, or where it has no name yet, only checks what closing reports: a network
  // file system tells of bytes that did not reach the server only there.
  bool close_checked();
  // Without `replace` the name is taken only where nothing stands; with it, the entry at the
  // path itself is replaced.
  bool take_name(bool replace);

 private:
  bool create_named(const std::string& name);
  void forget_temporary(bool remove);
#if defined(KESTROX_UNNAMED_FILES)
  bool link_to(const std::string& name) const;
#endif

  const std::string& path_;
  std::string temporary_;  // the temporary name while it exists
  int fd_ = -1;
  bool unnamed_ = false;
};

void PendingFile::forget_temporary(bool remove) {
  if (temporary_.empty()) return;
  g_pending_temporary.store(nullptr);
  if (remove) ::unlink(temporary_.c_str());
  temporary_.clear();
}

// Creates `name` for the file, and records it for the handler in the same instant.
bool PendingFile::create_named(const std::string& name) {
  const SignalsHeld held;
#if defined(KESTROX_UNNAMED_FILES)
  if (unnamed_) {
    if (!link_to(name)) return false;
  } else
#endif
  {
    fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0) return false;
  }
  temporary_ = name;
  g_pending_temporary.store(temporary_.c_str());
  return true;
}

#if defined(KESTROX_UNNAMED_FILES)
bool PendingFile::link_to(const std::string& name) const {
  // The file is named by its descriptor where the kernel lets this process (root always; since
  // Linux 6.10 the process that opened it), else through its entry under /proc, a longer walk.
  static bool by_descriptor = true;
  if (by_descriptor) {
    if (::linkat(fd_, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return false;
    by_descriptor = false;
  }
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
  return ::linkat(AT_FDCWD, self, AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) == 0;
}
#endif

bool PendingFile::create() {
#if defined(KESTROX_UNNAMED_FILES)
  if (!g_unnamed_refused) {
    const std::size_t slash = path_.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
    fd_ = ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      static const bool proc_mounted = ::access("/proc/self/fd", X_OK) == 0;
      if (proc_mounted) {
        unnamed_ = true;
        return true;
      }
      ::close(fd_);
      fd_ = -1;
    } else if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
      return false;  // the directory's own failure, which a temporary name would meet too
    }
    g_unnamed_refused = true;
  }
#endif
  remove_temporaries_on_signals();
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    if (create_named(temporary_name_beside(path_, attempt))) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

bool PendingFile::close_checked() {
  if (unnamed_) {
    const int copy = ::dup(fd_);
    return copy >= 0 && ::close(copy) == 0;
  }
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0;
}

bool PendingFile::take_name(bool replace) {
#if defined(KESTROX_UNNAMED_FILES)
  if (unnamed_ && !replace) return link_to(path_);
  if (unnamed_) {
    // No call replaces an entry by a file without a name: it gets a temporary one for the
    // instant before the rename.
    remove_temporaries_on_signals();
    unsigned attempt = 0;
    while (!create_named(temporary_name_beside(path_, attempt))) {
      if (errno != EEXIST || ++attempt == 100) return false;
    }
  }
#endif
  const bool moved = replace ? ::rename(temporary_.c_str(), path_.c_str()) == 0
                             : move_into_free_name(temporary_.c_str(), path_.c_str());
  if (moved) forget_temporary(false);
  return moved;
}

}  // namespace

WriteResult write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size,
                             bool replace, FileIdentity& written_identity) {
  // A file that is replaced keeps its owner and permissions where the process may set them, as
  // `cp -p` keeps them: a file its owner made private does not come back readable by everyone.
  struct stat old;
  bool keeps_old = false;
  if (replace && ::lstat(path.c_str(), &old) == 0) {
    // A directory is never replaced; nor is a file its user may not change, as opening it for
    // writing would have been refused.
    if (S_ISDIR(old.st_mode)) {
      errno = EISDIR;
      return WriteResult::kCannotOpen;
    }
    if (S_ISREG(old.st_mode)) {
      if (::access(path.c_str(), W_OK) != 0) return WriteResult::kCannotOpen;
      keeps_old = true;
    }
  }
  PendingFile file(path);
  if (!file.create()) return WriteResult::kCannotOpen;
  if (!copy_or_write(file.fd(), data, size)) return WriteResult::kShortWrite;

  struct stat made;
  const bool known = ::fstat(file.fd(), &made) == 0;
  if (known) written_identity = identity_of(made);
  // The owner first: a change of owner clears the set-user-ID bits that a mode may hold. Where
  // the owner may not be given away, the group may still be one of the user's own.
  if (keeps_old && known && (made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
      ::fchown(file.fd(), old.st_uid, old.st_gid) != 0 && (errno == EPERM || errno == EINVAL)) {
    (void)::fchown(file.fd(), static_cast<uid_t>(-1), old.st_gid);
  }
  const mode_t permissions = keeps_old ? old.st_mode & 0777 : new_file_permissions();
  if (!known || (made.st_mode & 07777) != permissions) (void)::fchmod(file.fd(), permissions);

  if (!file.close_checked()) return WriteResult::kShortWrite;
  // Bytes read from a source that was cut short or rewritten meanwhile may be zeros or another
  // file's: never moved into place.
  if (!mapped_source_intact()) {
    errno = 0;
    return WriteResult::kShortWrite;
  }
  if (!file.take_name(replace)) return WriteResult::kCannotOpen;
  // An attachment that took the mapped source's own name (an attachment named as the file it came
  // in, or a hard link to it) changed the source's change time: that change was this run's own.
  struct stat source;
  if (keeps_old && g_mapped_start.load() != nullptr && ::fstat(g_source_fd, &source) == 0 &&
      source.st_dev == old.st_dev && source.st_ino == old.st_ino) {
    g_source_stamp = stamp_of(source);
  }
  return WriteResult::kWritten;
}

}  // namespace kestrox

#endif  // !_WIN32
