// The banner: a double-line frame around the program's name and the two ways of starting it.
#include "driver/banner.h"

namespace kestrox {

namespace {

constexpr std::size_t kInnerWidth = 78;

constexpr std::string_view kUsage1 =
    " Drag and drop a WINMAIL.DAT file onto this program's icon to get attachments ";
constexpr std::string_view kUsage2 = " Or run from command line with a filename as the argument.";

static_assert(kUsage1.size() == kInnerWidth);
static_assert(13 + kVersionLabel.size() <= kInnerWidth, "the version label breaks the frame");

// The code-page-437 glyphs and their Unicode box-drawing equivalents.
enum Glyph { kTopLeft, kHorizontal, kTopRight, kVertical, kTeeRight, kTeeLeft, kBottomLeft,
             kBottomRight };
constexpr unsigned char kCodePage437[] = {201, 205, 187, 186, 204, 185, 200, 188};
constexpr std::string_view kUtf8[] = {"\u2554", "\u2550", "\u2557", "\u2551",
                                      "\u2560", "\u2563", "\u255A", "\u255D"};

std::string padded(std::string_view text) {
  std::string row(text);
  row.resize(kInnerWidth, ' ');
  return row;
}

}  // namespace

std::string banner_text(BannerStyle style) {
  const bool utf8 = style == BannerStyle::kUtf8;
  std::string out;
  auto glyph = [&](Glyph g) {
    if (utf8) {
      out += kUtf8[g];
    } else {
      out += static_cast<char>(kCodePage437[g]);
    }
  };
  // A code-page-437 console of 80 columns wraps after each row by itself; a UTF-8 terminal
  // rarely is exactly that wide, so there every row gets its own newline.
  auto row_end = [&] {
    if (utf8) out += '\n';
  };
  auto border = [&](Glyph left, Glyph right) {
    glyph(left);
    for (std::size_t i = 0; i < kInnerWidth; ++i) glyph(kHorizontal);
    glyph(right);
  };
  auto text_row = [&](std::string_view text) {
    glyph(kVertical);
    out += padded(text);
    glyph(kVertical);
    row_end();
  };

  border(kTopLeft, kTopRight);
  row_end();
  text_row(std::string(" Kestrox.exe ") + std::string(kVersionLabel));
  border(kTeeRight, kTeeLeft);
  row_end();
  text_row(kUsage1);
  text_row(kUsage2);
  border(kBottomLeft, kBottomRight);
  out += '\n';
  return out;
}

std::string usage_text(PathStyle style) {
  const bool windows = style == PathStyle::kWindows;
  const std::string name = windows ? "Kestrox.exe" : "kestrox";
  std::string text = "Usage: " + name + " [OPTION...] [SOURCE [OPTIONS [OUTPUT-DIRECTORY]]]\n";
  text +=
      "Recovers the attached files from a TNEF file (winmail.dat), also from a MIME message\n"
      "that carries one.\n"
      "\n"
      "  SOURCE            the TNEF file or message; - reads it from standard input.\n"
      "                    Default: winmail.dat in the working directory, else the one\n"
      "                    beside the program.\n"
      "  OPTIONS           q (any word beginning with q or Q), -q or --quiet: a quiet run,\n"
      "                    which never waits for a key and keeps existing files. Any other\n"
      "                    word only holds the place of the third argument.\n"
      "  OUTPUT-DIRECTORY  where the files go. Default: the directory of SOURCE (the\n"
      "                    working directory for -).\n"
      "\n"
      "Options before SOURCE:\n"
      "  -q, --quiet           a quiet run, as above\n"
      "  -o, --output DIR      write the files into DIR (then no OUTPUT-DIRECTORY)\n"
      "  --keep-both           give a name that is taken a number, never ask\n"
      "  --original-names      keep the letters of every language in the names\n"
      "  --message             also write the message's text, its meeting (.ics) and the\n"
      "                        messages attached to it (.eml)\n"
      "  --                    the end of the options: a SOURCE may begin with -\n"
      "\n"
      "For scripts: " + name + " --batch [OPTION...] SOURCE...\n"
      "  --batch               every word after the options is a SOURCE; no banner, no\n"
      "                        question, no wait; one line per file written: SOURCE, a tab,\n"
      "                        LENGTH, a tab, PATH; failures on standard error; -o DIR is\n"
      "                        made where missing, and a file that exists is kept\n"
      "  --json                the same as JSON Lines (source, path, length, kind, title)\n"
      "  --list                the same lines, each with the path it would get; writes\n"
      "                        nothing\n"
      "\n"
      "Before a file that already exists is replaced, the question\n"
      "\"File already exists, press Y to overwrite ...\" waits for one key: Y or y\n"
      "replaces the file, any other key keeps it.\n"
      "\n";
  text += windows ? "Exit status: the number of files written, or 999 when the run failed.\n"
                  : "Exit status: the number of files written (at most 230), or 231 when the\n"
                    "run failed; the reason is then on standard error.\n";
  text +=
      "With --batch, --json or --list: 0 when every source was read and every file written\n"
      "or kept, 1 when one was not, 2 for invalid arguments.\n";
  text += "\n" + name + (windows ? " /?, -h or --help" : " -h or --help") + " shows this text; " +
          name + " --version the version.\n";
  text += windows ? "More in README.md beside the program.\n"
                  : "More in \"man kestrox\" and in the README.\n";
  return text;
}

std::string version_text() { return "kestrox " + std::string(kVersion) + "\n"; }

}  // namespace kestrox
