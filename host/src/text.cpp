// Text conversion of the engine (UTF-16 <-> UTF-8) and the host's FString
// constructors. The host's rule: what cannot be represented in the target
// encoding (a lone surrogate, a malformed UTF-8 sequence) becomes one "?".

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "host_internal.h"
#include "qbhost/standin.h"

namespace {

std::u16string_view Units(const EngineChar* src, std::int32_t len) {
  return {reinterpret_cast<const char16_t*>(src), static_cast<std::size_t>(std::max(len, 0))};
}

std::string_view Bytes(const char* src, std::int32_t len) {
  return {src, static_cast<std::size_t>(std::max(len, 0))};
}

// Calls put(byte) for each UTF-8 byte of `text`; a lone surrogate gives "?".
template <class Put>
void EncodeUtf8(std::u16string_view text, Put put) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    const bool high = cp >= 0xD800 && cp <= 0xDBFF;
    if (high && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00u);
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = U'?';
    }
    // The lead byte, then six bits a byte from the top down.
    const int tail = cp < 0x80 ? 0 : cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
    constexpr unsigned char kLead[] = {0x00, 0xC0, 0xE0, 0xF0};
    put(static_cast<char>(kLead[tail] | (cp >> (6 * tail))));
    for (int k = tail - 1; k >= 0; --k) put(static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F)));
  }
}

// Calls put(unit) for each UTF-16 unit of `text`; each malformed byte gives "?".
template <class Put>
void EncodeUtf16(std::string_view text, Put put) {
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    std::size_t length = qbhost::DecodeUtf8(text.substr(i), cp);
    if (length == 0) {
      cp = U'?';
      length = 1;
    }
    i += length;
    if (cp >= 0x10000) {
      put(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      put(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    } else {
      put(static_cast<char16_t>(cp));
    }
  }
}

template <class Encode, class Text>
std::int32_t LengthOf(Encode encode, Text text) {
  std::int32_t n = 0;
  encode(text, [&](auto) { ++n; });
  return n;
}

// The engine's contract: never a unit past destLen; null when it does not fit.
template <class Unit, class Encode, class Text>
Unit* ConvertInto(Unit* dest, std::int32_t destLen, Encode encode, Text text) {
  std::int32_t n = 0;
  encode(text, [&](auto unit) {
    if (n < destLen) dest[n] = static_cast<Unit>(unit);
    ++n;
  });
  return n <= destLen ? dest : nullptr;
}

constexpr auto kToUtf8 = [](std::u16string_view text, auto put) { EncodeUtf8(text, put); };
constexpr auto kToUtf16 = [](std::string_view text, auto put) { EncodeUtf16(text, put); };

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
  return ReportedLength(LengthOf(kToUtf8, Units(src, srcLen)));
}

std::int32_t GetConvertedLength(const EngineChar* /*destTag*/, const char* src,
                                std::int32_t srcLen) {
  return ReportedLength(LengthOf(kToUtf16, Bytes(src, srcLen)));
}

char* Convert(char* dest, std::int32_t destLen, const EngineChar* src, std::int32_t srcLen) {
  return ReportedResult(ConvertInto(dest, destLen, kToUtf8, Units(src, srcLen)));
}

EngineChar* Convert(EngineChar* dest, std::int32_t destLen, const char* src, std::int32_t srcLen) {
  return ReportedResult(ConvertInto(dest, destLen, kToUtf16, Bytes(src, srcLen)));
}

}  // namespace UE::Core::Private

namespace qbhost {

void SetConversionFault(ConversionFault fault) {
  conversionFault.store(fault, std::memory_order_relaxed);
}

std::size_t DecodeUtf8(std::string_view text, char32_t& cp) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (text.empty()) return 0;
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, cp = lead & 0x1Fu;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, cp = lead & 0x0Fu;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, cp = lead & 0x07u;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (byte(i) & 0x3Fu);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  EncodeUtf8(text, [&](char byte) { out += byte; });
  return out;
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  EncodeUtf16(text, [&](char16_t unit) { out += unit; });
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

// Converts straight into the string's own engine block: the engine's name
// functions run this at every call.
void ConstructInto(FString* slot, std::string_view utf8) {
  utf8 = utf8.substr(0, utf8.find('\0'));
  slot->data = nullptr;  // the slot is raw: no FString member runs on it
  slot->count = 0;
  slot->capacity = 0;
  if (utf8.empty()) return;
  const std::int32_t units = LengthOf(kToUtf16, utf8);
  auto* data = static_cast<EngineChar*>(EngineMalloc(
      static_cast<std::uint64_t>(units + 1) * sizeof(EngineChar), alignof(EngineChar)));
  ConvertInto(data, units, kToUtf16, utf8);
  data[units] = 0;
  slot->data = data;
  slot->count = units + 1;
  slot->capacity = units + 1;
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
