// The host: its path style, its console, its files and its working directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/console.h"

namespace kestrox {

// Which separator and drive rules a path follows. Every rule that differs by host takes one of
// these, so both are tested everywhere; the program itself uses host_path_style().
enum class PathStyle { kWindows, kPosix };

PathStyle host_path_style();

// Settles how the process meets its host before anything else runs. On POSIX a write past the
// file-size limit or into a closed pipe must fail as a write, not end the process unannounced.
void prepare_process();

// The real console of this process: standard output, standard error and the keyboard.
std::unique_ptr<Console> make_host_console();

// The process's arguments, argument 0 first, as UTF-8 on Windows (whatever the code page) and as
// the bytes the command line gave on POSIX.
std::vector<std::string> host_arguments(int argc, char** argv);

// The path of the running executable as the host knows it, whatever argument 0 says; false where
// the host cannot tell.
bool running_executable_path(std::string& path);

// True when reading the source at `path` ("-" is standard input) may wait for data that has not
// arrived yet: a pipe, a FIFO, a terminal or another device. A regular file, or a path that does
// not name anything, never waits.
bool source_may_wait(const std::string& path);

// The working directory, or false with the error number set. A directory longer than 259
// characters is refused (ERANGE), as a 260-byte buffer would refuse it.
bool get_working_directory(std::string& directory);
// The host's own words for why the last host operation that failed did so ("Permission denied",
// "No such file or directory"): strerror of errno on POSIX, FormatMessage of the last error on
// Windows. Every operation declared here that fails leaves this set to its reason. Empty when no
// host operation has failed since clear_current_error().
std::string describe_current_error();
void clear_current_error();

// True when a read-only open of the path succeeds and names no directory; the file is closed
// again at once.
bool can_open_for_reading(const std::string& path);
// A file as the file system knows it, by whatever name it is reached: the device and file number
// on POSIX, the volume serial number and file index on Windows.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t number = 0;
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// What stands at the path, if anything: a file, a directory, a dangling link. A link is the
// entry itself, never what it points to.
std::optional<FileIdentity> entry_identity(const std::string& path);

// The source file, loaded whole. A regular file of 64 KiB or more is mapped privately, so that
// pages the run only reads are never copied and decoding writes its own copy of the pages it
// changes; a smaller one is read into memory; anything else (a pipe, a FIFO, a character device,
// standard input named "-") is read to its end. Every operation that fails leaves errno (the last
// error on Windows) set to the host's reason, or at 0 where the file changed under the run.
class SourceFile {
 public:
  enum class Load { kLoaded, kNoMemory, kIncomplete };

  SourceFile() = default;
  SourceFile(const SourceFile&) = delete;
  SourceFile& operator=(const SourceFile&) = delete;
  ~SourceFile();

  // "-" is standard input; standard input that was closed when the process started does not
  // open (it is no empty source). A directory does not open.
  bool open(const std::string& path);
  // A regular file's size, or -1 when it cannot be taken. Anything else is read to its end first
  // (this is where the run waits for a pipe's data): what was read, or -1 when it was more than
  // `limit` bytes or did not fit in memory.
  std::int64_t measure(std::int64_t limit);
  // Makes the first `length` bytes available through bytes().
  Load load(std::size_t length);
  std::span<std::uint8_t> bytes() { return {data_, size_}; }
  // False once a mapped file turned out shorter than it was when it was mapped, or rewritten in
  // place (another length, modification time or change time): what was read from it since then
  // may be zeros or another version's bytes. A source held in memory of its own is always intact.
  bool intact() const;
  // To be called before most of the bytes are changed (decoding): they get memory of their own,
  // filled by one read, which costs less than a copy-on-write fault for every page of a mapping.
  // As long as it is not called, the bytes are the file's own, and an attachment may go from the
  // file to its output file inside the kernel.
  Load make_writable();

 private:
  void release();
  // Reads a source without a length to its end: its size, or -1 when it was more than `limit`
  // bytes or did not fit in memory. A read error ends it too and makes the load incomplete.
  std::int64_t read_to_end(std::int64_t limit);
  // One read of the host: the bytes read, 0 at the end, -1 on an error.
  std::ptrdiff_t read_some(std::uint8_t* into, std::size_t room);

  std::intptr_t handle_ = -1;
  bool owns_handle_ = false;
  bool stream_ = false;
  bool read_failed_ = false;
  int read_error_ = 0;  // errno of the read that failed
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;   // of a block on the heap
  std::size_t mapped_ = 0;     // of a mapping of the file
  std::size_t anonymous_ = 0;  // of pages of its own, which replaced the mapping
};

enum class WriteResult { kWritten, kCannotOpen, kShortWrite };

// Writes `size` bytes to a new file that only its owner may read, and, once every byte is written
// and the file closed without error, gives it its final permissions (those of the regular file it
// replaces, with its owner and group where the process may set them; else those of any new file)
// and moves it to `path`. On Linux the new file has no name until then (a file system that refuses
// that, and other hosts, give it a temporary name in the path's directory). Without `replace` the
// move takes the name only where nothing stands; with it, the entry at `path` itself is replaced
// (a link, a FIFO or a device there is never opened), but never a directory. On any failure
// whatever stood at `path` stays as it was and nothing of the new file is left: a file without a
// name goes with the process whatever ends it, a temporary name is removed on every signal that
// ends the process and can be caught. A close that fails counts as a short write, and so does a
// mapped source that changed while in use. `written` becomes the identity of the file now at
// `path`. A failure leaves errno set to the host's reason (0 where the source changed).
WriteResult write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size,
                             bool replace, FileIdentity& written);

}  // namespace kestrox

namespace kestrox {

// Creates the directory at `path` and every missing one above it; true when a directory stands
// there at the end (also one that stood there before). A failure leaves the host's reason set.
bool make_directories(const std::string& path);

}  // namespace kestrox
