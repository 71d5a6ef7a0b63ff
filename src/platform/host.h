// The host: its path style, its console, its files and its working directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

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

// The working directory, or false with the error number set. A directory longer than 259
// characters is refused (ERANGE), as a 260-byte buffer would refuse it.
bool get_working_directory(std::string& directory);
// The platform's description of the current error number.
std::string describe_current_error();

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

// A file opened read-only for loading. A directory does not open.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile();

  bool open(const std::string& path);
  // The file's size in bytes, or -1 when it cannot be taken.
  std::int64_t size() const;
  // Reads up to `count` bytes into `into` and returns how many arrived.
  std::size_t read(std::uint8_t* into, std::size_t count);
  void close();

 private:
  std::intptr_t handle_ = -1;
};

// One heap block that holds the whole source file. A request of 0 bytes succeeds.
class SourceBlock {
 public:
  SourceBlock() = default;
  SourceBlock(const SourceBlock&) = delete;
  SourceBlock& operator=(const SourceBlock&) = delete;
  ~SourceBlock();

  bool allocate(std::size_t size);
  std::uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;
};

enum class WriteResult { kWritten, kCannotOpen, kShortWrite };

// Creates or truncates the file at `path` and writes `size` bytes to it in one request. A close
// that fails counts as a short write: the data may not have reached the disk. `written` becomes
// the identity of the file that was written.
WriteResult write_whole_file(const std::string& path, const std::uint8_t* data, std::size_t size,
                             FileIdentity& written);

}  // namespace kestrox
