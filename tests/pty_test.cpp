// The built program on a pseudo-terminal, as a person at a keyboard meets it: one key without
// Enter answers, nothing typed is echoed or answers ahead, the shell's prompt gets a line of its
// own, and an interrupt or a stop during a wait leaves the terminal as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#include <utmp.h>
#endif

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "support/tnef_builder.h"

namespace kestrox {
namespace {

using namespace std::chrono_literals;
using testing::ByteVector;
using testing::ScratchDirectory;

constexpr auto kPatience = 20s;

bool same_settings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

// The program as the session leader of a fresh pseudo-terminal. The test keeps the terminal's
// slave side open too, so that its settings can be read after the program has gone.
class Terminal {
 public:
  Terminal() {
    if (::openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) {
      ADD_FAILURE() << "openpty: " << std::strerror(errno);
      return;
    }
    ::tcgetattr(slave_, &before_);
  }
  ~Terminal() {
    if (pid_ > 0) {
      send(SIGKILL);
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  // Runs the program as a shell runs a job: in a process group of its own in the foreground,
  // below a process of the same session (so that Ctrl-Z can stop it), which reports a stop as
  // "[stopped]" and ends as the program ended. Standard input and output may come from files;
  // a signal may be ignored from the start, as nohup does.
  void start(const std::vector<std::string>& args, const std::string& input = {},
             const std::string& output = {}, int ignored = 0) {
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ != 0) return;
    ::close(master_);
    if (::login_tty(slave_) != 0) ::_exit(126);
    const pid_t job = ::fork();
    if (job == 0) {
      ::setpgid(0, 0);
      ::signal(SIGTTOU, SIG_IGN);
      ::tcsetpgrp(STDIN_FILENO, ::getpid());
      ::signal(SIGTTOU, SIG_DFL);
      if (!input.empty()) ::dup2(::open(input.c_str(), O_RDONLY), STDIN_FILENO);
      if (!output.empty()) ::dup2(::creat(output.c_str(), 0600), STDOUT_FILENO);
      const rlimit no_core = {0, 0};
      ::setrlimit(RLIMIT_CORE, &no_core);
      if (ignored != 0) ::signal(ignored, SIG_IGN);
      ::setenv("LC_ALL", "C", 1);
      ::execv(KESTROX_BINARY, argv.data());
      ::_exit(127);
    }
    int status = 0;
    while (::waitpid(job, &status, WUNTRACED) == job && WIFSTOPPED(status)) {
      static constexpr std::string_view kStopped = "[stopped]";
      if (::write(STDOUT_FILENO, kStopped.data(), kStopped.size()) < 0) break;
    }
    if (WIFSIGNALED(status)) {
      ::signal(WTERMSIG(status), SIG_DFL);
      ::raise(WTERMSIG(status));
    }
    ::_exit(WIFEXITED(status) ? WEXITSTATUS(status) : 125);
  }

  // Reads what the program prints until `text` has appeared (carriage returns dropped).
  bool wait_for(std::string_view text) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (seen_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      read_some(100);
    }
    return true;
  }

  // Waits until the program has put the terminal into its key-reading mode, or back as it was.
  bool wait_for_key_read() { return wait_for_settings(true); }
  bool wait_for_restored() { return wait_for_settings(false); }
  bool wait_for_settings(bool reading) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    for (;;) {
      termios now;
      ::tcgetattr(slave_, &now);
      if (reading ? (now.c_lflag & (ICANON | ECHO)) == 0 : same_settings(now, before_)) {
        return true;
      }
      if (std::chrono::steady_clock::now() > deadline) return false;
      read_some(1);
    }
  }

  void type(char key) { ASSERT_EQ(::write(master_, &key, 1), 1); }
  // To the job in the foreground, as the terminal sends what is typed.
  void send(int signal_number) {
    const pid_t job = ::tcgetpgrp(master_);
    if (job > 0) ::kill(-job, signal_number);
  }

  // Waits for the program's end and reads the rest of what it printed. Returns the wait status,
  // or -1 when it did not end in time.
  int finish() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      read_some(10);
    }
    pid_ = -1;
    while (read_some(50)) {
    }
    return status;
  }

  const std::string& seen() const { return seen_; }
  termios settings() const {
    termios now;
    ::tcgetattr(slave_, &now);
    return now;
  }
  const termios& before() const { return before_; }

 private:
  // False when nothing came within `milliseconds`.
  bool read_some(int milliseconds) {
    pollfd ready = {master_, POLLIN, 0};
    if (::poll(&ready, 1, milliseconds) <= 0) return false;
    char chunk[4096];
    const ssize_t got = ::read(master_, chunk, sizeof chunk);
    if (got <= 0) return false;
    for (ssize_t i = 0; i < got; ++i) {
      if (chunk[i] != '\r') seen_ += chunk[i];
    }
    return true;
  }

  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
  termios before_{};
  std::string seen_;
};

// A source with one attachment titled a.txt, and an a.txt beside it already.
class OnATerminal : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::TnefBuilder tnef;
    tnef.signature().attach_title("a.txt").attach_data("new contents");
    ASSERT_TRUE(testing::write_file(source_, tnef.bytes()));
    write_text(existing_, "old");
  }

  static void write_text(const std::string& path, std::string_view text) {
    ASSERT_TRUE(testing::write_file(
        path, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}));
  }
  static std::string read_text(const std::string& path) {
    const ByteVector bytes = testing::read_file(path);
    return {bytes.begin(), bytes.end()};
  }

  static constexpr std::string_view kQuestion = "File already exists, press Y to overwrite ... ";
  static constexpr std::string_view kPrompt = "Press a key to continue...";

  // What happens besides the two keys.
  enum class Meanwhile { kNothing, kTypedAhead, kStoppedAndContinued };

  // Answers the overwrite question and then the end prompt with one key each, and returns what
  // the run printed from the question on.
  std::string answer(char key, Meanwhile meanwhile = Meanwhile::kNothing) {
    Terminal terminal;
    // Typed before the program even started: no question has been seen yet.
    if (meanwhile == Meanwhile::kTypedAhead) {
      for (char typed : std::string_view("y\n")) terminal.type(typed);
    }
    terminal.start({KESTROX_BINARY, source_});
    EXPECT_TRUE(terminal.wait_for(kQuestion)) << terminal.seen();
    EXPECT_TRUE(terminal.wait_for_key_read());
    if (meanwhile == Meanwhile::kStoppedAndContinued) {
      terminal.type(static_cast<char>(terminal.settings().c_cc[VSUSP]));
      EXPECT_TRUE(terminal.wait_for("[stopped]")) << terminal.seen();
      EXPECT_TRUE(terminal.wait_for_restored());
      terminal.send(SIGCONT);
      EXPECT_TRUE(terminal.wait_for_key_read());
    }
    terminal.type(key);
    EXPECT_TRUE(terminal.wait_for(kPrompt)) << terminal.seen();
    EXPECT_TRUE(terminal.wait_for_key_read());
    terminal.type('x');
    status_ = terminal.finish();
    EXPECT_TRUE(same_settings(terminal.settings(), terminal.before()));
    const std::string& seen = terminal.seen();
    const std::size_t question = seen.find(kQuestion);
    return question == std::string::npos ? seen : seen.substr(question + kQuestion.size());
  }

  ScratchDirectory dir_;
  std::string source_ = dir_ / "in.dat";
  std::string existing_ = dir_ / "a.txt";
  int status_ = 0;
};

TEST_F(OnATerminal, YWithoutEnterOverwrites) {
  // Nothing typed shows: neither the 'y' nor the key at the end, which ends the line.
  EXPECT_EQ(answer('y'), "Writing.\n\nExtracted 1 file.\n\nPress a key to continue...\n");
  ASSERT_TRUE(WIFEXITED(status_)) << status_;
  EXPECT_EQ(WEXITSTATUS(status_), 1);
  EXPECT_EQ(read_text(existing_), "new contents");
}

TEST_F(OnATerminal, NWithoutEnterKeepsTheFile) {
  EXPECT_EQ(answer('n'), "Not writing.\n\n\nPress a key to continue...\n");
  ASSERT_TRUE(WIFEXITED(status_)) << status_;
  EXPECT_EQ(WEXITSTATUS(status_), 0);
  EXPECT_EQ(read_text(existing_), "old");
}

TEST_F(OnATerminal, KeysTypedAheadAnswerNothing) {
  EXPECT_EQ(answer('n', Meanwhile::kTypedAhead), "Not writing.\n\n\nPress a key to continue...\n");
  EXPECT_EQ(read_text(existing_), "old");
}

TEST_F(OnATerminal, StoppedAndContinuedStillTakesOneKey) {
  // Ctrl-Z gives the shell its terminal back as it was; after the continue one key without
  // Enter answers again.
  EXPECT_EQ(answer('y', Meanwhile::kStoppedAndContinued),
            "[stopped]Writing.\n\nExtracted 1 file.\n\nPress a key to continue...\n");
  EXPECT_EQ(read_text(existing_), "new contents");
}

TEST_F(OnATerminal, SourceOnStandardInputOutputToAFile) {
  // The source comes in on standard input, so the keys come from the terminal; the output goes
  // to a file, so the terminal shows the question and the prompt on the error stream.
  const std::string log = dir_ / "log";
  Terminal terminal;
  terminal.start({KESTROX_BINARY, "-", "go", dir_.path()}, source_, log);
  ASSERT_TRUE(terminal.wait_for(kQuestion)) << terminal.seen();
  ASSERT_TRUE(terminal.wait_for_key_read());
  terminal.type('y');
  ASSERT_TRUE(terminal.wait_for(kPrompt)) << terminal.seen();
  ASSERT_TRUE(terminal.wait_for_key_read());
  terminal.type('x');
  const int status = terminal.finish();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_EQ(terminal.seen(), ".;~ Extracting file a.txt, (a.txt) length 12 to " + dir_ / "a.txt" +
                                 "\n" + std::string(kQuestion) + "\n" + std::string(kPrompt) +
                                 "\n");
  EXPECT_EQ(read_text(existing_), "new contents");
  EXPECT_TRUE(read_text(log).ends_with("Writing.\n\nExtracted 1 file.\n\n" + std::string(kPrompt)));
}

// An interrupt while the program waits for a key: at the overwrite question or at the end.
struct Interruption {
  const char* name;
  int signal;
  bool typed;  // Ctrl-C or Ctrl-\ typed on the terminal, else the signal sent to the process
  const char* wait;
  bool ignored = false;  // ignored since the program started: the wait goes on to its key
};

// Shown by name: printing the raw bytes of the struct would read its padding.
void PrintTo(const Interruption& interruption, std::ostream* out) { *out << interruption.name; }

class Interrupted : public OnATerminal, public ::testing::WithParamInterface<Interruption> {};

TEST_P(Interrupted, LeavesTheTerminalAsItWas) {
  const Interruption& interruption = GetParam();
  Terminal terminal;
  if (std::string_view(interruption.wait) == "end") {
    ::unlink(existing_.c_str());
  }
  terminal.start({KESTROX_BINARY, source_}, {}, {}, interruption.ignored ? interruption.signal : 0);
  ASSERT_TRUE(terminal.wait_for(std::string_view(interruption.wait) == "end"
                                    ? "Press a key to continue..."
                                    : "press Y to overwrite ... "))
      << terminal.seen();
  ASSERT_TRUE(terminal.wait_for_key_read());
  ASSERT_FALSE(same_settings(terminal.settings(), terminal.before()));
  if (interruption.typed) {
    termios now = terminal.settings();
    terminal.type(static_cast<char>(now.c_cc[interruption.signal == SIGQUIT ? VQUIT : VINTR]));
  } else {
    terminal.send(interruption.signal);
  }
  if (interruption.ignored) terminal.type('x');
  const int status = terminal.finish();
  ASSERT_NE(status, -1) << "the program did not end";
  EXPECT_TRUE(interruption.ignored ? WIFEXITED(status)
                                   : WIFSIGNALED(status) && WTERMSIG(status) == interruption.signal)
      << status;
  EXPECT_TRUE(same_settings(terminal.settings(), terminal.before()));
}

INSTANTIATE_TEST_SUITE_P(
    Pty, Interrupted,
    ::testing::Values(Interruption{"CtrlCAtTheQuestion", SIGINT, true, "question"},
                      Interruption{"CtrlCAtTheEnd", SIGINT, true, "end"},
                      Interruption{"CtrlBackslashAtTheQuestion", SIGQUIT, true, "question"},
                      Interruption{"SigintAtTheEnd", SIGINT, false, "end"},
                      Interruption{"SigtermAtTheQuestion", SIGTERM, false, "question"},
                      Interruption{"SigtermAtTheEnd", SIGTERM, false, "end"},
                      Interruption{"SighupAtTheEnd", SIGHUP, false, "end"},
                      Interruption{"IgnoredSighupAtTheEnd", SIGHUP, false, "end", true}),
    [](const ::testing::TestParamInfo<Interruption>& param) { return param.param.name; });

}  // namespace
}  // namespace kestrox
