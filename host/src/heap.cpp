// The engine heap: FMemory Malloc/Realloc/Free with accounting. Freeing a block
// the heap never handed out is a fault in the caller and aborts loudly, as a
// corrupted engine heap would bring the real server down.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_map>

#include "host_internal.h"
#include "qbhost/standin.h"

namespace qbhost {
namespace {

struct HeapState {
  std::mutex mutex;
  std::unordered_map<void*, std::size_t> blocks;  // live block -> its size
  std::size_t liveBytes = 0;
  std::uint64_t allocations = 0;
  std::uint64_t failCountdown = 0;  // 0: off
};

HeapState& State() {
  static HeapState* state = new HeapState;  // outlives every static destructor
  return *state;
}

// Called with the mutex held, before every allocation.
void MaybeFail(HeapState& s) {
  if (s.failCountdown == 0) return;
  if (--s.failCountdown == 0) throw std::bad_alloc();
}

[[noreturn]] void Fatal(const char* what, const void* block) {
  std::fprintf(stderr, "engine heap: %s %p, a block it never handed out\n", what, block);
  std::abort();
}

}  // namespace

HeapStats Heap() {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  return {s.blocks.size(), s.liveBytes, s.allocations};
}

void FailNthAllocation(std::uint64_t n) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  s.failCountdown = n;
}

bool AllocationFaultArmed() {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  return s.failCountdown != 0;
}

void* EngineMalloc(std::uint64_t size, std::uint32_t /*alignment*/) {
  auto& s = State();
  std::lock_guard lock(s.mutex);
  MaybeFail(s);
  s.blocks.reserve(s.blocks.size() + 1);  // before the block exists: nothing to leak
  // malloc's alignment covers everything the engine's default alignment does.
  void* block = std::malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  s.blocks.emplace(block, size);
  s.liveBytes += size;
  ++s.allocations;
  return block;
}

void* EngineRealloc(void* block, std::uint64_t size, std::uint32_t alignment) {
  if (block == nullptr) return EngineMalloc(size, alignment);
  if (size == 0) {
    EngineFree(block);
    return nullptr;
  }
  auto& s = State();
  std::lock_guard lock(s.mutex);
  auto it = s.blocks.find(block);
  if (it == s.blocks.end()) Fatal("Realloc of", block);
  MaybeFail(s);
  void* moved = std::realloc(block, size);
  if (moved == nullptr) throw std::bad_alloc();  // still the caller's, unchanged
  // The entry moves with the block; re-inserting a node allocates nothing.
  auto node = s.blocks.extract(it);
  const std::size_t before = node.mapped();
  node.key() = moved;
  node.mapped() = size;
  s.blocks.insert(std::move(node));
  s.liveBytes = s.liveBytes - before + size;
  ++s.allocations;
  return moved;
}

void EngineFree(void* block) {
  if (block == nullptr) return;
  auto& s = State();
  std::lock_guard lock(s.mutex);
  auto it = s.blocks.find(block);
  if (it == s.blocks.end()) Fatal("Free of", block);
  s.liveBytes -= it->second;
  s.blocks.erase(it);
  std::free(block);
}

}  // namespace qbhost
