// The console seam: every byte the program prints and every key it reads passes through here.
#pragma once

#include <cstdarg>
#include <string_view>

#if defined(__GNUC__) || defined(__clang__)
#define KESTROX_PRINTF(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#else
#define KESTROX_PRINTF(format_index, first_arg)
#endif

namespace kestrox {

// What read_key() returns at end of input or on a read error: a key that is neither 'Y' nor 'y'.
inline constexpr int kNoKey = -1;

class Console {
 public:
  virtual ~Console() = default;

  virtual void write_out(std::string_view text) = 0;
  virtual void write_err(std::string_view text) = 0;
  // Makes everything written so far visible, a partial line included: called before every wait.
  virtual void flush() = 0;
  // True once standard output has refused text.
  virtual bool output_failed() const { return false; }
  // One key, without echo, after flushing standard output. kNoKey when none can come.
  virtual int read_key() = 0;
  // True when the box glyphs of the banner are to be sent as UTF-8 rather than code page 437.
  virtual bool utf8() const = 0;
  // The source is standard input, so its bytes are no keys: from now on keys come from the
  // controlling terminal, and where there is none every read gives kNoKey. A console whose keys
  // never come from standard input has nothing to change.
  virtual void read_keys_from_terminal() {}
  // From now on, standard output into a file or a pipe is UTF-8 as written, not the console's
  // code page: for text that scripts read (JSON). A console that never converts has nothing to
  // change, and a console window shows every character either way.
  virtual void keep_output_utf8() {}
  // Called after the key that ends the run. At a terminal the shell's prompt then starts on a
  // line of its own; elsewhere nothing is written.
  virtual void end_of_run_key() {}

  void out(const char* format, ...) KESTROX_PRINTF(2, 3);
  void err(const char* format, ...) KESTROX_PRINTF(2, 3);

 private:
  enum class Stream { kOut, kErr };
  void vprint(Stream stream, const char* format, std::va_list args);
};

}  // namespace kestrox
