#include "count_new.h"

#include <cstdlib>
#include <new>

namespace {
thread_local std::uint64_t newCalls = 0;
}  // namespace

namespace qbtest {
std::uint64_t NewCallsOnThisThread() {
  return newCalls;
}
}  // namespace qbtest

// Every form of operator new and delete is replaced, so no pair can mix the
// library's allocator with this one.
void* operator new(std::size_t size) {
  ++newCalls;
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void operator delete(void* block) noexcept {
  std::free(block);
}
void operator delete[](void* block) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
  std::free(block);
}
