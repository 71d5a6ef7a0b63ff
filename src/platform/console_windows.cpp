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
    key_from_console_ = GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
    // Otherwise a key is one raw byte: text mode would hold a CR back to look for its LF.
    if (!key_from_console_) _setmode(_fileno(stdin), _O_BINARY);
  }
  ~WindowsConsole() override { flush(); }

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
    if (key_from_console_) {
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

 private:
  bool utf8_ = false;
  bool key_from_console_ = false;
};

}  // namespace

std::unique_ptr<Console> make_host_console() { return std::make_unique<WindowsConsole>(); }

}  // namespace kestrox

#endif  // _WIN32
