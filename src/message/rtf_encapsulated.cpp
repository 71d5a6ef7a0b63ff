// Taking the HTML or text an RTF body encapsulates back out of it ([MS-OXRTFEX] 2.1.3).
#include "message/rtf_encapsulated.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "message/cursor.h"
#include "text/charsets.h"

namespace kestrox {

namespace {

constexpr std::uint32_t kWindows1252 = 1252;
// Longer control words are not RTF; their letters are read but never match a known word.
constexpr std::size_t kLongestControlWord = 32;
// Numeric parameters are 16 or 32 bits in RTF; longer digit runs are read and held at this.
constexpr std::int64_t kLargestParameter = 1'000'000'000'000;

// Where the text of a group goes.
enum class Destination {
  kBody,       // the document's text
  kHtmlTag,    // {\*\htmltag ...}: a piece of the original HTML
  kFontTable,  // {\fonttbl ...}: the fonts' code pages are read, nothing is written
  kSkipped,    // any other destination: neither written nor read
};

struct GroupState {
  Destination destination = Destination::kBody;
  int font = -1;             // -1: the document's default font
  int unicode_fallback = 1;  // \ucN: characters after each \uN meant for readers without Unicode
  bool html_rtf = false;     // inside an \htmlrtf span: RTF the original did not have
  bool first_token = true;   // nothing read in the group yet: a destination word may follow
  bool ignorable = false;    // the group opened with \*
};

// The code page of a font's \fcharset ([MS-OXRTFEX] follows the RTF specification here).
std::optional<std::uint32_t> code_page_of_charset(std::int64_t charset) {
  struct Pair {
    std::int64_t charset;
    std::uint32_t code_page;
  };
  constexpr Pair kPairs[] = {
      {0, 1252},   {77, 10000}, {128, 932},  {129, 949},  {130, 1361}, {134, 936},
      {136, 950},  {161, 1253}, {162, 1254}, {163, 1258}, {177, 1255}, {178, 1256},
      {186, 1257}, {204, 1251}, {222, 874},  {238, 1250}, {254, 437},  {255, 850},
  };
  for (const Pair& pair : kPairs) {
    if (pair.charset == charset) return pair.code_page;
  }
  return std::nullopt;  // 1 (the default) and 2 (symbols) among them: the document's code page
}

// Control words that stand for one character.
char32_t character_of(std::string_view word) {
  struct Pair {
    std::string_view word;
    char32_t character;
  };
  constexpr Pair kPairs[] = {
      {"lquote", 0x2018},  {"rquote", 0x2019},  {"ldblquote", 0x201C}, {"rdblquote", 0x201D},
      {"bullet", 0x2022},  {"endash", 0x2013},  {"emdash", 0x2014},    {"enspace", 0x2002},
      {"emspace", 0x2003}, {"qmspace", 0x2005}, {"zwj", 0x200D},       {"zwnj", 0x200C},
      {"ltrmark", 0x200E}, {"rtlmark", 0x200F},
  };
  for (const Pair& pair : kPairs) {
    if (pair.word == word) return pair.character;
  }
  return 0;
}

// Destinations whose text is not the document's: their groups are passed over whole.
bool is_skipped_destination(std::string_view word) {
  constexpr std::string_view kWords[] = {
      "colortbl",     "stylesheet", "info",     "pict",      "object",
      "header",       "headerl",    "headerr",  "headerf",   "footer",
      "footerl",      "footerr",    "footerf",  "footnote",  "fldinst",
      "pntext",       "pntxta",     "pntxtb",   "listtable", "listoverridetable",
      "revtbl",       "rsidtbl",    "filetbl",  "themedata", "colorschememapping",
      "latentstyles", "datastore",  "xmlnstbl", "generator", "annotation",
  };
  return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

class Deencapsulator {
 public:
  explicit Deencapsulator(std::string_view rtf)
      : cursor_(std::span(reinterpret_cast<const std::uint8_t*>(rtf.data()), rtf.size())) {
    groups_.emplace_back();
  }

  std::optional<Encapsulated> run() {
    while (const std::optional<std::uint8_t> byte = cursor_.read_u8()) {
      switch (*byte) {
        case '{':
          open_group();
          break;
        case '}':
          close_group();
          break;
        case '\\':
          control();
          break;
        case '\r':
        case '\n':
          break;  // line ends in RTF are not text
        default:
          text_byte(*byte);
          break;
      }
      if (not_encapsulated_) return std::nullopt;
    }
    flush();
    flush_surrogate();
    if (!kind_) return std::nullopt;
    return Encapsulated{*kind_, std::move(out_)};
  }

 private:
  GroupState& state() { return groups_.back(); }

  void open_group() {
    // The declaration belongs to the header, before its first table: a document whose first
    // group inside it opens without one encapsulates nothing, and is not read further.
    if (!kind_ && groups_.size() >= 2) {
      not_encapsulated_ = true;
      return;
    }
    flush();
    GroupState inner = state();
    inner.first_token = true;
    inner.ignorable = false;
    groups_.push_back(inner);  // one per '{' read: the stack is bounded by the input
    fallback_left_ = 0;
  }

  void close_group() {
    flush();
    if (groups_.size() > 1) groups_.pop_back();  // an unbalanced '}' closes nothing
    fallback_left_ = 0;
  }

  // Whether the current group's text is written.
  bool writing() {
    const GroupState& group = state();
    if (group.html_rtf) return false;
    return group.destination == Destination::kBody || group.destination == Destination::kHtmlTag;
  }

  // A byte of text, raw or escaped: kept until the run ends, so that double-byte pairs are
  // decoded together.
  void text_byte(std::uint8_t byte) {
    state().first_token = false;
    if (fallback_left_ > 0) {
      --fallback_left_;
      return;
    }
    if (!writing()) return;
    if (!kind_) {
      not_encapsulated_ = true;  // text before the header declared what it holds
      return;
    }
    flush_surrogate();
    const std::uint32_t code_page = current_code_page();
    if (!pending_.empty() && pending_code_page_ != code_page) flush();
    pending_code_page_ = code_page;
    if (byte != 0) pending_ += static_cast<char>(byte);
  }

  void character(char32_t c) {
    if (!writing() || !kind_) return;
    flush();
    if (c >= 0xD800 && c <= 0xDBFF) {
      flush_surrogate();
      high_surrogate_ = c;
      return;
    }
    if (c >= 0xDC00 && c <= 0xDFFF && high_surrogate_ != 0) {
      c = 0x10000 + ((high_surrogate_ - 0xD800) << 10) + (c - 0xDC00);
      high_surrogate_ = 0;
    }
    flush_surrogate();
    append_utf8(out_, c);  // a lone surrogate comes out as U+FFFD
  }

  void text(std::string_view ascii) {
    if (!writing() || !kind_) return;
    flush();
    flush_surrogate();
    out_ += ascii;
  }

  void flush() {
    if (pending_.empty()) return;
    const auto bytes =
        std::span(reinterpret_cast<const std::uint8_t*>(pending_.data()), pending_.size());
    out_ += utf8_from_code_page(bytes, pending_code_page_);
    pending_.clear();
  }

  void flush_surrogate() {
    if (high_surrogate_ == 0) return;
    append_utf8(out_, high_surrogate_);
    high_surrogate_ = 0;
  }

  std::uint32_t current_code_page() const {
    const int font = groups_.back().font >= 0 ? groups_.back().font : default_font_;
    if (const auto found = font_code_pages_.find(font); found != font_code_pages_.end())
      return found->second;
    return document_code_page_;
  }

  // After a backslash: a control word, a control symbol or an escape.
  void control() {
    const std::optional<std::uint8_t> next = cursor_.read_u8();
    if (!next) return;
    const char symbol = static_cast<char>(*next);
    if (symbol == '\'') {
      hex_escape();
      return;
    }
    if (!is_letter(symbol)) {
      control_symbol(symbol);
      return;
    }
    std::string word(1, symbol);
    while (cursor_.left() > 0 && is_letter(static_cast<char>(cursor_.rest()[0]))) {
      const char letter = static_cast<char>(*cursor_.read_u8());
      if (word.size() <= kLongestControlWord) word += letter;
    }
    const std::optional<std::int64_t> parameter = read_parameter();
    if (cursor_.left() > 0 && cursor_.rest()[0] == ' ') cursor_.skip(1);  // the delimiter
    control_word(word, parameter);
  }

  static bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

  std::optional<std::int64_t> read_parameter() {
    bool negative = false;
    if (cursor_.left() >= 2 && cursor_.rest()[0] == '-' && cursor_.rest()[1] >= '0' &&
        cursor_.rest()[1] <= '9') {
      negative = true;
      cursor_.skip(1);
    }
    std::optional<std::int64_t> value;
    while (cursor_.left() > 0 && cursor_.rest()[0] >= '0' && cursor_.rest()[0] <= '9') {
      const int digit = *cursor_.read_u8() - '0';
      value = std::min(value.value_or(0) * 10 + digit, kLargestParameter);
    }
    if (value && negative) *value = -*value;
    return value;
  }

  static int hex_value(std::uint8_t digit) {
    if (digit >= '0' && digit <= '9') return digit - '0';
    if (digit >= 'a' && digit <= 'f') return digit - 'a' + 10;
    if (digit >= 'A' && digit <= 'F') return digit - 'A' + 10;
    return -1;
  }

  // \'xx: a byte in the current code page. A broken escape is dropped, and what follows it is
  // read as it is.
  void hex_escape() {
    const Cursor::Bytes rest = cursor_.rest();
    if (rest.size() < 2 || hex_value(rest[0]) < 0 || hex_value(rest[1]) < 0) return;
    cursor_.skip(2);
    text_byte(static_cast<std::uint8_t>(hex_value(rest[0]) * 16 + hex_value(rest[1])));
  }

  void control_symbol(char symbol) {
    if (symbol == '*') {
      state().ignorable = true;  // the destination word that follows decides
      return;
    }
    state().first_token = false;
    if (fallback_left_ > 0) {
      --fallback_left_;
      return;
    }
    switch (symbol) {
      case '\\':
      case '{':
      case '}':
        text_byte(static_cast<std::uint8_t>(symbol));
        break;
      case '~':
        character(0x00A0);  // no-break space
        break;
      case '_':
        character(0x2011);  // no-break hyphen
        break;
      case '\r':
      case '\n':
        text("\r\n");  // a backslash before a line end is a \par
        break;
      default:
        break;  // \- (an optional hyphen), \: (an index entry's colon) and the others show nothing
    }
  }

  void control_word(std::string_view word, std::optional<std::int64_t> parameter) {
    GroupState& group = state();
    const bool first = group.first_token;
    group.first_token = false;
    if (group.ignorable && first) {
      // {\*\word ...}: a destination a reader may ignore; htmltag is the one this reader wants.
      group.destination = word == "htmltag" && group.destination == Destination::kBody
                              ? Destination::kHtmlTag
                              : Destination::kSkipped;
      return;
    }
    if (word == "bin") {
      // \binN: N raw bytes (a picture's, say) that may hold braces and backslashes of any kind.
      const std::int64_t length = std::max<std::int64_t>(parameter.value_or(0), 0);
      cursor_.skip(std::min<std::size_t>(static_cast<std::size_t>(length), cursor_.left()));
      return;
    }
    if (word == "htmlrtf") {
      group.html_rtf = parameter.value_or(1) != 0;  // a toggle: \htmlrtf0 ends the span
      return;
    }
    if (fallback_left_ > 0) {
      --fallback_left_;
      return;
    }
    if (word == "fonttbl") {
      group.destination = Destination::kFontTable;
    } else if (is_skipped_destination(word)) {
      group.destination = Destination::kSkipped;
    } else if (group.destination == Destination::kFontTable) {
      font_table_word(word, parameter);
    } else if (group.destination == Destination::kSkipped) {
      // nothing in a skipped group counts
    } else if (word == "f") {
      flush();
      group.font = static_cast<int>(std::clamp<std::int64_t>(parameter.value_or(0), 0, 1 << 20));
    } else if (word == "u" && parameter) {
      // A signed 16-bit value, which writers also give unsigned.
      const std::int64_t code = *parameter < 0 ? *parameter + 65536 : *parameter;
      character(code >= 0 && code <= 0xFFFF ? static_cast<char32_t>(code) : 0xFFFD);
      fallback_left_ = group.unicode_fallback;
    } else if (word == "uc") {
      group.unicode_fallback =
          static_cast<int>(std::clamp<std::int64_t>(parameter.value_or(1), 0, 16));
    } else if (word == "par" || word == "line") {
      text("\r\n");
    } else if (word == "tab") {
      text("\t");
    } else if (char32_t c = character_of(word); c != 0) {
      character(c);
    } else if (groups_.size() <= 2) {
      header_word(word, parameter);
    }
  }

  // The header's declarations: what the document encapsulates, its code page, its default font.
  void header_word(std::string_view word, std::optional<std::int64_t> parameter) {
    if (word == "fromhtml" && parameter.value_or(1) != 0 && !kind_) {
      kind_ = EncapsulatedKind::kHtml;
    } else if (word == "fromtext" && !kind_) {
      kind_ = EncapsulatedKind::kText;
    } else if (word == "ansicpg" && parameter && *parameter > 0 && *parameter <= 65535) {
      document_code_page_ = static_cast<std::uint32_t>(*parameter);
    } else if (word == "deff" && parameter) {
      default_font_ = static_cast<int>(std::clamp<std::int64_t>(*parameter, 0, 1 << 20));
    }
  }

  void font_table_word(std::string_view word, std::optional<std::int64_t> parameter) {
    if (word == "f") {
      defining_font_ =
          static_cast<int>(std::clamp<std::int64_t>(parameter.value_or(0), 0, 1 << 20));
    } else if (word == "fcharset" && parameter) {
      // A font table has one entry per font, so this map holds no more than the input's words.
      if (const std::optional<std::uint32_t> code_page = code_page_of_charset(*parameter))
        font_code_pages_[defining_font_] = *code_page;
    } else if (word == "cpg" && parameter && *parameter > 0 && *parameter <= 65535) {
      font_code_pages_[defining_font_] = static_cast<std::uint32_t>(*parameter);
    }
  }

  Cursor cursor_;
  std::vector<GroupState> groups_;
  std::optional<EncapsulatedKind> kind_;
  bool not_encapsulated_ = false;
  std::uint32_t document_code_page_ = kWindows1252;
  int default_font_ = 0;
  int defining_font_ = 0;
  std::map<int, std::uint32_t> font_code_pages_;
  std::int64_t fallback_left_ = 0;
  std::string pending_;
  std::uint32_t pending_code_page_ = kWindows1252;
  char32_t high_surrogate_ = 0;
  std::string out_;
};

}  // namespace

std::optional<Encapsulated> deencapsulate_rtf(std::string_view rtf) {
  return Deencapsulator(rtf).run();
}

}  // namespace kestrox
