// The plug-in's FString members: destroy, copy and move over the engine heap.
// (Placeholder until the engine-string layer lands: frees and copies through
// the heap functions of engine.h.)
#include <cstring>

#include "game/engine.h"

FString::~FString() {
  if (data != nullptr) EngineFree(data);
}

FString::FString(const FString& other) : count(other.count), capacity(other.count) {
  if (other.count > 0) {
    const auto bytes = static_cast<std::uint64_t>(other.count) * sizeof(EngineChar);
    data = static_cast<EngineChar*>(EngineRealloc(nullptr, bytes, 2));
    std::memcpy(data, other.data, static_cast<std::size_t>(bytes));
  } else {
    capacity = 0;
  }
}

FString::FString(FString&& other) noexcept
    : data(other.data), count(other.count), capacity(other.capacity) {
  other.data = nullptr;
  other.count = 0;
  other.capacity = 0;
}

FString& FString::operator=(const FString& other) {
  if (this != &other) *this = FString(other);
  return *this;
}

FString& FString::operator=(FString&& other) noexcept {
  if (this != &other) {
    if (data != nullptr) EngineFree(data);
    data = other.data;
    count = other.count;
    capacity = other.capacity;
    other.data = nullptr;
    other.count = 0;
    other.capacity = 0;
  }
  return *this;
}
