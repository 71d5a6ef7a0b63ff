// The POSIX host's writing of an attachment: a file without a name (or a temporary one) until
// every byte is written and closed, then its final permissions and its own name.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/host.h"
#include "platform/host_posix.h"

namespace kestrox {

namespace {

#if defined(__linux__) && defined(O_TMPFILE) && !defined(KESTROX_PORTABLE_FALLBACKS)
#define KESTROX_UNNAMED_FILES 1
// The output's file system, or the kernel, makes no files without a name (or there is no /proc
// to give them one through): temporary names from then on.
bool g_unnamed_refused = false;
#endif

// How many temporary names are tried before the directory is taken to be failing.
constexpr unsigned kTemporaryAttempts = 100;

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

// The buffer that large attachments are copied through, small enough for the processor's second
// level cache to hold while the next chunk is read into it (256 KiB took half the time of 1 MiB
// with a full page cache). Ordinary pages: a huge page saved nothing measurable there, and when
// the kernel has none at hand, finding one may take longer than the whole copy.
constexpr std::size_t kChunk = std::size_t{256} << 10;
std::uint8_t* copy_buffer() {
  static std::uint8_t* const buffer = [] {
    void* const block =
        ::mmap(nullptr, kChunk, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return block == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(block);
  }();
  return buffer;
}

// Reads `size` bytes of the source file from `from` on through the buffer and writes them: no
// page of the mapping is touched, so none has to be faulted in.
bool copy_through_buffer(int fd, int source_fd, off_t from, std::size_t size) {
  std::uint8_t* const buffer = copy_buffer();
  if (buffer == nullptr) return false;
  while (size > 0) {
    const ssize_t got = ::pread(source_fd, buffer, size < kChunk ? size : kChunk, from);
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

// Bytes that are still the source file's own go from the source file to the output file without
// the mapping: inside the kernel where the file systems allow it and the bytes start on a page
// (from anywhere else the kernel builds every page it writes out of two, which costs half as
// much again as the buffer), else through a buffer. A small attachment, and bytes that decoding
// wrote, are written from memory: setting up the copy costs more than the few pages it would not
// touch.
bool copy_or_write(int fd, const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kSmallestCopiedInKernel = std::size_t{64} << 10;
  reserve_blocks(fd, size);
  int source_fd = -1;
  off_t from = 0;
  if (size < kSmallestCopiedInKernel || !posix::source_file_range(data, size, source_fd, from)) {
    return write_all(fd, data, size);
  }
#if defined(__linux__) && !defined(KESTROX_PORTABLE_FALLBACKS)
  // Refused once between these two file systems: through the buffer from then on.
  static bool copy_refused = false;
  if (!copy_refused && static_cast<std::size_t>(from) % posix::page_size() == 0) {
    loff_t next = from;
    std::size_t copied = 0;
    while (copied < size) {
      const ssize_t done = ::copy_file_range(source_fd, &next, fd, nullptr, size - copied, 0);
      if (done < 0 && errno == EINTR) continue;
      if (done < 0 && copied == 0 &&
          (errno == EXDEV || errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP ||
           errno == EBADF || errno == ETXTBSY || errno == EPERM)) {
        copy_refused = true;
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
  return copy_through_buffer(fd, source_fd, from, size);
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
  explicit PendingFile(std::string& path) : path_(path) {}
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
  // Takes a name where nothing stands: the path, or while each turns out taken, the names that
  // `next_name` gives.
  bool take_free_name(const NextName& next_name);
  // Replaces the entry at the path itself.
  bool replace_entry();

 private:
  bool create_named(const std::string& name);
  void forget_temporary(bool remove);
#if defined(KESTROX_UNNAMED_FILES)
  bool link_to(const char* name) const;
#endif

  std::string& path_;
  std::string temporary_;  // the temporary name while it exists
  int fd_ = -1;
  bool unnamed_ = false;
};

void PendingFile::forget_temporary(bool remove) {
  if (temporary_.empty()) return;
  posix::record_temporary(nullptr);
  if (remove) ::unlink(temporary_.c_str());
  temporary_.clear();
}

// Creates `name` for the file, and records it for the handler in the same instant.
bool PendingFile::create_named(const std::string& name) {
  const posix::SignalsHeld held;
  fd_ = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd_ < 0) return false;
  temporary_ = name;
  posix::record_temporary(temporary_.c_str());
  return true;
}

#if defined(KESTROX_UNNAMED_FILES)
bool PendingFile::link_to(const char* name) const {
  // The file is named by its descriptor where the kernel lets this process (root always; since
  // Linux 6.10 the process that opened it), else through its entry under /proc, a longer walk.
  static bool by_descriptor = true;
  if (by_descriptor) {
    if (::linkat(fd_, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0) return true;
    if (errno != ENOENT && errno != EPERM && errno != EINVAL) return false;
    by_descriptor = false;
  }
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd_);
  return ::linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
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
  posix::remove_temporaries_on_signals();
  for (unsigned attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
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

bool PendingFile::take_free_name(const NextName& next_name) {
  for (;;) {
#if defined(KESTROX_UNNAMED_FILES)
    const bool moved =
        unnamed_ ? link_to(path_.c_str()) : move_into_free_name(temporary_.c_str(), path_.c_str());
#else
    const bool moved = move_into_free_name(temporary_.c_str(), path_.c_str());
#endif
    if (moved) {
      forget_temporary(false);
      return true;
    }
    const int error = errno;
    if (error != EEXIST || !next_name || !next_name(path_)) {
      errno = error;
      return false;
    }
  }
}

bool PendingFile::replace_entry() {
#if defined(KESTROX_UNNAMED_FILES)
  if (unnamed_) {
    // No call replaces an entry by a file without a name: it gets a temporary one, and the rename
    // follows at once. With every signal held across both, only SIGKILL (or a power cut) can end
    // the process between them, and that leaves the complete file under its temporary name
    // beside the untouched old entry.
    for (unsigned attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
      const std::string name = temporary_name_beside(path_, attempt);
      const posix::SignalsHeld held;
      if (!link_to(name.c_str())) {
        if (errno == EEXIST) continue;
        return false;
      }
      if (::rename(name.c_str(), path_.c_str()) == 0) return true;
      const int error = errno;
      ::unlink(name.c_str());
      errno = error;
      return false;
    }
    return false;
  }
#endif
  if (::rename(temporary_.c_str(), path_.c_str()) != 0) return false;
  forget_temporary(false);
  return true;
}

}  // namespace

WriteResult write_whole_file(std::string& path, const std::uint8_t* data, std::size_t size,
                             bool replace, FileIdentity& written_identity,
                             const NextName& next_name) {
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
  if (known) written_identity = posix::identity_of(made);
  // The owner first: a change of owner clears the set-user-ID bits that a mode may hold. Where
  // the owner may not be given away, the group may still be one of the user's own.
  if (keeps_old && known && (made.st_uid != old.st_uid || made.st_gid != old.st_gid) &&
      ::fchown(file.fd(), old.st_uid, old.st_gid) != 0 && (errno == EPERM || errno == EINVAL)) {
    (void)::fchown(file.fd(), static_cast<uid_t>(-1), old.st_gid);
  }
  const mode_t permissions = keeps_old ? old.st_mode & 0777 : new_file_permissions();
  if (!known || (made.st_mode & 07777) != permissions) (void)::fchmod(file.fd(), permissions);

  if (!file.close_checked()) return WriteResult::kShortWrite;
  // Bytes read from a source that was cut short, rewritten or opened for writing by another
  // program meanwhile may be zeros or another version's: never moved into place. Every byte was
  // read by now, so a change after this check cannot reach the file.
  if (!posix::source_intact()) {
    errno = 0;
    return WriteResult::kSourceChanged;
  }
  if (!(replace ? file.replace_entry() : file.take_free_name(next_name))) {
    return WriteResult::kCannotOpen;
  }
  // An attachment that took the source's own name (an attachment named as the file it came in,
  // or a hard link to it) changed the source's change time: that change was this run's own.
  if (keeps_old) posix::source_renamed_by_this_run(old);
  return WriteResult::kWritten;
}

}  // namespace kestrox

#endif  // !_WIN32
