#include "support/count_new.h"

#include <cstddef>
#include <cstdlib>
#include <new>

namespace {

thread_local std::uint64_t newCalls = 0;

void* Allocate(std::size_t size, std::size_t alignment) {
  ++newCalls;
  if (size == 0) size = 1;
  void* block = nullptr;
  if (alignment <= alignof(std::max_align_t)) {
    block = std::malloc(size);
  } else {
    size = (size + alignment - 1) / alignment * alignment;  // aligned_alloc wants a multiple
    block = std::aligned_alloc(alignment, size);
  }
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

namespace qbtest {
std::uint64_t NewCallsOnThisThread() {
  return newCalls;
}
}  // namespace qbtest

// Every form of operator new and delete is replaced, so no pair can mix the
// library's allocator with this one; the nothrow and array forms of the
// library call these.
void* operator new(std::size_t size) {
  return Allocate(size, alignof(std::max_align_t));
}
void* operator new[](std::size_t size) {
  return Allocate(size, alignof(std::max_align_t));
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return Allocate(size, static_cast<std::size_t>(alignment));
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return Allocate(size, static_cast<std::size_t>(alignment));
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
void operator delete(void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete(void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
void operator delete[](void* block, std::size_t, std::align_val_t) noexcept {
  std::free(block);
}
