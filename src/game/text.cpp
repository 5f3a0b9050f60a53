// Text between the plug-in (UTF-8 std::string) and the engine (UTF-16 FString),
// converted by the host's UE::Core::Private functions.
//
// Each conversion writes into an inline buffer of 128 target units, so short
// texts cost no heap but the result's own; a longer one borrows a block from the
// engine heap that is given back however the conversion ends. What the host
// reports is checked: a length out of range, a refused conversion or fewer
// units than announced throw std::runtime_error, so no text with a stale or
// missing tail ever leaves here.
//
//   ToUtf8(FString u"Gr\u00fc\u00dfe")  -> "Gr\xc3\xbc\xc3\x9f" "e"  (7 bytes)
//   ToFString("ab\0cd" as 5 bytes)        -> u"ab" (count 3)

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "game/engine.h"

namespace qb {

namespace {

// Destination of one conversion: `units` target units including the terminator,
// inline up to kInlineUnits, else a block from the engine heap. Zero-filled, so
// that a conversion which writes less than it announced leaves NULs behind,
// never stale bytes.
template <class Unit>
class ConversionBuffer {
 public:
  static constexpr std::size_t kInlineUnits = 128;

  explicit ConversionBuffer(std::size_t units) {
    if (units > kInlineUnits) {
      block_ = static_cast<Unit*>(EngineRealloc(nullptr, units * sizeof(Unit), 0));
    }
    std::memset(data(), 0, units * sizeof(Unit));
  }
  ~ConversionBuffer() {
    if (block_ != nullptr) EngineFree(block_);
  }
  ConversionBuffer(const ConversionBuffer&) = delete;
  ConversionBuffer& operator=(const ConversionBuffer&) = delete;

  Unit* data() { return block_ != nullptr ? block_ : inline_; }

 private:
  Unit inline_[kInlineUnits];
  Unit* block_ = nullptr;
};

[[noreturn]] void ConversionFailed(const std::string& what) {
  throw std::runtime_error("Textumwandlung des Hosts fehlgeschlagen: " + what);
}

// The host's announced length n, checked: the destination holds n units and
// the terminator, so n must be at least 0 and n + 1 must fit the host's
// 32-bit length.
std::size_t DestinationUnits(std::int32_t n) {
  if (n < 0 || n == std::numeric_limits<std::int32_t>::max()) {
    ConversionFailed("Laenge " + std::to_string(n));
  }
  return static_cast<std::size_t>(n) + 1;
}

// What Convert returned and wrote, checked. The source holds no NUL (it ends at
// its first), so neither does its conversion: a NUL among the first n units
// means the host wrote less than it announced.
template <class Unit>
void CheckConverted(const Unit* result, const Unit* dest, std::int32_t n) {
  if (result != dest) ConversionFailed("Ziel zu klein");
  const Unit* nul = std::char_traits<Unit>::find(dest, static_cast<std::size_t>(n), Unit{0});
  if (nul != nullptr) {
    ConversionFailed(std::to_string(nul - dest) + " statt " + std::to_string(n) + " Zeichen");
  }
}

// The units of an engine string's text: up to its first NUL, and never past
// count, so that a string whose counted units hold no NUL is not read beyond.
std::int32_t TextLength(const FString& text) {
  if (text.count <= 0 || text.data == nullptr) return 0;
  std::int32_t length = 0;
  while (length < text.count && text.data[length] != 0) ++length;
  return length;
}

}  // namespace

std::string ToUtf8(const FString& text) {
  static constexpr EngineChar kEmpty[1] = {0};
  const std::int32_t len = TextLength(text);
  const EngineChar* source = len > 0 ? text.data : kEmpty;

  const std::int32_t n =
      UE::Core::Private::GetConvertedLength(static_cast<const char*>(nullptr), source, len);
  ConversionBuffer<char> buffer(DestinationUnits(n));
  // Only the len units are converted, into room for exactly n: the terminator
  // is ours, so nothing past the text is read even when the string holds no
  // NUL of its own, and a host that writes more than it announced is refused.
  CheckConverted(UE::Core::Private::Convert(buffer.data(), n, source, len), buffer.data(), n);
  return std::string(buffer.data(), static_cast<std::size_t>(n));
}

FString ToFString(std::string text) {
  const std::size_t bytes = std::min(text.find('\0'), text.size());
  if (bytes >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw std::length_error("Text zu lang fuer einen Engine-String");
  }
  const auto len = static_cast<std::int32_t>(bytes);

  const std::int32_t n = UE::Core::Private::GetConvertedLength(
      static_cast<const EngineChar*>(nullptr), text.data(), len);
  ConversionBuffer<EngineChar> buffer(DestinationUnits(n));
  CheckConverted(UE::Core::Private::Convert(buffer.data(), n, text.data(), len), buffer.data(), n);
  // The host's constructor copies the text into a buffer of the result's own.
  return FString(static_cast<const EngineChar*>(buffer.data()));
}

}  // namespace qb
