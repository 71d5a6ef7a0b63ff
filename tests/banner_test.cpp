// The banner's exact bytes in both forms.
#include <gtest/gtest.h>

#include "driver/banner.h"

namespace kestrox {
namespace {

std::string row(unsigned char left, std::string_view inner, unsigned char right) {
  std::string out(1, static_cast<char>(left));
  out += inner;
  out += static_cast<char>(right);
  return out;
}

std::string padded(std::string_view text) {
  std::string out(text);
  out.resize(78, ' ');
  return out;
}

TEST(Banner, CodePage437BytesAreExact) {
  const std::string line(78, static_cast<char>(205));
  std::string expected = row(201, line, 187) +
                         row(186, padded(" Kestrox.exe version 1.0"), 186) + row(204, line, 185) +
                         row(186,
                             " Drag and drop a WINMAIL.DAT file onto this program's icon to get "
                             "attachments ",
                             186) +
                         row(186, padded(" Or run from command line with a filename as the argument."),
                             186) +
                         row(200, line, 188) + "\n";
  const std::string banner = banner_text(BannerStyle::kCodePage437);
  EXPECT_EQ(banner, expected);
  EXPECT_EQ(banner.size(), 481u);
  EXPECT_EQ(banner.find('\n'), 480u);
}

TEST(Banner, Utf8FormHasBoxCharactersAndANewlinePerRow) {
  std::string line;
  for (int i = 0; i < 78; ++i) line += "\u2550";
  const std::string expected =
      "\u2554" + line + "\u2557\n" + "\u2551" + padded(" Kestrox.exe version 1.0") + "\u2551\n" +
      "\u2560" + line + "\u2563\n" + "\u2551" +
      " Drag and drop a WINMAIL.DAT file onto this program's icon to get attachments " +
      "\u2551\n" + "\u2551" + padded(" Or run from command line with a filename as the argument.") +
      "\u2551\n" + "\u255A" + line + "\u255D\n";
  EXPECT_EQ(banner_text(BannerStyle::kUtf8), expected);
}

}  // namespace
}  // namespace kestrox
