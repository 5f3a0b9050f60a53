#pragma once

// How text that comes from outside (RCON, the console, a peer's HTTP status
// line, a path) is written into a log or output line, so that it can never
// start a line of its own or reach a terminal as a control sequence:
//   "\" -> "\\", line feed -> "\n", carriage return -> "\r", tab -> "\t",
//   other bytes below 0x20 and 0x7F -> "\xHH" (two lower-case hex digits),
//   and, with `escapeSpace`, the space -> "\x20".
// Everything else, UTF-8 included, is kept as it is.
//
//   EscapeText("Der Admin\n", false) -> "Der Admin\n" (backslash and n)
//   EscapeText("Der Admin", true)    -> "Der\x20Admin"

#include <string>
#include <string_view>

#include "qbhost/standin.h"

namespace qbhost {

QB_STANDIN_API std::string EscapeText(std::string_view text, bool escapeSpace = false);

}  // namespace qbhost
