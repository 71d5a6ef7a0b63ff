// Whole runs that meet a failing or changing host: output that cannot be created, a short write, a
// close that fails, a signal while writing, existing entries that are not plain readable files,
// entries that appear or change during the run, a source cut short while in use, sources that
// are not files. Each ends as the console text, the result and the files left on disk say,
// nothing is counted as written that was not, no existing file is touched without a 'y', and no
// temporary file is left behind.
#include <gtest/gtest.h>

#if defined(__linux__)
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/syscall.h>
#endif
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#endif
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/banner.h"
#include "driver/run.h"
#include "platform/host.h"
#include "support/scripted_console.h"
#include "support/tnef_builder.h"

namespace kestrox {
namespace {

namespace fs = std::filesystem;
using testing::ByteVector;
using testing::ScratchDirectory;
using testing::ScriptedConsole;
using testing::TnefBuilder;

constexpr std::string_view kPrompt = "\nPress a key to continue...";
constexpr std::string_view kCannotOpen = "File error - Cannot open file for writing\n";
constexpr std::string_view kWrongLength = "File error - wrote wrong length\n";
constexpr std::string_view kExists = "File already exists, press Y to overwrite ... ";

struct Ran {
  int result = 0;
  std::string out;  // what followed the banner
  int keys_read = 0;
  std::string err;  // one line at most
};

Ran run_whole(const std::vector<std::string>& args, std::string keys = "k") {
  ScriptedConsole console(std::move(keys));
  Ran ran;
  ran.result = run(args, console, PathStyle::kPosix);
  const std::string banner = banner_text(BannerStyle::kCodePage437);
  ran.out = console.out_text().substr(banner.size());
  ran.keys_read = console.keys_read();
  ran.err = console.err_text();
  return ran;
}

// Serialised for the trip from a child process.
std::string encode(const Ran& ran) {
  return std::to_string(ran.result) + " " + std::to_string(ran.keys_read) + "\n" + ran.err +
         ran.out;
}

// Runs `body` in a child process (for process-wide settings: limits, identities, filters) and
// returns what it returned. The child ends with _exit, so nothing of the parent's is run twice.
Ran in_child(const std::function<Ran()>& body) {
  int pipe_ends[2];
  if (::pipe(pipe_ends) != 0) {
    ADD_FAILURE() << "pipe";
    return {};
  }
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    const std::string text = encode(body());
    std::size_t sent = 0;
    while (sent < text.size()) {
      const ssize_t done = ::write(pipe_ends[1], text.data() + sent, text.size() - sent);
      if (done <= 0) ::_exit(2);
      sent += static_cast<std::size_t>(done);
    }
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  std::string text;
  char chunk[4096];
  for (;;) {
    const ssize_t got = ::read(pipe_ends[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
  Ran ran;
  const std::size_t space = text.find(' ');
  const std::size_t newline = text.find('\n');
  if (space == std::string::npos || newline == std::string::npos) {
    ADD_FAILURE() << "nothing came back from the child";
    return ran;
  }
  ran.result = std::stoi(text.substr(0, space));
  ran.keys_read = std::stoi(text.substr(space + 1, newline - space - 1));
  const std::size_t err_end = text.compare(newline + 1, 9, "kestrox: ") == 0
                                  ? text.find('\n', newline + 1) + 1
                                  : newline + 1;
  ran.err = text.substr(newline + 1, err_end - newline - 1);
  ran.out = text.substr(err_end);
  return ran;
}

// The temporary files a write left behind in `directory`.
int temporaries_in(const std::string& directory) {
  int found = 0;
  for (const auto& entry : fs::directory_iterator(directory)) {
    found += entry.path().filename().string().starts_with(".kestrox-");
  }
  return found;
}

std::string contents_of(const std::string& path) {
  const ByteVector bytes = testing::read_file(path);
  return {bytes.begin(), bytes.end()};
}

void put(const std::string& path, std::string_view text) {
  ASSERT_TRUE(
      testing::write_file(path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
}

// A TNEF stream of attachments known by their titles only.
struct Attachment {
  std::string title;
  std::string data;
};
ByteVector titled(const std::vector<Attachment>& attachments) {
  TnefBuilder tnef;
  tnef.signature();
  for (const Attachment& attachment : attachments) {
    tnef.attach_title(attachment.title).attach_data(attachment.data);
  }
  return tnef.bytes();
}

// The glyphs and the announcement of such an attachment, written to `path`.
std::string announced(const Attachment& attachment, const std::string& path) {
  return ".;~ Extracting file " + attachment.title + ", (" + attachment.title + ") length " +
         std::to_string(attachment.data.size()) + " to " + path + "\n";
}

std::string analysing(const std::string& source, std::size_t length) {
  return "Analysing file " + source + ", length " + std::to_string(length) + "\n";
}

// A source and an output directory in a fresh scratch directory.
class FailurePaths : public ::testing::Test {
 protected:
  void write_source(const std::vector<Attachment>& attachments) {
    source_bytes_ = titled(attachments);
    ASSERT_TRUE(testing::write_file(source_, source_bytes_));
  }
  std::string head() const { return analysing(source_, source_bytes_.size()); }

  ScratchDirectory dir_;
  std::string source_ = dir_ / "in.dat";
  std::string out_ = dir_ / "out";
  ByteVector source_bytes_;
  const Attachment a_{"a.txt", "first"};
  const Attachment b_{"b.txt", "second"};
};

// --- output that cannot be created --------------------------------------------------------------

TEST_F(FailurePaths, OutputThatCannotBeCreatedStopsTheRunAtTheFirstAttachment) {
  write_source({a_, b_});
  put(dir_ / "plain", "a regular file");
  // A path through a regular file, and a directory name that no file system takes. (A directory
  // that does not exist is the whole-run and output tests' case.)
  const std::string too_long(300, 'd');
  for (const std::string& directory :
       {dir_ / "plain/", dir_ / "plain/below/", dir_ / too_long + "/"}) {
    SCOPED_TRACE(directory);
    const Ran ran = run_whole({"kestrox", source_, "x", directory});
    // No second record is looked at, and there is no summary.
    EXPECT_EQ(ran.out, head() + announced(a_, directory + "a.txt") + "Writing.\n" +
                           std::string(kCannotOpen) + std::string(kPrompt));
    EXPECT_EQ(ran.result, kFailureResult);
    EXPECT_EQ(ran.keys_read, 1);
  }
  EXPECT_EQ(contents_of(dir_ / "plain"), "a regular file");
}

TEST_F(FailurePaths, FilesWrittenBeforeAFailureStay) {
  // b.txt's name is taken by a directory: asked, answered 'y', and its open then fails.
  write_source({a_, b_});
  ASSERT_TRUE(fs::create_directories(out_ + "/b.txt"));
  const Ran ran = run_whole({"kestrox", source_, "x", out_}, "yk");
  EXPECT_EQ(ran.out, head() + announced(a_, out_ + "/a.txt") + "Writing.\n" +
                         announced(b_, out_ + "/b.txt") + std::string(kExists) + "Writing.\n" +
                         std::string(kCannotOpen) + std::string(kPrompt));
  EXPECT_EQ(ran.result, kFailureResult);
  EXPECT_EQ(ran.keys_read, 2);
  EXPECT_EQ(contents_of(out_ + "/a.txt"), "first");
  EXPECT_TRUE(fs::is_directory(out_ + "/b.txt"));
  EXPECT_TRUE(fs::is_empty(out_ + "/b.txt"));
}

// --- existing entries that are not readable files: the question is asked for each ------------

TEST_F(FailurePaths, OutputNameTakenByADirectory) {
  write_source({a_});
  const std::string path = out_ + "/a.txt";
  ASSERT_TRUE(fs::create_directories(path));
  // Declined and accepted at a single attachment: the output tests. Here the whole runs.
  {
    SCOPED_TRACE("quiet");
    const Ran ran = run_whole({"kestrox", source_, "q", out_}, "");
    EXPECT_EQ(ran.out, head() + announced(a_, path) + std::string(kExists) + "Not writing.\n\n");
    EXPECT_EQ(ran.result, 0);
    EXPECT_EQ(ran.keys_read, 0);
  }
  {
    SCOPED_TRACE("answered y");
    const Ran ran = run_whole({"kestrox", source_, "x", out_}, "yk");
    EXPECT_EQ(ran.out, head() + announced(a_, path) + std::string(kExists) + "Writing.\n" +
                           std::string(kCannotOpen) + std::string(kPrompt));
    EXPECT_EQ(ran.result, kFailureResult);
  }
  EXPECT_TRUE(fs::is_directory(path));
}

TEST_F(FailurePaths, AnsweredYReplacesTheEntryNeverWhatItLeadsTo) {
  // Whatever stands at the name, a 'y' replaces that directory entry by the new file: a link's
  // target, a hard link's other name, a FIFO or a device is never opened for writing.
  write_source({a_});
  ASSERT_TRUE(fs::create_directory(out_));
  const std::string path = out_ + "/a.txt";
  const std::string victim = dir_ / "victim";
  struct Case {
    const char* name;
    std::function<void()> plant;
    fs::perms permissions = fs::perms::unknown;  // what the new file has, where that is fixed
    uid_t owner = static_cast<uid_t>(-1);         // its owner and group, where the test may set them
  };
  const Case cases[] = {
      // A private file stays private.
      {"file of its owner only",
       [&] {
         put(path, "old");
         fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write);
       },
       fs::perms::owner_read | fs::perms::owner_write},
      // A file of another user (a mail filter run as root) stays theirs, and their group's.
      {"file of another user",
       [&] {
         put(path, "old");
         fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write |
                                   fs::perms::group_read);
         ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
       },
       fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read, 65534},
      {"link to a file", [&] { fs::create_symlink(victim, path); }},
      {"dangling link", [&] { fs::create_symlink(dir_ / "nowhere", path); }},
      {"hard link", [&] { fs::create_hard_link(victim, path); }},
      {"link to a device", [&] { fs::create_symlink("/dev/full", path); }},
      // With a reader waiting, an open for writing would succeed and feed the pipe; without one
      // it would wait forever.
      {"FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
  };
  for (const Case& planted : cases) {
    SCOPED_TRACE(planted.name);
    if (planted.owner != static_cast<uid_t>(-1) && ::geteuid() != 0) continue;  // cannot chown
    put(victim, "keep me");
    fs::remove(path);
    planted.plant();
    const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    const Ran ran = run_whole({"kestrox", source_, "x", out_}, "yk");
    if (reader >= 0) ::close(reader);
    EXPECT_EQ(ran.out, head() + announced(a_, path) + std::string(kExists) + "Writing.\n" +
                           "\nExtracted 1 file.\n" + std::string(kPrompt));
    EXPECT_EQ(ran.result, 1);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(path)));
    EXPECT_EQ(contents_of(path), "first");
    EXPECT_EQ(contents_of(victim), "keep me");
    EXPECT_FALSE(fs::exists(dir_ / "nowhere"));
    EXPECT_EQ(temporaries_in(out_), 0);
    if (planted.permissions != fs::perms::unknown) {
      EXPECT_EQ(fs::status(path).permissions(), planted.permissions);
    }
    struct stat info;
    if (planted.owner != static_cast<uid_t>(-1) && ::stat(path.c_str(), &info) == 0) {
      EXPECT_EQ(info.st_uid, planted.owner);
      EXPECT_EQ(info.st_gid, planted.owner);
    }
  }
}

TEST_F(FailurePaths, AttachmentThatReplacesItsOwnSource) {
  // An attachment named as the mapped file it came in (a winmail.dat forwarded in another),
  // answered 'y', replaces that name: the run goes on with the file it opened, which is unchanged,
  // and writes what follows it.
  const Attachment inner{"in.dat", std::string(96 << 10, 'i')};
  write_source({inner, b_});
  const Ran ran = run_whole({"kestrox", source_, "x"}, "yk");
  EXPECT_EQ(ran.result, 2) << ran.out;
  EXPECT_TRUE(contents_of(source_) == inner.data);
  EXPECT_EQ(contents_of(dir_ / "b.txt"), "second");
}

TEST_F(FailurePaths, EntryThatAppearsAfterTheCheckIsKept) {
  // Another program puts an entry at the name just after it was found free (while "Writing." is
  // printed), or swaps the one asked about for a link while the key is read.
  write_source({a_});
  ASSERT_TRUE(fs::create_directory(out_));
  const std::string path = out_ + "/a.txt";
  const std::string victim = dir_ / "victim";
  for (const bool quiet : {true, false}) {
    SCOPED_TRACE(quiet ? "quiet" : "asking");
    fs::remove(path);
    ScriptedConsole console("k");
    console.on_out = [&](std::string_view out) {
      if (out.ends_with("Writing.\n")) put(path, "theirs");
    };
    EXPECT_EQ(run(std::vector<std::string>{"kestrox", source_, quiet ? "q" : "x", out_}, console,
                  PathStyle::kPosix),
              kFailureResult);
    EXPECT_TRUE(console.out_text().ends_with(announced(a_, path) + "Writing.\n" +
                                             std::string(kCannotOpen) +
                                             (quiet ? "" : std::string(kPrompt))));
    EXPECT_EQ(contents_of(path), "theirs");
    EXPECT_EQ(temporaries_in(out_), 0);
  }
  // Kept both, the entry that appeared is left to its program and the attachment takes the next
  // free number instead, which standard error tells; so does a numbered name taken in its turn.
  for (const char* already : {"", "a (2).txt"}) {
    SCOPED_TRACE(std::string("keeping both, taken before: ") + already);
    fs::remove_all(out_);
    ASSERT_TRUE(fs::create_directory(out_));
    const std::string announced_path = *already == '\0' ? path : out_ + "/a (3).txt";
    if (*already != '\0') {
      put(path, "old");
      put(out_ + "/" + already, "older");
    }
    ScriptedConsole console("k");
    console.on_out = [&](std::string_view out) {
      if (out.ends_with("Writing.\n")) put(announced_path, "theirs");
    };
    EXPECT_EQ(run(std::vector<std::string>{"kestrox", "--keep-both", source_, "q", out_}, console,
                  PathStyle::kPosix),
              1);
    const std::string written = *already == '\0' ? out_ + "/a (2).txt" : out_ + "/a (4).txt";
    EXPECT_EQ(console.err_text(),
              "kestrox: " + announced_path + ": File exists; written as " + written + "\n");
    EXPECT_EQ(contents_of(announced_path), "theirs");
    EXPECT_EQ(contents_of(written), "first");
    EXPECT_EQ(temporaries_in(out_), 0);
  }
  put(path, "old");
  put(victim, "keep me");
  ScriptedConsole console("yk");
  console.on_key = [&] {
    if (console.keys_read() > 0) return;
    fs::remove(path);
    fs::create_symlink(victim, path);
  };
  EXPECT_EQ(
      run(std::vector<std::string>{"kestrox", source_, "x", out_}, console, PathStyle::kPosix), 1);
  EXPECT_EQ(contents_of(path), "first");
  EXPECT_FALSE(fs::is_symlink(path));
  EXPECT_EQ(contents_of(victim), "keep me");
}

TEST_F(FailurePaths, OutputNameIsAnUnreadableFile) {
  write_source({a_});
  ASSERT_TRUE(fs::create_directory(out_));
  const std::string path = out_ + "/a.txt";
  put(path, "keep me");
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  // Root reads and writes whatever the permissions say: the run goes to a child that is nobody.
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(out_.c_str(), 0777), 0);
  auto as_nobody = [&](std::string keys) {
    return in_child([&, keys] {
      if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
      if (::access(path.c_str(), R_OK) == 0) ::_exit(4);  // not unreadable after all
      return run_whole({"kestrox", source_, "x", out_}, keys);
    });
  };
  {
    SCOPED_TRACE("answered n");
    const Ran ran = as_nobody("nk");
    EXPECT_EQ(ran.out, head() + announced(a_, path) + std::string(kExists) + "Not writing.\n\n" +
                           std::string(kPrompt));
    EXPECT_EQ(ran.result, 0);
  }
  {
    SCOPED_TRACE("answered y");
    const Ran ran = as_nobody("yk");
    EXPECT_EQ(ran.out, head() + announced(a_, path) + std::string(kExists) + "Writing.\n" +
                           std::string(kCannotOpen) + std::string(kPrompt));
    EXPECT_EQ(ran.result, kFailureResult);
  }
  EXPECT_EQ(contents_of(path), "keep me");
}

TEST_F(FailurePaths, AUserWithoutPrivilegesGetsNewAndReplacedFilesNamed) {
  // Root may name a finished file by its descriptor whatever the kernel; a user without
  // privileges only where the kernel allows it, and through /proc elsewhere.
  write_source({a_, b_});
  ASSERT_TRUE(fs::create_directory(out_));
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(out_.c_str(), 0777), 0);
  const Ran ran = in_child([&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    put(out_ + "/b.txt", "old");
    return run_whole({"kestrox", source_, "x", out_}, "yk");
  });
  EXPECT_EQ(ran.result, 2);
  EXPECT_EQ(contents_of(out_ + "/a.txt"), "first");
  EXPECT_EQ(contents_of(out_ + "/b.txt"), "second");
  EXPECT_EQ(temporaries_in(out_), 0);
}

// --- writes that do not reach the file ----------------------------------------------------------

TEST_F(FailurePaths, ShortWriteAtTheFileSizeLimit) {
  write_source({a_, b_});
  ASSERT_TRUE(fs::create_directory(out_));
  const std::string path = out_ + "/a.txt";
  // Four bytes fit, or none. Over a new name nothing is left; over an existing file (answered
  // 'y') its old bytes stay. Either way no temporary file remains and the run ends there.
  for (const bool existing : {false, true}) {
    for (const rlim_t limit : {rlim_t{4}, rlim_t{0}}) {
      SCOPED_TRACE(std::to_string(limit) + (existing ? " over an old file" : " new"));
      fs::remove(path);
      if (existing) put(path, "old bytes");
      const Ran ran = in_child([&] {
        prepare_process();  // a write past the limit fails instead of ending the process
        rlimit file_size;
        ::getrlimit(RLIMIT_FSIZE, &file_size);
        file_size.rlim_cur = limit;
        if (::setrlimit(RLIMIT_FSIZE, &file_size) != 0) ::_exit(3);
        return run_whole({"kestrox", source_, "x", out_}, "yk");
      });
      EXPECT_EQ(ran.out, head() + announced(a_, path) + (existing ? std::string(kExists) : "") +
                             "Writing.\n" + std::string(kWrongLength) + std::string(kPrompt));
      EXPECT_EQ(ran.result, kFailureResult);
      EXPECT_EQ(ran.err, "kestrox: " + path + ": " + std::strerror(EFBIG) + "\n");
      EXPECT_EQ(fs::exists(path), existing);
      if (existing) {
        EXPECT_EQ(contents_of(path), "old bytes");
      }
      EXPECT_FALSE(fs::exists(out_ + "/b.txt"));
      EXPECT_EQ(temporaries_in(out_), 0);
    }
  }
}

TEST_F(FailurePaths, FailingHostCallsLeaveTheirReasonInErrno) {
  // The reason a log gives for a failure is the errno that the failing call left, never one that
  // cleaning up after it set. In a child, whose standard input is closed and file size limited.
  ASSERT_TRUE(fs::create_directory(out_));
  put(out_ + "/taken", "theirs");
  const Ran ran = in_child([&] {
    ::close(STDIN_FILENO);
    prepare_process();
    const std::uint8_t byte = 'x';
    FileIdentity identity;
    auto write_fails = [&](std::string path, bool replace) {
      return write_whole_file(path, &byte, 1, replace, identity) != WriteResult::kWritten;
    };
    auto open_fails = [&](const std::string& path) { return !SourceFile().open(path); };
    struct Case {
      const char* what;
      std::function<bool()> fails;
      int reason;
    };
    const Case cases[] = {
        {"missing source", [&] { return open_fails(dir_ / "nowhere"); }, ENOENT},
        {"directory as source", [&] { return open_fails(dir_.path()); }, EISDIR},
        {"closed standard input", [&] { return open_fails("-"); }, EBADF},
        {"missing directory", [&] { return write_fails(dir_ / "nowhere/a.txt", false); }, ENOENT},
        {"name taken", [&] { return write_fails(out_ + "/taken", false); }, EEXIST},
        {"directory replaced", [&] { return write_fails(out_, true); }, EISDIR},
        {"file size limit", [&] {
           const rlimit none = {0, RLIM_INFINITY};
           return ::setrlimit(RLIMIT_FSIZE, &none) == 0 && write_fails(out_ + "/new", false);
         }, EFBIG},
    };
    Ran mismatches;
    for (const Case& c : cases) {
      errno = 0;
      const bool failed = c.fails();
      const int reason = errno;
      if (!failed || reason != c.reason) {
        mismatches.out += std::string(c.what) + ": " + std::strerror(reason) + "\n";
      }
    }
    return mismatches;
  });
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(contents_of(out_ + "/taken"), "theirs");
  EXPECT_EQ(temporaries_in(out_), 0);
}

#if defined(__linux__)
// The /proc path of the descriptor by which the child writes a file in `directory`, once that file
// holds `least` bytes; else empty.
std::string output_being_written(pid_t child, const std::string& directory, off_t least) {
  std::error_code error;
  for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(child) + "/fd", error)) {
    struct stat info;
    if (fs::read_symlink(fd.path(), error).string().starts_with(directory + "/") &&
        ::stat(fd.path().c_str(), &info) == 0 && info.st_size >= least) {
      return fd.path();
    }
  }
  return {};
}

TEST_F(FailurePaths, SignalWhileWritingLeavesNoTemporary) {
  // A child traced from here is held once the file it writes holds a first MiB of the attachment,
  // and is sent the signal a user, a time limit or the OOM killer sends. Meanwhile the file is
  // its owner's alone, though the file it replaces may be read by all. The process ends by that
  // signal with the old file intact and nothing else in the directory; only SIGKILL, which no
  // handler sees, leaves a temporary name, where the file system gives no file without one.
#if defined(RUNNING_ON_VALGRIND)
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind does not let its child be traced";
#endif
  write_source({{"a.txt", std::string(3 << 20, 'n')}});
  ASSERT_TRUE(fs::create_directory(out_));
  const std::string path = out_ + "/a.txt";
  for (const int signal_number : {SIGKILL, SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGALRM, SIGXCPU}) {
    SCOPED_TRACE(signal_number);
    put(path, "old bytes");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    const pid_t child = ::fork();
    if (child == 0) {
      const rlimit no_core = {0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(3);
      ::raise(SIGSTOP);
      prepare_process();
      ScriptedConsole console("yk");
      run(std::vector<std::string>{"kestrox", source_, "x", out_}, console, PathStyle::kPosix);
      ::_exit(4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    // Not where the child cannot be traced.
    if (!WIFSTOPPED(status) ||
        ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
      ::kill(child, SIGKILL);
      ::waitpid(child, &status, 0);
      GTEST_SKIP() << "a child cannot be traced here";
    }
    std::string output;
    int pass_on = 0;  // a signal of the child's own, which it gets as usual
    while (output.empty()) {
      ::ptrace(PTRACE_SYSCALL, child, nullptr, pass_on);
      ASSERT_EQ(::waitpid(child, &status, 0), child);
      ASSERT_TRUE(WIFSTOPPED(status)) << "the run ended first: " << status;
      pass_on = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status);
      output = output_being_written(child, out_, 1 << 20);
    }
    struct stat info;
    ASSERT_EQ(::stat(output.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    std::error_code error;
    const bool named = fs::read_symlink(output, error).filename().string().starts_with(".kestrox-");
    ::kill(child, signal_number);
    ::ptrace(PTRACE_DETACH, child, nullptr, 0);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << status;
    EXPECT_EQ(contents_of(path), "old bytes");
    EXPECT_EQ(temporaries_in(out_), named && signal_number == SIGKILL ? 1 : 0);
    for (const auto& entry : fs::directory_iterator(out_)) {
      if (entry.path() != path) fs::remove(entry.path());
    }
  }
}
#endif

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))
// From here on every close() in this process fails with EIO, as a close does on a network file
// system whose write-back failed. The descriptor stays open; the process is a child that ends
// soon after.
bool make_every_close_fail() {
#if defined(__x86_64__)
  constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#else
  constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#endif
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (EIO & SECCOMP_RET_DATA)),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  sock_fprog program = {static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
  return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) == 0;
}

TEST_F(FailurePaths, CloseThatFailsIsAShortWrite) {
  write_source({a_, b_});
  ASSERT_TRUE(fs::create_directory(out_));
  const Ran ran = in_child([&] {
    if (!make_every_close_fail()) ::_exit(3);
    return run_whole({"kestrox", source_, "x", out_});
  });
  // The bytes were handed over, but a failed close means they may not be on the disk: the file
  // is not counted as written and the run ends.
  EXPECT_EQ(ran.out, head() + announced(a_, out_ + "/a.txt") + "Writing.\n" +
                         std::string(kWrongLength) + std::string(kPrompt));
  EXPECT_EQ(ran.result, kFailureResult);
  // The write itself went through, yet nothing is moved into place.
  EXPECT_FALSE(fs::exists(out_ + "/a.txt"));
  EXPECT_FALSE(fs::exists(out_ + "/b.txt"));
  EXPECT_EQ(temporaries_in(out_), 0);
}
#endif

// --- large attachments, copied from file to file -----------------------------------------------

TEST_F(FailurePaths, LargeAttachmentsArriveByteForByte) {
  // One attachment whose bytes start on a page, which the kernel copies, and one of over 1 MiB
  // that starts elsewhere, which goes through a buffer.
  std::string on_page(96 << 10, '\0');
  std::string off_page((1 << 20) + 5, '\0');
  for (std::size_t i = 0; i < on_page.size(); ++i) on_page[i] = static_cast<char>(i * 7);
  for (std::size_t i = 0; i < off_page.size(); ++i) off_page[i] = static_cast<char>(i * 13 + 1);
  TnefBuilder tnef;
  tnef.signature().filler_to(8192 - 9 - 17).attach_title("p.bin").attach_data(on_page);
  tnef.attach_title("q.bin").attach_data(off_page);
  source_bytes_ = tnef.bytes();
  ASSERT_EQ(std::string(source_bytes_.begin() + 8192, source_bytes_.begin() + 8200),
            on_page.substr(0, 8));
  ASSERT_TRUE(testing::write_file(source_, source_bytes_));
  ASSERT_TRUE(fs::create_directory(out_));
  EXPECT_EQ(run_whole({"kestrox", source_, "q", out_}).result, 2);
  EXPECT_TRUE(contents_of(out_ + "/p.bin") == on_page);
  EXPECT_TRUE(contents_of(out_ + "/q.bin") == off_page);
}

// --- a source that another program changes -----------------------------------------------------

constexpr std::string_view kIncomplete = "Incomplete file read.\n";

// Whether the run guards a source at `path` with a read lease, as this process would be given one
// now: on Linux, for the file's owner or a process with the right to lease any file, on a file
// system with leases. Elsewhere its length and time stamps are all the run has to go by.
bool source_leased(const std::string& path) {
#if defined(__linux__) && defined(F_SETLEASE) && !defined(KESTROX_PORTABLE_FALLBACKS)
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool held = ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  if (held) ::fcntl(fd, F_SETLEASE, F_UNLCK);
  ::close(fd);
  return held;
#else
  (void)path;
  return false;
#endif
}

TEST_F(FailurePaths, SourceChangedWhileInUse) {
  // Large enough to be mapped rather than read. While the key for a.txt is read, the file is cut
  // right after a's bytes (the rest of its page reads as zeros, the pages after it are gone), or
  // rewritten in place with other bytes, as a mail client saving another message over it would.
  // The run's own file is guarded by a lease where the host gives one, which any opening for
  // writing breaks; another user's file only by its length and time stamps, which see a cut and
  // a rewrite of another length.
  const Attachment big{"b.txt", std::string(256 << 10, 'b')};
  write_source({a_, big});
  ASSERT_TRUE(fs::create_directory(out_));
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(out_.c_str(), 0777), 0);
  const std::string path = out_ + "/a.txt";
  const std::function<bool()> cut = [&] { return ::truncate(source_.c_str(), 40) == 0; };
  const std::function<bool()> rewrite = [&] {
    struct stat before;
    // A later modification time, however coarse the file system's clock.
    timespec times[2] = {{0, UTIME_OMIT}, {}};
    if (::stat(source_.c_str(), &before) != 0) return false;
    times[1] = {before.st_mtim.tv_sec + 1, before.st_mtim.tv_nsec};
    return testing::write_file(source_, ByteVector(source_bytes_.size(), 'x')) &&
           ::utimensat(AT_FDCWD, source_.c_str(), times, 0) == 0;
  };
  const std::function<bool()> rewrite_longer = [&] {
    return testing::write_file(source_, ByteVector(source_bytes_.size() + 1, 'x'));
  };
  struct Case {
    const char* what;
    bool another_users;  // the source belongs to another user: no lease for the run
    const std::function<bool()>& change;
    const char* keys;
  };
  const Case cases[] = {
      {"cut short", false, cut, "yk"},
      {"cut short", false, cut, "nk"},
      {"rewritten", false, rewrite, "yk"},
      {"rewritten", false, rewrite, "nk"},
      {"another user's, cut short", true, cut, "yk"},
      {"another user's, rewritten longer", true, rewrite_longer, "yk"},
      {"another user's, rewritten longer", true, rewrite_longer, "nk"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.what) + ", " + c.keys);
    if (c.another_users && ::geteuid() != 0) continue;  // cannot be another user here
    put(path, "old bytes");
    ASSERT_EQ(::chmod(path.c_str(), 0666), 0);
    ASSERT_TRUE(testing::write_file(source_, source_bytes_));
    ASSERT_EQ(::chmod(source_.c_str(), 0666), 0);
    const bool leased = !c.another_users && source_leased(source_);
    const Ran ran = in_child([&] {
      if (c.another_users && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
      ScriptedConsole console(c.keys);
      console.on_key = [&] {
        if (console.keys_read() == 0 && !c.change()) ::_exit(4);
      };
      Ran inner;
      inner.result =
          run(std::vector<std::string>{"kestrox", source_, "x", out_}, console, PathStyle::kPosix);
      inner.out = console.out_text();
      inner.err = console.err_text();
      return inner;
    });
    // The source is named, with what happened to it.
    EXPECT_EQ(ran.err, "kestrox: " + source_ + ": " +
                           (leased ? "another program opened the file for writing while it was read"
                                   : "the file changed while it was read") +
                           "\n");
    const std::size_t a_at = ran.out.find(announced(a_, path));
    ASSERT_NE(a_at, std::string::npos) << ran.out;
    const std::string rest = ran.out.substr(a_at + announced(a_, path).size());
    // Answered y: nothing read from a file that changed is moved into place, even what was read
    // before, and the run ends as a read that came up short, not as a failed write. Answered n:
    // the scan goes on into pages that are no more or hold another file, and the run ends so
    // instead of by a signal or as a success.
    if (c.keys[0] == 'y') {
      EXPECT_EQ(rest, std::string(kExists) + "Writing.\n" + std::string(kIncomplete) +
                          std::string(kPrompt));
    } else {
      EXPECT_TRUE(rest.starts_with(std::string(kExists) + "Not writing.\n")) << rest;
      EXPECT_TRUE(rest.ends_with("\n" + std::string(kIncomplete) + std::string(kPrompt))) << rest;
    }
    EXPECT_EQ(rest.find("Extracted"), std::string::npos);
    EXPECT_EQ(ran.result, kFailureResult);
    EXPECT_EQ(contents_of(path), "old bytes");
    EXPECT_FALSE(fs::exists(out_ + "/b.txt"));
    EXPECT_EQ(temporaries_in(out_), 0);
  }
}

TEST_F(FailurePaths, SourceHeldOpenForWritingIsNotRead) {
  // Another program is writing the source as the run starts, one large write under way or many
  // within one tick of the clock, so that its length and time stamps say nothing more: where the
  // host tells that it is open for writing, nothing is read from it and nothing written; where it
  // cannot tell (another user's file, other hosts), the stamps are all there is.
  const Attachment big{"b.txt", std::string(256 << 10, 'b')};
  ASSERT_TRUE(fs::create_directory(out_));
  for (const bool mapped : {false, true}) {
    SCOPED_TRACE(mapped ? "mapped" : "read into memory");
    fs::remove_all(out_);
    ASSERT_TRUE(fs::create_directory(out_));
    write_source(mapped ? std::vector<Attachment>{a_, big} : std::vector<Attachment>{a_, b_});
    const bool leased = source_leased(source_);
    const int writer = ::open(source_.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const Ran ran = run_whole({"kestrox", source_, "q", out_});
    ::close(writer);
    if (!leased) {
      EXPECT_EQ(ran.result, 2);  // nothing to tell it by
      continue;
    }
    EXPECT_EQ(ran.out, head() + std::string(kIncomplete));
    EXPECT_EQ(ran.err,
              "kestrox: " + source_ + ": the file is open for writing by another program\n");
    EXPECT_EQ(ran.result, kFailureResult);
    EXPECT_TRUE(fs::is_empty(out_));
  }
}

TEST_F(FailurePaths, TheSourceIsLetGoBeforeTheClosingKey) {
  // Nobody may be at the keyboard: a program that opens the source for writing then must not
  // wait for the key, nor end the run it has finished.
  write_source({a_, {"b.txt", std::string(256 << 10, 'b')}});
  ASSERT_TRUE(fs::create_directory(out_));
  if (!source_leased(source_)) GTEST_SKIP() << "no lease here: nothing held";
  ScriptedConsole console("k");
  int writer = -1;
  console.on_key = [&] { writer = ::open(source_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); };
  EXPECT_EQ(
      run(std::vector<std::string>{"kestrox", source_, "x", out_}, console, PathStyle::kPosix), 2);
  EXPECT_GE(writer, 0) << std::strerror(errno);
  if (writer >= 0) ::close(writer);
  EXPECT_TRUE(console.out_text().ends_with("\nExtracted 2 files.\n" + std::string(kPrompt)));
}

#if defined(__linux__)
TEST_F(FailurePaths, SourceOpenedForWritingDuringALargeWrite) {
  // A child traced from here is held once the file it writes holds a first MiB of a large
  // attachment, and another program opens the source for writing. That open must wait for the
  // lease, whose break the child answers by letting it go at once when it runs again: it finishes
  // the attachment, but nothing read after the break is moved into place, and the run ends there.
#if defined(RUNNING_ON_VALGRIND)
  if (RUNNING_ON_VALGRIND) GTEST_SKIP() << "valgrind does not let its child be traced";
#endif
  write_source({{"a.txt", std::string(3 << 20, 'n')}, b_});
  if (!source_leased(source_)) GTEST_SKIP() << "no lease here: the time stamps are the guard";
  ASSERT_TRUE(fs::create_directory(out_));
  int pipe_ends[2];
  ASSERT_EQ(::pipe(pipe_ends), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipe_ends[0]);
    if (::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) ::_exit(3);
    ::raise(SIGSTOP);
    const std::string text = encode(run_whole({"kestrox", source_, "q", out_}));
    if (::write(pipe_ends[1], text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
      ::_exit(2);
    }
    ::_exit(0);
  }
  ::close(pipe_ends[1]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  if (!WIFSTOPPED(status) ||
      ::ptrace(PTRACE_SETOPTIONS, child, nullptr, PTRACE_O_TRACESYSGOOD | PTRACE_O_EXITKILL) != 0) {
    ::kill(child, SIGKILL);
    ::waitpid(child, &status, 0);
    GTEST_SKIP() << "a child cannot be traced here";
  }
  int pass_on = 0;
  while (output_being_written(child, out_, 1 << 20).empty()) {
    ::ptrace(PTRACE_SYSCALL, child, nullptr, pass_on);
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSTOPPED(status)) << "the run ended first: " << status;
    pass_on = WSTOPSIG(status) == (SIGTRAP | 0x80) ? 0 : WSTOPSIG(status);
  }
  // Not while the lease is held; the break begins.
  errno = 0;
  EXPECT_EQ(::open(source_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC), -1);
  EXPECT_EQ(errno, EWOULDBLOCK);
  ::ptrace(PTRACE_DETACH, child, nullptr, 0);
  // The other program gets in once the child lets the lease go, well before the kernel would
  // take it away (after its break time, 45 s by default).
  int break_time = 45;
  std::ifstream("/proc/sys/fs/lease-break-time") >> break_time;
  int writer = -1;
  for (int waited = 0; writer < 0 && waited < break_time * 50; ++waited) {
    writer = ::open(source_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer < 0) ::usleep(10000);
  }
  EXPECT_GE(writer, 0) << "the lease was not let go before half the break time";
  if (writer >= 0) ::close(writer);
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  std::string text;
  char chunk[4096];
  for (ssize_t got; (got = ::read(pipe_ends[0], chunk, sizeof chunk)) > 0;) {
    text.append(chunk, static_cast<std::size_t>(got));
  }
  ::close(pipe_ends[0]);
  const std::string path = out_ + "/a.txt";
  EXPECT_EQ(text, "999 0\nkestrox: " + source_ +
                      ": another program opened the file for writing while it was read\n" + head() +
                      ".;~ Extracting file a.txt, (a.txt) length " + std::to_string(3 << 20) +
                      " to " + path + "\nWriting.\n" + std::string(kIncomplete));
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(fs::exists(out_ + "/b.txt"));
  EXPECT_EQ(temporaries_in(out_), 0);
}
#endif

// --- sources that are not files -----------------------------------------------------------------

TEST_F(FailurePaths, SourcesThatCannotBeRead) {
  ASSERT_TRUE(fs::create_directory(dir_ / "folder"));
  fs::create_directory_symlink(dir_ / "folder", dir_ / "folder-link");
  fs::create_symlink(dir_ / "nowhere", dir_ / "dangling");
  for (const std::string& source : {dir_ / "folder-link", dir_ / "dangling"}) {
    SCOPED_TRACE(source);
    const Ran ran = run_whole({"kestrox", source, "q"});
    EXPECT_EQ(ran.out, "Analysing file " + source + "\nCannot find source file.\n");
    EXPECT_EQ(ran.result, kFailureResult);
    EXPECT_EQ(ran.keys_read, 0);
  }
  // Unreadable, for a process that is not root.
  put(dir_ / "secret.dat", "x");
  ASSERT_EQ(::chmod((dir_ / "secret.dat").c_str(), 0), 0);
  ASSERT_EQ(::chmod(dir_.path().c_str(), 0777), 0);
  const Ran ran = in_child([&] {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    return run_whole({"kestrox", dir_ / "secret.dat", "q"});
  });
  EXPECT_EQ(ran.out, "Analysing file " + (dir_ / "secret.dat") + "\nCannot find source file.\n");
  EXPECT_EQ(ran.result, kFailureResult);
  // Nothing was created anywhere in the scratch directory.
  std::vector<std::string> entries;
  for (const auto& entry : fs::directory_iterator(dir_.path())) {
    entries.push_back(entry.path().filename().string());
  }
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{"dangling", "folder", "folder-link", "secret.dat"}));
}

}  // namespace
}  // namespace kestrox
