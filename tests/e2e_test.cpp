// The built program run as a child process, with no terminal anywhere: it must never hang.
//
// KESTROX_E2E_BINARY names another program to run (default: the one built here),
// KESTROX_E2E_LAUNCHER a command prefix split on spaces (such as "wine"), and KESTROX_E2E_STYLE
// ("windows" or "posix", default posix) which host the program was built for. In the Windows
// style paths are given as the launcher's drive Z: sees them (KESTROX_E2E_DRIVE overrides "Z:"),
// output lines may end in "\r\n", and the tests that only make sense on POSIX are skipped;
// those that only make sense on Windows run the launcher's cmd, and give it a console of its own
// through script(1). KESTROX_E2E_TIMEOUT is the seconds one run may take (default 20).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
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
#include <tuple>
#include <vector>

#include "driver/banner.h"
#include "support/mime_builder.h"
#include "support/sha256.h"
#include "support/tnef_builder.h"

extern char** environ;

namespace kestrox {
namespace {

namespace fs = std::filesystem;
namespace build = kestrox::testing;

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
    t.binary = fs::absolute(binary != nullptr && *binary != '\0' ? binary : KESTROX_BINARY);
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
#define SKIP_UNLESS_WINDOWS_TARGET() \
  if (!target().windows) GTEST_SKIP() << "only meaningful for a Windows build"

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

bool utf8_locale_available() {
  const std::string saved = std::setlocale(LC_CTYPE, nullptr);
  const bool available = std::setlocale(LC_CTYPE, "C.UTF-8") != nullptr;
  std::setlocale(LC_CTYPE, saved.c_str());
  return available;
}

// A path as the program under test shows it, in a UTF-8 locale on POSIX. Under wine there is no
// console, and the code page that one would start with (437) has '?' for each letter outside it.
std::string shown(std::string_view path) {
  if (!target().windows) return std::string(path);
  std::string out;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80 || (byte & 0xC0) == 0xC0) out += byte < 0x80 ? c : '?';
  }
  return out;
}

// ---------------------------------------------------------------------------------------------
// Running the child.

enum class Input { kClosed, kEmpty, kPiped };

struct Launch {
  std::string program;                 // a copy of the program to run instead of the target's
  std::vector<std::string> arguments;  // after the program's own path
  // When set, the whole command: no launcher, program or arguments are added to it.
  std::vector<std::string> command;
  std::string directory;  // the working directory; empty: this process's
  Input input = Input::kEmpty;
  std::string piped;  // with Input::kPiped: written to standard input, which is then closed
  // With Input::kPiped and this set, the piped text is held back until standard output shows it.
  std::string await_before_piping;
  // With Input::kPiped and these set, the piped text is held back and each group of keys is
  // typed only once the file `watched` holds its text the given number of times: keys typed
  // before a question is shown are thrown away.
  struct Typed {
    std::string after;
    std::size_t times;
    std::string keys;
  };
  std::string watched;
  std::vector<Typed> paced;
  std::vector<std::pair<std::string, std::string>> environment;  // set in the child
  std::vector<std::string> wrapper;  // a command put before the launcher and the program
  // Standard output a socket that keeps each write a message of its own (Finished::out_writes).
  bool packets = false;
  int timeout_seconds = 0;  // for the whole command; 0: what one run of the program may take
};

struct Finished {
  bool timed_out = false;
  bool exited = false;
  int status = -1;  // the exit status when exited
  int signal = 0;
  std::string out;
  std::string err;
  std::vector<std::string> out_writes;  // with Launch::packets
};

std::vector<std::string> child_environment(const Launch& launch) {
  std::vector<std::string> entries;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    // The locale is what a test says it is, nothing inherited.
    if (text.starts_with("LC_") || text.starts_with("LANG=") || text.starts_with("LANGUAGE=")) {
      continue;
    }
    const bool overridden =
        std::any_of(launch.environment.begin(), launch.environment.end(),
                    [&](const auto& variable) { return text.starts_with(variable.first + "="); });
    if (overridden) continue;
    entries.emplace_back(text);
  }
  for (const auto& [name, value] : launch.environment) entries.push_back(name + "=" + value);
  return entries;
}

// Text-mode output on Windows: every "\n" arrives as "\r\n".
std::string without_carriage_returns(std::string_view text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    plain += text[i];
  }
  return plain;
}

void set_nonblocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

Finished run_program(const Launch& launch) {
  Finished finished;
  std::vector<std::string> command = launch.wrapper;
  if (launch.command.empty()) {
    command.insert(command.end(), target().launcher.begin(), target().launcher.end());
    command.push_back(launch.program.empty() ? target().binary : launch.program);
    command.insert(command.end(), launch.arguments.begin(), launch.arguments.end());
  } else {
    command.insert(command.end(), launch.command.begin(), launch.command.end());
  }
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = child_environment(launch);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);

  int out_pipe[2], err_pipe[2], in_pipe[2] = {-1, -1};
  const int made_out =
      launch.packets ? ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, out_pipe) : ::pipe(out_pipe);
  if (made_out != 0 || ::pipe(err_pipe) != 0 ||
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

  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::seconds(launch.timeout_seconds > 0 ? launch.timeout_seconds
                                                                        : target().timeout_seconds);
  int open_outputs[2] = {out_pipe[0], err_pipe[0]};
  std::string* sinks[2] = {&finished.out, &finished.err};
  bool reaped = false;
  int wait_status = 0;
  std::size_t typed = 0;
  auto pipe_input = [&] {
    if (in_fd < 0) return;
    if (typed < launch.paced.size()) {
      const Launch::Typed& next = launch.paced[typed];
      const std::string text = testing::read_text_file(launch.watched);
      std::size_t seen = 0;
      for (std::size_t at = text.find(next.after); at != std::string::npos;
           at = text.find(next.after, at + 1)) {
        ++seen;
      }
      if (seen < next.times) return;
      const ssize_t ignored = ::write(in_fd, next.keys.data(), next.keys.size());
      (void)ignored;
      if (++typed < launch.paced.size()) return;
    }
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
      char chunk[65536];
      for (;;) {
        const ssize_t got = ::read(open_outputs[i], chunk, sizeof chunk);
        if (got > 0) {
          sinks[i]->append(chunk, static_cast<std::size_t>(got));
          if (launch.packets && i == 0) finished.out_writes.emplace_back(chunk, got);
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
    for (std::string* text : sinks) *text = without_carriage_returns(*text);
    for (std::string& piece : finished.out_writes) piece = without_carriage_returns(piece);
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

using TempDir = testing::ScratchDirectory;

void write_file(const std::string& path, std::string_view contents) {
  ASSERT_TRUE(testing::write_text_file(path, contents)) << path;
}

std::string read_file(const std::string& path) { return testing::read_text_file(path); }

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
  // And one line on standard error with the path and the host's own reason.
  EXPECT_TRUE(run.err.starts_with("kestrox: " + host_path(dir / "missing.dat") + ": ")) << run.err;
  EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
}

TEST(EndToEnd, InvalidArgumentsAreAFailure) {
  Launch launch;
  launch.arguments = {"a", "b", "c", "d"};
  const Finished run = run_expecting(launch, 999);
  EXPECT_EQ(after_banner(run.out), "Invalid arguments\n" + std::string(kPrompt));
}

TEST(EndToEnd, HelpAndVersionAnswerWithoutBannerOrKey) {
  std::vector<std::pair<std::string, std::string>> asked = {
      {"--help", "Usage: "}, {"-h", "Usage: "}, {"--version", "kestrox " + std::string(kVersion)}};
  if (target().windows) asked.emplace_back("/?", "Usage: ");
  for (const auto& [word, answer] : asked) {
    SCOPED_TRACE(word);
    Launch launch;
    launch.arguments = {word};
    launch.input = Input::kPiped;  // kept open until the program ends: it must not wait for it
    launch.await_before_piping = "never printed";
    const Finished run = run_expecting(launch, 0);
    EXPECT_TRUE(run.out.starts_with(answer)) << run.out;
    EXPECT_TRUE(run.out.ends_with("\n")) << run.out;
    if (word == "--version") {
      EXPECT_EQ(run.out, answer + "\n");
    }
    EXPECT_EQ(run.err, "");
  }
  // Beside another argument the word is a source path as any other.
  Launch launch;
  launch.arguments = {"--help", "q"};
  EXPECT_EQ(after_banner(run_expecting(launch, 999).out),
            "Analysing file --help\nCannot find source file.\n");
}

TEST(EndToEnd, PipedSourceIsNoSourceOfKeys) {
  // Standard input holds the source, so the overwrite question gets no answer from it: with no
  // terminal to ask, the existing file stays.
  TempDir dir;
  write_file(dir / "Unknown Attachment.txt", "old");
  const std::string tnef = raw_tnef({"new", "newer"});
  Launch launch;
  launch.directory = dir.path();
  launch.arguments = {"-"};
  launch.input = Input::kPiped;
  launch.piped = tnef;
  const Finished run = run_expecting(launch, 1);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file -, length " + std::to_string(tnef.size()) + "\n" +
                unnamed_line("Unknown Attachment.txt", 3) +
                "File already exists, press Y to overwrite ... Not writing.\n" +
                unnamed_line("Unknown Attachment1.txt", 5) + "Writing.\n\nExtracted 1 file.\n" +
                std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "old");
  EXPECT_EQ(read_file(dir / "Unknown Attachment1.txt"), "newer");
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
  launch.piped = std::string(1, 'k');  // (a literal here trips a false -Wrestrict in GCC 12)
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
// The no-argument default, the path rules, real extractions and write failures, on either host.

// A copy of the program under test, under its own file name, in `directory`.
std::string copy_of_program(const std::string& directory) {
  const fs::path from(target().binary);
  const fs::path to = fs::path(directory) / from.filename();
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all, fs::perm_options::add);
  return to.string();
}

TEST(EndToEnd, DefaultSourceInTheWorkingDirectoryThenBesideTheProgram) {
  TempDir dir;
  ASSERT_TRUE(fs::create_directory(dir / "tools"));
  ASSERT_TRUE(fs::create_directory(dir / "work"));
  Launch launch;
  launch.program = copy_of_program(dir / "tools");
  launch.directory = dir / "work";
  write_file(dir / "work/winmail.dat", raw_tnef({"from work"}));
  write_file(dir / "tools/winmail.dat", raw_tnef({"from tools"}));
  const std::string work = host_path(dir / "work");
  const std::string tools = host_path(dir / "tools");

  // Both have one: the working directory's is taken.
  Finished run = run_expecting(launch, 1);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + work + separator() + "winmail.dat" + ", length 24\n" +
                unnamed_line(work + separator() + "Unknown Attachment.txt", 9) +
                "Writing.\n\nExtracted 1 file.\n" + std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "work/Unknown Attachment.txt"), "from work");

  // Only the program's directory has one: it is taken, and the files go there.
  fs::remove(dir / "work/winmail.dat");
  run = run_expecting(launch, 1);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + tools + separator() + "winmail.dat" + ", length 25\n" +
                unnamed_line(tools + separator() + "Unknown Attachment.txt", 10) +
                "Writing.\n\nExtracted 1 file.\n" + std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "tools/Unknown Attachment.txt"), "from tools");

  // Neither: the program's directory is named in the failure.
  fs::remove(dir / "tools/winmail.dat");
  run = run_expecting(launch, 999);
  EXPECT_EQ(after_banner(run.out), "Analysing file " + tools + separator() + "winmail.dat" +
                                       "\nCannot find source file.\n" + std::string(kPrompt));
}

TEST(EndToEnd, OnlyTheHostsSeparatorCutsTheSourcePath) {
  TempDir dir;
  ASSERT_TRUE(fs::create_directory(dir / "sub"));
  write_file(dir / "sub/in.dat", raw_tnef({"data"}));
  {
    SCOPED_TRACE("relative, with the host's separator: the files go beside the source");
    const std::string sub = std::string("sub") + separator();
    Launch launch;
    launch.directory = dir.path();
    launch.arguments = {sub + "in.dat", "q"};
    const Finished run = run_expecting(launch, 1);
    EXPECT_EQ(after_banner(run.out), "Analysing file " + sub + "in.dat, length 19\n" +
                                         unnamed_line(sub + "Unknown Attachment.txt", 4) +
                                         "Writing.\n\nExtracted 1 file.\n");
    EXPECT_EQ(read_file(dir / "sub/Unknown Attachment.txt"), "data");
  }
  {
    SCOPED_TRACE("the other separator is an ordinary character: the working directory");
    std::string argument;
    if (target().windows) {
      argument = target().drive + dir.path() + "/sub/in.dat";  // a drive and forward slashes
    } else {
      argument = "sub\\in.dat";  // one file name
      write_file(dir / argument, raw_tnef({"data"}));
    }
    Launch launch;
    launch.directory = dir.path();
    launch.arguments = {argument, "q"};
    const Finished run = run_expecting(launch, 1);
    EXPECT_EQ(after_banner(run.out), "Analysing file " + argument + ", length 19\n" +
                                         unnamed_line("Unknown Attachment.txt", 4) +
                                         "Writing.\n\nExtracted 1 file.\n");
    EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "data");
  }
}

TEST(EndToEnd, OutputDirectoryWithOrWithoutItsTrailingSeparator) {
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"data"}));
  for (const bool trailing : {false, true}) {
    SCOPED_TRACE(trailing ? "with" : "without");
    // A blank in the name too: the launcher must pass it, and a last backslash, unharmed.
    const std::string name = trailing ? "out two" : "out one";
    ASSERT_TRUE(fs::create_directory(dir / name));
    Launch launch;
    const std::string output = host_path(dir / name);
    launch.arguments = {host_path(dir / "in.dat"), "q", trailing ? output + separator() : output};
    const Finished run = run_expecting(launch, 1);
    EXPECT_EQ(after_banner(run.out),
              "Analysing file " + host_path(dir / "in.dat") + ", length 19\n" +
                  unnamed_line(output + separator() + "Unknown Attachment.txt", 4) +
                  "Writing.\n\nExtracted 1 file.\n");
    EXPECT_EQ(read_file(dir / name + "/Unknown Attachment.txt"), "data");
  }
}

TEST(EndToEnd, FoldersNamedInAnyScript) {
  // A Cyrillic and a CJK folder, whatever the ANSI code page: as the source's folder, as the
  // output folder, and as the program's own folder when there is no argument.
  if (!utf8_locale_available()) GTEST_SKIP() << "no C.UTF-8 locale to pass the names in";
  for (const std::string folder : {"Документы", "日本語"}) {
    SCOPED_TRACE(folder);
    TempDir dir;
    const std::string inside = dir / folder;
    ASSERT_TRUE(fs::create_directory(inside));
    ASSERT_TRUE(fs::create_directory(dir / "work"));
    write_file(inside + "/winmail.dat", raw_tnef({"from inside"}));
    write_file(dir / "in.dat", raw_tnef({"to inside"}));
    const std::string source = shown(host_path(inside, "winmail.dat"));
    const std::string written = shown(host_path(inside, "Unknown Attachment.txt"));
    const std::string output = inside + "/Unknown Attachment.txt";
    Launch launch;
    launch.environment = {{"LC_ALL", "C.UTF-8"}};  // for wine too, to pass the names on

    launch.arguments = {host_path(inside, "winmail.dat"), "q"};
    Finished run = run_expecting(launch, 1);
    EXPECT_EQ(after_banner(run.out), "Analysing file " + source + ", length 26\n" +
                                         unnamed_line(written, 11) +
                                         "Writing.\n\nExtracted 1 file.\n");
    EXPECT_EQ(read_file(output), "from inside");

    fs::remove(output);
    launch.arguments = {host_path(dir / "in.dat"), "q", host_path(inside)};
    run = run_expecting(launch, 1);
    EXPECT_EQ(after_banner(run.out), "Analysing file " + host_path(dir / "in.dat") +
                                         ", length 24\n" + unnamed_line(written, 9) +
                                         "Writing.\n\nExtracted 1 file.\n");
    EXPECT_EQ(read_file(output), "to inside");

    fs::remove(output);
    launch.arguments = {};
    launch.program = copy_of_program(inside);
    launch.directory = dir / "work";
    run = run_expecting(launch, 1);
    EXPECT_EQ(after_banner(run.out), "Analysing file " + source + ", length 26\n" +
                                         unnamed_line(written, 11) +
                                         "Writing.\n\nExtracted 1 file.\n" + std::string(kPrompt));
    EXPECT_EQ(read_file(output), "from inside");
  }
}

TEST(EndToEnd, OutputFolderDeeperThan260Characters) {
  // Windows takes such a path whole in its "\\?\" form; the temporary's name is longer still.
  TempDir dir;
  std::string deep = dir.path();
  while (host_path(deep).size() < 300) {
    deep += "/" + std::string(60, 'd');
    ASSERT_TRUE(fs::create_directory(deep));
  }
  write_file(dir / "in.dat", raw_tnef({"data"}));
  Launch launch;
  launch.arguments = {host_path(dir / "in.dat"), "q", host_path(deep)};
  const Finished run = run_expecting(launch, 1);
  EXPECT_TRUE(run.out.ends_with("Writing.\n\nExtracted 1 file.\n")) << run.out;
  EXPECT_EQ(read_file(deep + "/Unknown Attachment.txt"), "data");
}

TEST(EndToEnd, BatchLinesAndTheMessageWithACyrillicSubject) {
  // One process, two sources: a message whose subject and text are Cyrillic, holding one
  // attachment, and a source that is not there. Its lines in the console's code page, or as JSON
  // in UTF-8 whatever the code page; the status says that one source failed.
  if (!utf8_locale_available()) GTEST_SKIP() << "no C.UTF-8 locale to show the names in";
  build::TnefBuilder tnef;
  tnef.signature()
      .oem_codepage(1251)
      .message_properties(build::MapiBlock()
                              .mapi_unicode(0x0037, u"\u041E\u0442\u0447\u0451\u0442")
                              .mapi_string8(0x1000, "\xCF\xF0\xE8\xE2\xE5\xF2"))
      .attach_rend_data()
      .attach_title("notes.txt")
      .attach_data("hello");
  TempDir dir;
  const build::ByteVector bytes = tnef.bytes();
  write_file(dir / "in.dat", std::string(bytes.begin(), bytes.end()));
  const std::string subject = "\xD0\x9E\xD1\x82\xD1\x87\xD1\x91\xD1\x82";  // Отчёт
  const std::string out = dir / "made/out";
  Launch launch;
  launch.environment = {{"LC_ALL", "C.UTF-8"}};
  launch.arguments = {"--batch",
                      "--message",
                      "--original-names",
                      "-o",
                      host_path(out),
                      host_path(dir / "in.dat"),
                      host_path(dir / "missing.dat")};
  Finished run = run_program(launch);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, shown(host_path(dir / "in.dat")) + "\t5\t" +
                         shown(host_path(out, "notes.txt")) + "\n" +
                         shown(host_path(dir / "in.dat")) + "\t12\t" +
                         shown(host_path(out, subject + ".txt")) + "\n");
  EXPECT_TRUE(run.err.starts_with("kestrox: " + host_path(dir / "missing.dat") + ": ")) << run.err;
  EXPECT_EQ(read_file(out + "/" + subject + ".txt"),
            "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
  launch.arguments = {"--json", "--message",    "--original-names",       "--list",
                      "-o",     host_path(out), host_path(dir / "in.dat")};
  run = run_program(launch);
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find(",\"kind\":\"message text\",\"title\":\"" + subject + "\"}\n"),
            std::string::npos)
      << run.out;
}

TEST(EndToEnd, NamesAreWrittenAsAnnouncedAndListed) {
  // On Windows "CONIN$", "conout$.txt", "COM\u00B9.txt" and "lpt\u00B3" name devices, and a dot or
  // a space at the end of a name is dropped: each would be announced and listed under one name
  // and written under another, or not at all. Also in a folder deep enough for the "\\?\" form.
  struct Name {
    std::string title, posix, windows;
  };
  if (!utf8_locale_available()) GTEST_SKIP() << "no C.UTF-8 locale to show the names in";
  const Name names[] = {
      {"CONIN$", "CONIN$", "_CONIN$"},
      {"conout$.txt", "conout$.txt", "_conout$.txt"},
      {"COM\xC2\xB9.txt", "COM\xC2\xB9.txt", "_COM\xC2\xB9.txt"},
      {"lpt\xC2\xB3", "lpt\xC2\xB3", "_lpt\xC2\xB3"},
      {"notes.", "notes.", "notes_"},
      {"report.pdf ", "report.pdf ", "report.pdf_"},
      {"a\xE2\x80\xAE"
       "fdp.exe",
       "a_fdp.exe", "a_fdp.exe"},
  };
  const int count = static_cast<int>(std::size(names));
  build::TnefBuilder tnef;
  tnef.signature().oem_codepage(65001);  // the titles in UTF-8
  for (int i = 0; i < count; ++i) {
    tnef.attach_title(names[i].title).attach_data("data " + std::to_string(i));
  }
  TempDir dir;
  const build::ByteVector bytes = tnef.bytes();
  write_file(dir / "in.dat", std::string(bytes.begin(), bytes.end()));
  std::string deep = dir / "deep";
  while (host_path(deep).size() < 300) deep += "/" + std::string(60, 'd');
  for (const std::string& out : {dir / "out", deep}) {
    SCOPED_TRACE(out.size());
    fs::create_directories(out);
    Launch launch;
    launch.environment = {{"LC_ALL", "C.UTF-8"}};
    launch.arguments = {"--original-names", "--list", "-o", host_path(out),
                        host_path(dir / "in.dat")};
    const std::string listed = run_expecting(launch, 0).out;
    launch.arguments = {"--original-names", "-q", "-o", host_path(out), host_path(dir / "in.dat")};
    const std::string extracted = after_banner(run_expecting(launch, count).out);
    std::vector<std::string> files;
    for (int i = 0; i < count; ++i) {
      const std::string& file = target().windows ? names[i].windows : names[i].posix;
      SCOPED_TRACE(file);
      EXPECT_EQ(read_file(out + "/" + file), "data " + std::to_string(i));
      EXPECT_NE(listed.find("\t" + shown(host_path(out, file)) + "\n"), std::string::npos)
          << listed;
      EXPECT_NE(extracted.find(" to " + shown(host_path(out, file)) + "\nWriting.\n"),
                std::string::npos)
          << extracted;
      files.push_back(file);
    }
    std::vector<std::string> written;
    for (const auto& entry : fs::directory_iterator(out)) {
      written.push_back(entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, files);
  }
}

TEST(EndToEnd, BareDriveAsOutputDirectory) {
  // On Windows "Z:" gets no backslash: the files go to that drive's current directory, here the
  // working directory. Elsewhere "Z:" is a directory name like any other.
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"data"}));
  const std::string drive = target().windows ? target().drive : "Z:";
  if (!target().windows) {
    ASSERT_TRUE(fs::create_directory(dir / drive));
  }
  Launch launch;
  launch.directory = dir.path();
  launch.arguments = {host_path(dir / "in.dat"), "q", drive};
  const Finished run = run_expecting(launch, 1);
  const std::string output = target().windows ? drive : drive + "/";
  EXPECT_EQ(after_banner(run.out), "Analysing file " + host_path(dir / "in.dat") + ", length 19\n" +
                                       unnamed_line(output + "Unknown Attachment.txt", 4) +
                                       "Writing.\n\nExtracted 1 file.\n");
  EXPECT_EQ(read_file(target().windows ? dir / "Unknown Attachment.txt"
                                       : dir / "Z:/Unknown Attachment.txt"),
            "data");
}

TEST(EndToEnd, ExtractsTheBundledSample) {
  TempDir dir;
  fs::copy_file(std::string(KESTROX_SAMPLES_DIR) + "/winmail.dat", dir / "winmail.dat");
  const auto length = fs::file_size(dir / "winmail.dat");
  Launch launch;
  launch.arguments = {host_path(dir / "winmail.dat")};
  const Finished run = run_expecting(launch, 3);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + host_path(dir / "winmail.dat") + ", length " +
                std::to_string(length) +
                "\n"
                ".;Extracting file notes.txt, (notes.txt) length 148 to " +
                host_path(dir.path(), "notes.txt") +
                "\nWriting.\n"
                ".;Extracting file report.pdf, (REPORT~1.PDF) length 595 to " +
                host_path(dir.path(), "report.pdf") +
                "\nWriting.\n"
                // The Unicode name "Budget März.csv": the 'ä' is no safe character.
                ".;~ * Extracting file Budget M_rz.csv, (BUDGET~1.CSV) length 68 to " +
                host_path(dir.path(), "Budget M_rz.csv") + "\nWriting.\n\nExtracted 3 files.\n" +
                std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "notes.txt"),
            "Planning meeting, 12 September\r\n\r\n- Budget review moved to Thursday.\r\n"
            "- Anna sends the Q3 report by Friday.\r\n- Next meeting: 26 September, room 4.\r\n");
  const std::string pdf = read_file(dir / "report.pdf");
  EXPECT_TRUE(pdf.starts_with("%PDF-1.4\n") && pdf.ends_with("%%EOF\n")) << pdf;
  EXPECT_EQ(read_file(dir / "Budget M_rz.csv"),
            "Item;Q2;Q3\r\nTravel;1200;950\r\nHardware;3400;4100\r\nTraining;800;1250\r\n");
}

TEST(EndToEnd, ExtractsABase64Message) {
  TempDir dir;
  std::vector<build::AttachmentSpec> attachments(2);
  attachments[0].long_name = "minutes.txt";
  const std::string minutes = "Minutes of the meeting\r\n";
  attachments[0].data.assign(minutes.begin(), minutes.end());
  attachments[1].long_name = "drawing.bin";
  attachments[1].data = build::pattern_free_bytes(5000);
  const build::ByteVector tnef = build::tnef_message(attachments);
  const std::string message = build::mime_message(tnef, build::TransferEncoding::kBase64);
  write_file(dir / "message.eml", message);
  Launch launch;
  launch.arguments = {host_path(dir / "message.eml"), "q"};
  const Finished run = run_expecting(launch, 2);
  EXPECT_EQ(after_banner(run.out),
            "Analysing file " + host_path(dir / "message.eml") + ", length " +
                std::to_string(message.size()) +
                "\nThis is a MIME message with winmail.dat inside - decoding it.\n"
                ".;Extracting file minutes.txt, (minutes.txt) length 24 to " +
                host_path(dir.path(), "minutes.txt") +
                "\nWriting.\n"
                ".;Extracting file drawing.bin, (drawing.bin) length 5000 to " +
                host_path(dir.path(), "drawing.bin") + "\nWriting.\n\nExtracted 2 files.\n");
  EXPECT_EQ(read_file(dir / "minutes.txt"), minutes);
  const std::string drawing = read_file(dir / "drawing.bin");
  EXPECT_TRUE(build::ByteVector(drawing.begin(), drawing.end()) == attachments[1].data);
}

TEST(EndToEnd, WriteFailuresEndTheRunAtOnce) {
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"one", "two"}));
  {
    SCOPED_TRACE("an output directory that does not exist");
    Launch launch;
    launch.arguments = {host_path(dir / "in.dat"), "go", host_path(dir / "missing")};
    const Finished run = run_expecting(launch, 999);
    EXPECT_EQ(after_banner(run.out),
              "Analysing file " + host_path(dir / "in.dat") + ", length 32\n" +
                  unnamed_line(host_path(dir / "missing", "Unknown Attachment.txt"), 3) +
                  "Writing.\nFile error - Cannot open file for writing\n" + std::string(kPrompt));
  }
  {
    SCOPED_TRACE("a directory in the way of the second file, after the first was written");
    ASSERT_TRUE(fs::create_directory(dir / "Unknown Attachment1.txt"));
    Launch launch;
    launch.arguments = {host_path(dir / "in.dat")};
    launch.input = Input::kPiped;
    launch.piped = "y";
    const Finished run = run_expecting(launch, 999);
    EXPECT_EQ(after_banner(run.out),
              "Analysing file " + host_path(dir / "in.dat") + ", length 32\n" +
                  unnamed_line(host_path(dir.path(), "Unknown Attachment.txt"), 3) + "Writing.\n" +
                  unnamed_line(host_path(dir.path(), "Unknown Attachment1.txt"), 3) +
                  "File already exists, press Y to overwrite ... Writing.\n"
                  "File error - Cannot open file for writing\n" +
                  std::string(kPrompt));
    EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "one");
  }
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".kestrox-")) << entry.path();
  }
}

// The names in a directory, sorted, with what each holds.
std::vector<std::pair<std::string, std::string>> listing(const std::string& directory) {
  std::vector<std::pair<std::string, std::string>> entries;
  for (const auto& entry : fs::directory_iterator(directory)) {
    entries.emplace_back(entry.path().filename().string(), read_file(entry.path().string()));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

TEST(EndToEnd, SourcesWithoutALengthAreReadToTheirEnd) {
  // `cat winmail.dat | kestrox - q out/` gives what the file itself gives. On POSIX also a pipe
  // named as /dev/stdin, and a FIFO whose data comes only once "Analysing file" is visible.
  TempDir dir;
  std::vector<build::AttachmentSpec> attachments(2);
  attachments[0].long_name = "minutes.txt";
  attachments[0].data = {'m', 'i', 'n'};
  attachments[1].long_name = "drawing.bin";
  attachments[1].data = build::pattern_free_bytes(300000);  // more than a pipe holds at once
  const build::ByteVector tnef = build::tnef_message(attachments);
  const std::string bytes(tnef.begin(), tnef.end());
  write_file(dir / "winmail.dat", bytes);
  ASSERT_TRUE(fs::create_directory(dir / "from-file"));
  Launch reference;
  reference.arguments = {host_path(dir / "winmail.dat"), "q", host_path(dir / "from-file")};
  const std::string expected = after_banner(run_expecting(reference, 2).out);
  const std::string rest = expected.substr(expected.find('\n'));  // after "Analysing file ..."
  ASSERT_EQ(listing(dir / "from-file").size(), 2u);

  struct Way {
    std::string name;  // as given on the command line
    bool posix_only;
    bool after_a_line = false;  // a file with a line before the bytes, which a shell has read
  };
  const std::string fifo = dir / "fifo";
  write_file(dir / "with-line", "From: someone\n" + bytes);
  int number = 0;
  for (const Way& way :
       {Way{"-", false}, Way{"/dev/stdin", true}, Way{fifo, true}, Way{"-", true, true}}) {
    SCOPED_TRACE(way.name + (way.after_a_line ? " after a line" : ""));
    if (way.posix_only && target().windows) continue;
    const std::string out = dir / ("out" + std::to_string(number++));
    ASSERT_TRUE(fs::create_directory(out));
    Launch launch;
    launch.arguments = {way.name, "q", host_path(out)};
    launch.input = Input::kPiped;
    launch.piped = bytes;
    if (way.name == fifo) {
      ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
      // A shell in front feeds the FIFO from standard input, then becomes the program.
      launch.wrapper = {"/bin/sh", "-c",
                        "exec 3<&0; f=$1; shift; cat <&3 >\"$f\" 3<&- & exec \"$@\" 3<&-", "sh",
                        fifo};
      launch.await_before_piping = "Analysing file " + fifo;
    }
    if (way.after_a_line) {
      launch.input = Input::kEmpty;
      launch.wrapper = {"/bin/sh", "-c", "exec <\"$1\"; shift; read -r line; exec \"$@\"", "sh",
                        dir / "with-line"};
    }
    const Finished run = run_expecting(launch, 2);
    std::string same = rest;
    const std::string from = host_path(dir / "from-file");
    for (std::size_t at = same.find(from); at != std::string::npos; at = same.find(from, at)) {
      same.replace(at, from.size(), host_path(out));
    }
    EXPECT_EQ(after_banner(run.out),
              "Analysing file " + way.name + ", length " + std::to_string(bytes.size()) + same);
    EXPECT_EQ(listing(out), listing(dir / "from-file"));
  }
}

TEST(EndToEnd, KeepBothInParallelKeepsEveryAttachment) {
  // The README's recipe for a batch: messages that hold the same names, four runs at a time into
  // one folder. Two runs that find a name free at the same moment both keep their files: the one
  // that names its file second takes the next number, and its run goes on.
  TempDir dir;
  const std::string out = dir / "saved";
  ASSERT_TRUE(fs::create_directory(out));
  // Under wine every run starts a Windows process of its own: fewer messages meet the same races.
  const int messages = target().windows ? 60 : 200;
  constexpr const char* kNames[] = {"image001.png", "image002.png", "document.pdf", "notes.txt"};
  std::vector<std::string> digests;
  std::string sources;
  for (int m = 0; m < messages; ++m) {
    build::TnefBuilder tnef;
    tnef.signature();
    for (const char* name : kNames) {
      const std::string data = std::string(name) + " of message " + std::to_string(m);
      tnef.attach_title(name).attach_data(data);
      digests.push_back(build::sha256_hex(build::as_bytes(data)));
    }
    const std::string source = dir / ("m" + std::to_string(m) + ".dat");
    ASSERT_TRUE(build::write_file(source, tnef.bytes()));
    sources += host_path(source) + "\n";
  }
  write_file(dir / "sources", sources);
  // One run per source; each one's exit status goes to a file, as xargs would fold them into one.
  std::string command;
  for (const std::string& word : target().launcher) command += "'" + word + "' ";
  command += "'" + target().binary + "' -q --keep-both -o '" + host_path(out) +
             "' \"$1\" >/dev/null 2>>errors; echo $? >>statuses\n";
  write_file(dir / "one.sh", command);
  Launch launch;
  launch.command = {"sh", "-c", "xargs -P4 -n1 -d '\\n' sh one.sh <sources"};
  launch.directory = dir.path();
  launch.timeout_seconds = target().timeout_seconds * 20;
  const Finished finished = run_expecting(launch, 0);
  EXPECT_EQ(read_file(dir / "statuses"), [&] {
    std::string fours;
    for (int m = 0; m < messages; ++m) fours += "4\n";
    return fours;
  }());
  // Counted and hashed: every attachment once, under its name or its name with a number.
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(out)) {
    const std::string name = entry.path().filename().string();
    const std::string contents = read_file(entry.path());
    found.push_back(build::sha256_hex(build::as_bytes(contents)));
    const std::string from = contents.substr(0, contents.find(' '));
    const std::size_t dot = from.rfind('.');
    EXPECT_TRUE(name == from || (name.starts_with(from.substr(0, dot) + " (") &&
                                 name.ends_with(")" + from.substr(dot))))
        << name << " holds " << from;
  }
  std::sort(found.begin(), found.end());
  std::sort(digests.begin(), digests.end());
  EXPECT_EQ(found.size(), digests.size());
  EXPECT_TRUE(found == digests);
  // Standard error tells only of names taken at the moment of naming, and where the file went.
  std::istringstream errors(read_file(dir / "errors"));
  for (std::string line; std::getline(errors, line);) {
    EXPECT_NE(line.find(": File exists; written as "), std::string::npos) << line;
  }
}

TEST(EndToEnd, AnsweredYReplacesALinkNotItsTarget) {
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"new"}));
  write_file(dir / "victim", "keep me");
  fs::create_symlink(dir / "victim", dir / "Unknown Attachment.txt");
  Launch launch;
  launch.arguments = {host_path(dir / "in.dat")};
  launch.input = Input::kPiped;
  launch.piped = "y";
  const Finished run = run_expecting(launch, 1);
  EXPECT_NE(run.out.find("press Y to overwrite ... Writing.\n\nExtracted 1 file.\n"),
            std::string::npos);
  EXPECT_FALSE(fs::is_symlink(dir / "Unknown Attachment.txt"));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "new");
  EXPECT_EQ(read_file(dir / "victim"), "keep me");
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
  // Standard input closed is no source that happens to be empty.
  for (const std::string source : {"/nonexistent-kestrox-dir/in.dat", "-"}) {
    SCOPED_TRACE(source);
    Launch launch;
    launch.arguments = {source};
    launch.input = Input::kClosed;
    const Finished run = run_expecting(launch, 999);
    EXPECT_EQ(after_banner(run.out),
              "Analysing file " + source + "\nCannot find source file.\n" + std::string(kPrompt));
  }
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

TEST(EndToEndPosix, HelpThatCannotBeWrittenFails) {
  for (const char* word : {"--help", "--version"}) {
    Launch launch;
    launch.wrapper = {"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh"};
    launch.arguments = {word};
    const Finished run = run_program(launch);
    EXPECT_TRUE(run.exited);
    EXPECT_EQ(run.status, 1) << word;
  }
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
  const std::string reason = std::strerror(ENOENT);
  EXPECT_EQ(run.err,
            "Error getting working directory.: " + reason + "\nkestrox: .: " + reason + "\n");
  EXPECT_EQ(after_banner(run.out), kPrompt);
}

// ---------------------------------------------------------------------------------------------
// Windows only, through the launcher's command interpreter: the whole exit status, which a POSIX
// parent sees cut to 8 bits, and a console of the program's own (its code page, its keyboard).

bool on_path(std::string_view name) {
  const char* path = std::getenv("PATH");
  std::istringstream directories(path != nullptr ? path : "");
  for (std::string directory; std::getline(directories, directory, ':');) {
    if (::access((directory + "/" + std::string(name)).c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Words as one cmd.exe command line; a word with a blank is quoted.
std::string cmd_line(const std::vector<std::string>& words) {
  std::string line;
  for (const std::string& word : words) {
    if (!line.empty()) line += ' ';
    line += word.find(' ') == std::string::npos ? word : '"' + word + '"';
  }
  return line;
}

std::string program_for_cmd() { return host_path(target().binary); }

// Runs `line` through "cmd /v:on /c", in which !ERRORLEVEL! is the last program's whole status.
Finished run_cmd(const std::string& line) {
  Launch launch;
  launch.command = target().launcher;
  launch.command.insert(launch.command.end(), {"cmd", "/v:on", "/c", line});
  Finished finished = run_program(launch);
  EXPECT_FALSE(finished.timed_out) << finished.out;
  return finished;
}

std::string shell_quoted(std::string_view word) {
  std::string quoted = "'";
  for (char c : word) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs `line` through "cmd /c" in a console: script(1) gives the launcher a pseudo-terminal,
// which it turns into a Windows console as a person's window would be, and `keys` are typed
// into it, at once or as `paced` says. The line itself redirects what is to be read back.
Finished run_in_console(const std::string& line, const std::string& keys,
                        const std::string& watched = {},
                        const std::vector<Launch::Typed>& paced = {}) {
  std::string shell_command;
  for (const std::string& word : target().launcher) shell_command += shell_quoted(word) + " ";
  shell_command += "cmd /c " + shell_quoted(line);
  Launch launch;
  launch.command = {"script", "-qec", shell_command, "/dev/null"};
  launch.environment = {{"SHELL", "/bin/sh"}};
  // Wine takes the command line's non-ASCII letters from the locale's character set.
  if (utf8_locale_available()) launch.environment.emplace_back("LC_ALL", "C.UTF-8");
  if (!keys.empty() || !paced.empty()) {
    launch.input = Input::kPiped;
    launch.piped = keys;
    launch.watched = watched;
    launch.paced = paced;
  }
  Finished finished = run_program(launch);
  EXPECT_FALSE(finished.timed_out) << finished.out;
  return finished;
}

#define SKIP_WITHOUT_SCRIPT() \
  if (!on_path("script")) GTEST_SKIP() << "script(1) is needed for a pseudo-terminal"

TEST(EndToEnd, SourceOpenForWritingIsNotRead) {
  // A source that is open for writing as the run starts, here by the run's own standard output
  // appended to it by the shell (a log kept in the wrong file; a mail program still saving the
  // file is the same to the host): what it holds may be half of another write, so nothing is
  // read from it and nothing written, on either host.
#if defined(KESTROX_PORTABLE_FALLBACKS)
  if (!target().windows) GTEST_SKIP() << "no lease in this build: the stamps see no writer yet";
#endif
  TempDir dir;
  const std::string source = dir / "winmail.dat";
  const std::string original = raw_tnef({"hello"});
  write_file(source, original);
  const std::string line =
      cmd_line({target().windows ? program_for_cmd() : shell_quoted(target().binary),
                host_path(source), "q"}) +
      " >>" + host_path(source);
  Launch launch;
  if (target().windows) {
    launch.command = target().launcher;
    launch.command.insert(launch.command.end(), {"cmd", "/c", line});
  } else {
    launch.command = {"sh", "-c", line};
  }
  const Finished finished = run_expecting(launch, 999);
  const std::string written = read_file(source);
  ASSERT_TRUE(written.starts_with(original));
  EXPECT_NE(
      without_carriage_returns(written.substr(original.size())).find("\nIncomplete file read.\n"),
      std::string::npos)
      << written.substr(original.size());
  EXPECT_EQ(finished.err,
            "kestrox: " + host_path(source) + ": the file is open for writing by another program\n");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

TEST(EndToEndWindows, WholeExitStatusAsCmdSeesIt) {
  SKIP_UNLESS_WINDOWS_TARGET();
  TempDir dir;
  write_file(dir / "many.dat", raw_tnef(std::vector<std::string>(300, "x")));
  Finished run = run_cmd(cmd_line({program_for_cmd(), host_path(dir / "missing.dat"), "q"}) +
                         " & echo exit status !ERRORLEVEL!");
  EXPECT_TRUE(run.out.ends_with("\nCannot find source file.\nexit status 999\n")) << run.out;
  run = run_cmd(cmd_line({program_for_cmd(), host_path(dir / "many.dat"), "q"}) +
                " & echo exit status !ERRORLEVEL!");
  EXPECT_TRUE(run.out.ends_with("\nExtracted 300 files.\nexit status 300\n")) << run.out;
  EXPECT_TRUE(fs::exists(dir / "Unknown Attachment299.txt"));
}

TEST(EndToEndWindows, ConsoleCodePageChoosesTheBanner) {
  // The code page also decides how a path is shown: a letter that code page 437 lacks is '?', and
  // the banner's box bytes, which are no UTF-8, stay as they are.
  SKIP_UNLESS_WINDOWS_TARGET();
  SKIP_WITHOUT_SCRIPT();
  if (!utf8_locale_available()) GTEST_SKIP() << "no C.UTF-8 locale to pass the names in";
  TempDir dir;
  const std::string source = host_path(dir / "Документы/missing.dat");
  for (const auto& [page, style, path] :
       {std::tuple{"437", BannerStyle::kCodePage437, shown(source)},
        std::tuple{"65001", BannerStyle::kUtf8, source}}) {
    SCOPED_TRACE(page);
    const std::string out = dir / ("out" + std::string(page) + ".txt");
    run_in_console("chcp " + std::string(page) + " >nul & " +
                       cmd_line({program_for_cmd(), source, "q"}) + " > " + host_path(out),
                   "");
    EXPECT_EQ(without_carriage_returns(read_file(out)),
              banner_text(style) + "Analysing file " + path + "\nCannot find source file.\n");
  }
}

TEST(EndToEnd, StandardOutputArrivesInWholeLines) {
  // Each write to a file or a pipe ends a line and is no more than a pipe takes in at once, so
  // that runs in parallel into one log never split one: each write arrives here as a message of
  // its own.
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef(std::vector<std::string>(60, "x")));
  Launch launch;
  launch.arguments = {"-q", host_path(dir / "in.dat")};
  launch.packets = true;
  const Finished run = run_expecting(launch, 60);
  EXPECT_GT(run.out_writes.size(), 1u);
  for (const std::string& piece : run.out_writes) {
    EXPECT_TRUE(piece.ends_with("\n")) << piece;
    EXPECT_LE(piece.size(), 4096u);
  }
  EXPECT_TRUE(run.out.ends_with("Extracted 60 files.\n")) << run.out;
}

TEST(EndToEndWindows, KeysAreReadFromTheConsoleOneKeyPressEach) {
  // A cursor key arrives as two codes (0xE0, then its scan code): it answers one question, and
  // the next question waits for the next key typed.
  SKIP_UNLESS_WINDOWS_TARGET();
  SKIP_WITHOUT_SCRIPT();
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"one", "two"}));
  write_file(dir / "Unknown Attachment.txt", "old");
  write_file(dir / "Unknown Attachment1.txt", "old");
  const std::string out = dir / "out.txt";
  const std::string question = "press Y to overwrite ... ";
  run_in_console(cmd_line({program_for_cmd(), host_path(dir / "in.dat")}) + " > " + host_path(out),
                 "", out,
                 {{question, 1, "\x1b[A"},  // cursor up
                  {question, 2, "y"},
                  {std::string(kPrompt.substr(1)), 1, "x"}});
  EXPECT_EQ(after_banner(without_carriage_returns(read_file(out))),
            "Analysing file " + host_path(dir / "in.dat") + ", length 32\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment.txt"), 3) +
                "File already exists, press Y to overwrite ... Not writing.\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment1.txt"), 3) +
                "File already exists, press Y to overwrite ... Writing.\n\nExtracted 1 file.\n" +
                std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "old");
  EXPECT_EQ(read_file(dir / "Unknown Attachment1.txt"), "two");
}

TEST(EndToEndWindows, SourceOnStandardInputTakesKeysFromTheConsole) {
  // The source comes in on standard input; the answer is typed at the console.
  SKIP_UNLESS_WINDOWS_TARGET();
  SKIP_WITHOUT_SCRIPT();
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"new"}));
  write_file(dir / "Unknown Attachment.txt", "old");
  const std::string out = dir / "out.txt";
  run_in_console(cmd_line({program_for_cmd(), "-", "go", host_path(dir.path())}) + " < " +
                     host_path(dir / "in.dat") + " > " + host_path(out),
                 "", out,
                 {{"press Y to overwrite ... ", 1, "y"}, {std::string(kPrompt.substr(1)), 1, "x"}});
  EXPECT_NE(read_file(out).find("press Y to overwrite ... Writing."), std::string::npos)
      << read_file(out);
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "new");
}

TEST(EndToEndWindows, RedirectedInputIsReadEvenWithAConsole) {
  // NUL passes _isatty as a console does; the key must still come from NUL, which has none,
  // and not from the keyboard the user redirected away from.
  SKIP_UNLESS_WINDOWS_TARGET();
  SKIP_WITHOUT_SCRIPT();
  TempDir dir;
  write_file(dir / "in.dat", raw_tnef({"new"}));
  write_file(dir / "Unknown Attachment.txt", "old");
  const std::string out = dir / "out.txt";
  run_in_console(
      cmd_line({program_for_cmd(), host_path(dir / "in.dat")}) + " < NUL > " + host_path(out),
      "yy");
  EXPECT_EQ(after_banner(without_carriage_returns(read_file(out))),
            "Analysing file " + host_path(dir / "in.dat") + ", length 18\n" +
                unnamed_line(host_path(dir.path(), "Unknown Attachment.txt"), 3) +
                "File already exists, press Y to overwrite ... Not writing.\n\n" +
                std::string(kPrompt));
  EXPECT_EQ(read_file(dir / "Unknown Attachment.txt"), "old");
}

}  // namespace
}  // namespace kestrox
