#pragma once

// The dev server's own output lines (console answers, chat deliveries, webhook
// requests) and how a value is written into one of them.
//
// A line is a keyword followed by key=value fields. Values are escaped so that
// a line is always one line and splits unambiguously:
//   "\" -> "\\", line feed -> "\n", carriage return -> "\r", tab -> "\t",
//   other bytes below 0x20 and 0x7F -> "\xHH" (two lower-case hex digits).
// A field that is not the last of its line also escapes the space, as "\x20";
// the last field runs to the end of the line and keeps its spaces.
// Everything else, UTF-8 included, is written as it is.
//
//   EscapeField("Der Admin", false)  -> "Der\x20Admin"
//   EscapeField("a\nb \\ c", true)   -> "a\nb \\ c" (with the escapes written out)

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <spdlog/sinks/sink.h>

namespace devserver {

std::string EscapeField(std::string_view value, bool last);
// Reverses EscapeField (for scripts and tests written in C++). Malformed
// escapes are kept as they are.
std::string UnescapeField(std::string_view value);

// Writes one finished line (without its line end). Thread-safe.
using LinePrinter = std::function<void(std::string_view line)>;

// A printer over a host sink: the line goes through the sink's lock, so it
// never tears a log line that another thread writes to the same stream, and
// the sink is flushed at once for scripts that read through a pipe.
LinePrinter SinkPrinter(std::shared_ptr<spdlog::sinks::sink> sink);

}  // namespace devserver
