#include <cstddef>
#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "qbhost/standin.h"

namespace {

TEST(EngineHeap, AccountsLiveBlocksAndBytes) {
  auto before = qbhost::Heap();
  void* a = qbhost::EngineMalloc(10, 0);
  void* b = qbhost::EngineMalloc(6, 0);
  EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks + 2);
  EXPECT_EQ(qbhost::Heap().liveBytes, before.liveBytes + 16);
  b = qbhost::EngineRealloc(b, 30, 2);
  EXPECT_EQ(qbhost::Heap().liveBytes, before.liveBytes + 40);
  qbhost::EngineFree(a);
  qbhost::EngineFree(b);
  qbhost::EngineFree(nullptr);
  EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks);
  EXPECT_EQ(qbhost::Heap().liveBytes, before.liveBytes);
}

TEST(EngineHeap, FailsExactlyTheNthAllocationOnce) {
  qbhost::FailNthAllocation(2);
  void* first = qbhost::EngineMalloc(4, 0);
  EXPECT_THROW(qbhost::EngineMalloc(4, 0), std::bad_alloc);
  void* third = qbhost::EngineMalloc(4, 0);
  qbhost::EngineFree(first);
  qbhost::EngineFree(third);
}

TEST(EngineHeap, KeepsExactAccountsOverManyBlocks) {
  // Enough blocks for the record to grow several times, freed out of order.
  auto before = qbhost::Heap();
  constexpr std::size_t kBlocks = 5000;
  std::vector<void*> blocks;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < kBlocks; ++i) {
    blocks.push_back(qbhost::EngineMalloc(i % 37 + 1, 0));
    bytes += i % 37 + 1;
  }
  EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks + kBlocks);
  EXPECT_EQ(qbhost::Heap().liveBytes, before.liveBytes + bytes);
  for (std::size_t i = 0; i < kBlocks; i += 3) {
    blocks[i] = qbhost::EngineRealloc(blocks[i], 100, 2);
    bytes = bytes - (i % 37 + 1) + 100;
  }
  EXPECT_EQ(qbhost::Heap().liveBytes, before.liveBytes + bytes);
  std::size_t live = kBlocks;
  for (std::size_t i = kBlocks; i-- > 0;) {
    if (i % 2 == 1) {
      qbhost::EngineFree(blocks[i]);
      blocks[i] = nullptr;
      --live;
    }
  }
  EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks + live);
  for (void* block : blocks) qbhost::EngineFree(block);
  EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks);
  EXPECT_EQ(qbhost::Heap().liveBytes, before.liveBytes);
}

TEST(EngineHeapDeathTest, FreeingABlockTwiceAbortsWithAMessage) {
  void* block = qbhost::EngineMalloc(8, 0);
  qbhost::EngineFree(block);
  EXPECT_DEATH(qbhost::EngineFree(block), "never handed out");
}

TEST(EngineHeapDeathTest, FreeingAForeignBlockAbortsWithAMessage) {
  int local = 0;
  EXPECT_DEATH(qbhost::EngineFree(&local), "never handed out");
}

TEST(EngineHeapDeathTest, UnknownLookupNameAbortsNamingIt) {
  EXPECT_DEATH(GetAddress("AActor.NoSuchThing()"), "AActor.NoSuchThing\\(\\)");
  int object = 0;
  EXPECT_DEATH(GetAddress(&object, "AActor.NoSuchField"), "AActor.NoSuchField");
}

}  // namespace
