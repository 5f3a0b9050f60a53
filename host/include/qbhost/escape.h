#pragma once

// How text that comes from outside (RCON, the console, a peer's HTTP status
// line, a path) is written into a log or output line, so that it can never
// start a line of its own, reach a terminal as a control sequence or turn the
// rest of a line around:
//   "\" -> "\\", line feed -> "\n", carriage return -> "\r", tab -> "\t",
//   other bytes below 0x20 and 0x7F -> "\xHH" (two lower-case hex digits),
//   the C1 controls: a byte 0x80-0x9F that is not part of valid UTF-8 ->
//   "\xHH", the characters U+0080-U+009F -> "\u{80}" .. "\u{9f}",
//   the bidirectional controls U+202A-U+202E and U+2066-U+2069 ->
//   "\u{202a}" .. "\u{202e}", "\u{2066}" .. "\u{2069}" (lower-case hex,
//   no leading zeros),
//   and, with `escapeSpace`, the space -> "\x20".
// Everything else is kept as it is: umlauts, emoji, CJK, and also bytes that
// are not valid UTF-8 outside 0x80-0x9F (a terminal shows those as a
// replacement character, never as a command).
//
//   EscapeText("Der Admin\n", false)      -> "Der Admin\n" (backslash and n)
//   EscapeText("Der Admin", true)         -> "Der\x20Admin"
//   EscapeText("a\xc2\x9b" "b")           -> "a\u{9b}b"
//   EscapeText("\xe2\x80\xae" "gnp.exe")  -> "\u{202e}gnp.exe"

#include <string>
#include <string_view>

#include "qbhost/standin.h"

namespace qbhost {

QB_STANDIN_API std::string EscapeText(std::string_view text, bool escapeSpace = false);

// The last guard of the log sinks: the same escapes for control characters
// (C0, DEL, C1, bidirectional controls), but a backslash and the space stay as
// they are, since the line's writer has escaped what came from outside.
//   EscapeControls("C:\\dir \x1b[2J")  -> "C:\\dir \\x1b[2J"
//   (the backslash and the space stay, the ESC byte becomes the text "\x1b")
QB_STANDIN_API std::string EscapeControls(std::string_view line);

// ASCII letters in lower case, every other byte as it is: HTTP header names,
// URL schemes, console and RCON command words.
//   Lower("Content-Type") -> "content-type"
QB_STANDIN_API std::string Lower(std::string_view text);

// The one UTF-8 decoder of the stand-in and the dev server: the code point of
// the well-formed sequence at the start of `text` and its length, or 0 when
// there is none (overlong forms, surrogates and values above U+10FFFF too).
//   DecodeUtf8("\xC3\xA4x", cp) -> 2, cp == U'\u00E4';   DecodeUtf8("\xC0\x80", cp) -> 0
QB_STANDIN_API std::size_t DecodeUtf8(std::string_view text, char32_t& cp);

}  // namespace qbhost
