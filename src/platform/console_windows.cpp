// The console on Windows: standard output and error, and the key read.
#if defined(_WIN32)

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "platform/host.h"

namespace kestrox {

namespace {

class WindowsConsole final : public Console {
 public:
  WindowsConsole() {
    utf8_ = GetConsoleOutputCP() == CP_UTF8;
    // Only a console handle answers GetConsoleMode: NUL and serial ports pass _isatty too, and
    // a key from them would be awaited at a keyboard that the user redirected away from.
    DWORD mode = 0;
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    key_from_console_ = GetConsoleMode(input, &mode) != 0;
    if (key_from_console_) console_input_ = input;
    // Otherwise a key is one raw byte: text mode would hold a CR back to look for its LF.
    if (!key_from_console_) _setmode(_fileno(stdin), _O_BINARY);
  }
  ~WindowsConsole() override {
    flush();
    if (opened_console_ != INVALID_HANDLE_VALUE) CloseHandle(opened_console_);
  }

  void write_out(std::string_view text) override {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
  }

  void write_err(std::string_view text) override {
    std::fflush(stdout);
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }

  void flush() override { std::fflush(stdout); }

  int read_key() override {
    flush();
    if (no_keys_) return kNoKey;
    if (key_from_console_) {
      // Keys pressed before the question was on the screen must not answer it.
      FlushConsoleInputBuffer(console_input_);
      const int key = _getch();
      // A cursor or function key arrives as 0 or 0xE0 and then its scan code, which may well
      // be 'Y' (Shift+F6): one key press takes both, so it answers one question only.
      if (key == 0 || key == 0xE0) static_cast<void>(_getch());
      return key;
    }
    unsigned char key = 0;
    return _read(_fileno(stdin), &key, 1) == 1 ? key : kNoKey;
  }

  bool utf8() const override { return utf8_; }

  void read_keys_from_terminal() override {
    if (key_from_console_ || no_keys_) return;
    // _getch reads the console whatever standard input is; without a console there are no keys.
    opened_console_ =
        CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    DWORD mode = 0;
    if (opened_console_ != INVALID_HANDLE_VALUE && GetConsoleMode(opened_console_, &mode) != 0) {
      key_from_console_ = true;
      console_input_ = opened_console_;
    } else {
      no_keys_ = true;
    }
  }

 private:
  bool utf8_ = false;
  bool key_from_console_ = false;
  bool no_keys_ = false;
  HANDLE console_input_ = INVALID_HANDLE_VALUE;
  HANDLE opened_console_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<Console> make_host_console() { return std::make_unique<WindowsConsole>(); }

}  // namespace kestrox

#endif  // _WIN32
