// The plug-in's FString members. Every buffer comes from the engine heap and
// goes back to it through EngineFree; a copy owns exactly count units, so a
// string of count 6 owns 12 bytes and an empty one owns nothing. The members
// belong to the host's type, so they stay outside the plug-in's namespace.

#include <cstring>

#include "game/engine.h"

namespace {
constexpr std::uint32_t kUnitAlignment = alignof(EngineChar);
}  // namespace

FString::~FString() {
  if (data != nullptr) qb::EngineFree(data);
}

FString::FString(const FString& other) {
  if (other.count <= 0) return;  // empty: data null, count 0, capacity 0
  const auto bytes = static_cast<std::uint64_t>(other.count) * sizeof(EngineChar);
  data = static_cast<EngineChar*>(qb::EngineRealloc(nullptr, bytes, kUnitAlignment));
  std::memcpy(data, other.data, static_cast<std::size_t>(bytes));
  count = other.count;
  capacity = other.count;
}

FString::FString(FString&& other) noexcept
    : data(other.data), count(other.count), capacity(other.capacity) {
  other.data = nullptr;
  other.count = 0;
  other.capacity = 0;
}

FString& FString::operator=(const FString& other) {
  // Copy first, so that a failed allocation leaves this string as it was.
  if (this != &other) *this = FString(other);
  return *this;
}

FString& FString::operator=(FString&& other) noexcept {
  if (this != &other) {
    if (data != nullptr) qb::EngineFree(data);
    data = other.data;
    count = other.count;
    capacity = other.capacity;
    other.data = nullptr;
    other.count = 0;
    other.capacity = 0;
  }
  return *this;
}
