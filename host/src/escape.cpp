#include "qbhost/escape.h"

#include <cstdint>

#include "host_internal.h"

namespace qbhost {
namespace {

constexpr char kHex[] = "0123456789abcdef";

bool IsControlCharacter(char32_t cp) {
  return (cp >= 0x80 && cp <= 0x9F) || (cp >= 0x202A && cp <= 0x202E) ||
         (cp >= 0x2066 && cp <= 0x2069);
}

void AppendByte(std::string& out, unsigned char byte) {
  out += "\\x";
  out += kHex[byte >> 4];
  out += kHex[byte & 0xF];
}

void AppendCodePoint(std::string& out, char32_t cp) {
  char digits[8];
  std::size_t n = 0;
  do {
    digits[n++] = kHex[cp & 0xF];
    cp >>= 4;
  } while (cp != 0);
  out += "\\u{";
  while (n > 0) out += digits[--n];
  out += '}';
}

std::string Escape(std::string_view text, bool backslashes, bool escapeSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x80) {
      char32_t cp = 0;
      const std::size_t length = DecodeUtf8(text.substr(i), cp);
      if (length == 0) {
        // Not UTF-8: a lone byte; 0x80-0x9F are C1 controls to an 8-bit terminal.
        if (byte <= 0x9F) {
          AppendByte(out, byte);
        } else {
          out += c;
        }
        ++i;
      } else {
        if (IsControlCharacter(cp)) {
          AppendCodePoint(out, cp);
        } else {
          out.append(text.substr(i, length));
        }
        i += length;
      }
      continue;
    }
    ++i;
    if (backslashes) {
      switch (c) {
        case '\\':
          out += "\\\\";
          continue;
        case '\n':
          out += "\\n";
          continue;
        case '\r':
          out += "\\r";
          continue;
        case '\t':
          out += "\\t";
          continue;
        default:
          break;
      }
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
