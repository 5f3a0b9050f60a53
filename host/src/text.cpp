// Text conversion of the engine (UTF-16 <-> UTF-8) and the host's FString
// constructors. The host's rule: what cannot be represented in the target
// encoding (a lone surrogate, a malformed UTF-8 sequence) becomes one "?".

#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "host_internal.h"
#include "qbhost/standin.h"

namespace {

// Encodes one code point; returns the number of bytes written (at most 4).
int EncodeUtf8(char32_t cp, char* out) {
  if (cp < 0x80) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

bool IsHigh(char32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// Length of the run of ASCII units (below 0x80) at the start of src[0, len).
// Chat lines are mostly ASCII: 16 bytes at a time are tested in two 64-bit
// words against the bits a non-ASCII unit sets, the last few one by one.
template <class Unit>
std::int32_t AsciiRun(const Unit* src, std::int32_t len) {
  constexpr std::uint64_t kNonAscii =
      sizeof(Unit) == 1 ? 0x8080808080808080ULL : 0xFF80FF80FF80FF80ULL;
  constexpr std::int32_t kPerWord = 8 / sizeof(Unit);
  std::int32_t i = 0;
  for (; i + 2 * kPerWord <= len; i += 2 * kPerWord) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, src + i, sizeof a);
    std::memcpy(&b, src + i + kPerWord, sizeof b);
    if (((a | b) & kNonAscii) != 0) break;
  }
  while (i < len && static_cast<std::make_unsigned_t<Unit>>(src[i]) < 0x80) ++i;
  return i;
}

// Walks UTF-16 text: each run of ASCII units goes to `ascii(first, count)` in
// one piece, every other code point to `emit`; a lone surrogate yields '?'.
// Either may return false to stop the walk, which then returns false.
template <class Ascii, class Emit>
bool WalkUtf16(const EngineChar* src, std::int32_t len, Ascii ascii, Emit emit) {
  for (std::int32_t i = 0; i < len;) {
    const std::int32_t run = AsciiRun(src + i, len - i);
    if (run > 0) {
      if (!ascii(src + i, run)) return false;
      i += run;
      if (i == len) break;
    }
    char32_t u = static_cast<char16_t>(src[i]);
    char32_t cp = u;
    if (IsHigh(u) && i + 1 < len && IsLow(static_cast<char16_t>(src[i + 1]))) {
      char32_t low = static_cast<char16_t>(src[i + 1]);
      cp = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
      ++i;
    } else if (IsHigh(u) || IsLow(u)) {
      cp = U'?';
    }
    if (!emit(cp)) return false;
    ++i;
  }
  return true;
}

// Decodes one UTF-8 sequence at src[i]; returns its length, or 0 when the byte
// at i does not start a well-formed sequence (overlong forms, surrogates and
// values above U+10FFFF included).
int DecodeUtf8(const unsigned char* src, std::int32_t len, std::int32_t i, char32_t& cp) {
  unsigned char b0 = src[i];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  int n;
  char32_t min;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    n = 2, min = 0x80, cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    n = 3, min = 0x800, cp = b0 & 0x0Fu;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    n = 4, min = 0x10000, cp = b0 & 0x07u;
  } else {
    return 0;
  }
  if (i + n > len) return 0;
  for (int k = 1; k < n; ++k) {
    unsigned char b = src[i + k];
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3Fu);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return n;
}

// Walks UTF-8 text the same way: ASCII runs in one piece, each other
// sequence decoded, each malformed byte as '?'.
template <class Ascii, class Emit>
bool WalkUtf8(const char* src, std::int32_t len, Ascii ascii, Emit emit) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(src);
  for (std::int32_t i = 0; i < len;) {
    const std::int32_t run = AsciiRun(src + i, len - i);
    if (run > 0) {
      if (!ascii(src + i, run)) return false;
      i += run;
      if (i == len) break;
    }
    char32_t cp = 0;
    int n = DecodeUtf8(bytes, len, i, cp);
    if (n == 0) {
      cp = U'?';
      n = 1;
    }
    if (!emit(cp)) return false;
    i += n;
  }
  return true;
}

int Utf16Units(char32_t cp) {
  return cp >= 0x10000 ? 2 : 1;
}
int Utf8Units(char32_t cp) {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

// The host's conversion; the exported functions below add the test fault.
std::int32_t Utf8LengthOf(const EngineChar* src, std::int32_t srcLen) {
  std::int32_t n = 0;
  WalkUtf16(
      src, srcLen,
      [&](const EngineChar*, std::int32_t run) {
        n += run;
        return true;
      },
      [&](char32_t cp) {
        n += Utf8Units(cp);
        return true;
      });
  return n;
}

std::int32_t Utf16LengthOf(const char* src, std::int32_t srcLen) {
  std::int32_t n = 0;
  WalkUtf8(
      src, srcLen,
      [&](const char*, std::int32_t run) {
        n += run;
        return true;
      },
      [&](char32_t cp) {
        n += Utf16Units(cp);
        return true;
      });
  return n;
}

// One pass: the room left is checked before each piece is written, so nothing
// is written past destLen; a destination found too small holds part of the
// text and the result is null.
char* ConvertToUtf8(char* dest, std::int32_t destLen, const EngineChar* src, std::int32_t srcLen) {
  std::int64_t room = destLen;
  char* out = dest;
  const bool fits = WalkUtf16(
      src, srcLen,
      [&](const EngineChar* run, std::int32_t count) {
        if (count > room) return false;
        for (std::int32_t k = 0; k < count; ++k) out[k] = static_cast<char>(run[k]);
        out += count;
        room -= count;
        return true;
      },
      [&](char32_t cp) {
        if (Utf8Units(cp) > room) return false;
        const int written = EncodeUtf8(cp, out);
        out += written;
        room -= written;
        return true;
      });
  return fits ? dest : nullptr;
}

EngineChar* ConvertToUtf16(EngineChar* dest, std::int32_t destLen, const char* src,
                           std::int32_t srcLen) {
  std::int64_t room = destLen;
  EngineChar* out = dest;
  const bool fits = WalkUtf8(
      src, srcLen,
      [&](const char* run, std::int32_t count) {
        if (count > room) return false;
        for (std::int32_t k = 0; k < count; ++k) out[k] = static_cast<EngineChar>(run[k]);
        out += count;
        room -= count;
        return true;
      },
      [&](char32_t cp) {
        const int units = Utf16Units(cp);
        if (units > room) return false;
        if (cp >= 0x10000) {
          cp -= 0x10000;
          *out++ = static_cast<EngineChar>(0xD800 + (cp >> 10));
          *out++ = static_cast<EngineChar>(0xDC00 + (cp & 0x3FF));
        } else {
          *out++ = static_cast<EngineChar>(cp);
        }
        room -= units;
        return true;
      });
  return fits ? dest : nullptr;
}

std::atomic<qbhost::ConversionFault> conversionFault{qbhost::ConversionFault::None};

std::int32_t ReportedLength(std::int32_t n) {
  switch (conversionFault.load(std::memory_order_relaxed)) {
    case qbhost::ConversionFault::NegativeLength:
      return -1;
    case qbhost::ConversionFault::HugeLength:
      return std::numeric_limits<std::int32_t>::max();
    case qbhost::ConversionFault::LengthOneMore:
      return n + 1;
    case qbhost::ConversionFault::LengthOneLess:
      return n - 1;
    default:
      return n;
  }
}

template <class Unit>
Unit* ReportedResult(Unit* converted) {
  return conversionFault.load(std::memory_order_relaxed) == qbhost::ConversionFault::NullResult
             ? nullptr
             : converted;
}

}  // namespace

namespace UE::Core::Private {

std::int32_t GetConvertedLength(const char* /*destTag*/, const EngineChar* src,
                                std::int32_t srcLen) {
  return ReportedLength(Utf8LengthOf(src, srcLen));
}

std::int32_t GetConvertedLength(const EngineChar* /*destTag*/, const char* src,
                                std::int32_t srcLen) {
  return ReportedLength(Utf16LengthOf(src, srcLen));
}

char* Convert(char* dest, std::int32_t destLen, const EngineChar* src, std::int32_t srcLen) {
  return ReportedResult(ConvertToUtf8(dest, destLen, src, srcLen));
}

EngineChar* Convert(EngineChar* dest, std::int32_t destLen, const char* src, std::int32_t srcLen) {
  return ReportedResult(ConvertToUtf16(dest, destLen, src, srcLen));
}

}  // namespace UE::Core::Private

namespace qbhost {

void SetConversionFault(ConversionFault fault) {
  conversionFault.store(fault, std::memory_order_relaxed);
}

std::string Utf16ToUtf8(std::u16string_view text) {
  const auto* src = reinterpret_cast<const EngineChar*>(text.data());
  auto len = static_cast<std::int32_t>(text.size());
  std::string out(static_cast<std::size_t>(Utf8LengthOf(src, len)), '\0');
  ConvertToUtf8(out.data(), static_cast<std::int32_t>(out.size()), src, len);
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  auto len = static_cast<std::int32_t>(text.size());
  std::u16string out(static_cast<std::size_t>(Utf16LengthOf(text.data(), len)), u'\0');
  ConvertToUtf16(reinterpret_cast<EngineChar*>(out.data()), static_cast<std::int32_t>(out.size()),
                 text.data(), len);
  return out;
}

std::string ToUtf8(const FString& text) {
  if (text.count <= 0 || text.data == nullptr) return {};
  std::u16string_view units(reinterpret_cast<const char16_t*>(text.data),
                            static_cast<std::size_t>(text.count));
  return Utf16ToUtf8(units.substr(0, units.find(u'\0')));
}

// Copies units up to the first NUL, verbatim.
void ConstructUnits(FString* slot, std::u16string_view units) {
  units = units.substr(0, units.find(u'\0'));
  if (units.empty()) {
    slot->data = nullptr;
    slot->count = 0;
    slot->capacity = 0;
    return;
  }
  auto count = static_cast<std::int32_t>(units.size() + 1);
  auto bytes = static_cast<std::uint64_t>(count) * sizeof(EngineChar);
  auto* data = static_cast<EngineChar*>(EngineMalloc(bytes, alignof(EngineChar)));
  std::memcpy(data, units.data(), units.size() * sizeof(EngineChar));
  data[units.size()] = 0;
  slot->data = data;
  slot->count = count;
  slot->capacity = count;
}

// Converts straight into the string's own engine block: no UTF-16 copy on
// the side (the engine's name functions run this at every call).
void ConstructInto(FString* slot, std::string_view utf8) {
  utf8 = utf8.substr(0, utf8.find('\0'));
  slot->data = nullptr;
  slot->count = 0;
  slot->capacity = 0;
  if (utf8.empty()) return;
  const auto len = static_cast<std::int32_t>(utf8.size());
  const std::int32_t units = Utf16LengthOf(utf8.data(), len);
  const std::int32_t count = units + 1;
  auto* data = static_cast<EngineChar*>(
      EngineMalloc(static_cast<std::uint64_t>(count) * sizeof(EngineChar), alignof(EngineChar)));
  ConvertToUtf16(data, units, utf8.data(), len);
  data[units] = 0;
  slot->data = data;
  slot->count = count;
  slot->capacity = count;
}

HostString::HostString(std::string_view utf8) {
  auto* slot = ::new (static_cast<void*>(storage_)) FString();
  ConstructInto(slot, utf8);
}

HostString::~HostString() {
  EngineFree(ptr()->data);
}

FString* HostString::ptr() {
  return std::launder(reinterpret_cast<FString*>(storage_));
}

}  // namespace qbhost

// The host's FString constructors. They never call the plug-in's members.
FString::FString(const char* text) {
  qbhost::ConstructInto(this, text ? text : "");
}

FString::FString(const EngineChar* text) {
  qbhost::ConstructUnits(this, text ? std::u16string_view(reinterpret_cast<const char16_t*>(text))
                                    : std::u16string_view());
}
