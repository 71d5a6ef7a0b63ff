// The host on Linux, macOS and other POSIX systems.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <clocale>
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

namespace {

// Terminal settings to put back if a signal ends the process while a key is awaited.
struct termios g_saved_terminal;
volatile sig_atomic_t g_terminal_changed = 0;

extern "C" void restore_terminal_and_reraise(int signal_number) {
  if (g_terminal_changed) {
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
    g_terminal_changed = 0;
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

bool write_all(int fd, std::string_view text) {
  const char* next = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    const ssize_t done = ::write(fd, next, left);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    next += done;
    left -= static_cast<std::size_t>(done);
  }
  return true;
}

class PosixConsole final : public Console {
 public:
  PosixConsole() {
    std::setlocale(LC_CTYPE, "");
    const char* codeset = nl_langinfo(CODESET);
    utf8_ = codeset != nullptr &&
            (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
    // A person watching a terminal sees every glyph at once; into a file or a pipe the text is
    // gathered and flushed before every wait and at the end.
    immediate_ = ::isatty(STDOUT_FILENO) == 1;
    buffer_.reserve(kBufferLimit);
  }
  ~PosixConsole() override { flush(); }

  void write_out(std::string_view text) override {
    buffer_.append(text);
    if (immediate_ || buffer_.size() >= kBufferLimit) flush();
  }

  void write_err(std::string_view text) override {
    flush();
    write_all(STDERR_FILENO, text);
  }

  void flush() override {
    if (buffer_.empty()) return;
    write_all(STDOUT_FILENO, buffer_);
    buffer_.clear();
  }

  int read_key() override {
    flush();
    unsigned char key = 0;
    if (::isatty(STDIN_FILENO) != 1) return read_byte(&key) ? key : kNoKey;

    struct termios raw;
    if (tcgetattr(STDIN_FILENO, &g_saved_terminal) != 0) return read_byte(&key) ? key : kNoKey;
    raw = g_saved_terminal;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;

    struct sigaction restore = {};
    restore.sa_handler = restore_terminal_and_reraise;
    sigemptyset(&restore.sa_mask);
    struct sigaction old_int, old_term, old_hup;
    sigaction(SIGINT, &restore, &old_int);
    sigaction(SIGTERM, &restore, &old_term);
    sigaction(SIGHUP, &restore, &old_hup);

    g_terminal_changed = 1;
    tcsetattr(STDIN_FILENO, TCSANOW, &raw);
    const bool got = read_byte(&key);
    tcsetattr(STDIN_FILENO, TCSANOW, &g_saved_terminal);
    g_terminal_changed = 0;

    sigaction(SIGINT, &old_int, nullptr);
    sigaction(SIGTERM, &old_term, nullptr);
    sigaction(SIGHUP, &old_hup, nullptr);
    return got ? key : kNoKey;
  }

  bool utf8() const override { return utf8_; }

 private:
  static constexpr std::size_t kBufferLimit = 1 << 16;

  static bool read_byte(unsigned char* key) {
    for (;;) {
      const ssize_t got = ::read(STDIN_FILENO, key, 1);
      if (got == 1) return true;
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
  }

  std::string buffer_;
  bool utf8_ = false;
  bool immediate_ = false;
};

}  // namespace

std::unique_ptr<Console> make_host_console() { return std::make_unique<PosixConsole>(); }

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

bool entry_exists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
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

WriteResult write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return WriteResult::kCannotOpen;
  std::size_t written = 0;
  while (written < size) {
    const ssize_t done = ::write(fd, data + written, size - written);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) break;
    written += static_cast<std::size_t>(done);
  }
  const bool closed = ::close(fd) == 0;
  return written == size && closed ? WriteResult::kWritten : WriteResult::kShortWrite;
}

}  // namespace kestrox

#endif  // !_WIN32
