#include <gtest/gtest.h>

#include "game/engine.h"
#include "support/world.h"

using namespace qb;

namespace {

class GameAccess : public qbtest::WorldTest {};

TEST_F(GameAccess, FieldsAreReferencesIntoTheEngineObjects) {
  auto* alice = Join("Alice");
  auto* stateless = qbhost::AddPlayer(world_, {"", "", false});

  APlayerState* state = PlayerStateOf(alice);
  ASSERT_NE(state, nullptr);
  EXPECT_EQ(PlayerStateOf(stateless), nullptr);

  FString& name = PlayerNamePrivateOf(state);
  EXPECT_EQ(ToUtf8(name), "Alice");
  qbhost::SetPlayerName(alice, "B\xc3\xb6rte");
  EXPECT_EQ(ToUtf8(name), "B\xc3\xb6rte");  // read through the same reference

  auto& list = PlayerControllerListOf(world_);
  EXPECT_EQ(list.count, 2);
  Join("Carla");
  EXPECT_EQ(list.count, 3);
  EXPECT_EQ(&list, &PlayerControllerListOf(world_));
}

TEST_F(GameAccess, CharacterNameIsBuiltInTheCallersEmptySlot) {
  auto* named = Join("Alice", "Ali die K\xc3\xbchne");
  auto* unnamed = Join("Bob");
  const auto live = qbhost::Heap().liveBlocks;
  {
    FString slot("");
    EXPECT_EQ(PlayerCharacterNameOf(named, &slot), &slot);
    EXPECT_EQ(ToUtf8(slot), "Ali die K\xc3\xbchne");
    EXPECT_EQ(qbhost::Heap().liveBlocks, live + 1);  // owned by the slot now
  }
  FString empty("");
  PlayerCharacterNameOf(unnamed, &empty);
  EXPECT_EQ(empty.count, 0);
  EXPECT_EQ(qbhost::Heap().liveBlocks, live);
}

TEST_F(GameAccess, EngineWritesOverASlotThatOwnsABuffer) {
  // Why the slot must start empty: whatever it owned is lost, as in the engine.
  auto* named = Join("Alice", "Ali");
  FString slot("alt");
  EngineChar* lost = slot.data;
  const auto live = qbhost::Heap().liveBlocks;
  PlayerCharacterNameOf(named, &slot);
  EXPECT_EQ(qbhost::Heap().liveBlocks, live + 1);
  qbhost::EngineFree(lost);
}

TEST_F(GameAccess, DepartedPlayerStillCountsButResolvesToNull) {
  auto* alice = Join("Alice");
  auto* bob = Join("Bob");
  qbhost::RemovePlayer(alice);
  auto& list = PlayerControllerListOf(world_);
  ASSERT_EQ(list.count, 2);
  EXPECT_EQ(ResolveWeak(list.data[0]), nullptr);
  EXPECT_EQ(ResolveWeak(list.data[1]), bob);

  // A newcomer may take the freed slot, but not the old reference.
  auto* carla = Join("Carla");
  ASSERT_EQ(list.count, 3);
  EXPECT_EQ(list.data[2].objectIndex, list.data[0].objectIndex);
  EXPECT_EQ(ResolveWeak(list.data[0]), nullptr);
  EXPECT_EQ(ResolveWeak(list.data[2]), carla);
}

// The engine is asked on the plug-in's own copy of a reference; the entry
// inside the engine's list is never handed to it (the stand-in refuses that).
TEST_F(GameAccess, ResolvesACopyNeverTheListEntryItself) {
  auto* alice = Join("Alice");
  auto& list = PlayerControllerListOf(world_);
  const FWeakObjectPtr before = list.data[0];
  AShooterPlayerController* resolved = nullptr;
  EXPECT_NO_THROW(resolved = ResolveWeak(list.data[0]));
  EXPECT_EQ(resolved, alice);
  EXPECT_EQ(list.data[0].objectIndex, before.objectIndex);
  EXPECT_EQ(list.data[0].objectSerialNumber, before.objectSerialNumber);
}

}  // namespace
