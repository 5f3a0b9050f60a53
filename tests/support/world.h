#pragma once

// A HostTest with a current world. The world (and every player's name on the
// engine heap) is destroyed before the fixture's leak check runs.

#include "qbhost/engine.h"
#include "support/harness.h"

namespace qbtest {

class WorldTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    world_ = qbhost::CreateWorld();
    qbhost::SetCurrentWorld(world_);
  }
  void TearDown() override {
    qbhost::SetDeliveryListener({});
    qbhost::DestroyWorld(world_);
    HostTest::TearDown();
  }

  AShooterPlayerController* Join(std::string playerName, std::string characterName = {}) {
    return qbhost::AddPlayer(world_, {std::move(playerName), std::move(characterName), true});
  }

  UWorld* world_ = nullptr;
};

}  // namespace qbtest
