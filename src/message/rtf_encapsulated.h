// The HTML or plain text that an RTF body encapsulates ([MS-OXRTFEX]), taken back out as UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrox {

enum class EncapsulatedKind { kHtml, kText };

struct Encapsulated {
  EncapsulatedKind kind = EncapsulatedKind::kHtml;
  std::string text;  // UTF-8, line ends as CR LF where the RTF wrote \par
};

// What `rtf` encapsulates: the HTML of a document whose header declares \fromhtml1 (the
// \*\htmltag groups and the text between them, \htmlrtf spans left out), or the text of one that
// declares \fromtext. \'xx escapes are decoded by the code page of the current font's \fcharset
// (else \ansicpg), \uN gives its character and skips its \ucN fallback. Nothing when the document
// declares neither. Any input is read in one pass, in time and memory linear in its size.
std::optional<Encapsulated> deencapsulate_rtf(std::string_view rtf);

}  // namespace kestrox
