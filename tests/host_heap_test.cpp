#include <new>

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
