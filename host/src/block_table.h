#pragma once

// The engine heap's record of live blocks: block address -> size in bytes.
// Open addressing with linear probing in one array, so recording a block costs
// no allocation of its own (the array doubles when it is three quarters full),
// and removal shifts the following entries back instead of leaving tombstones.
// Not thread-safe: the heap holds its lock around every call.
//
//   table.Reserve(1);           // may throw std::bad_alloc; nothing changed then
//   table.Insert(block, 12);    // never throws after a Reserve
//   table.Find(block)           // -> pointer to 12, or null for a foreign block
//   table.Erase(block, bytes)   // -> true, bytes 12; false for a foreign block

#include <cstddef>
#include <cstdint>
#include <vector>

namespace qbhost {

class BlockTable {
 public:
  std::size_t size() const { return count_; }

  // Room for `more` further blocks without growing.
  void Reserve(std::size_t more) {
    const std::size_t needed = count_ + more;
    if (needed * 4 <= slots_.size() * 3) return;
    std::size_t capacity = slots_.empty() ? kMinCapacity : slots_.size();
    while (needed * 4 > capacity * 3) capacity *= 2;
    Rehash(capacity);
  }

  // `block` (not null, not present) with its size; call Reserve first.
  void Insert(const void* block, std::size_t bytes) {
    std::size_t i = Home(block);
    while (slots_[i].block != nullptr) i = (i + 1) & mask_;
    slots_[i] = {block, bytes};
    ++count_;
  }

  // The recorded size of `block`, or null when the heap never handed it out.
  std::size_t* Find(const void* block) {
    if (slots_.empty() || block == nullptr) return nullptr;
    for (std::size_t i = Home(block);; i = (i + 1) & mask_) {
      if (slots_[i].block == block) return &slots_[i].bytes;
      if (slots_[i].block == nullptr) return nullptr;
    }
  }

  // Removes `block` and gives its size; false when the heap never handed it out.
  bool Erase(const void* block, std::size_t& bytes) {
    if (slots_.empty() || block == nullptr) return false;
    std::size_t hole = Home(block);
    for (; slots_[hole].block != block; hole = (hole + 1) & mask_) {
      if (slots_[hole].block == nullptr) return false;
    }
    bytes = slots_[hole].bytes;
    // Move back every later entry of the run that may sit in the hole: one
    // whose home is not cyclically within (hole, j].
    for (std::size_t j = (hole + 1) & mask_; slots_[j].block != nullptr; j = (j + 1) & mask_) {
      const std::size_t home = Home(slots_[j].block);
      const bool between = hole < j ? (hole < home && home <= j) : (hole < home || home <= j);
      if (!between) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = {};
    --count_;
    return true;
  }

 private:
  static constexpr std::size_t kMinCapacity = 64;

  struct Slot {
    const void* block = nullptr;  // null: empty
    std::size_t bytes = 0;
  };

  std::size_t Home(const void* block) const {
    // Blocks are 16-byte aligned and close together: mix every bit in.
    auto x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(block));
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<std::size_t>(x) & mask_;
  }

  void Rehash(std::size_t capacity) {
    std::vector<Slot> old(capacity);
    old.swap(slots_);
    mask_ = capacity - 1;
    count_ = 0;
    for (const Slot& slot : old) {
      if (slot.block != nullptr) Insert(slot.block, slot.bytes);
    }
  }

  std::vector<Slot> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

}  // namespace qbhost
