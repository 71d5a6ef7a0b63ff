// The path rules of the run driver in both styles, and the exit status of a result value.
#include "driver/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/run.h"

namespace kestrox {
namespace {

constexpr PathStyle kWin = PathStyle::kWindows;
constexpr PathStyle kPosix = PathStyle::kPosix;

// The output directory that a command-line argument 1 leads to, after normalisation.
std::string output_directory_for(std::string_view argument, PathStyle style) {
  return normalise_output_directory(directory_part(argument, style), style);
}

TEST(PathSeparator, IsTheHostsOwn) {
  EXPECT_EQ(path_separator(kWin), '\\');
  EXPECT_EQ(path_separator(kPosix), '/');
}

TEST(ArgumentOutputDirectory, WindowsCutsAtTheLastBackslashOnly) {
  EXPECT_EQ(output_directory_for("C:\\Mail\\in.dat", kWin), "C:\\Mail\\");
  EXPECT_EQ(output_directory_for("C:\\Mail\\Sub\\in.dat", kWin), "C:\\Mail\\Sub\\");
  // No backslash: the files go to the working directory.
  EXPECT_EQ(output_directory_for("in.dat", kWin), "");
  EXPECT_EQ(output_directory_for("", kWin), "");
  // A drive colon and a forward slash are ordinary characters.
  EXPECT_EQ(output_directory_for("C:in.dat", kWin), "");
  EXPECT_EQ(output_directory_for("C:/Mail/in.dat", kWin), "");
  // The root's backslash is the one cut away: empty, not the root.
  EXPECT_EQ(output_directory_for("\\in.dat", kWin), "");
  EXPECT_EQ(output_directory_for("\\\\server\\share\\in.dat", kWin), "\\\\server\\share\\");
}

TEST(ArgumentOutputDirectory, WindowsBareDriveStaysWithoutBackslash) {
  // C:\in.dat leaves "C:", which names drive C's current directory, not its root.
  EXPECT_EQ(directory_part("C:\\in.dat", kWin), "C:");
  EXPECT_EQ(output_directory_for("C:\\in.dat", kWin), "C:");
  EXPECT_EQ(output_directory_for("z:\\in.dat", kWin), "z:");
}

TEST(ArgumentOutputDirectory, PosixMirrorsWithSlash) {
  EXPECT_EQ(output_directory_for("/home/mail/in.dat", kPosix), "/home/mail/");
  EXPECT_EQ(output_directory_for("mail/sub/in.dat", kPosix), "mail/sub/");
  EXPECT_EQ(output_directory_for("in.dat", kPosix), "");
  EXPECT_EQ(output_directory_for("", kPosix), "");
  EXPECT_EQ(output_directory_for("/in.dat", kPosix), "");
  EXPECT_EQ(output_directory_for("//server/share/in.dat", kPosix), "//server/share/");
  // A backslash is an ordinary character on POSIX.
  EXPECT_EQ(output_directory_for("C:\\Mail\\in.dat", kPosix), "");
  EXPECT_EQ(output_directory_for("dir\\x/in.dat", kPosix), "dir\\x/");
  // "C:" is an ordinary directory name there and gets its slash.
  EXPECT_EQ(output_directory_for("C:/in.dat", kPosix), "C:/");
}

TEST(NormaliseOutputDirectory, WindowsForms) {
  EXPECT_EQ(normalise_output_directory("", kWin), "");
  EXPECT_EQ(normalise_output_directory("C:\\", kWin), "C:\\");
  EXPECT_EQ(normalise_output_directory("D:\\Out\\", kWin), "D:\\Out\\");
  EXPECT_EQ(normalise_output_directory("C:", kWin), "C:");
  EXPECT_EQ(normalise_output_directory("D:\\Out", kWin), "D:\\Out\\");
  EXPECT_EQ(normalise_output_directory("out", kWin), "out\\");
  // Only exactly two characters with ':' second make a bare drive.
  EXPECT_EQ(normalise_output_directory("C:x", kWin), "C:x\\");
  EXPECT_EQ(normalise_output_directory("x", kWin), "x\\");
  EXPECT_EQ(normalise_output_directory(":C", kWin), ":C\\");
  // A forward slash does not count as the separator.
  EXPECT_EQ(normalise_output_directory("D:/Out/", kWin), "D:/Out/\\");
  // Nothing is collapsed: a doubled separator stays.
  EXPECT_EQ(normalise_output_directory("\\\\", kWin), "\\\\");
}

TEST(NormaliseOutputDirectory, PosixForms) {
  EXPECT_EQ(normalise_output_directory("", kPosix), "");
  EXPECT_EQ(normalise_output_directory("/", kPosix), "/");
  EXPECT_EQ(normalise_output_directory("/out/", kPosix), "/out/");
  EXPECT_EQ(normalise_output_directory("/out", kPosix), "/out/");
  EXPECT_EQ(normalise_output_directory("C:", kPosix), "C:/");
  EXPECT_EQ(normalise_output_directory("out\\", kPosix), "out\\/");
}

TEST(NormaliseOutputDirectory, LongDirectoriesAreHeldWhole) {
  const std::string deep = "/" + std::string(300, 'd');
  EXPECT_EQ(normalise_output_directory(deep, kPosix), deep + "/");
  const std::string deep_windows = "C:\\" + std::string(300, 'd');
  EXPECT_EQ(normalise_output_directory(deep_windows, kWin), deep_windows + "\\");
}

TEST(DefaultSource, SeparatorIsAddedWhateverTheDirectoryEndsWith) {
  EXPECT_EQ(default_source_in("C:\\Mail", kWin), "C:\\Mail\\winmail.dat");
  EXPECT_EQ(default_source_in("C:\\", kWin), "C:\\\\winmail.dat");
  EXPECT_EQ(default_source_in("", kWin), "\\winmail.dat");
  EXPECT_EQ(default_source_in("C:", kWin), "C:\\winmail.dat");
  EXPECT_EQ(default_source_in("/home/mail", kPosix), "/home/mail/winmail.dat");
  EXPECT_EQ(default_source_in("/", kPosix), "//winmail.dat");
  EXPECT_EQ(default_source_in("", kPosix), "/winmail.dat");
}

TEST(DefaultSource, WorkingDirectoryIsAlsoTheOutputDirectory) {
  // Working directory C:\Mail: output C:\Mail\ with its backslash; C:\ stays C:\.
  EXPECT_EQ(normalise_output_directory("C:\\Mail", kWin), "C:\\Mail\\");
  EXPECT_EQ(normalise_output_directory("C:\\", kWin), "C:\\");
  EXPECT_EQ(normalise_output_directory("/home/mail", kPosix), "/home/mail/");
}

struct ProgramCase {
  const char* program_path;
  const char* directory;  // as cut, before normalisation
  bool marked;
  const char* source;
  const char* output_directory;  // after normalisation
};

void expect_program_case(const ProgramCase& c, PathStyle style) {
  SCOPED_TRACE(c.program_path);
  const ProgramDirectory program = program_directory(c.program_path, style);
  EXPECT_EQ(program.directory, c.directory);
  EXPECT_EQ(program.marked, c.marked);
  // The source is built from the directory before normalisation.
  EXPECT_EQ(default_source_in(program.directory, style), c.source);
  EXPECT_EQ(normalise_output_directory(program.directory, style), c.output_directory);
}

TEST(ProgramDirectory, WindowsFallbackCuts) {
  const ProgramCase cases[] = {
      {"D:\\Tools\\Kestrox.exe", "D:\\Tools", false, "D:\\Tools\\winmail.dat", "D:\\Tools\\"},
      // No backslash: cut at the 'K', which leaves nothing; the source is the drive's root.
      {"Kestrox.exe", "", false, "\\winmail.dat", ""},
      {"C:Kestrox.exe", "C:", false, "C:\\winmail.dat", "C:"},
      {"kestrox.exe", "", false, "\\winmail.dat", ""},
      // Neither separator nor 'K' nor 'k': kept whole and marked.
      {"prog.exe", "prog.exe", true, "prog.exe\\winmail.dat", "prog.exe\\"},
      {"", "", true, "\\winmail.dat", ""},
      // The backslash wins over a later 'K', the 'K' over a later 'k'; each at its last place.
      {"D:\\Kits\\Kestrox.exe", "D:\\Kits", false, "D:\\Kits\\winmail.dat", "D:\\Kits\\"},
      {"MyKit-kestrox.exe", "My", false, "My\\winmail.dat", "My\\"},
      {"KitKestrox.exe", "Kit", false, "Kit\\winmail.dat", "Kit\\"},
      {"bookkeeper.exe", "book", false, "book\\winmail.dat", "book\\"},
      // A forward slash is no separator in the Windows style: the 'k' is found first.
      {"tools/kestrox.exe", "tools/", false, "tools/\\winmail.dat", "tools/\\"},
      {"C:\\", "C:", false, "C:\\winmail.dat", "C:"},
  };
  for (const ProgramCase& c : cases) expect_program_case(c, kWin);
}

TEST(ProgramDirectory, PosixFallbackCuts) {
  const ProgramCase cases[] = {
      {"/opt/tools/kestrox", "/opt/tools", false, "/opt/tools/winmail.dat", "/opt/tools/"},
      {"./kestrox", ".", false, "./winmail.dat", "./"},
      {"/kestrox", "", false, "/winmail.dat", ""},
      {"kestrox", "", false, "/winmail.dat", ""},
      {"Kestrox", "", false, "/winmail.dat", ""},
      {"prog", "prog", true, "prog/winmail.dat", "prog/"},
      {"MyKit-kestrox", "My", false, "My/winmail.dat", "My/"},
      // A backslash is ordinary on POSIX: the 'K' cuts here.
      {"D:\\Tools\\Kestrox.exe", "D:\\Tools\\", false, "D:\\Tools\\/winmail.dat", "D:\\Tools\\/"},
      {"C:prog", "C:prog", true, "C:prog/winmail.dat", "C:prog/"},
      {"C:Kestrox", "C:", false, "C:/winmail.dat", "C:/"},
  };
  for (const ProgramCase& c : cases) expect_program_case(c, kPosix);
}

TEST(ExitStatus, PosixFitsEightBitsWithoutLookingLikeFailureOrNothing) {
  EXPECT_EQ(exit_status(0, kPosix), 0);
  EXPECT_EQ(exit_status(1, kPosix), 1);
  EXPECT_EQ(exit_status(5, kPosix), 5);
  EXPECT_EQ(exit_status(230, kPosix), 230);
  EXPECT_EQ(exit_status(231, kPosix), 230);
  EXPECT_EQ(exit_status(256, kPosix), 230);
  EXPECT_EQ(exit_status(500, kPosix), 230);
  EXPECT_EQ(exit_status(998, kPosix), 230);
  EXPECT_EQ(exit_status(kFailureResult, kPosix), 231);
  EXPECT_EQ(exit_status(1000, kPosix), 230);
}

TEST(ExitStatus, WindowsKeepsTheResultValue) {
  for (int result : {0, 1, 5, 230, 231, 256, 500, 998, 999, 1000}) {
    EXPECT_EQ(exit_status(result, kWin), result) << result;
  }
}

}  // namespace
}  // namespace kestrox
