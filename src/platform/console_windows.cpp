// The console on Windows: standard output and error, and the key read.
#if defined(_WIN32)

#include <conio.h>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <string_view>

#include "platform/host.h"
#include "platform/windows_text.h"

namespace kestrox {

namespace {

// The length of the well-formed UTF-8 sequence of two to four bytes at `at`, or 0.
std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[at + i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  unsigned char low = 0x80;  // the range of the second byte
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong form
    if (lead == 0xED) high = 0x9F;  // no surrogate
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - at < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
  }
  return length;
}

// The end of the run of bytes 0x80-0xFF that starts at `at`.
std::size_t end_of_high_run(std::string_view text, std::size_t at) {
  while (at < text.size() && static_cast<unsigned char>(text[at]) >= 0x80) ++at;
  return at;
}

// True when the run of bytes 0x80-0xFF is UTF-8 from its start to its end. Single pairs are not
// enough: the banner's code-page-437 "══╗" holds CD BB, which is U+037B. As whole runs, its box
// bytes are never UTF-8 (each starts with C9, BA or CC/C8 after BA), nor are the raw 8-bit
// letters of a title, where such a run is one or two letters between ASCII ones.
bool is_utf8_run(std::string_view run) {
  for (std::size_t at = 0; at < run.size();) {
    const std::size_t length = utf8_sequence_length(run, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

// Characters from UTF-8 text, where the C1 controls, which no console shows, become '?'.
std::wstring characters_of(std::string_view utf8) {
  std::wstring wide = wide_from(utf8);
  for (wchar_t& unit : wide) {
    if (unit >= 0x80 && unit <= 0x9F) unit = L'?';
  }
  return wide;
}

// Appends the characters in the code page; false, with nothing appended, where one of them is
// not in it (a best fit, 'D' for 'Д', does not count as being in it).
bool encode(std::wstring_view wide, UINT code_page, std::string& out) {
  const int count = static_cast<int>(wide.size());
  DWORD flags = WC_NO_BEST_FIT_CHARS;
  BOOL lacking = FALSE;
  BOOL* lacking_out = &lacking;
  int size =
      WideCharToMultiByte(code_page, flags, wide.data(), count, nullptr, 0, nullptr, lacking_out);
  if (size == 0) {
    // Code pages such as GB18030 or UTF-7 take neither the flag nor the question; GB18030 holds
    // every character.
    flags = 0;
    lacking_out = nullptr;
    size = WideCharToMultiByte(code_page, 0, wide.data(), count, nullptr, 0, nullptr, nullptr);
  }
  if (size == 0 || lacking) return false;
  const std::size_t start = out.size();
  out.resize(start + static_cast<std::size_t>(size));
  WideCharToMultiByte(code_page, flags, wide.data(), count, out.data() + start, size, nullptr,
                      nullptr);
  return true;
}

// Text as a file or a pipe gets it from a console program: every "\n" as "\r\n" (what the
// runtime's text mode did), each run of non-ASCII bytes that is UTF-8 in the console's code page
// ('?' for a character it lacks), every other byte as it is.
void append_for_file(std::string_view text, UINT code_page, std::string& out) {
  for (std::size_t at = 0; at < text.size();) {
    const char byte = text[at];
    if (byte == '\n') {
      out += "\r\n";
      ++at;
      continue;
    }
    if (static_cast<unsigned char>(byte) < 0x80) {
      out += byte;
      ++at;
      continue;
    }
    const std::size_t end = end_of_high_run(text, at);
    const std::string_view run = text.substr(at, end - at);
    at = end;
    if (!is_utf8_run(run)) {
      out.append(run);
      continue;
    }
    if (code_page == CP_UTF8) {
      for (std::size_t i = 0; i < run.size(); ++i) {
        // U+0080-U+009F, the C1 controls, as characters_of() shows them.
        const bool control = run[i] == '\xC2' && static_cast<unsigned char>(run[i + 1]) <= 0x9F;
        out += control ? '?' : run[i];
        i += control ? 1 : 0;
      }
      continue;
    }
    const std::wstring wide = characters_of(run);
    if (encode(wide, code_page, out)) continue;
    // One character at a time: those the code page lacks become one '?' each.
    for (std::size_t i = 0; i < wide.size();) {
      const std::size_t units = IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size() ? 2 : 1;
      if (!encode(std::wstring_view(wide).substr(i, units), code_page, out)) out += '?';
      i += units;
    }
  }
}

// Text as a console window shows it: each run of non-ASCII bytes that is UTF-8 as its characters,
// whatever the code page, and every other byte as the console's code page shows it.
void append_for_console(std::string_view text, UINT code_page, std::wstring& out) {
  for (std::size_t at = 0; at < text.size();) {
    std::size_t end = end_of_high_run(text, at);
    std::wstring wide;
    if (end > at && is_utf8_run(text.substr(at, end - at))) {
      wide = characters_of(text.substr(at, end - at));
    } else {
      // Up to the next run that is UTF-8.
      for (end = at; end < text.size();) {
        const std::size_t high = end_of_high_run(text, end);
        if (high == end) {
          ++end;
        } else if (end > at && is_utf8_run(text.substr(end, high - end))) {
          break;
        } else {
          end = high;
        }
      }
      wide = wide_from(text.substr(at, end - at), code_page);
    }
    at = end;
    for (const wchar_t unit : wide) {
      if (unit == L'\n') out += L'\r';
      out += unit;
    }
  }
}

// False when the file took less than all of it.
bool write_to_file(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD done = 0;
    const DWORD chunk = bytes.size() < 0x40000000 ? static_cast<DWORD>(bytes.size()) : 0x40000000;
    if (!WriteFile(handle, bytes.data(), chunk, &done, nullptr) || done == 0) return false;
    bytes.remove_prefix(done);
  }
  return true;
}

void write_to_console(HANDLE handle, std::wstring_view text) {
  while (!text.empty()) {
    DWORD done = 0;
    DWORD chunk = text.size() < 8192 ? static_cast<DWORD>(text.size()) : 8192;
    if (chunk < text.size() && IS_HIGH_SURROGATE(text[chunk - 1])) --chunk;  // a pair stays whole
    if (!WriteConsoleW(handle, text.data(), chunk, &done, nullptr) || done == 0) return;
    text.remove_prefix(done);
  }
}

// Standard output or error: a console window, or a file or pipe (or nothing at all).
struct Output {
  HANDLE handle = nullptr;
  bool console = false;

  explicit Output(DWORD which) : handle(GetStdHandle(which)) {
    DWORD mode = 0;
    console = handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
  }
};

class WindowsConsole final : public Console {
 public:
  WindowsConsole() {
    code_page_ = GetConsoleOutputCP();
    utf8_ = code_page_ == CP_UTF8;
    // Without a console at all, the code page one would start with.
    if (code_page_ == 0) code_page_ = GetOEMCP();
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

  // A console window shows each piece at once. A file or a pipe gets whole lines, each line in
  // one write, so that runs in parallel into one log never split a line; the rest of a line
  // waits for flush().
  void write_out(std::string_view text) override {
    if (out_.console) {
      show(out_, text);
      return;
    }
    if (output_utf8_) {
      pending_.append(text);
    } else {
      append_for_file(text, code_page_, pending_);
    }
    const std::size_t end = pending_.rfind('\n');
    if (end == std::string::npos) return;
    if (!write_to_file(out_.handle, std::string_view(pending_).substr(0, end + 1))) failed_ = true;
    pending_.erase(0, end + 1);
  }

  // Whole lines of standard output are out already, and its partial line is not for here.
  void write_err(std::string_view text) override { show(err_, text); }

  void flush() override {
    if (pending_.empty()) return;
    if (!write_to_file(out_.handle, pending_)) failed_ = true;
    pending_.clear();
  }

  bool output_failed() const override { return failed_; }

  void keep_output_utf8() override { output_utf8_ = true; }

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
        CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
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
  // Written at once, whole.
  void show(const Output& output, std::string_view text) const {
    if (output.console) {
      std::wstring wide;
      append_for_console(text, code_page_, wide);
      write_to_console(output.handle, wide);
    } else {
      std::string bytes;
      append_for_file(text, code_page_, bytes);
      write_to_file(output.handle, bytes);
    }
  }

  Output out_{STD_OUTPUT_HANDLE};
  Output err_{STD_ERROR_HANDLE};
  UINT code_page_ = 0;
  std::string pending_;  // the start of a line, for a file or a pipe
  bool utf8_ = false;
  bool output_utf8_ = false;
  bool failed_ = false;
  bool key_from_console_ = false;
  bool no_keys_ = false;
  HANDLE console_input_ = INVALID_HANDLE_VALUE;
  HANDLE opened_console_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<Console> make_host_console() { return std::make_unique<WindowsConsole>(); }

}  // namespace kestrox

#endif  // _WIN32
