// The host: its path style, its console, its files and its working directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
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
// pages the run only reads are never copied, and decoding writes over the pages it changes and
// no others; a smaller one is read into memory; anything else (a pipe, a FIFO, a character
// device, standard input named "-") is read to its end. Every operation that fails leaves errno
// (the last error on Windows) set to the host's reason, or at 0 where the file changed under the
// run, and change() then says what happened.
//
// Where the host can tell that another program writes the file, the source is guarded from the
// open on: on Linux by a read lease, which cannot be had while any process holds the file open
// for writing and which the kernel breaks when one opens it for writing or cuts it; on Windows
// by opening it without sharing it for writing. Elsewhere (a lease refused for another user's
// file, a file system without leases, other POSIX hosts) a mapped file is watched through its
// length and time stamps, which do not see a write that was already under way when it was mapped.
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
  // Makes the first `length` bytes available through bytes(). A file that another program holds
  // open for writing is kIncomplete, with nothing read.
  Load load(std::size_t length);
  std::span<std::uint8_t> bytes() { return {data_, size_}; }
  // Decoding is about to write from `write` on and will not read again what lies before `read`:
  // the pages between are made ready in one go where the host can (fresh pages of a mapped
  // file's own, rather than a copy of each file page as it is first written).
  void make_room(std::size_t write, std::size_t read);
  // Says that the first `length` bytes were written over (decoding): from there on only the
  // bytes after them are the file's own, which an attachment may take from the file itself.
  void overwritten(std::size_t length);
  // Empty while the bytes can be trusted. Otherwise why not: another program had the file open
  // for writing, opened it for writing while it was read, cut it short or rewrote it (another
  // length, modification time or change time); what was read since then may be zeros or another
  // version's bytes. A source held in memory of its own is safe once it is loaded.
  std::string_view change() const;
  bool intact() const { return change().empty(); }

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
  int read_error_ = 0;             // errno of the read that failed
  bool written_by_other_ = false;  // held open for writing by another program when opened
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // of a block on the heap
  std::size_t mapped_ = 0;    // of a mapping of the file
};

// What a write came to. kSourceChanged: the bytes were read from a source that changed while in
// use (SourceFile::change() says how), and nothing was moved into place.
enum class WriteResult { kWritten, kCannotOpen, kShortWrite, kSourceChanged };

// Called when the name a file was to take turns out to be taken at the moment of naming (another
// program took it after it was found free): changes `path` to the next name to try, or returns
// false to give up.
using NextName = std::function<bool(std::string& path)>;

// Writes `size` bytes to a new file that only its owner may read, and, once every byte is written
// and the file closed without error, gives it its final permissions (those of the regular file it
// replaces, with its owner and group where the process may set them; else those of any new file)
// and moves it to `path`. On Linux the new file has no name until then (a file system that refuses
// that, and other hosts, give it a temporary name in the path's directory). Without `replace` the
// move takes the name only where nothing stands, trying the names `next_name` gives (when given)
// while each turns out taken; with `replace`, the entry at `path` itself is replaced (a link, a
// FIFO or a device there is never opened), but never a directory. On any failure whatever stood
// at `path` stays as it was and nothing of the new file is left: a file without a name goes with
// the process whatever ends it, a temporary name is removed on every signal that ends the process
// and can be caught. A close that fails counts as a short write. `path` becomes the name the file
// took, and `written` the identity of the file now there. A failure leaves errno set to the host's
// reason (0 for kSourceChanged).
WriteResult write_whole_file(std::string& path, const std::uint8_t* data, std::size_t size,
                             bool replace, FileIdentity& written,
                             const NextName& next_name = nullptr);

}  // namespace kestrox

namespace kestrox {

// Creates the directory at `path` and every missing one above it; true when a directory stands
// there at the end (also one that stood there before). A failure leaves the host's reason set.
bool make_directories(const std::string& path);

}  // namespace kestrox
