// The gates between the input and the outside: file names made safe to create, and text made
// safe to show on the console.
#pragma once

#include <string>
#include <string_view>

#include "platform/host.h"

namespace kestrox {

// Which names the gate lets through: only '@', '-', '.', space, ASCII letters and digits (the
// default), or the sender's own names in any script (UTF-8), which keep every character but
// those no file name should hold.
enum class NameCharacters { kPortable, kOriginal };

// The one gate for every file name put behind the output directory: the result is a single,
// non-empty name that holds no separator of either style, is neither "." nor "..", in the POSIX
// style begins with neither '.' (a hidden file) nor '-' (an option), and in the Windows style
// names no device (CONIN$, COM with a superscript digit), is not made of dots and spaces alone, nor
// ends in a dot or a space (which Windows would drop). Original names are also cut to what a file
// system takes: 255 bytes, or 255 UTF-16 units in the Windows style; and one made of spaces and
// dots alone is prefixed in both styles.
std::string safe_file_name(std::string_view name, PathStyle style,
                           NameCharacters characters = NameCharacters::kPortable);

// The characters of a name as the sender wrote it, with each one that no file name should hold
// made '_': those that show nothing (controls, format and direction marks, separators of lines,
// the default ignorable characters, a joiner that joins no two letters), the characters Windows
// refuses (/ \ : * ? " < > |) and bytes that are no UTF-8. Every other space becomes U+0020.
std::string mask_name_characters(std::string_view name);

// Text from the input or the command line as it may be shown on the console: control bytes
// become '_'. Everywhere that is 0x01-0x1F and 0x7F. In the POSIX style the C1 controls too:
// on a UTF-8 console each U+0080-U+009F (C2 80-C2 9F) becomes one '_', and so does every other
// byte 0x80-0x9F that is not part of a well-formed UTF-8 character; on any other console every
// byte 0x80-0x9F becomes '_'. Wherever the console reads UTF-8 (a UTF-8 POSIX console, and in
// the Windows style), and for original names, each well-formed character that shows nothing, as
// the name gate masks it, is one '_' too; every other character is shown as it is. Original
// names on a POSIX console that is not UTF-8 show '?' for each character beyond ASCII.
std::string console_safe(std::string_view text, PathStyle style, bool utf8_console,
                         NameCharacters characters = NameCharacters::kPortable);

}  // namespace kestrox
