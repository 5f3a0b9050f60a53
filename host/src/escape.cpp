#include "qbhost/escape.h"

#include <cstdint>

namespace qbhost {
namespace {

constexpr char kHex[] = "0123456789abcdef";

// The code point of the valid UTF-8 sequence at the start of `text` and its
// length, or length 0 when the bytes there are not valid UTF-8 (overlong
// forms, surrogates and values above U+10FFFF included).
struct Decoded {
  char32_t codePoint = 0;
  std::size_t length = 0;
};

Decoded DecodeUtf8(std::string_view text) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t cp = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    cp = lead & 0x1Fu;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    cp = lead & 0x0Fu;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    cp = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return {};
  }
  if (text.size() < length) return {};
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return {};
    cp = (cp << 6) | (byte(i) & 0x3Fu);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
  return {cp, length};
}

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
      Decoded d = DecodeUtf8(text.substr(i));
      if (d.length == 0) {
        // Not UTF-8: a lone byte; 0x80-0x9F are C1 controls to an 8-bit terminal.
        if (byte <= 0x9F) {
          AppendByte(out, byte);
        } else {
          out += c;
        }
        ++i;
      } else if (IsControlCharacter(d.codePoint)) {
        AppendCodePoint(out, d.codePoint);
        i += d.length;
      } else {
        out.append(text.substr(i, d.length));
        i += d.length;
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
