// What the POSIX host's own files share: the signal handlers, and the source as the writer and
// the handlers need to see it.
#pragma once
#if !defined(_WIN32)

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/host.h"

namespace kestrox::posix {

inline FileIdentity identity_of(const struct stat& info) {
  return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
}

// --- the signals (signals_posix.cpp) ----------------------------------------------------------

// What the handlers know of the source, set by the source alone.
struct SourceWatch {
  // The mapping, whose pages past the end of a file cut short read as zeros instead of ending
  // the process (whole pages; the start is null while nothing is mapped).
  std::atomic<std::uint8_t*> mapped_start{nullptr};
  std::atomic<std::size_t> mapped_length{0};
  volatile sig_atomic_t cut_short = 0;
  // The descriptor that holds a read lease on the source, or -1; and whether the lease was broken
  // (another program opened the file for writing or cut it).
  volatile sig_atomic_t lease_fd = -1;
  volatile sig_atomic_t lease_broken = 0;
};
extern SourceWatch g_watch;

// The signal by which the kernel tells of a lease break: SIGIO, with the descriptor in its
// details. Sent by anyone else, it does what it always did.
inline constexpr int kLeaseBreakSignal = SIGIO;

// The size of a page, taken once.
std::size_t page_size();

// Every signal that can be caught and whose default action ends the process removes the
// temporary file recorded below before it does so.
void remove_temporaries_on_signals();
// The temporary name that exists at this moment (null: none), for the handler to remove.
void record_temporary(const char* name);
// A fault on a page of the mapped source that its file no longer holds is met by zero pages.
void catch_bus_errors();
// A lease break is met by letting the lease go at once and noting the break.
void catch_lease_breaks();

// Holds back every signal that can be held, for as long as it lives: while a temporary name
// comes into being and is recorded, or while two steps must follow each other with no handler
// run between them.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t before_;
};

// --- the source, for the writer (source_posix.cpp) --------------------------------------------

// True while the source's bytes can be trusted: what SourceFile::change() tells, for the writer,
// which checks it before any file it wrote takes its name.
bool source_intact();
// Where the `size` bytes at `data` can be read from the source file itself (bytes of the mapped
// file that decoding has not written over): its descriptor and the offset; false elsewhere.
bool source_file_range(const std::uint8_t* data, std::size_t size, int& fd, off_t& offset);
// The writer replaced an entry that was another name of the source (`replaced`): the change
// time that this gave the source is the run's own doing, not another program's.
void source_renamed_by_this_run(const struct stat& replaced);

// --- the process (host_posix.cpp) -------------------------------------------------------------

// True when standard input was closed as the process started (descriptor 0 is /dev/null since).
bool standard_input_was_closed();

}  // namespace kestrox::posix

#endif  // !_WIN32
