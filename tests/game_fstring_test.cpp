#include <cstring>
#include <new>

#include <gtest/gtest.h>

#include "game/engine.h"
#include "support/harness.h"

namespace {

class EngineString : public qbtest::HostTest {};

TEST_F(EngineString, CopyOwnsExactlyCountUnitsAndEmptyOwnsNothing) {
  FString empty("");
  FString hallo("Hallo");  // 5 letters and the terminator
  ASSERT_EQ(hallo.count, 6);

  auto before = qbhost::Heap();
  FString emptyCopy(empty);
  EXPECT_EQ(qbhost::Heap().allocations, before.allocations);
  EXPECT_EQ(emptyCopy.data, nullptr);
  EXPECT_EQ(emptyCopy.capacity, 0);

  FString copy(hallo);
  EXPECT_EQ(qbhost::Heap().allocations, before.allocations + 1);
  EXPECT_EQ(qbhost::Heap().liveBytes, before.liveBytes + 12);
  EXPECT_NE(copy.data, hallo.data);
  EXPECT_EQ(copy.count, 6);
  EXPECT_EQ(copy.capacity, 6);
  EXPECT_EQ(std::memcmp(copy.data, hallo.data, 12), 0);  // terminator included
}

TEST_F(EngineString, CopyOfCountZeroIgnoresTheDataPointer) {
  FString source;
  source.data = static_cast<EngineChar*>(qbhost::EngineMalloc(8, 2));
  source.capacity = 4;
  auto before = qbhost::Heap();
  FString copy(source);
  EXPECT_EQ(copy.data, nullptr);
  EXPECT_EQ(copy.count, 0);
  EXPECT_EQ(copy.capacity, 0);
  EXPECT_EQ(qbhost::Heap().allocations, before.allocations);
}

TEST_F(EngineString, MovedFromStringFreesNothing) {
  FString target("alt");
  {
    FString source("neu");
    auto before = qbhost::Heap();
    target = std::move(source);  // the old "alt" buffer goes back
    EXPECT_EQ(source.data, nullptr);
    EXPECT_EQ(source.count, 0);
    EXPECT_EQ(source.capacity, 0);
    EXPECT_EQ(qbhost::Heap().liveBlocks, before.liveBlocks - 1);
  }
  EXPECT_EQ(qbhost::ToUtf8(target), "neu");  // the source's destroy left it alone
  FString constructed(std::move(target));
  EXPECT_EQ(target.data, nullptr);
  EXPECT_EQ(qbhost::ToUtf8(constructed), "neu");
}

TEST_F(EngineString, FailedCopyAssignmentKeepsTheOldText) {
  FString target("bleibt");
  FString source("anders");
  qbhost::FailNthAllocation(1);
  EXPECT_THROW(target = source, std::bad_alloc);
  EXPECT_EQ(qbhost::ToUtf8(target), "bleibt");
  target = source;
  EXPECT_EQ(qbhost::ToUtf8(target), "anders");
  EXPECT_NE(target.data, source.data);
}

}  // namespace
