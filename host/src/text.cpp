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
#include "qbhost/escape.h"
#include "qbhost/standin.h"

namespace {

std::u16string_view Units(const EngineChar* src, std::int32_t len) {
  return {reinterpret_cast<const char16_t*>(src), static_cast<std::size_t>(std::max(len, 0))};
}

std::string_view Bytes(const char* src, std::int32_t len) {
  return {src, static_cast<std::size_t>(std::max(len, 0))};
}

std::atomic<qbhost::ConversionFault> conversionFault{qbhost::ConversionFault::None};

std::int32_t ReportedLength(std::size_t size) {
  const auto n = static_cast<std::int32_t>(size);
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

// The engine's contract: never a unit past destLen; null when it does not fit.
template <class Unit, class Text>
Unit* CopyInto(Unit* dest, std::int32_t destLen, const Text& text) {
  if (text.size() > static_cast<std::size_t>(std::max(destLen, 0))) return nullptr;
  std::copy(text.begin(), text.end(), dest);
  const bool fault =
      conversionFault.load(std::memory_order_relaxed) == qbhost::ConversionFault::NullResult;
  return fault ? nullptr : dest;
}

}  // namespace

namespace UE::Core::Private {

std::int32_t GetConvertedLength(const char* /*destTag*/, const EngineChar* src,
                                std::int32_t srcLen) {
  return ReportedLength(qbhost::Utf16ToUtf8(Units(src, srcLen)).size());
}

std::int32_t GetConvertedLength(const EngineChar* /*destTag*/, const char* src,
                                std::int32_t srcLen) {
  return ReportedLength(qbhost::Utf8ToUtf16(Bytes(src, srcLen)).size());
}

char* Convert(char* dest, std::int32_t destLen, const EngineChar* src, std::int32_t srcLen) {
  return CopyInto(dest, destLen, qbhost::Utf16ToUtf8(Units(src, srcLen)));
}

EngineChar* Convert(EngineChar* dest, std::int32_t destLen, const char* src, std::int32_t srcLen) {
  return CopyInto(dest, destLen, qbhost::Utf8ToUtf16(Bytes(src, srcLen)));
}

}  // namespace UE::Core::Private

namespace qbhost {

void SetConversionFault(ConversionFault fault) {
  conversionFault.store(fault, std::memory_order_relaxed);
}

std::size_t DecodeUtf8(std::string_view text, char32_t& cp) {
  if (text.empty()) return 0;
  const auto lead = static_cast<unsigned char>(text[0]);
  const std::size_t length = lead < 0x80   ? 1
                             : lead < 0xC2 ? 0
                             : lead < 0xE0 ? 2
                             : lead < 0xF0 ? 3
                             : lead < 0xF5 ? 4
                                           : 0;
  if (length == 0 || text.size() < length) return 0;
  cp = length == 1 ? lead : lead & (0x7Fu >> length);  // the lead's payload bits
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if ((byte & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (byte & 0x3Fu);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};  // overlong below
  if (cp < kShortest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

// A lone surrogate becomes "?".
std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
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
    out += static_cast<char>(kLead[tail] | (cp >> (6 * tail)));
    for (int k = tail - 1; k >= 0; --k) out += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
  }
  return out;
}

// Each malformed byte becomes "?".
std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    std::size_t length = DecodeUtf8(text.substr(i), cp);
    if (length == 0) {
      cp = U'?';
      length = 1;
    }
    i += length;
    if (cp >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string ToUtf8(const FString& text) {
  if (text.count <= 0 || text.data == nullptr) return {};
  std::u16string_view units(reinterpret_cast<const char16_t*>(text.data),
                            static_cast<std::size_t>(text.count));
  return Utf16ToUtf8(units.substr(0, units.find(u'\0')));
}

// Copies units up to the first NUL, verbatim. `slot` is raw storage: it is
// written only once the new block exists, so a failed allocation leaves it as
// it was.
void ConstructUnits(FString* slot, std::u16string_view units) {
  units = units.substr(0, units.find(u'\0'));
  EngineChar* data = nullptr;
  const auto count = units.empty() ? 0 : static_cast<std::int32_t>(units.size() + 1);
  if (count != 0) {
    data = static_cast<EngineChar*>(
        EngineMalloc(static_cast<std::uint64_t>(count) * sizeof(EngineChar), alignof(EngineChar)));
    std::memcpy(data, units.data(), units.size() * sizeof(EngineChar));
    data[units.size()] = 0;
  }
  slot->data = data;
  slot->count = count;
  slot->capacity = count;
}

void ConstructInto(FString* slot, std::string_view utf8) {
  ConstructUnits(slot, Utf8ToUtf16(utf8.substr(0, utf8.find('\0'))));
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
