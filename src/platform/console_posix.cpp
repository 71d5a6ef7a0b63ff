// The console on Linux, macOS and other POSIX systems: standard output and error, and the key read.
#if !defined(_WIN32)

#include <errno.h>
#include <fcntl.h>
#include <langinfo.h>
#include <limits.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/host.h"

namespace kestrox {

namespace {

// The terminal that keys are read from, its settings from before the key read and the settings
// of the read itself, for the signal handlers: a signal that ends the process puts the terminal
// back, Ctrl-Z puts it back before the process stops and a continue sets the read's mode again.
volatile sig_atomic_t g_key_terminal = -1;
volatile sig_atomic_t g_terminal_changed = 0;
struct termios g_saved_terminal;
struct termios g_reading_terminal;

// Terminal settings may only be changed from the foreground: a background process would be
// stopped for trying.
bool in_foreground() { return tcgetpgrp(g_key_terminal) == getpgrp(); }

extern "C" void restore_terminal_and_reraise(int signal_number) {
  if (g_terminal_changed) {
    tcsetattr(g_key_terminal, TCSANOW, &g_saved_terminal);
    g_terminal_changed = 0;
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

extern "C" void set_reading_mode_again(int) {
  const int saved_errno = errno;
  if (g_terminal_changed && in_foreground()) {
    tcsetattr(g_key_terminal, TCSANOW, &g_reading_terminal);
  }
  errno = saved_errno;
}

extern "C" void stop_with_terminal_restored(int signal_number) {
  const int saved_errno = errno;
  if (g_terminal_changed && in_foreground()) {
    tcsetattr(g_key_terminal, TCSANOW, &g_saved_terminal);
  }
  // Stop as the default action would; the process goes on from here when continued (or at
  // once, where the kernel does not stop an orphaned process group).
  struct sigaction stop = {};
  stop.sa_handler = SIG_DFL;
  sigemptyset(&stop.sa_mask);
  struct sigaction ours;
  sigaction(signal_number, &stop, &ours);
  ::raise(signal_number);
  sigset_t pending;
  sigemptyset(&pending);
  sigaddset(&pending, signal_number);
  sigprocmask(SIG_UNBLOCK, &pending, nullptr);
  sigaction(signal_number, &ours, nullptr);
  set_reading_mode_again(0);
  errno = saved_errno;
}

// The signals whose handlers above are in place while a key is awaited on a terminal.
struct Handled {
  int signal_number;
  void (*handler)(int);
};
constexpr Handled kHandled[] = {
    {SIGINT, restore_terminal_and_reraise}, {SIGTERM, restore_terminal_and_reraise},
    {SIGHUP, restore_terminal_and_reraise}, {SIGQUIT, restore_terminal_and_reraise},
    {SIGTSTP, stop_with_terminal_restored}, {SIGCONT, set_reading_mode_again},
};
constexpr std::size_t kHandledCount = sizeof kHandled / sizeof kHandled[0];

// Holds the handled signals back while the terminal and the flag that describes it change
// together.
class HeldSignals {
 public:
  HeldSignals() {
    sigset_t held;
    sigemptyset(&held);
    for (const Handled& handled : kHandled) sigaddset(&held, handled.signal_number);
    sigprocmask(SIG_BLOCK, &held, &before_);
  }
  ~HeldSignals() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

 private:
  sigset_t before_;
};

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

// The name that setlocale(LC_CTYPE, "") goes by: LC_ALL, else LC_CTYPE, else LANG, the first
// that is set and not empty.
const char* ctype_locale_name() {
  for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "";
}

bool locale_is_utf8() {
  // The C locale's character set is ASCII. Loading a named locale costs a good part of a run on
  // a small file, so it is loaded only when its answer is not already known.
  const char* name = ctype_locale_name();
  if (*name == '\0' || std::strcmp(name, "C") == 0 || std::strcmp(name, "POSIX") == 0) {
    return false;
  }
  std::setlocale(LC_CTYPE, "");
  const char* codeset = nl_langinfo(CODESET);
  return codeset != nullptr &&
         (std::strcmp(codeset, "UTF-8") == 0 || std::strcmp(codeset, "utf8") == 0);
}

class PosixConsole final : public Console {
 public:
  PosixConsole() {
    utf8_ = locale_is_utf8();
    // A person watching a terminal sees every glyph at once; into a file or a pipe the text goes
    // whole lines at a time, as many as one write that a pipe takes in at once holds, so that
    // runs writing into one log never split each other's lines; a partial line goes only before
    // a wait and at the end.
    out_is_terminal_ = ::isatty(STDOUT_FILENO) == 1;
  }
  ~PosixConsole() override {
    flush();
    if (key_fd_ != STDIN_FILENO && key_fd_ >= 0) ::close(key_fd_);
  }

  void write_out(std::string_view text) override {
    buffer_.append(text);
    remember_lines(text);
    // A "line" of glyphs longer than any reader takes in whole goes out as it is.
    if (out_is_terminal_ || buffer_.size() >= kLongestPartialLine) {
      flush();
    } else if (buffer_.size() > kBatch) {
      write_whole_lines(false);
    }
  }

  // What stands before it on standard output goes first, but for a partial line, which is not for
  // here.
  void write_err(std::string_view text) override {
    write_whole_lines(true);
    write_all(STDERR_FILENO, text);
  }

  void flush() override {
    write_whole_lines(true);
    if (buffer_.empty()) return;
    write_out_bytes(buffer_);
    buffer_.clear();
  }

  bool output_failed() const override { return output_failed_; }

  int read_key() override {
    flush();
    unsigned char key = 0;
    if (key_fd_ < 0) return kNoKey;
    struct termios saved;
    if (::isatty(key_fd_) != 1 || tcgetattr(key_fd_, &saved) != 0) {
      return read_byte(&key) ? key : kNoKey;
    }

    // Someone is at the terminal, but the question went into a file or a pipe: show it to them
    // on the error stream as well, with the line before it that names the file it is about.
    const bool echo_to_err = !out_is_terminal_ && ::isatty(STDERR_FILENO) == 1;
    if (echo_to_err) {
      write_all(STDERR_FILENO, line_before_.empty() ? line_ : line_before_ + "\n" + line_);
    }

    struct termios reading = saved;
    reading.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    reading.c_cc[VMIN] = 1;
    reading.c_cc[VTIME] = 0;

    struct sigaction old[kHandledCount];
    {
      HeldSignals held;
      g_key_terminal = key_fd_;
      g_saved_terminal = saved;
      g_reading_terminal = reading;
      for (std::size_t i = 0; i < kHandledCount; ++i) {
        // A signal the process was started to ignore (nohup, a background job) stays ignored:
        // the terminal may hang up under a key wait that is then answered by no key.
        sigaction(kHandled[i].signal_number, nullptr, &old[i]);
        if (old[i].sa_handler == SIG_IGN) continue;
        struct sigaction action = {};
        action.sa_handler = kHandled[i].handler;
        sigemptyset(&action.sa_mask);
        sigaction(kHandled[i].signal_number, &action, nullptr);
      }
      g_terminal_changed = 1;
      // TCSAFLUSH drops what was typed before the question could be seen: a key pressed ahead
      // (or the Enter after an earlier answer) must not answer it.
      tcsetattr(key_fd_, TCSAFLUSH, &reading);
    }
    const bool got = read_byte(&key);
    {
      HeldSignals held;
      g_terminal_changed = 0;
      tcsetattr(key_fd_, TCSANOW, &saved);
      for (std::size_t i = 0; i < kHandledCount; ++i) {
        sigaction(kHandled[i].signal_number, &old[i], nullptr);
      }
    }
    if (echo_to_err) write_all(STDERR_FILENO, "\n");
    return got ? key : kNoKey;
  }

  bool utf8() const override { return utf8_; }

  void read_keys_from_terminal() override {
    if (key_fd_ != STDIN_FILENO) return;
    // Opening /dev/tty fails where the process has no controlling terminal.
    key_fd_ = ::open("/dev/tty", O_RDONLY | O_NOCTTY | O_CLOEXEC);
  }

  void end_of_run_key() override {
    if (!out_is_terminal_) return;
    write_out("\n");
  }

 private:
  static constexpr std::size_t kLongestPartialLine = 1 << 16;
  // The most that a pipe takes in at once, whoever else writes to it.
  static constexpr std::size_t kBatch = PIPE_BUF;

  void write_out_bytes(std::string_view bytes) {
    if (!write_all(STDOUT_FILENO, bytes)) output_failed_ = true;
  }

  // Writes the whole lines at the start of the buffer, a batch of at most kBatch bytes a write (a
  // longer line alone), while more than a batch waits, or with `all` until none is left.
  void write_whole_lines(bool all) {
    std::string_view rest(buffer_);
    while (all ? !rest.empty() : rest.size() > kBatch) {
      std::size_t end = rest.size() <= kBatch ? rest.rfind('\n') : rest.rfind('\n', kBatch - 1);
      if (end == std::string_view::npos && rest.size() > kBatch) end = rest.find('\n');
      if (end == std::string_view::npos) break;
      write_out_bytes(rest.substr(0, end + 1));
      rest.remove_prefix(end + 1);
    }
    buffer_.erase(0, buffer_.size() - rest.size());
  }
  static constexpr std::size_t kLineLimit = 4096;

  // Keeps the end of the line being written and of the line before it: a question repeated on
  // standard error needs no more.
  void remember_lines(std::string_view text) {
    for (;;) {
      const std::size_t newline = text.find('\n');
      const std::string_view part = text.substr(0, newline);
      line_.append(part.substr(part.size() > kLineLimit ? part.size() - kLineLimit : 0));
      if (line_.size() > kLineLimit) line_.erase(0, line_.size() - kLineLimit);
      if (newline == std::string_view::npos) return;
      line_before_.swap(line_);
      line_.clear();
      text.remove_prefix(newline + 1);
    }
  }

  bool read_byte(unsigned char* key) const {
    for (;;) {
      const ssize_t got = ::read(key_fd_, key, 1);
      if (got == 1) return true;
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
  }

  std::string buffer_;
  // What standard output has been given since its last newline, and the whole line before.
  std::string line_;
  std::string line_before_;
  int key_fd_ = STDIN_FILENO;
  bool utf8_ = false;
  bool out_is_terminal_ = false;
  bool output_failed_ = false;
};

}  // namespace

std::unique_ptr<Console> make_host_console() { return std::make_unique<PosixConsole>(); }

}  // namespace kestrox

#endif  // !_WIN32
