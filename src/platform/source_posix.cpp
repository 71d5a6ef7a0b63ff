// The POSIX host's source file: opened and guarded against other programs' writes, measured,
// mapped or read, and asked whether its bytes can still be trusted.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/host.h"
#include "platform/host_posix.h"

#if defined(__linux__) && defined(F_SETLEASE) && !defined(KESTROX_PORTABLE_FALLBACKS)
#define KESTROX_LEASES 1
#endif

namespace kestrox {

namespace {

using posix::g_watch;

// Below this size the source is read into the heap: a mapping and its page faults cost more than
// copying a few pages.
constexpr std::size_t kSmallestMapped = std::size_t{64} << 10;

constexpr std::string_view kHeldForWriting = "the file is open for writing by another program";
constexpr std::string_view kOpenedForWriting =
    "another program opened the file for writing while it was read";
constexpr std::string_view kChanged = "the file changed while it was read";

// How a change of the source by another program is seen: not at all once its bytes are in memory
// of their own; by a lease that the kernel breaks; or by its length and time stamps.
enum class Guard { kNone, kLease, kStamps };

// What the file looked like when it was opened: a file rewritten in place since then differs in
// one of these, even where its length came back the same.
struct SourceStamp {
  off_t size = 0;
  timespec modified = {};
  timespec changed = {};
};

SourceStamp stamp_of(const struct stat& info) {
#if defined(__APPLE__)
  return {info.st_size, info.st_mtimespec, info.st_ctimespec};
#else
  return {info.st_size, info.st_mtim, info.st_ctim};
#endif
}

bool same_stamp(const SourceStamp& a, const SourceStamp& b) {
  return a.size == b.size && a.modified.tv_sec == b.modified.tv_sec &&
         a.modified.tv_nsec == b.modified.tv_nsec && a.changed.tv_sec == b.changed.tv_sec &&
         a.changed.tv_nsec == b.changed.tv_nsec;
}

// The source of the run, for the writer and for change(). One source at a time.
struct OpenSource {
  int fd = -1;
  Guard guard = Guard::kNone;
  SourceStamp stamp;
  // While it is mapped: where, its length in bytes, and how many bytes at its start decoding has
  // written over.
  std::uint8_t* start = nullptr;
  std::size_t length = 0;
  std::size_t overwritten = 0;
  // The pages of the mapping from `room_start` to `room_end` are fresh ones that decoding writes
  // over, no longer the file's.
  std::size_t room_start = 0;
  std::size_t room_end = 0;
};
OpenSource g_source;

std::string_view change_of_source() {
  if (g_source.fd < 0) return {};
  if (g_source.guard == Guard::kLease && g_watch.lease_broken) return kOpenedForWriting;
  if (g_source.start != nullptr && g_watch.cut_short) return kChanged;
  if (g_source.guard == Guard::kStamps) {
    struct stat info;
    if (::fstat(g_source.fd, &info) != 0 || !same_stamp(stamp_of(info), g_source.stamp)) {
      return kChanged;
    }
  }
  return {};
}

enum class Lease { kHeld, kRefusedForAWriter, kNotGiven };

// A read lease on the file: refused while any process holds it open for writing, and broken by
// the kernel when one opens it for writing or cuts it (the handler lets it go at once). Refused
// too for another user's file without the right to lease it, and by file systems without leases.
Lease take_lease(int fd) {
#if defined(KESTROX_LEASES)
  posix::catch_lease_breaks();
  g_watch.lease_broken = 0;
  // With a signal of its own set, the break comes with the kernel's details.
  (void)::fcntl(fd, F_SETSIG, posix::kLeaseBreakSignal);
  // Known to the handler before it is held: a break may come the moment it is.
  g_watch.lease_fd = fd;
  if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) return Lease::kHeld;
  const int error = errno;
  g_watch.lease_fd = -1;
  return error == EAGAIN ? Lease::kRefusedForAWriter : Lease::kNotGiven;
#else
  (void)fd;
  return Lease::kNotGiven;
#endif
}

void let_lease_go(int fd) {
#if defined(KESTROX_LEASES)
  if (g_watch.lease_fd != fd) return;
  g_watch.lease_fd = -1;  // the handler no longer touches it
  ::fcntl(fd, F_SETLEASE, F_UNLCK);
#else
  (void)fd;
#endif
}

std::size_t whole_pages(std::size_t length) {
  const std::size_t page = posix::page_size();
  return (length + page - 1) / page * page;
}

#if defined(__linux__) && defined(MAP_POPULATE) && !defined(KESTROX_PORTABLE_FALLBACKS)
#define KESTROX_FRESH_PAGES 1
// How far ahead of what decoding writes the fresh pages go.
constexpr std::size_t kRoomAhead = std::size_t{8} << 20;

// Puts the file's own pages back over [from, to) of the mapping, whole pages.
bool map_file_again(std::uint8_t* start, std::size_t from, std::size_t to) {
  return to <= from ||
         ::mmap(start + from, to - from, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED,
                g_source.fd, static_cast<off_t>(from)) != MAP_FAILED;
}
#endif

}  // namespace

bool posix::source_intact() { return change_of_source().empty(); }

bool posix::source_file_range(const std::uint8_t* data, std::size_t size, int& fd, off_t& offset) {
  const std::uint8_t* const start = g_source.start;
  if (start == nullptr || data < start) return false;
  const auto from = static_cast<std::size_t>(data - start);
  if (from < g_source.overwritten || from > g_source.length || size > g_source.length - from) {
    return false;
  }
  fd = g_source.fd;
  offset = static_cast<off_t>(from);
  return true;
}

void posix::source_renamed_by_this_run(const struct stat& replaced) {
  struct stat source;
  if (g_source.guard == Guard::kStamps && ::fstat(g_source.fd, &source) == 0 &&
      source.st_dev == replaced.st_dev && source.st_ino == replaced.st_ino) {
    g_source.stamp = stamp_of(source);
  }
}

SourceFile::~SourceFile() { release(); }

void SourceFile::release() {
  if (handle_ >= 0 && g_source.fd == handle_) {
    let_lease_go(static_cast<int>(handle_));
    g_source = {};
  }
  if (mapped_ != 0) {
    g_watch.mapped_start.store(nullptr);
    g_watch.mapped_length.store(0);
    ::munmap(data_, mapped_);
  } else {
    std::free(data_);
  }
  if (owns_handle_) ::close(static_cast<int>(handle_));
  handle_ = -1;
  owns_handle_ = false;
  written_by_other_ = false;
  data_ = nullptr;
  size_ = capacity_ = mapped_ = 0;
}

bool SourceFile::open(const std::string& path) {
  release();
  const bool standard_input = path == "-";
  // Closed at start, standard input has no bytes to give: /dev/null only holds its place.
  if (standard_input && posix::standard_input_was_closed()) {
    errno = EBADF;
    return false;
  }
  int fd = standard_input ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
  // Standard input that its caller has read part of (a shell's `read` of a first line) goes on
  // from where it stands, as a pipe would: read to its end, not mapped or measured from its start.
  stream_ = !S_ISREG(info.st_mode) || (standard_input && ::lseek(fd, 0, SEEK_CUR) > 0);
  read_failed_ = false;
  read_error_ = 0;
#if defined(__linux__)
  if (standard_input && !stream_) {
    // A file of its own opened on the same file: a lease is held by the open file, which the
    // caller's shell may share, and must not outlive this process there.
    const int own = ::open("/proc/self/fd/0", O_RDONLY | O_CLOEXEC);
    if (own >= 0) fd = own;
  }
#endif
  handle_ = fd;
  owns_handle_ = fd != STDIN_FILENO;
  if (stream_) return true;

  g_source = {};
  g_source.fd = fd;
  g_source.stamp = stamp_of(info);
  switch (take_lease(fd)) {
    case Lease::kHeld:
      g_source.guard = Guard::kLease;
      break;
    case Lease::kRefusedForAWriter:
      // Nothing is read from it: whatever it holds now may be half of another program's write.
      written_by_other_ = true;
      g_source.guard = Guard::kNone;
      break;
    case Lease::kNotGiven:
      g_source.guard = Guard::kStamps;
      break;
  }
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
  if (written_by_other_) {
    errno = 0;  // no error of the host's: another program's
    return Load::kIncomplete;
  }
  const int fd = static_cast<int>(handle_);
  if (length >= kSmallestMapped) {
    void* const mapping = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd, 0);
    if (mapping != MAP_FAILED) {
      posix::catch_bus_errors();
      data_ = static_cast<std::uint8_t*>(mapping);
      size_ = length;
      mapped_ = whole_pages(length);
      g_watch.cut_short = 0;
      g_watch.mapped_length.store(mapped_);
      g_watch.mapped_start.store(data_);
      g_source.start = data_;
      g_source.length = length;
      g_source.overwritten = 0;
      struct stat info;
      if (::fstat(fd, &info) != 0) return Load::kIncomplete;
      // Cut short between measuring and mapping, the pages past its end hold nothing; changed
      // since it was opened, it may be anything.
      if (static_cast<std::uint64_t>(info.st_size) >= length && posix::source_intact()) {
        return Load::kLoaded;
      }
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
  if (size_ != length) return Load::kIncomplete;
  // Written meanwhile, the bytes read may hold parts of both versions.
  if (!posix::source_intact()) {
    errno = 0;
    return Load::kIncomplete;
  }
  // In memory of its own now: nothing that happens to the file later changes it, and the other
  // program need not wait for this one.
  let_lease_go(fd);
  g_source.guard = Guard::kNone;
  return Load::kLoaded;
}

void SourceFile::make_room(std::size_t write, std::size_t read) {
#if defined(KESTROX_FRESH_PAGES)
  if (mapped_ == 0 || g_source.start != data_) return;
  // Every page of a mapped file that decoding writes would otherwise be a copy-on-write fault of
  // its own: a fresh page, a copy of the file's page into it, a flush of the old one. Pages that
  // only the written data will fill are taken fresh instead, many in one call, which costs half
  // as much on the machines measured. Ordinary pages: a huge page would cost even less when the
  // kernel has one at hand, but far more when it must first compact memory full of cached files.
  const std::size_t page = posix::page_size();
  const std::size_t first = whole_pages(write);
  const std::size_t from = first > g_source.room_end ? first : g_source.room_end;
  std::size_t to = read / page * page;
  if (to > first + kRoomAhead) to = first + kRoomAhead;
  if (to <= from) return;
  if (::mmap(data_ + from, to - from, PROT_READ | PROT_WRITE,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_POPULATE, -1, 0) == MAP_FAILED) {
    // Where even that fails the pages may be gone: the file's again, or nothing at all.
    map_file_again(data_, from, to);
    return;
  }
  if (g_source.room_end == 0) g_source.room_start = from;
  g_source.room_end = to;
#else
  (void)write;
  (void)read;
#endif
}

void SourceFile::overwritten(std::size_t length) {
  if (g_source.start != data_ || data_ == nullptr) return;
  if (length > g_source.overwritten) g_source.overwritten = length;
#if defined(KESTROX_FRESH_PAGES)
  // Fresh pages past the decoded data hold what decoding left there: the file's own bytes go
  // back, whole pages mapped again, and the part of the page the data ends in read.
  if (g_source.room_end > length) {
    const std::size_t after =
        whole_pages(length) > g_source.room_start ? whole_pages(length) : g_source.room_start;
    const std::size_t partial_from = length > g_source.room_start ? length : g_source.room_start;
    if (!map_file_again(data_, after, g_source.room_end)) g_watch.cut_short = 1;
    const std::size_t partial_to = after < g_source.length ? after : g_source.length;
    for (std::size_t at = partial_from; at < partial_to;) {
      const ssize_t got = ::pread(g_source.fd, data_ + at, partial_to - at, static_cast<off_t>(at));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        g_watch.cut_short = 1;  // the file is shorter than it was: its bytes are not all there
        break;
      }
      at += static_cast<std::size_t>(got);
    }
    g_source.room_end = after < g_source.room_end ? after : g_source.room_end;
  }
#endif
}

std::string_view SourceFile::change() const {
  if (written_by_other_) return kHeldForWriting;
  if (handle_ < 0 || stream_ || g_source.fd != handle_) return {};
  return change_of_source();
}

}  // namespace kestrox

#endif  // !_WIN32
