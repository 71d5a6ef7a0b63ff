// Formatted printing on top of the console's raw writes.
#include "platform/console.h"

#include <cstdio>
#include <string>

namespace kestrox {

void Console::vprint(Stream stream, const char* format, std::va_list args) {
  char small[512];
  std::va_list again;
  va_copy(again, args);
  const int needed = std::vsnprintf(small, sizeof small, format, args);
  std::string_view text;
  std::string large;
  if (needed < 0) {
    va_end(again);
    return;
  }
  if (static_cast<std::size_t>(needed) < sizeof small) {
    text = std::string_view(small, static_cast<std::size_t>(needed));
  } else {
    large.resize(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(large.data(), large.size(), format, again);
    large.pop_back();
    text = large;
  }
  va_end(again);
  if (stream == Stream::kOut) {
    write_out(text);
  } else {
    write_err(text);
  }
}

void Console::out(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vprint(Stream::kOut, format, args);
  va_end(args);
}

void Console::err(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  vprint(Stream::kErr, format, args);
  va_end(args);
}

}  // namespace kestrox
