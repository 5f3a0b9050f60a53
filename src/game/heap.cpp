// The engine heap, reached through the host's lookup by name at every call
// (each name is built into a std::string once).

#include <cstdint>
#include <string>

#include "game/engine.h"

namespace qb {

void* EngineRealloc(void* block, std::uint64_t size, std::uint32_t alignment) {
  if (block == nullptr) {
    // A fresh block takes the engine's default alignment (0), whatever was asked.
    using Malloc = void* (*)(std::uint64_t, std::uint32_t);
    static const std::string kMalloc("FMemory.Malloc(unsigned__int64,unsignedint)");
    auto malloc = reinterpret_cast<Malloc>(GetAddress(kMalloc));
    return malloc(size, 0);
  }
  using Realloc = void* (*)(void*, std::uint64_t, std::uint32_t);
  static const std::string kRealloc("FMemory.Realloc(void*,unsigned__int64,unsignedint)");
  auto realloc = reinterpret_cast<Realloc>(GetAddress(kRealloc));
  return realloc(block, size, alignment);
}

void EngineFree(void* block) {
  using Free = void (*)(void*);
  static const std::string kFree("FMemory.Free(void*)");
  reinterpret_cast<Free>(GetAddress(kFree))(block);
}

}  // namespace qb
