// The engine heap, reached through the host's lookup by name at every call.

#include <cstdint>
#include <string>

#include "game/engine.h"

namespace qb {

void* EngineRealloc(void* block, std::uint64_t size, std::uint32_t alignment) {
  if (block == nullptr) {
    // A fresh block takes the engine's default alignment (0), whatever was asked.
    using Malloc = void* (*)(std::uint64_t, std::uint32_t);
    auto malloc =
        reinterpret_cast<Malloc>(GetAddress("FMemory.Malloc(unsigned__int64,unsignedint)"));
    return malloc(size, 0);
  }
  using Realloc = void* (*)(void*, std::uint64_t, std::uint32_t);
  auto realloc =
      reinterpret_cast<Realloc>(GetAddress("FMemory.Realloc(void*,unsigned__int64,unsignedint)"));
  return realloc(block, size, alignment);
}

void EngineFree(void* block) {
  using Free = void (*)(void*);
  reinterpret_cast<Free>(GetAddress("FMemory.Free(void*)"))(block);
}

}  // namespace qb
