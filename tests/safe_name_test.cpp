// Properties of the one gate for file names, over generated names: every byte value, dots,
// separators of both hosts, device names in any case. And whole extractions of attachments that
// carry such names, which must write inside the output directory and nowhere else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "driver/run.h"
#include "extract/output.h"
#include "extract/scan.h"
#include "extract/text.h"
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

// --- the names ----------------------------------------------------------------------------------

constexpr std::string_view kDevices[] = {
    "CON",  "PRN",  "AUX",  "NUL",         "CONIN$",      "CONOUT$",
    "COM1", "COM2", "COM3", "COM4",        "COM5",        "COM6",
    "COM7", "COM8", "COM9", "COM\xC2\xB9", "COM\xC2\xB2", "COM\xC2\xB3",
    "LPT1", "LPT2", "LPT3", "LPT4",        "LPT5",        "LPT6",
    "LPT7", "LPT8", "LPT9", "LPT\xC2\xB9", "LPT\xC2\xB2", "LPT\xC2\xB3"};

// Windows' own test, as its path functions apply it to the last component: the text before the
// first '.', without the spaces at its end, is a device name in any case.
bool names_a_device(std::string_view name) {
  std::string_view stem = name.substr(0, name.find('.'));
  while (!stem.empty() && stem.back() == ' ') stem.remove_suffix(1);
  std::string upper(stem);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return std::find(std::begin(kDevices), std::end(kDevices), upper) != std::end(kDevices);
}

std::string random_case(std::string_view text, std::mt19937& random) {
  std::string out(text);
  for (char& c : out) {
    if (random() % 2) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return out;
}

// Names built to find the holes: every byte value alone and between letters, runs of dots,
// both separators, climbs out of a directory, drive letters, device names in any case with and
// without extensions and spaces, and random mixtures of all of it.
std::vector<std::string> hostile_names(std::size_t random_count, std::uint32_t seed) {
  std::vector<std::string> names = {
      "",          ".",           "..",    "...",  "./",
      "../",       "..\\",        "/",     "\\",   "../../x",
      "..\\..\\x", "/etc/passwd", "C:\\x", "C:x",  "\\\\server\\share",
      ". .",       " ",           ".. ",   "a/..", "x\\..\\..\\y",
      "   ",       " . "};
  for (int byte = 0; byte < 256; ++byte) {
    names.emplace_back(1, static_cast<char>(byte));
    names.push_back(std::string("a").append(1, static_cast<char>(byte)).append("b.txt"));
  }
  std::mt19937 random(seed);
  for (std::string_view device : kDevices) {
    for (std::string_view tail : {"", ".", ".txt", ".tar.gz", " ", "  .txt", " . ", ":", "1"}) {
      names.push_back(random_case(device, random) + std::string(tail));
    }
  }
  const std::string pieces[] = {
      ".",    "..",   "/",    "\\",      ":",  " ",    "CON",  "nul",
      "Com",  "lPt",  "1",    "9",       "0",  "x",    ".txt", std::string(1, '\0'),
      "\x7f", "\x80", "\xff", "\x1b[2J", "\t", "\r\n", "*",    "?"};
  for (std::size_t i = 0; i < random_count; ++i) {
    std::string name;
    for (std::size_t n = random() % 8; n > 0; --n) name += pieces[random() % std::size(pieces)];
    names.push_back(name);
  }
  return names;
}

// What must hold of every name that safe_file_name gives.
void expect_safe(std::string_view input, PathStyle style) {
  const std::string safe = safe_file_name(input, style);
  SCOPED_TRACE(::testing::PrintToString(std::string(input)) + " gave " +
               ::testing::PrintToString(safe));
  EXPECT_FALSE(safe.empty());
  EXPECT_EQ(safe.find('/'), std::string::npos);
  EXPECT_EQ(safe.find('\\'), std::string::npos);
  EXPECT_NE(safe, ".");
  EXPECT_NE(safe, "..");
  // Nothing but the bytes a name may keep, and '_' for the rest.
  EXPECT_TRUE(std::all_of(safe.begin(), safe.end(), [](char c) {
    return c == '_' || is_name_byte(static_cast<unsigned char>(c));
  }));
  if (style == PathStyle::kWindows) {
    EXPECT_FALSE(names_a_device(safe));
    // Windows drops dots and spaces at the end of a name: none may stand there.
    EXPECT_TRUE(safe.back() != '.' && safe.back() != ' ');
  } else {
    EXPECT_TRUE(safe[0] != '.' && safe[0] != '-');
  }
  // Byte for byte the input, or the input behind one '_', the Windows style's end aside; and a
  // safe name stays as it is.
  ASSERT_TRUE(safe.size() == input.size() || safe.size() == input.size() + 1);
  const std::size_t prefix = safe.size() - input.size();
  // Where the dots and spaces at the end begin, which Windows would drop.
  const std::size_t end =
      style == PathStyle::kWindows ? input.find_last_not_of(". ") + 1 : input.size();
  for (std::size_t i = 0; i < input.size(); ++i) {
    const auto byte = static_cast<unsigned char>(input[i]);
    EXPECT_EQ(safe[prefix + i], is_name_byte(byte) && i < end ? input[i] : '_') << "at " << i;
  }
  EXPECT_EQ(safe_file_name(safe, style), safe);
}

TEST(SafeFileName, HoldsForEveryGeneratedName) {
  for (PathStyle style : {PathStyle::kPosix, PathStyle::kWindows}) {
    for (const std::string& name : hostile_names(20000, 1)) expect_safe(name, style);
  }
}

TEST(SafeFileName, LeavesOrdinaryNamesAlone) {
  for (std::string_view name : {"report.pdf", "a b.docx", "x@y-z.tar.gz", "CONSOLE.txt", "COM10",
                                "LPT0", "nul_", "_.x", "a-", "_-rf"}) {
    EXPECT_EQ(safe_file_name(name, PathStyle::kWindows), name);
    EXPECT_EQ(safe_file_name(name, PathStyle::kPosix), name);
  }
  // Hidden files and options are a POSIX matter.
  for (std::string_view name : {".docx", ".profile", "-rf", "-"}) {
    EXPECT_EQ(safe_file_name(name, PathStyle::kWindows), name);
    EXPECT_EQ(safe_file_name(name, PathStyle::kPosix), std::string("_").append(name));
  }
}

TEST(SafeFileName, OriginalNamesInEveryScriptForBothStyles) {
  struct Case {
    const char* what;
    std::string name, posix, windows;
  };
  std::string long_latin, cut_latin_posix, cut_latin_windows, long_emoji, cut_emoji_posix,
      cut_emoji_windows;
  for (int i = 0; i < 300; ++i) long_latin += "\xC3\xA9";  // é
  for (int i = 0; i < 125; ++i) cut_latin_posix += "\xC3\xA9";
  for (int i = 0; i < 251; ++i) cut_latin_windows += "\xC3\xA9";
  for (int i = 0; i < 200; ++i) long_emoji += "\xF0\x9F\x98\x80";  // two UTF-16 units each
  for (int i = 0; i < 62; ++i) cut_emoji_posix += "\xF0\x9F\x98\x80";
  for (int i = 0; i < 125; ++i) cut_emoji_windows += "\xF0\x9F\x98\x80";
  const std::vector<Case> cases = {
      {"German", "M\xC3\xBCller.pdf", "M\xC3\xBCller.pdf", "M\xC3\xBCller.pdf"},
      {"Russian", "\xD0\x9E\xD1\x82\xD1\x87\xD0\xB5\xD1\x82.docx",
       "\xD0\x9E\xD1\x82\xD1\x87\xD0\xB5\xD1\x82.docx",
       "\xD0\x9E\xD1\x82\xD1\x87\xD0\xB5\xD1\x82.docx"},
      {"Chinese", "\xE6\x8A\xA5\xE5\x91\x8A.pdf", "\xE6\x8A\xA5\xE5\x91\x8A.pdf",
       "\xE6\x8A\xA5\xE5\x91\x8A.pdf"},
      {"Arabic", "\xD8\xAA\xD9\x82\xD8\xB1\xD9\x8A\xD8\xB1.pdf",
       "\xD8\xAA\xD9\x82\xD8\xB1\xD9\x8A\xD8\xB1.pdf",
       "\xD8\xAA\xD9\x82\xD8\xB1\xD9\x8A\xD8\xB1.pdf"},
      {"punctuation stays", "a (1) [b] & c #2.txt", "a (1) [b] & c #2.txt", "a (1) [b] & c #2.txt"},
      {"direction override",
       "invoice\xE2\x80\xAE"
       "fdp.exe",
       "invoice_fdp.exe", "invoice_fdp.exe"},
      {"zero width and byte order marks",
       "a\xE2\x80\x8B"
       "b\xEF\xBB\xBF.txt",
       "a_b_.txt", "a_b_.txt"},
      {"reserved in both styles", "a/b\\c:d*e?f\"g<h>i|j", "a_b_c_d_e_f_g_h_i_j",
       "a_b_c_d_e_f_g_h_i_j"},
      {"controls, C1 and bytes that are no UTF-8", "\x1B[2J\xC2\x9B\xFF.txt", "_[2J__.txt",
       "_[2J__.txt"},
      {"hidden and option", ".profile", "_.profile", ".profile"},
      {"device", "con.txt", "con.txt", "_con.txt"},
      {"dots and spaces", " . ", "_ . ", "____"},
      // Characters that show nothing: a name that looks like another, or like none at all.
      {"tag characters", "a\xF3\xA0\x81\xA1\xF3\xA0\x81\xBF.txt", "a__.txt", "a__.txt"},
      {"tag characters alone", "\xF3\xA0\x80\x81\xF3\xA0\x81\x81", "__", "__"},
      {"Arabic letter mark, Mongolian vowel separator, Hangul filler",
       "a\xD8\x9C"
       "b\xE1\xA0\x8E"
       "c\xE3\x85\xA4.txt",
       "a_b_c_.txt", "a_b_c_.txt"},
      {"line and paragraph separators",
       "a\xE2\x80\xA8"
       "b\xE2\x80\xA9.txt",
       "a_b_.txt", "a_b_.txt"},
      {"word joiner to nominal digit shapes, annotation marks",
       "\xE2\x81\xA0\xE2\x81\xAF\xEF\xBF\xB9\xEF\xBF\xBB.txt", "____.txt", "____.txt"},
      {"soft hyphen and a default ignorable unassigned",
       "a\xC2\xAD\xE2\x81\xA5"
       "b",
       "a__b", "a__b"},
      {"no-break and ideographic spaces become plain ones",
       "a\xC2\xA0"
       "b\xE3\x80\x80.txt",
       "a b .txt", "a b .txt"},
      {"no-break spaces alone", "\xC2\xA0\xE2\x80\xAF", "_  ", "___"},
      {"a no-break space at the end", "report.pdf\xC2\xA0", "report.pdf ", "report.pdf_"},
      {"joiners between letters: Persian, Devanagari, emoji",
       "\xD9\x85\xDB\x8C\xE2\x80\x8C\xD8\xAE\xD9\x88\xD8\xA7\xD9\x87\xD9\x85 "
       "\xE0\xA4\x95\xE0\xA5\x8D\xE2\x80\x8D\xE0\xA4\xB7 "
       "\xF0\x9F\x91\xA9\xF0\x9F\x8F\xBD\xE2\x80\x8D\xF0\x9F\x92\xBB.txt",
       "\xD9\x85\xDB\x8C\xE2\x80\x8C\xD8\xAE\xD9\x88\xD8\xA7\xD9\x87\xD9\x85 "
       "\xE0\xA4\x95\xE0\xA5\x8D\xE2\x80\x8D\xE0\xA4\xB7 "
       "\xF0\x9F\x91\xA9\xF0\x9F\x8F\xBD\xE2\x80\x8D\xF0\x9F\x92\xBB.txt",
       "\xD9\x85\xDB\x8C\xE2\x80\x8C\xD8\xAE\xD9\x88\xD8\xA7\xD9\x87\xD9\x85 "
       "\xE0\xA4\x95\xE0\xA5\x8D\xE2\x80\x8D\xE0\xA4\xB7 "
       "\xF0\x9F\x91\xA9\xF0\x9F\x8F\xBD\xE2\x80\x8D\xF0\x9F\x92\xBB.txt"},
      {"joiners elsewhere",
       "\xE2\x80\x8D"
       "a\xE2\x80\x8C.b\xE2\x80\x8D\xE2\x80\x8D"
       "c",
       "_a_.b__c", "_a_.b__c"},
      {"variation selectors stay", "\xE2\x9D\xA4\xEF\xB8\x8F.txt", "\xE2\x9D\xA4\xEF\xB8\x8F.txt",
       "\xE2\x9D\xA4\xEF\xB8\x8F.txt"},
      // Windows devices and what Windows drops at the end of a name.
      {"console devices", "CONIN$", "CONIN$", "_CONIN$"},
      {"console devices before an extension", "conout$.txt", "conout$.txt", "_conout$.txt"},
      {"superscript ports", "COM\xC2\xB9.txt", "COM\xC2\xB9.txt", "_COM\xC2\xB9.txt"},
      {"superscript printers", "lpt\xC2\xB2", "lpt\xC2\xB2", "_lpt\xC2\xB2"},
      {"no port four", "COM\xE2\x81\xB4.txt", "COM\xE2\x81\xB4.txt", "COM\xE2\x81\xB4.txt"},
      {"a dot at the end", "notes.", "notes.", "notes_"},
      {"a space at the end", "report.pdf ", "report.pdf ", "report.pdf_"},
      {"too long, by bytes or UTF-16 units", long_latin + ".pdf", cut_latin_posix + ".pdf",
       cut_latin_windows + ".pdf"},
      {"too long beyond the BMP", long_emoji + ".txt", cut_emoji_posix + ".txt",
       cut_emoji_windows + ".txt"},
      {"too long, with an extension too long to keep",
       std::string(300, 'x') + "." + std::string(40, 'y'), std::string(255, 'x'),
       std::string(255, 'x')},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(safe_file_name(c.name, PathStyle::kPosix, NameCharacters::kOriginal), c.posix);
    EXPECT_EQ(safe_file_name(c.name, PathStyle::kWindows, NameCharacters::kOriginal), c.windows);
  }
}

TEST(SafeFileName, WhatWindowsDropsAtTheEndOfANameOrStem) {
  // Windows drops the spaces at the end of the stem, so the first ones still open the device;
  // and it drops the dots and spaces at the end of a name, so "notes." would be written as
  // "notes" while announced and listed as "notes.".
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"CON .txt", "_CON .txt"},
      {"nul ", "_nul_"},
      {"Aux   .pdf", "_Aux   .pdf"},
      {"com1 .tar.gz", "_com1 .tar.gz"},
      {"LPT9 ", "_LPT9_"},
      {"CON.", "_CON_"},
      {"notes.", "notes_"},
      {"report.pdf ", "report.pdf_"},
      {"a. . ", "a____"},
      {"_.", "__"},
  };
  for (const auto& [name, windows] : cases) {
    EXPECT_EQ(safe_file_name(name, PathStyle::kWindows), windows);
    EXPECT_EQ(safe_file_name(name, PathStyle::kPosix), name);
  }
}

// --- whole extractions --------------------------------------------------------------------------

// Announcements end in the output path: each must be the output directory and one name.
void expect_every_path_inside(const std::string& console, const std::string& directory) {
  std::size_t at = 0;
  int announced = 0;
  while ((at = console.find("Extracting file ", at)) != std::string::npos) {
    const std::size_t end = console.find('\n', at);
    const std::string line = console.substr(at, end - at);
    const std::size_t to = line.rfind(" to " + directory);
    ASSERT_NE(to, std::string::npos) << line;
    const std::string name = line.substr(to + 4 + directory.size());
    EXPECT_FALSE(name.empty()) << line;
    EXPECT_EQ(name.find('/'), std::string::npos) << line;
    EXPECT_EQ(name.find('\\'), std::string::npos) << line;
    EXPECT_TRUE(name != "." && name != "..") << line;
    ++announced;
    at = end;
  }
  EXPECT_GT(announced, 0);
}

std::vector<std::string> entries_in(const std::string& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The name reaches the output path in every way the scan knows: as a title preferred to a name
// without an extension, as an 8-bit and a Unicode name property, and as the title that the "#"
// fallback finds inside an unnamed attachment's own data.
ByteVector hostile_stream(const std::vector<std::string>& names) {
  TnefBuilder tnef;
  tnef.signature();
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    const std::string title = name.substr(0, 50);
    const std::string data = "contents " + std::to_string(i);
    switch (i % 4) {
      case 0:
        tnef.attach_title(title).attach_data(data);
        break;
      case 1: {
        testing::MapiBlock block;
        block.mapi_string8(testing::kPrAttachLongFilename, name.empty() ? "x" : name);
        tnef.attach_data(data).attachment_properties(block);
        break;
      }
      case 2: {
        testing::MapiBlock block;
        // Each byte as a code unit of its own, then as both bytes of one.
        std::u16string wide;
        for (unsigned char c : name.substr(0, 45)) wide.push_back(c);
        for (unsigned char c : name.substr(0, 45))
          wide.push_back(static_cast<char16_t>(c << 8 | c));
        block.mapi_unicode(testing::kPrAttachLongFilename, wide);
        tnef.attach_data(data).attachment_properties(block);
        break;
      }
      default: {
        // Far enough from every title before it that none is taken as this one's.
        tnef.filler(6000);
        TnefBuilder inner;
        inner.raw(data).attach_title(title);
        tnef.attach_data(inner.bytes());
        break;
      }
    }
  }
  return tnef.bytes();
}

TEST(SafeFileName, WholeRunsWriteOnlyIntoTheOutputDirectory) {
  const std::vector<std::string> names = hostile_names(600, 2);
  ScratchDirectory dir;
  const std::string source = dir / "in.dat";
  const std::string out = dir / "out";
  ASSERT_TRUE(fs::create_directory(out));
  ASSERT_TRUE(testing::write_file(source, hostile_stream(names)));

  ScriptedConsole console;
  const std::vector<std::string> args = {"kestrox", source, "q", out + "/"};
  const int result = run(args, console, PathStyle::kPosix);
  ASSERT_NE(result, kFailureResult) << console.out_text();
  EXPECT_GT(result, 100);
  expect_every_path_inside(console.out_text(), out + "/");
  EXPECT_EQ(entries_in(dir.path()), (std::vector<std::string>{"in.dat", "out"}));
  int files = 0;
  for (const auto& entry : fs::directory_iterator(out)) {
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(entry.path()))) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, result);
}

TEST(SafeFileName, WholeScansInTheWindowsStyleNameNoDevice) {
  const std::vector<std::string> names = hostile_names(0, 3);
  const ByteVector bytes = hostile_stream(names);
  ScratchDirectory dir;
  const OutputTarget target{dir.path() + "/", true, PathStyle::kWindows};
  ScriptedConsole console;
  ExtractionState state;
  const Outcome outcome = scan_attachments(bytes, target, console, state);
  ASSERT_FALSE(outcome.failed()) << outcome.failure;
  expect_every_path_inside(console.out_text(), target.directory);
  int files = 0;
  for (const std::string& name : entries_in(dir.path())) {
    EXPECT_FALSE(names_a_device(name)) << name;
    ++files;
  }
  EXPECT_EQ(files, state.files_written);

  // A repeated name is numbered: the number must not make a device of it ("COM" and 1).
  const std::vector<testing::AttachmentSpec> repeats = {{"COM", {1}, "Untitled Attachment"},
                                                        {"COM", {2}, "Untitled Attachment"},
                                                        {"lpt.x", {3}},
                                                        {"lpt.x", {4}}};
  ScratchDirectory repeated;
  const OutputTarget into{repeated.path() + "/", true, PathStyle::kWindows};
  ExtractionState repeat_state;
  ASSERT_FALSE(
      scan_attachments(testing::tnef_message(repeats), into, console, repeat_state).failed());
  for (const std::string& name : entries_in(repeated.path())) {
    EXPECT_FALSE(names_a_device(name)) << name;
  }
  EXPECT_EQ(repeat_state.files_written, 4);
}

}  // namespace
}  // namespace kestrox
