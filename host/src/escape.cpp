#include "qbhost/escape.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include <fmt/format.h>

#include "host_internal.h"

namespace qbhost {
namespace {

bool IsControlCharacter(char32_t cp) {
  return (cp >= 0x80 && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

void AppendByte(std::string& out, unsigned char byte) {
  fmt::format_to(std::back_inserter(out), "\\x{:02x}", byte);
}

std::string Escape(std::string_view text, bool backslashes, bool escapeSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      // A byte that starts no UTF-8 sequence stands alone (length 1); those in
      // 0x80-0x9F are C1 controls to an 8-bit terminal.
      char32_t cp = 0;
      const std::size_t length = std::max<std::size_t>(DecodeUtf8(text.substr(i), cp), 1);
      if (length == 1 && byte <= 0x9F) {
        AppendByte(out, byte);
      } else if (length > 1 && IsControlCharacter(cp)) {
        fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<std::uint32_t>(cp));
      } else {
        out.append(text.substr(i, length));
      }
      i += length;
      continue;
    }
    ++i;
    const char* named = c == '\\'   ? "\\\\"
                        : c == '\n' ? "\\n"
                        : c == '\r' ? "\\r"
                        : c == '\t' ? "\\t"
                                    : nullptr;
    if (backslashes && named != nullptr) {
      out += named;
      continue;
    }
    if (byte < 0x20 || byte == 0x7F || (c == ' ' && escapeSpace)) {
      AppendByte(out, byte);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string EscapeText(std::string_view text, bool escapeSpace) {
  return Escape(text, true, escapeSpace);
}

std::string EscapeControls(std::string_view line) {
  return Escape(line, false, false);
}

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace qbhost
