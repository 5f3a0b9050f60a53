#include <algorithm>
#include <new>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>

#include "qbhost/engine.h"
#include "support/world.h"

namespace {

class Engine : public qbtest::WorldTest {};

TEST_F(Engine, RelayDeliversToLivePlayersOnly) {
  auto* alice = Join("Alice");
  auto* bob = Join("Bob");
  std::vector<std::pair<AShooterPlayerController*, std::string>> heard;
  qbhost::SetDeliveryListener([&](AShooterPlayerController* c, const qbhost::ReceivedLine& line) {
    heard.emplace_back(c, line.sender + ": " + line.text);
  });

  auto relay = AsaApi::GetApiUtils().ChatRelayFor(FString("/srv/QuellmoorBridge.so"));
  ASSERT_NE(relay, nullptr);
  EXPECT_EQ(relay->world, world_);
  qbhost::HostString sender("Server");
  qbhost::HostString text(
      "Gr\xc3\xbc\xc3\x9f"
      "e {0}");
  relay->SendToPlayer(alice, sender.get(), text.get());

  qbhost::RemovePlayer(alice);
  relay->SendToPlayer(alice, sender.get(), text.get());  // left: nothing
  relay->SendToPlayer(nullptr, sender.get(), text.get());
  int notAController = 0;
  relay->SendToPlayer(reinterpret_cast<AShooterPlayerController*>(&notAController), sender.get(),
                      text.get());

  ASSERT_EQ(qbhost::Inbox(alice).size(), 1u);
  EXPECT_EQ(qbhost::Inbox(alice)[0].sender, "Server");
  EXPECT_EQ(qbhost::Inbox(alice)[0].text,
            "Gr\xc3\xbc\xc3\x9f"
            "e {0}");
  EXPECT_TRUE(qbhost::Inbox(bob).empty());
  ASSERT_EQ(heard.size(), 1u);
  EXPECT_EQ(heard[0].first, alice);
  EXPECT_EQ(heard[0].second,
            "Server: Gr\xc3\xbc\xc3\x9f"
            "e {0}");
}

TEST_F(Engine, AChatLineReachesEveryPlayerUnlessSuppressedOrACommand) {
  auto* anna = Join("Anna");
  auto* bert = Join("Bert");
  auto* gone = Join("Gone");
  qbhost::RemovePlayer(gone);
  bool suppress = false;
  AsaApi::GetCommands().RegisterChatCallback(FString("filter"),
                                             [&suppress](auto...) { return suppress; });
  struct Case {
    const char* text;
    bool suppress;
    bool command;
    bool shown;
  };
  for (const Case& c : {Case{"frei", false, false, true}, Case{"gefiltert", true, false, false},
                        Case{"/kit", false, true, false}}) {
    suppress = c.suppress;
    EXPECT_EQ(qbhost::PlayerChat(anna, "Anna", c.text, 0, c.command), c.suppress) << c.text;
  }
  for (auto* player : {anna, bert}) {
    auto inbox = qbhost::Inbox(player);
    ASSERT_EQ(inbox.size(), 1u);
    EXPECT_EQ(inbox[0].sender, "Anna");
    EXPECT_EQ(inbox[0].text, "frei");
  }
  EXPECT_TRUE(qbhost::Inbox(gone).empty());
}

// Get() on an entry inside a world's player-controller list is a plug-in's
// mistake the stand-in refuses; on a copy, or on a reference beside the list,
// it resolves as usual.
TEST_F(Engine, WeakGetRefusesAnEntryOfAPlayerList) {
  auto* alice = Join("Alice");
  UWorld* other = qbhost::CreateWorld();
  auto* bob = qbhost::AddPlayer(other, {"Bob", "", true});
  using Get = UObject* (*)(FWeakObjectPtr*, bool);
  const auto get = reinterpret_cast<Get>(GetAddress("FWeakObjectPtr.Get()"));
  for (auto [world, player] : {std::pair{world_, alice}, std::pair{other, bob}}) {
    auto& list =
        *static_cast<TArray<FWeakObjectPtr>*>(GetAddress(world, "UWorld.PlayerControllerList"));
    ASSERT_EQ(list.count, 1);
    FWeakObjectPtr copy = list.data[0];
    EXPECT_EQ(get(&copy, false), reinterpret_cast<UObject*>(player));
    EXPECT_THROW(get(&list.data[0], false), std::logic_error);
  }
  qbhost::DestroyWorld(other);
}

TEST_F(Engine, AnInboxKeepsTheLatestLinesOnlyOverBothWaysIn) {
  auto* anna = Join("Anna");
  auto relay = AsaApi::GetApiUtils().ChatRelayFor(FString("/srv/QuellmoorBridge.so"));
  qbhost::HostString sender("Server");
  const std::size_t total = qbhost::kInboxLimit + 250;
  for (std::size_t i = 0; i < total; ++i) {
    // Alternating between the game's own chat and a plug-in's relay: both
    // land in the same bounded record.
    if (i % 2 == 0) {
      qbhost::PlayerChat(anna, "Anna", "line " + std::to_string(i), 0, false);
    } else {
      qbhost::HostString text("line " + std::to_string(i));
      relay->SendToPlayer(anna, sender.get(), text.get());
    }
  }
  auto inbox = qbhost::Inbox(anna);
  ASSERT_EQ(inbox.size(), qbhost::kInboxLimit);
  EXPECT_EQ(inbox.front().text, "line " + std::to_string(total - qbhost::kInboxLimit));
  EXPECT_EQ(inbox.back().text, "line " + std::to_string(total - 1));
  EXPECT_EQ(inbox.back().sender, "Server");
  for (std::size_t i = 1; i < inbox.size(); ++i) {
    ASSERT_EQ(inbox[i].text, "line " + std::to_string(total - qbhost::kInboxLimit + i)) << i;
  }
  // A departed player's history can be dropped; it receives nothing after.
  qbhost::RemovePlayer(anna);
  qbhost::ForgetInbox(anna);
  EXPECT_TRUE(qbhost::Inbox(anna).empty());
  qbhost::HostString text("nach dem Gehen");
  relay->SendToPlayer(anna, sender.get(), text.get());
  EXPECT_TRUE(qbhost::Inbox(anna).empty());
}

TEST_F(Engine, RelayReadsNoFurtherThanCount) {
  auto* alice = Join("Alice");
  FString sender;  // "Serv" with no NUL inside its count, in a buffer of exactly 4 units
  sender.data = static_cast<EngineChar*>(qbhost::EngineMalloc(8, 2));
  std::copy_n(u"Serv", 4, sender.data);
  sender.count = sender.capacity = 4;
  qbhost::HostString text("hallo");
  AsaApi::GetApiUtils().ChatRelayFor(FString("x"))->SendToPlayer(alice, sender, text.get());
  ASSERT_EQ(qbhost::Inbox(alice).size(), 1u);
  EXPECT_EQ(qbhost::Inbox(alice)[0].sender, "Serv");
}

TEST_F(Engine, NoRelayWithoutAWorld) {
  qbhost::SetCurrentWorld(nullptr);
  EXPECT_THROW(AsaApi::GetApiUtils().ChatRelayFor(FString("x")), std::logic_error);
}

TEST_F(Engine, DestroyingAWorldReleasesItsPlayersAndStopsBeingCurrent) {
  UWorld* other = qbhost::CreateWorld();
  qbhost::SetCurrentWorld(other);
  auto* gone = qbhost::AddPlayer(other, {"Dora", "Dori", true});
  auto* stays = Join("Emil");
  EXPECT_EQ(qbhost::LivePlayers(other), std::vector{gone});
  qbhost::DestroyWorld(other);  // Dora's name goes back to the engine heap
  EXPECT_EQ(AsaApi::GetApiUtils().CurrentWorld(), nullptr);
  EXPECT_THROW(qbhost::Inbox(gone), std::invalid_argument);
  EXPECT_EQ(qbhost::LivePlayers(world_), std::vector{stays});
}

TEST_F(Engine, RenamingKeepsTheOldNameWhenTheEngineHeapFails) {
  auto* alice = Join("Alice");
  qbhost::FailNthAllocation(1);
  EXPECT_THROW(qbhost::SetPlayerName(alice, "Alicia"), std::bad_alloc);
  EXPECT_TRUE(qbhost::PlayerLabel(alice).ends_with(" Alice")) << qbhost::PlayerLabel(alice);
  qbhost::SetPlayerName(alice, "Alicia");
  qbhost::RemovePlayer(alice);
  qbhost::RemovePlayer(alice);  // twice: no-op
  EXPECT_THROW(qbhost::SetPlayerName(alice, "x"), std::logic_error);
  EXPECT_TRUE(qbhost::PlayerLabel(alice).ends_with(" (left)")) << qbhost::PlayerLabel(alice);
}

}  // namespace
