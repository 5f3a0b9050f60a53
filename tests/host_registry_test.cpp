#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

using qbhost::CommandKind;

class Registry : public qbtest::HostTest {};

TEST_F(Registry, ChatRunsEveryCallbackAndOrsTheResults) {
  std::vector<std::string> order;
  auto& commands = AsaApi::GetCommands();
  commands.RegisterChatCallback(FString("a"), [&](auto...) {
    order.push_back("a");
    return false;
  });
  commands.RegisterChatCallback(FString("b"), [&](auto...) {
    order.push_back("b");
    return true;
  });
  commands.RegisterChatCallback(FString("c"), [&](auto...) {
    order.push_back("c");
    return false;
  });
  qbhost::HostString text("hi");
  EXPECT_TRUE(qbhost::DispatchChat(nullptr, text.ptr(), 0, 0, false, false));
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c"}));
  commands.UnregisterChatCallback(FString("b"));
  EXPECT_FALSE(qbhost::DispatchChat(nullptr, text.ptr(), 0, 0, false, false));
}

TEST_F(Registry, RconMatchesTheFirstWordCaseInsensitivelyWhenAuthenticated) {
  int calls = 0;
  AsaApi::GetCommands().RegisterRconCommand(FString("quellmoorsay"), [&](auto...) { ++calls; });
  struct Case {
    const char* body;
    bool authenticated;
    bool matched;
  };
  for (const Case& c : {Case{"quellmoorsay abc", true, true}, Case{"QuellmoorSay", true, true},
                        Case{"QUELLMOORSAY x y", true, true}, Case{"quellmoorsay x", false, false},
                        Case{"quellmoorsayx", true, false}, Case{" quellmoorsay", true, false},
                        Case{"listplayers", true, false}}) {
    RCONPacket packet{};
    qbhost::ConstructInto(&packet.body, c.body);
    EXPECT_EQ(qbhost::DispatchRcon(nullptr, &packet, nullptr, c.authenticated), c.matched)
        << c.body;
  }
  EXPECT_EQ(calls, 3);
}

TEST_F(Registry, TimersRunOnEveryTickUntilRemoved) {
  int ticks = 0;
  AsaApi::GetCommands().RegisterTimerCallback(FString("t"), [&] { ++ticks; });
  qbhost::Tick();
  qbhost::Tick();
  EXPECT_TRUE(AsaApi::GetCommands().UnregisterTimerCallback(FString("t")));
  EXPECT_FALSE(AsaApi::GetCommands().UnregisterTimerCallback(FString("t")));
  qbhost::Tick();
  EXPECT_EQ(ticks, 2);
}

TEST_F(Registry, ForgettingAPluginDropsOnlyItsRegistrations) {
  {
    qbhost::PluginScope scope(7);
    AsaApi::GetCommands().RegisterTimerCallback(FString("mine"), [] {});
  }
  AsaApi::GetCommands().RegisterTimerCallback(FString("other"), [] {});
  qbhost::ForgetPlugin(7);
  EXPECT_EQ(qbhost::RegisteredIds(CommandKind::Timer), std::vector<std::string>{"other"});
}

TEST_F(Registry, ASecondRegistrationUnderATakenIdIsRefused) {
  int first = 0;
  int second = 0;
  AsaApi::GetCommands().RegisterTimerCallback(FString("t"), [&] { ++first; });
  AsaApi::GetCommands().RegisterTimerCallback(FString("t"), [&] { ++second; });
  qbhost::Tick();
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 0);
  EXPECT_EQ(qbhost::RegistryJournal().size(), 2u);
}

TEST_F(Registry, LoadUnloadCyclesKeepOnlyARecentJournal) {
  auto& commands = AsaApi::GetCommands();
  constexpr int kCycles = 5000;
  for (int i = 0; i < kCycles; ++i) {
    const qbhost::PluginId id = static_cast<qbhost::PluginId>(i + 1);
    {
      qbhost::PluginScope scope(id);
      commands.RegisterTimerCallback(FString("tick"), [] {});
      commands.RegisterRconCommand(FString(("say" + std::to_string(i)).c_str()), [](auto...) {});
      commands.UnregisterTimerCallback(FString("tick"));
    }
    qbhost::ForgetPlugin(id);  // the RCON command goes without a journal entry
  }
  EXPECT_TRUE(qbhost::RegisteredIds(CommandKind::Rcon).empty());
  auto journal = qbhost::RegistryJournal();
  EXPECT_EQ(journal.size(), 256u);
  ASSERT_FALSE(journal.empty());
  // The newest entries survive, in order.
  EXPECT_FALSE(journal.back().added);
  EXPECT_EQ(journal.back().id, "tick");
  EXPECT_EQ(journal[journal.size() - 2].id, "say" + std::to_string(kCycles - 1));
}

}  // namespace
