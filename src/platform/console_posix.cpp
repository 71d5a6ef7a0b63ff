// The console on Linux, macOS and other POSIX systems: standard output and error, and the key read.
#if !defined(_WIN32)

#include <errno.h>
#include <langinfo.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstring>
#include <string>

#include "platform/host.h"

namespace kestrox {

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

}  // namespace kestrox

#endif  // !_WIN32
