// The built plug-in library, loaded the way the host loads it: from the
// server's plug-in folder by the dev server's loader, entries found by name, run
// inside the plug-in's scope, and forgotten by the host before dlclose.

#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "qbhost/rcon.h"
#include "support/base64_encode.h"
#include "support/plugin_library.h"

namespace {

std::vector<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(
      popen(("nm -D --defined-only '" + library + "'").c_str(), "r"), pclose);
  EXPECT_NE(pipe, nullptr);
  std::vector<std::string> names;
  std::array<char, 512> line{};
  while (pipe && std::fgets(line.data(), line.size(), pipe.get()) != nullptr) {
    std::istringstream fields(line.data());
    std::string address, type, name;
    fields >> address >> type >> name;
    names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

class Library : public qbtest::PluginLibraryTest {};

// Puts the process's working directory back however the test ends.
class WorkingDirectory {
 public:
  WorkingDirectory() : saved_(std::filesystem::current_path()) {}
  ~WorkingDirectory() { std::filesystem::current_path(saved_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  std::filesystem::path saved_;
};

TEST_F(Library, ExportsExactlyTheTwoEntries) {
  EXPECT_EQ(DefinedDynamicSymbols(library_),
            (std::vector<std::string>{"Plugin_Init", "Plugin_Unload"}));
}

TEST_F(Library, WithoutConfigRegistersEverythingAndStaysInactive) {
  Load();
  const std::string path = (pluginDir_ / "config.json").string();
  EXPECT_EQ(Messages(*sink_),
            (std::vector<std::string>{"[QuellmoorBridge] Keine config.json gefunden unter " + path +
                                          " - Plugin bleibt inaktiv.",
                                      "[QuellmoorBridge] geladen (aktiv: false)."}));
  using K = qbhost::CommandKind;
  auto journal = qbhost::RegistryJournal();
  ASSERT_EQ(journal.size(), 3u);
  const std::vector<std::pair<K, std::string>> expected = {
      {K::Chat, "QuellmoorBridge_OnChatMessage"},
      {K::Rcon, "quellmoorsay"},
      {K::Timer, "QuellmoorBridge_Heartbeat"}};
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(journal[i].added);
    EXPECT_EQ(journal[i].kind, expected[i].first);
    EXPECT_EQ(journal[i].id, expected[i].second);
  }

  const auto linesBefore = Messages(*sink_).size();
  Unload();
  EXPECT_EQ(Messages(*sink_).size(), linesBefore) << "unload writes nothing";
  journal = qbhost::RegistryJournal();
  ASSERT_EQ(journal.size(), 6u);
  for (std::size_t i = 0; i < 3; ++i) {  // the same order, not reversed
    EXPECT_FALSE(journal[3 + i].added);
    EXPECT_TRUE(journal[3 + i].matched);
    EXPECT_EQ(journal[3 + i].kind, expected[i].first);
    EXPECT_EQ(journal[3 + i].id, expected[i].second);
  }
}

TEST_F(Library, ALoggerThatCannotBeMadeLeavesThePluginInactiveAndSaysWhy) {
  qbtest::WriteConfig(root_->path(),
                      R"({"webhookBaseUrl": "http://127.0.0.1:9", "token": "t", "map": "Insel"})");
  qbhost::FailNextGetLogSinks();
  Load();  // Plugin_Init returns
  EXPECT_EQ(Messages(*sink_),
            std::vector<std::string>{"[QuellmoorBridge] Laden fehlgeschlagen: the host's log sinks "
                                     "are unavailable - Plugin bleibt inaktiv."});
  EXPECT_TRUE(qbhost::RegisteredIds(qbhost::CommandKind::Chat).empty());
  Unload();
}

TEST_F(Library, OfTwoFailingRemovalsTheFirstIsReportedAndEveryRemovalIsTried) {
  Load();
  qbhost::FailRemoval(qbhost::CommandKind::Chat, "erste");
  qbhost::FailRemoval(qbhost::CommandKind::Timer, "dritte");
  Unload();
  EXPECT_EQ(Messages(*sink_).back(), "[QuellmoorBridge] Entladen fehlgeschlagen: erste");
  const auto journal = qbhost::RegistryJournal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal.back().kind, qbhost::CommandKind::Rcon)
      << "the removal between the failing ones still ran";
  EXPECT_TRUE(journal.back().matched);
}

TEST_F(Library, ReloadStartsAfreshOverTheHostsCurrentSinks) {
  qbtest::WriteConfig(root_->path(),
                      R"({"webhookBaseUrl": "http://127.0.0.1:9", "token": "t", "map": "Insel"})");
  Load();
  EXPECT_EQ(Messages(*sink_),
            (std::vector<std::string>{"[QuellmoorBridge] Konfiguration geladen. Map: Insel",
                                      "[QuellmoorBridge] geladen (aktiv: true)."}));
  Unload();
  if (void* still = dlopen(library_.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
    ADD_FAILURE() << "the library stayed in memory after dlclose";
    dlclose(still);
  }
  EXPECT_TRUE(qbhost::RegisteredIds(qbhost::CommandKind::Chat).empty());

  auto second = std::make_shared<qbtest::CaptureSink>();
  qbhost::SetLogSinks({second});
  std::filesystem::remove(pluginDir_ / "config.json");
  Load();
  EXPECT_EQ(Messages(*sink_).size(), 2u);
  ASSERT_EQ(Messages(*second).size(), 2u);
  EXPECT_EQ(Messages(*second)[1], "[QuellmoorBridge] geladen (aktiv: false).");
  EXPECT_EQ(qbhost::RegisteredIds(qbhost::CommandKind::Rcon),
            std::vector<std::string>{"quellmoorsay"});
}

// The host hands out a plug-in's chat relay by the path of its library file.
// A library opened by a relative name must still name its file once the
// server's working directory has moved on, where that name means nothing.
TEST_F(Library, SayReachesThePlayersWhenLoadedByARelativePathFromElsewhere) {
  qbtest::WriteConfig(root_->path(), R"({"webhookBaseUrl": "http://127.0.0.1:9", "token": "t"})");
  auto* player = Join("Ada");
  const WorkingDirectory restore;
  std::filesystem::current_path(root_->path());
  loader_ = std::make_unique<devserver::PluginLoader>(".");  // opens ./ArkApi/Plugins/...
  Load();
  const qbtest::TempDir elsewhere;
  std::filesystem::current_path(elsewhere.path());

  RCONClientConnection* connection = qbhost::CreateRconConnection({});
  {
    qbhost::HostRconPacket packet(
        5, qbhost::kRconExecOrAuthResponse,
        "quellmoorsay " + qbtest::EncodeBase64(R"({"sender":"Rat","message":"Hallo"})"));
    EXPECT_TRUE(qbhost::DispatchRcon(connection, packet.get(), world_, true));
  }
  const auto replies = qbhost::SentReplies(connection);
  qbhost::DestroyRconConnection(connection);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body, "OK");
  const auto inbox = qbhost::Inbox(player);
  ASSERT_EQ(inbox.size(), 1u);
  EXPECT_EQ(inbox[0].text, "Hallo");

  const std::filesystem::path named = qbhost::LastChatRelayPath();
  std::error_code ec;
  EXPECT_TRUE(named.is_absolute()) << named;
  EXPECT_TRUE(std::filesystem::equivalent(named, library_, ec)) << named << " " << ec.message();
}

}  // namespace
