// The built program run as a child process, with no terminal anywhere: it must never hang.
//
// KESTROX_E2E_BINARY names another program to run (default: the one built here),
// KESTROX_E2E_LAUNCHER a command prefix split on spaces (such as "wine"), and KESTROX_E2E_STYLE
// ("windows" or "posix", default posix) which host the program was built for. In the Windows
// style paths are given as the launcher's drive Z: sees them (KESTROX_E2E_DRIVE overrides "Z:"),
// output lines may end in "\r\n", and the tests that only make sense on POSIX are skipped.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/banner.h"

extern char** environ;

namespace kestrox {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kPrompt = "\nPress a key to continue...";

// ---------------------------------------------------------------------------------------------
// What is run, and how its host writes paths and exit statuses.

struct Target {
  std::string binary;
  std::vector<std::string> launcher;
  bool windows = false;
  std::string drive = "Z:";
  int timeout_seconds = 20;
};

const Target& target() {
  static const Target loaded = [] {
    Target t;
    const char* binary = std::getenv("KESTROX_E2E_BINARY");
    t.binary = binary != nullptr && *binary != '\0' ? binary : KESTROX_BINARY;
    if (const char* launcher = std::getenv("KESTROX_E2E_LAUNCHER")) {
      std::istringstream words(launcher);
      for (std::string word; words >> word;) t.launcher.push_back(word);
    }
    const char* style = std::getenv("KESTROX_E2E_STYLE");
    t.windows = style != nullptr && std::string_view(style) == "windows";
    if (const char* drive = std::getenv("KESTROX_E2E_DRIVE")) t.drive = drive;
    if (const char* timeout = std::getenv("KESTROX_E2E_TIMEOUT")) {
      t.timeout_seconds = std::max(1, std::atoi(timeout));
    }
    return t;
  }();
  return loaded;
}

#define SKIP_UNLESS_POSIX_TARGET() \
  if (target().windows) GTEST_SKIP() << "only meaningful for a POSIX build"

char separator() { return target().windows ? '\\' : '/'; }

// A path of this machine as the program under test names it.
std::string host_path(std::string_view path) {
  if (!target().windows) return std::string(path);
  std::string out = target().drive;
  for (char c : path) out += c == '/' ? '\\' : c;
  return out;
}

// A file inside a directory, as the program under test names it.
std::string host_path(std::string_view directory, std::string_view name) {
  return host_path(directory) + separator() + std::string(name);
}

// The exit status for a result value, as this machine's wait status shows it: Windows keeps the
// value, a POSIX build turns a failure into 231 and caps a count at 230, and only the low 8 bits
// reach a waiting POSIX parent (so a Windows 999 is seen as 231 too).
int expected_exit(int result) {
  int status = result;
  if (!target().windows) status = result == 999 ? 231 : std::min(result, 230);
  return status & 0xFF;
}

// ---------------------------------------------------------------------------------------------
// Running the child.

enum class Input { kClosed, kEmpty, kPiped };

struct Launch {
  std::vector<std::string> arguments;  // after the program's own path
  std::string directory;               // the working directory; empty: this process's
  Input input = Input::kEmpty;
  std::string piped;  // with Input::kPiped: written to standard input, which is then closed
  // With Input::kPiped and this set, the piped text is held back until standard output shows it.
  std::string await_before_piping;
  std::vector<std::pair<std::string, std::string>> environment;  // set in the child
  std::vector<std::string> wrapper;  // a command put before the launcher and the program
};

struct Finished {
  bool timed_out = false;
  bool exited = false;
  int status = -1;  // the exit status when exited
  int signal = 0;
  std::string out;
  std::string err;
};

std::vector<std::string> child_environment(const Launch& launch) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    // The locale is what a test says it is, nothing inherited.
    if (text.starts_with("LC_") || text.starts_with("LANG=") || text.starts_with("LANGUAGE=")) {
      continue;
    }
    entries.emplace_back(text);
  }
  for (const auto& [name, value] : launch.environment) entries.push_back(name + "=" + value);
  return entries;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

Finished run_program(const Launch& launch) {
  Finished finished;
  std::vector<std::string> command = launch.wrapper;
  command.insert(command.end(), target().launcher.begin(), target().launcher.end());
  command.push_back(target().binary);
  command.insert(command.end(), launch.arguments.begin(), launch.arguments.end());
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = child_environment(launch);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
  if (::pipe(out_pipe) != 0 || ::pipe(err_pipe) != 0 ||
      (launch.input == Input::kPiped && ::pipe(in_pipe) != 0)) {
    ADD_FAILURE() << "pipe: " << std::strerror(errno);
    return finished;
  }
  const pid_t pid = ::fork();
  if (pid < 0) {
    ADD_FAILURE() << "fork: " << std::strerror(errno);
    return finished;
  }
  if (pid == 0) {
    // A session of its own: no controlling terminal, so not even /dev/tty can be read.
    ::setsid();
    ::dup2(out_pipe[1], STDOUT_FILENO);
    ::dup2(err_pipe[1], STDERR_FILENO);
    switch (launch.input) {
      case Input::kClosed:
        ::close(STDIN_FILENO);
        break;
      case Input::kEmpty: {
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        break;
      }
      case Input::kPiped:
        ::dup2(in_pipe[0], STDIN_FILENO);
        break;
    }
    // Leave only 0, 1 and 2 open.
    for (int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1], in_pipe[0], in_pipe[1]}) {
      if (fd > STDERR_FILENO) ::close(fd);
    }
    if (!launch.directory.empty() && ::chdir(launch.directory.c_str()) != 0) ::_exit(126);
    ::signal(SIGPIPE, SIG_DFL);
    environ = envp.data();
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  int in_fd = -1;
  if (launch.input == Input::kPiped) {
    ::close(in_pipe[0]);
    in_fd = in_pipe[1];
  }
  set_nonblocking(out_pipe[0]);
  set_nonblocking(err_pipe[0]);

  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(target().timeout_seconds);
  int open_outputs[2] = {out_pipe[0], err_pipe[0]};
  std::string* sinks[2] = {&finished.out, &finished.err};
  bool reaped = false;
  int wait_status = 0;
  auto pipe_input = [&] {
    if (in_fd < 0) return;
    if (!launch.await_before_piping.empty() &&
        finished.out.find(launch.await_before_piping) == std::string::npos) {
      return;
    }
    const ssize_t ignored = ::write(in_fd, launch.piped.data(), launch.piped.size());
    (void)ignored;  // a child that has gone already does not read it
    ::close(in_fd);
    in_fd = -1;
  };
  for (;;) {
    pipe_input();
    if (!reaped) {
      const pid_t done = ::waitpid(pid, &wait_status, WNOHANG);
      if (done == pid) reaped = true;
    }
    const bool outputs_open = open_outputs[0] >= 0 || open_outputs[1] >= 0;
    if (reaped && !outputs_open) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      if (!reaped) ::waitpid(pid, &wait_status, 0);
      finished.timed_out = true;
      break;
    }
    pollfd polls[2];
    nfds_t count = 0;
    for (int fd : open_outputs) {
      if (fd >= 0) polls[count++] = {fd, POLLIN, 0};
    }
    if (count > 0) {
      ::poll(polls, count, 20);
    } else {
      ::usleep(5000);
    }
    for (int i = 0; i < 2; ++i) {
      if (open_outputs[i] < 0) continue;
      char chunk[4096];
      for (;;) {
        const ssize_t got = ::read(open_outputs[i], chunk, sizeof chunk);
        if (got > 0) {
          sinks[i]->append(chunk, static_cast<std::size_t>(got));
          continue;
        }
        if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
          ::close(open_outputs[i]);
          open_outputs[i] = -1;
        }
        break;
      }
    }
  }
  for (int fd : open_outputs) {
    if (fd >= 0) ::close(fd);
  }
  if (in_fd >= 0) ::close(in_fd);
  if (WIFEXITED(wait_status)) {
    finished.exited = !finished.timed_out;
    finished.status = WEXITSTATUS(wait_status);
  } else if (WIFSIGNALED(wait_status)) {
    finished.signal = WTERMSIG(wait_status);
  }
  if (target().windows) {
    // Text-mode console output: every "\n" arrives as "\r\n".
    for (std::string* text : sinks) {
      std::string plain;
      for (std::size_t i = 0; i < text->size(); ++i) {
        if ((*text)[i] == '\r' && i + 1 < text->size() && (*text)[i + 1] == '\n') continue;
        plain += (*text)[i];
      }
      *text = std::move(plain);
    }
  }
  return finished;
}

// Runs the program and checks that it ended by itself, with the given result value.
Finished run_expecting(const Launch& launch, int result) {
  Finished finished = run_program(launch);
  EXPECT_FALSE(finished.timed_out)
      << "killed after " << target().timeout_seconds << " s; it printed:\n"
      << finished.out;
  EXPECT_TRUE(finished.exited || finished.timed_out) << "ended by signal " << finished.signal;
  if (finished.exited) {
    EXPECT_EQ(finished.status, expected_exit(result));
  }
  return finished;
}

// The program's output after the banner, which must be there in one of its two forms.
std::string after_banner(const std::string& out) {
  for (BannerStyle style : {BannerStyle::kCodePage437, BannerStyle::kUtf8}) {
    const std::string banner = banner_text(style);
    if (out.starts_with(banner)) return out.substr(banner.size());
  }
  ADD_FAILURE() << "no banner at the start of:\n" << out;
  return out;
}

// ---------------------------------------------------------------------------------------------
// Test inputs.

class TempDir {
 public:
  TempDir() {
    std::string name = (fs::temp_directory_path() / "kestrox-e2e-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp: " << std::strerror(errno);
      return;
    }
    path_ = fs::canonical(name).string();
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

void write_file(const std::string& path, std::string_view contents) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(contents.data(), static_cast<std::streamsize>(contents.size()));
  ASSERT_TRUE(file.good()) << path;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// A raw TNEF stream with one attAttachData record (no title, no name) per data text.
std::string raw_tnef(const std::vector<std::string>& attachments) {
  std::string out("\x78\x9F\x3E\x22", 4);  // TNEF signature
  for (const std::string& data : attachments) {
    out.append("\x02\x0F\x80\x06\x00", 5);  // level 2, attAttachData, atpByte
    const auto length = static_cast<std::uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) out += static_cast<char>((length >> (8 * i)) & 0xFF);
    out += data;
    out.append("\0\0", 2);  // checksum
  }
  return out;
}

// The console line of one unnamed attachment written to `output_path`, with its length.
std::string unnamed_line(const std::string& output_path, std::size_t length) {
  return ".~ #Extracting file Unknown Attachment.txt, (Unknown Attachment.txt) length " +
         std::to_string(length) + " to " + output_path + "\n";
}

// ---------------------------------------------------------------------------------------------

TEST(EndToEnd, ExtractsWithEmptyInputAndExitsWithTheCount) {
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"first", "second"}));
  Launch launch;
  launch.arguments = {host_path(dir / "in.dat")};
  const Finished run = run_expecting(launch, 2);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + host_path(dir / "in.dat") + ", length 37\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment.txt"), 5) + "Writing.\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment1.txt"), 6) +
                "Writing.\n\nExtracted 2 files.\n" + std::string(kPrompt));
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "first");
  EXPECT_EQ(read_file(dir / "Unknown Attachment1.txt"), "second");
}

TEST(EndToEnd, FailureWithEmptyInputEndsAtOnce) {
  TempDir dir;
  Launch launch;
  launch.arguments = {host_path(dir / "missing.dat")};
  const Finished run = run_expecting(launch, 999);
  EXPECT_EQ(after_banner(run.out), "Analysing file " + host_path(dir / "missing.dat") +
                                       "\nCannot find source file.\n" + std::string(kPrompt));
}

TEST(EndToEnd, InvalidArgumentsAreAFailure) {
  Launch launch;
  launch.arguments = {"a", "b", "c", "d"};
  const Finished run = run_expecting(launch, 999);
  EXPECT_EQ(after_banner(run.out), "Invalid arguments\n" + std::string(kPrompt));
}

TEST(EndToEnd, QuietRunNeedsNoInputAtAll) {
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"data"}));
  Launch launch;
  launch.arguments = {host_path(dir / "in.dat"), "q", host_path(dir.path())};
  launch.input = Input::kPiped;  // kept open until the program ends: it must not wait for it
  launch.await_before_piping = "never printed";
  const Finished run = run_expecting(launch, 1);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + host_path(dir / "in.dat") + ", length 19\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment.txt"), 4) +
                "Writing.\n\nExtracted 1 file.\n");
}

TEST(EndToEnd, ThePromptIsVisibleBeforeTheKeyIsAwaited) {
  // Standard input stays open and the key is sent only once the prompt has arrived: a prompt
  // held back in a buffer would leave both sides waiting until the timeout.
  TempDir dir;
  Launch launch;
  launch.arguments = {host_path(dir / "missing.dat")};
  launch.input = Input::kPiped;
  launch.piped = "k";
  launch.await_before_piping = std::string(kPrompt);
  const Finished run = run_expecting(launch, 999);
  EXPECT_TRUE(run.out.ends_with(kPrompt));
}

TEST(EndToEnd, EmptyInputAnswersNoToTheOverwriteQuestion) {
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"new"}));
  write_file(dir / "Unknown Attachment.txt", "old");
  Launch launch;
  launch.arguments = {host_path(dir / "in.dat")};
  const Finished run = run_expecting(launch, 0);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + host_path(dir / "in.dat") + ", length 18\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment.txt"), 3) +
                "File already exists, press Y to overwrite ... Not writing.\n\n" +
                std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "old");
}

TEST(EndToEnd, PipedKeyAnswersTheOverwriteQuestion) {
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"new"}));
  write_file(dir / "Unknown Attachment.txt", "old");
  Launch launch;
  launch.arguments = {host_path(dir / "in.dat")};
  launch.input = Input::kPiped;
  launch.piped = "y";  // then end of input for the closing prompt
  const Finished run = run_expecting(launch, 1);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + host_path(dir / "in.dat") + ", length 18\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment.txt"), 3) +
                "File already exists, press Y to overwrite ... Writing.\n\nExtracted 1 file.\n" +
                std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "new");
}

TEST(EndToEnd, DefaultSourceInTheWorkingDirectory) {
  TempDir dir;
  write_file(dir / "winmail.dat", raw_tnef({"hello"}));
  Launch launch;
  launch.directory = dir.path();
  const Finished run = run_expecting(launch, 1);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + host_path(dir.path(), "winmail.dat") + ", length 20\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment.txt"), 5) +
                "Writing.\n\nExtracted 1 file.\n" + std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "hello");
}

TEST(EndToEnd, BusyRunExitStatus) {
  // 231 files: a POSIX build caps the count at 230 so that it never reads as a failure.
  TempDir dir;
  write_file(dir / "many.dat", raw_tnef(std::vector<std::string>(231, "x")));
  Launch launch;
  launch.arguments = {host_path(dir / "many.dat"), "Q"};
  const Finished run = run_expecting(launch, 231);
  EXPECT_TRUE(run.out.ends_with("\nExtracted 231 files.\n")) << run.out.substr(run.out.size() - 80);
  EXPECT_TRUE(fs::exists(dir / "Unknown Attachment230.txt"));
}

// ---------------------------------------------------------------------------------------------
// POSIX only: a closed standard input, the locale's character set, the error stream.

TEST(EndToEndPosix, ClosedInputEndsTheNormalEnding) {
  SKIP_UNLESS_POSIX_TARGET();
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"hello"}));
  Launch launch;
  launch.arguments = {dir / "in.dat"};
  launch.input = Input::kClosed;
  const Finished run = run_expecting(launch, 1);
  EXPECT_TRUE(run.out.ends_with("\nExtracted 1 file.\n" + std::string(kPrompt)));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "hello");
}

TEST(EndToEndPosix, ClosedInputAnswersNoToTheOverwriteQuestion) {
  SKIP_UNLESS_POSIX_TARGET();
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"new"}));
  write_file(dir / "Unknown Attachment.txt", "old");
  Launch launch;
  launch.arguments = {dir / "in.dat"};
  launch.input = Input::kClosed;
  const Finished run = run_expecting(launch, 0);
  EXPECT_NE(run.out.find("press Y to overwrite ... Not writing.\n"), std::string::npos);
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "old");
}

TEST(EndToEndPosix, ClosedInputFailureEnding) {
  SKIP_UNLESS_POSIX_TARGET();
  Launch launch;
  launch.arguments = {"/nonexistent-kestrox-dir/in.dat"};
  launch.input = Input::kClosed;
  const Finished run = run_expecting(launch, 999);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file /nonexistent-kestrox-dir/in.dat"
            "\nCannot find source file.\n" +
                std::string(kPrompt));
}

TEST(EndToEndPosix, CLocaleGetsTheCodePage437Banner) {
  SKIP_UNLESS_POSIX_TARGET();
  Launch launch;
  launch.arguments = {"/nonexistent-kestrox-dir/in.dat", "q"};
  launch.environment = {{"LC_ALL", "C"}};
  const Finished run = run_expecting(launch, 999);
  EXPECT_EQ(run.out, banner_text(BannerStyle::kCodePage437) +
                         "Analysing file /nonexistent-kestrox-dir/in.dat"
                         "\nCannot find source file.\n");
}

bool utf8_locale_available() {
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  const bool available = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  std::setlocale(LC_CTYPE, saved.c_str());
  return available;
}

TEST(EndToEndPosix, Utf8LocaleGetsTheUtf8Banner) {
  SKIP_UNLESS_POSIX_TARGET();
  if (!utf8_locale_available()) GTEST_SKIP() << "no C.UTF-8 locale here";
  for (const auto& variable : {std::pair<std::string, std::string>{"LC_ALL", "C.UTF-8"},
                               std::pair<std::string, std::string>{"LC_CTYPE", "C.UTF-8"},
                               std::pair<std::string, std::string>{"LANG", "C.UTF-8"}}) {
    SCOPED_TRACE(variable.first);
    Launch launch;
    launch.arguments = {"/nonexistent-kestrox-dir/in.dat", "q"};
    launch.environment = {variable};
    const Finished run = run_expecting(launch, 999);
    EXPECT_EQ(run.out, banner_text(BannerStyle::kUtf8) +
                           "Analysing file /nonexistent-kestrox-dir/in.dat"
                           "\nCannot find source file.\n");
  }
}

TEST(EndToEndPosix, Utf8CharacterSetDoesNotChangeNumbers) {
  // Only the character set comes from the locale: a length stays plain digits.
  SKIP_UNLESS_POSIX_TARGET();
  if (!utf8_locale_available()) GTEST_SKIP() << "no C.UTF-8 locale here";
  TempDir dir;
  write_file(dir / "in.dat", std::string(1234567, 'z'));
  Launch launch;
  launch.arguments = {dir / "in.dat", "q"};
  launch.environment = {{"LC_ALL", "C.UTF-8"}};
  const Finished run = run_expecting(launch, 0);
  EXPECT_NE(run.out.find("Analysing file " + (dir / "in.dat") + ", length 1234567\n"),
            std::string::npos);
}

TEST(EndToEndPosix, WorkingDirectoryErrorGoesToStandardError) {
  SKIP_UNLESS_POSIX_TARGET();
  TempDir dir;
  const std::string doomed = dir / "gone";
  ASSERT_TRUE(fs::create_directory(doomed));
  Launch launch;
  launch.directory = doomed;
  // A shell in front removes its working directory, then becomes the program.
  launch.wrapper = {"/bin/sh", "-c", "rmdir \"$PWD\" && exec \"$@\"", "sh"};
  const Finished run = run_expecting(launch, 999);
  EXPECT_EQ(run.err,
            "Error getting working directory.: " + std::string(std::strerror(ENOENT)) + "\n");
  EXPECT_EQ(after_banner(run.out), kPrompt);
}

}  // namespace
}  // namespace kestrox
