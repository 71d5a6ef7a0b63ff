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

}  // namespace kestrox
