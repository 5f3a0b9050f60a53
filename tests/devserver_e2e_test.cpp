// The dev server as a process, end to end: the built QuellmoorBridge.so in a
// temporary server root, a webhook service in the test, players driven through
// the console, and an RCON client over TCP. Every test ends with a SIGTERM (or
// its own way of stopping) and checks exit code 0 and an engine heap without
// live blocks; the server runs under the sanitizers, so a leak fails it too.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "support/base64_encode.h"
#include "support/dev_server_test.h"
#include "support/harness.h"
#include "support/http_receiver.h"
#include "support/rcon_client.h"
#include "support/text_shape.h"

namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kToken = "tok en-1";  // a blank inside is sent verbatim

std::string Say(const json& payload) {
  return "quellmoorsay " + qbtest::EncodeBase64(payload.dump());
}

class DevServerE2E : public qbtest::DevServerTest {
 protected:
  void SetUp() override {
    receiver_.Start();
    DevServerTest::SetUp();
  }

  void TearDown() override {
    if (server_ && !stopped_) ExpectCleanExit();
    server_.reset();  // its connections to the receiver are closed now
    receiver_.Stop();
  }

  json ActiveConfig() const {
    return {{"webhookBaseUrl", receiver_.BaseUrl()},
            {"token", kToken},
            {"map", "Insel"},
            {"serverVersion", "1.2.3"}};
  }
  void WriteConfig(const json& config) { qbtest::WriteConfig(root_->path(), config.dump()); }

  std::unique_ptr<qbtest::RconClient> Admin() {
    auto client = std::make_unique<qbtest::RconClient>(rconPort_);
    EXPECT_TRUE(client->Auth(kPassword));
    return client;
  }

  // Any line printed so far contains `needle`.
  bool Printed(const std::string& needle) { return FindLine(needle).has_value(); }

  void ExpectCleanExit() {
    EXPECT_EQ(Stop(), 0);
    EXPECT_TRUE(Printed("Plugin QuellmoorBridge unloaded"));
    EXPECT_TRUE(Printed("engine heap: 0 live blocks"));
  }

  // The nth (1-based) request to `path`, waiting up to 5 s for it.
  std::optional<qbtest::ReceivedPost> Nth(const std::string& path, std::size_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
      auto posts = receiver_.Posts();
      std::size_t seen = 0;
      for (const auto& post : posts) {
        if (post.path == path && ++seen == n) return post;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return std::nullopt;
      receiver_.WaitForPosts(posts.size() + 1, left);
    }
  }

  std::size_t Count(const std::string& path) {
    auto posts = receiver_.Posts();
    return static_cast<std::size_t>(
        std::count_if(posts.begin(), posts.end(), [&](const auto& p) { return p.path == path; }));
  }

  // How many lines printed so far contain `needle`.
  std::size_t CountLines(const std::string& needle) {
    auto lines = server_->Lines();
    return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [&](const auto& l) {
      return l.find(needle) != std::string::npos;
    }));
  }

  // Players Spieler0000 .. Spieler<n-1> join; returns what listplayers answers.
  std::string JoinPlayers(int n) {
    std::string list;
    for (int i = 0; i < n; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "Spieler%04d", i);
      server_->Send(std::string("join ") + name);
      list += std::to_string(i) + ". " + name + "\n";
    }
    char last[32];
    std::snprintf(last, sizeof last, "OK join Spieler%04d", n - 1);
    EXPECT_TRUE(server_->Expect(last, std::chrono::seconds(20)));
    return list;
  }

  qbtest::HttpReceiver receiver_;
};

TEST_F(DevServerE2E, ChatReachesTheServiceAndFilteredChatDoesNot) {
  WriteConfig(ActiveConfig());
  Start();
  Console("join Anna Thorgar", "OK join Anna");
  Console("join Bert", "OK join Bert");
  Console("join --no-state ghost", "OK join ghost");

  Console("chat Anna Hallo Welt", "OK chat Anna suppressed=no");
  auto first = Nth("/plugin/chat", 1);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(first->HeaderCount("Authorization"), 1u);
  EXPECT_EQ(first->Header("Content-Type"), "application/json");
  EXPECT_EQ(first->body, R"({"map":"Insel","message":"Hallo Welt","sender":"Thorgar"})");

  // Tribe chat, a command and an empty line stay in the game.
  Console("chat Anna --mode 1 nur fuer den Stamm", "OK chat Anna");
  Console("chat Anna --command /kit", "OK chat Anna");
  Console("chat Anna", "OK chat Anna");
  // Without a character name the player-state name is sent; a line break and
  // an umlaut travel as JSON.
  Console(R"(chat Bert Zeile\nzwei \xc3\xa4)", "OK chat Bert");
  auto second = Nth("/plugin/chat", 2);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->body,
            "{\"map\":\"Insel\",\"message\":\"Zeile\\nzwei \xc3\xa4\",\"sender\":\"Bert\"}");
  Console("chat ghost   ", "OK chat ghost");
  auto third = Nth("/plugin/chat", 3);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->body, R"({"map":"Insel","message":"  ","sender":"Unbekannt"})");

  EXPECT_EQ(Count("/plugin/chat"), 3u);
  for (const auto& r : receiver_.Posts()) {
    EXPECT_THAT(r.body, ::testing::Not(HasSubstr("Stamm")));
    EXPECT_THAT(r.body, ::testing::Not(HasSubstr("/kit")));
  }
}

TEST_F(DevServerE2E, SayAnswersEveryCaseAndReachesEveryLivePlayer) {
  WriteConfig(ActiveConfig());
  Start();
  Console("join Anna", "OK join Anna");
  Console("join Bert", "OK join Bert");
  Console("join --no-state ghost", "OK join ghost");
  Console("leave Bert", "OK leave Bert");
  auto admin = Admin();

  EXPECT_EQ(admin->Exec("quellmoorsay"), "Fehlendes Payload.");
  EXPECT_EQ(admin->Exec("quellmoorsay %%%"), "Ungueltiges Base64-Payload.");
  EXPECT_EQ(admin->Exec("quellmoorsay " + qbtest::EncodeBase64("[1]")),
            "Ungueltiges JSON-Payload.");
  EXPECT_TRUE(server_->Expect(
      "[QuellmoorBridge] quellmoorsay: ungueltiges JSON-Payload: [json.exception."));
  EXPECT_EQ(admin->Exec(Say(json::object())), "Leere Nachricht.");
  EXPECT_EQ(admin->Exec(Say({{"sender", "Admin"}, {"message", ""}})), "Leere Nachricht.");

  const std::string text = "Hallo {0} {{x}} }\nzweite Zeile \\ ende";
  EXPECT_EQ(admin->Exec(Say({{"sender", "Der Admin"}, {"message", text}})), "OK");
  std::vector<std::string> chats;
  for (const auto& line : server_->Lines()) {
    if (line.rfind("CHAT ", 0) == 0) chats.push_back(line);
  }
  // Bert has left: his entry is still in the world's list but resolves to null.
  const std::string escaped = R"(text=Hallo {0} {{x}} }\nzweite Zeile \\ ende)";
  EXPECT_THAT(chats, ::testing::ElementsAre("CHAT to=Anna from=Der\\x20Admin " + escaped,
                                            "CHAT to=ghost from=Der\\x20Admin " + escaped));

  // The command word matches without regard to case; without a sender the
  // line comes from "Server".
  EXPECT_EQ(admin->Exec("QuellmoorSay " + qbtest::EncodeBase64(R"({"message":"Hi"})")), "OK");
  EXPECT_TRUE(server_->Expect("CHAT to=Anna from=Server text=Hi"));
  EXPECT_TRUE(server_->Expect("CHAT to=ghost from=Server text=Hi"));

  // The server's own commands and its answer to everything else.
  EXPECT_EQ(admin->Exec("saveworld"), "Server received, But no response!! ");
  auto players = admin->Exec("listplayers");
  ASSERT_TRUE(players);
  EXPECT_THAT(*players, HasSubstr("Anna"));
  EXPECT_THAT(*players, HasSubstr("ghost"));
  EXPECT_THAT(*players, ::testing::Not(HasSubstr("Bert")));
}

TEST_F(DevServerE2E, IncompleteConfigLeavesThePluginInactive) {
  WriteConfig({{"webhookBaseUrl", receiver_.BaseUrl()}, {"map", "Insel"}});
  Start();
  EXPECT_TRUE(Printed(
      "[QuellmoorBridge] config.json unvollstaendig (webhookBaseUrl/token fehlen) - Plugin bleibt "
      "inaktiv."));
  EXPECT_TRUE(Printed("[QuellmoorBridge] geladen (aktiv: false)."));
  auto admin = Admin();
  EXPECT_EQ(admin->Exec(Say({{"message", "Hallo"}})), "QuellmoorBridge ist nicht konfiguriert.");
  EXPECT_EQ(admin->Exec("quellmoorsay"), "QuellmoorBridge ist nicht konfiguriert.");
  Console("join Anna", "OK join Anna");
  Console("chat Anna Hallo", "OK chat Anna suppressed=no");
  Console("tick", "OK tick");
  // The game still shows the line; only the service hears nothing.
  EXPECT_TRUE(Printed("CHAT to=Anna from=Anna text=Hallo"));
  EXPECT_TRUE(receiver_.Posts().empty());
}

TEST_F(DevServerE2E, HeartbeatCountsTheWorldsPlayers) {
  WriteConfig(ActiveConfig());
  Start();
  // The first tick of an active plug-in reports at once.
  auto first = Nth("/plugin/heartbeat", 1);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->Header("Authorization"), std::string("Bearer ") + kToken);
  EXPECT_EQ(first->body,
            R"({"map":"Insel","playerCount":0,"pluginVersion":"0.1.0","serverVersion":"1.2.3"})");

  // A departed player's entry still counts. A reload releases the library, so
  // the next plug-in starts with a fresh clock and reports on its first tick.
  Console("join Anna", "OK join Anna");
  Console("join Bert", "OK join Bert");
  Console("join --no-state ghost", "OK join ghost");
  Console("leave Bert", "OK leave Bert");
  Console("plugins.unload QuellmoorBridge", "OK plugins.unload QuellmoorBridge");
  Console("plugins.load QuellmoorBridge", "OK plugins.load QuellmoorBridge");
  auto second = Nth("/plugin/heartbeat", 2);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->body,
            R"({"map":"Insel","playerCount":3,"pluginVersion":"0.1.0","serverVersion":"1.2.3"})");

  // Not ready, or no world: no count.
  Console("ready 0", "OK ready 0");
  Console("plugins.unload QuellmoorBridge", "OK plugins.unload");
  Console("plugins.load QuellmoorBridge", "OK plugins.load");
  auto third = Nth("/plugin/heartbeat", 3);
  ASSERT_TRUE(third);
  EXPECT_EQ(third->body, R"({"map":"Insel","pluginVersion":"0.1.0","serverVersion":"1.2.3"})");
  Console("ready 1", "OK ready 1");
  Console("world remove", "OK world removed");
  Console("plugins.unload QuellmoorBridge", "OK plugins.unload");
  Console("plugins.load QuellmoorBridge", "OK plugins.load");
  auto fourth = Nth("/plugin/heartbeat", 4);
  ASSERT_TRUE(fourth);
  EXPECT_EQ(fourth->body, R"({"map":"Insel","pluginVersion":"0.1.0","serverVersion":"1.2.3"})");
  Console("world restore", "OK world restored");
}

TEST_F(DevServerE2E, ReloadOverRconRereadsTheConfig) {
  WriteConfig(ActiveConfig());
  Start();
  auto admin = Admin();
  json changed = ActiveConfig();
  changed["map"] = "Festland";
  WriteConfig(changed);

  EXPECT_EQ(admin->Exec("plugins.unload QuellmoorBridge"), "Plugin QuellmoorBridge unloaded");
  // Its command went with it.
  EXPECT_EQ(admin->Exec(Say({{"message", "x"}})), "Server received, But no response!! ");
  EXPECT_EQ(admin->Exec("plugins.unload QuellmoorBridge"),
            "Plugin QuellmoorBridge not unloaded: not loaded");
  EXPECT_EQ(admin->Exec("plugins.load QuellmoorBridge"), "Plugin QuellmoorBridge loaded");
  EXPECT_TRUE(server_->Expect("[QuellmoorBridge] Konfiguration geladen. Map: Festland"));
  EXPECT_EQ(admin->Exec("plugins.load QuellmoorBridge"),
            "Plugin QuellmoorBridge not loaded: already loaded");

  Console("join Anna", "OK join Anna");
  Console("chat Anna Moin", "OK chat Anna");
  auto chat = Nth("/plugin/chat", 1);
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->body, R"({"map":"Festland","message":"Moin","sender":"Anna"})");

  Console("plugins.load Nope", "ERROR plugins.load Nope: no library at");
  Console("plugins.load ../QuellmoorBridge", "ERROR plugins.load");
}

TEST_F(DevServerE2E, MalformedPacketsAndWrongPasswordsLeaveOtherClientsWorking) {
  WriteConfig(ActiveConfig());
  Start();
  auto admin = Admin();

  qbtest::RconClient tooSmall(rconPort_);
  tooSmall.SendRaw(qbtest::EncodeRcon(1, 2, "", 5));
  qbtest::RconClient tooLarge(rconPort_);
  tooLarge.SendRaw(qbtest::EncodeRcon(1, 2, "", 5000));
  qbtest::RconClient negative(rconPort_);
  negative.SendRaw(qbtest::EncodeRcon(1, 2, "", -1));
  EXPECT_TRUE(tooSmall.WaitClosed());
  EXPECT_TRUE(tooLarge.WaitClosed());
  EXPECT_TRUE(negative.WaitClosed());

  qbtest::RconClient guest(rconPort_);
  EXPECT_EQ(guest.Exec("listplayers"), "Not authenticated.");
  guest.Send(5, 3, "wrong");
  auto refused = guest.Read();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->type, 2);
  EXPECT_EQ(refused->id, -1);
  EXPECT_EQ(guest.Exec(Say({{"message", "x"}})), "Not authenticated.");
  EXPECT_TRUE(guest.Auth(kPassword));  // still open for another try
  EXPECT_EQ(guest.Exec("listplayers"), "No Players Connected");

  EXPECT_EQ(admin->Exec("listplayers"), "No Players Connected");
  EXPECT_EQ(admin->Exec(Say({{"message", "noch da"}})), "OK");
  // The first one as it is, the two after it within the second in a digest.
  EXPECT_TRUE(
      server_->Expect("RCON: 2 malformed packets from 127.0.0.1 in the last second: "
                      "connections closed"));
  EXPECT_EQ(CountLines("sent a malformed packet (size "), 1u);
  EXPECT_EQ(CountLines(" outside 10..4096): connection closed"), 1u);
}

TEST_F(DevServerE2E, SigtermUnloadsAndLogsToStdoutAndFile) {
  fs::create_directories(root_->path() / "ArkApi" / "Plugins" / "Broken");
  std::ofstream(root_->path() / "ArkApi" / "Plugins" / "Broken" / "Broken.so") << "not a library";
  WriteConfig(ActiveConfig());
  Start();
  EXPECT_TRUE(Printed("Plugin Broken not loaded: "));
  EXPECT_TRUE(Printed("Plugin QuellmoorBridge loaded from "));
  ExpectCleanExit();

  // Each logger writes its own format into the same outputs.
  const std::string pluginLine =
      "##/##/## ##:## [QuellmoorBridge][info] [QuellmoorBridge] geladen (aktiv: true).";
  const std::string hostLine =
      "####-##-## ##:##:##.### <host> info: Plugin QuellmoorBridge unloaded";
  auto lines = server_->Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [&](auto& l) { return qbtest::HasShape(l, pluginLine); }));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [&](auto& l) { return qbtest::HasShape(l, hostLine); }));

  std::ifstream file(root_->path() / "logs" / "devserver.log");
  std::stringstream log;
  log << file.rdbuf();
  EXPECT_THAT(log.str(),
              HasSubstr("[QuellmoorBridge][info] [QuellmoorBridge] geladen (aktiv: true)."));
  EXPECT_THAT(log.str(), HasSubstr("<host> info: Plugin QuellmoorBridge unloaded"));
  EXPECT_THAT(log.str(), ::testing::Not(HasSubstr("OK ")));  // console answers are stdout only
}

TEST_F(DevServerE2E, QuitCommandStopsCleanly) {
  WriteConfig(ActiveConfig());
  Start();
  Console("quit", "OK quit");
  ExpectCleanExit();
}

TEST_F(DevServerE2E, EndOfInputStopsOnlyWhenAskedTo) {
  WriteConfig(ActiveConfig());
  Start({"--quit-on-eof"});
  server_->CloseInput();
  ExpectCleanExit();
}

TEST_F(DevServerE2E, EndOfInputLeavesTheServerRunning) {
  WriteConfig(ActiveConfig());
  Start();
  server_->CloseInput();
  EXPECT_TRUE(server_->Expect("Console input ended; the server runs on"));
  EXPECT_EQ(Admin()->Exec("listplayers"), "No Players Connected");
}

TEST_F(DevServerE2E, FailedRequestsAreLoggedAfterTheTick) {
  qbtest::RawPort refusing(qbtest::RawPort::Mode::Refuse);
  json config = ActiveConfig();
  config["webhookBaseUrl"] = refusing.BaseUrl();
  WriteConfig(config);
  Start();
  EXPECT_TRUE(server_->Expect("[QuellmoorBridge] POST /plugin/heartbeat fehlgeschlagen: "));
}

TEST_F(DevServerE2E, AServiceThatNeverAnswersStallsNothing) {
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);  // accepts, never answers
  json config = ActiveConfig();
  config["webhookBaseUrl"] = silent.BaseUrl();
  WriteConfig(config);
  Start();
  Console("join Anna", "OK join Anna");
  for (int i = 0; i < 3; ++i) Console("chat Anna warte " + std::to_string(i), "OK chat Anna");
  // While the requests hang, the game thread still serves RCON and console.
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(Admin()->Exec(Say({{"message", "noch da"}})), "OK");
  EXPECT_TRUE(server_->Expect("CHAT to=Anna from=Server text=noch da"));
  Console("players", "OK players");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
  // Each request ends in exactly one failure line once its 5 s timeouts run
  // out: three chat lines and the first heartbeat. One deadline for all.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  const auto left = [&] {
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                 std::chrono::steady_clock::now());
  };
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(server_->Expect("[QuellmoorBridge] POST /plugin/chat fehlgeschlagen: ", left()))
        << "chat failure line " << i + 1 << " of 3 missing after 20 s; heartbeat failures: "
        << CountLines("POST /plugin/heartbeat fehlgeschlagen");
  }
  ASSERT_TRUE(
      server_->ExpectSince(0, "[QuellmoorBridge] POST /plugin/heartbeat fehlgeschlagen: ", left()))
      << "no heartbeat failure line within 20 s";
  ExpectCleanExit();
  EXPECT_EQ(CountLines("POST /plugin/chat fehlgeschlagen"), 3u);
}

TEST_F(DevServerE2E, FiveAnswersOf400MiBLeaveTheServersMemoryAsItWas) {
  // The request service keeps at most 1 MiB of an answer and reads the rest
  // only to drop it. Completions on the workers, as the real host may run them.
  WriteConfig(ActiveConfig());
  // AddressSanitizer keeps freed blocks resident in a quarantine of up to
  // 256 MiB, so an ASan dev server's growth would count every kept mebibyte
  // ever freed, not what the service holds. Other builds ignore the option.
  const char* inherited = std::getenv("ASAN_OPTIONS");
  const std::string asanOptions = inherited == nullptr ? std::string() : inherited;
  ::setenv("ASAN_OPTIONS", (asanOptions + ":quarantine_size_mb=0").c_str(), 1);
  Start({"--completions", "any-thread"});
  if (inherited == nullptr) {
    ::unsetenv("ASAN_OPTIONS");
  } else {
    ::setenv("ASAN_OPTIONS", asanOptions.c_str(), 1);
  }
  Console("join Anna", "OK join Anna");
  // Small answers first, so that the workers and their connections exist.
  for (int i = 0; i < 8; ++i) Console("chat Anna warm " + std::to_string(i), "OK chat Anna");
  ASSERT_TRUE(Nth("/plugin/chat", 8));
  const long before = server_->ResidentKib();
  receiver_.AnswerWithBytes(std::size_t{400} << 20);
  for (int i = 0; i < 5; ++i) Console("chat Anna gross " + std::to_string(i), "OK chat Anna");
  // Each ends when its answer is out or when its time limits end it.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (receiver_.StreamedAnswers() + CountLines("POST /plugin/chat fehlgeschlagen") < 5 &&
         std::chrono::steady_clock::now() < deadline) {
    receiver_.WaitForPosts(1000, std::chrono::milliseconds(100));
  }
  const long growth = server_->ResidentKib() - before;
  std::printf(
      "dev server resident: %ld KiB before, grew by %ld KiB over five 400 MiB answers "
      "(%zu read to the end)\n",
      before, growth, receiver_.StreamedAnswers());
  // A heartbeat that comes meanwhile gets a big answer too.
  EXPECT_GE(receiver_.StreamedAnswers(), 5u)
      << "failures: " << CountLines("POST /plugin/chat fehlgeschlagen");
  EXPECT_GT(before, 0);
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer keeps shadow memory of several times what the process
  // touches, the kept mebibytes included.
  constexpr long kBoundKib = 48 * 1024;
#else
  // Each worker may hold the mebibyte it kept, and a sanitizer's allocator
  // caches what a thread freed: a mebibyte per worker and as much again. A
  // service that kept whole answers would grow by hundreds of MiB.
  constexpr long kBoundKib = 2 * static_cast<long>(qbhost::kRequestWorkers) * 1024;
#endif
  EXPECT_LT(growth, kBoundKib) << "KiB";
}

TEST_F(DevServerE2E, WebhookEchoPrintsThePluginsRequests) {
  Start({"--webhook-echo", "0"});
  // The echo's port is known only now: point the plug-in at it and reload.
  auto line = FindLine("Webhook echo listening on 127.0.0.1:");
  ASSERT_TRUE(line);
  json config = ActiveConfig();
  config["webhookBaseUrl"] = "http://127.0.0.1:" + line->substr(line->rfind(':') + 1);
  WriteConfig(config);
  Console("plugins.unload QuellmoorBridge", "OK plugins.unload");
  Console("plugins.load QuellmoorBridge", "OK plugins.load");
  EXPECT_TRUE(server_->Expect(
      R"(WEBHOOK POST /plugin/heartbeat bearer=yes body={"map":"Insel","playerCount":0,"pluginVersion":"0.1.0","serverVersion":"1.2.3"})"));
  Console("join Anna", "OK join Anna");
  // The echo prints from its own thread: its line may come before the
  // console's answer.
  const auto mark = server_->Mark();
  Console("chat Anna Hallo Echo", "OK chat Anna");
  EXPECT_TRUE(server_->ExpectSince(
      mark,
      R"(WEBHOOK POST /plugin/chat bearer=yes body={"map":"Insel","message":"Hallo Echo","sender":"Anna"})"));
  EXPECT_FALSE(Printed(kToken));
}

TEST(DevServerProcess, RconStaysOffWithoutPassword) {
  qbtest::TempDir root;
  qbtest::ChildProcess server(QB_DEVSERVER_PATH,
                              {"--root", root.path().string(), "--tick-ms", "50"});
  EXPECT_TRUE(server.Expect("RCON is off: no password"));
  EXPECT_TRUE(server.Expect("No plug-ins found in"));
  EXPECT_TRUE(server.Expect("Dev server ready"));
  server.Send("bogus");
  EXPECT_TRUE(server.Expect("ERROR unknown command \"bogus\" (type help)"));
  server.Signal(SIGINT);
  EXPECT_EQ(server.WaitExit(), 0);
}

TEST(DevServerProcess, TakenRconPortFailsTheStart) {
  qbtest::TempDir root;
  qbtest::ChildProcess first(QB_DEVSERVER_PATH, {"--root", root.path().string(), "--rcon-port", "0",
                                                 "--rcon-password", "x"});
  auto line = first.Expect("RCON listening on 127.0.0.1:");
  ASSERT_TRUE(line);
  std::string port = line->substr(line->rfind(':') + 1);
  qbtest::ChildProcess second(QB_DEVSERVER_PATH, {"--root", root.path().string(), "--rcon-port",
                                                  port, "--rcon-password", "x"});
  EXPECT_TRUE(second.Expect("RCON cannot listen on 127.0.0.1:" + port));
  EXPECT_EQ(second.WaitExit(), 1);
  first.Signal(SIGTERM);
  EXPECT_EQ(first.WaitExit(), 0);
}

// ---------------------------------------------------------------- RCON on the wire

// Where Debian's rcon package puts its client; empty when it is not installed.
std::string FindRconclt() {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(path != nullptr ? path : "/usr/bin");
  for (std::string dir; std::getline(dirs, dir, ':');) {
    fs::path candidate = fs::path(dir) / "rconclt";
    if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

struct ToolRun {
  std::optional<int> exitCode;
  std::string output;  // standard output, lines joined with "\n"
};

ToolRun RunTool(const std::string& program, const std::vector<std::string>& args) {
  qbtest::ChildProcess tool(program, args);
  tool.CloseInput();
  ToolRun run;
  run.exitCode = tool.WaitExit(std::chrono::seconds(15));
  for (const auto& line : tool.Lines()) run.output += line + "\n";
  return run;
}

TEST_F(DevServerE2E, EveryLoginIsAnsweredByTheAuthResponseAloneInOneRead) {
  WriteConfig(ActiveConfig());
  Start({"--rcon-auth-tries", "100"});
  for (int i = 0; i < 20; ++i) {
    qbtest::RconClient client(rconPort_);
    const bool right = i % 2 == 0;
    client.Send(40 + i, 3, right ? kPassword : "falsch");
    // One read, as a client that reads one packet per TCP read does: the auth
    // response and nothing before or after it.
    EXPECT_EQ(client.RecvOnce(4096), qbtest::EncodeRcon(right ? 40 + i : -1, 2, "")) << i;
    if (right) {
      EXPECT_EQ(client.Exec("listplayers"), "No Players Connected");
    }
  }
}

TEST_F(DevServerE2E, ALongReplyArrivesSplitIntoPacketsOfAtMost4096) {
  WriteConfig(ActiveConfig());
  Start();
  const std::string expected = JoinPlayers(600);  // about 9.6 KB
  auto admin = Admin();
  auto packets = admin->ExecAll("listplayers");  // Read() refuses a size above 4096
  ASSERT_GE(packets.size(), 3u);
  std::string joined;
  for (std::size_t i = 0; i < packets.size(); ++i) {
    EXPECT_EQ(packets[i].id, packets[0].id);
    EXPECT_EQ(packets[i].type, 0);
    if (i + 1 < packets.size()) {
      EXPECT_EQ(packets[i].body.size(), 4086u);
    }
    joined += packets[i].body;
  }
  EXPECT_EQ(joined, expected);
}

TEST_F(DevServerE2E, ThirdPartyClientRconcltLogsInSaysAndReadsALongReply) {
  const std::string rconclt = FindRconclt();
  ASSERT_FALSE(rconclt.empty())
      << "rconclt not found in PATH: install Debian's package rcon (./dev deps does)";
  WriteConfig(ActiveConfig());
  Start();
  const std::string expected = JoinPlayers(400);
  const std::string server = std::string(kPassword) + "@127.0.0.1:" + std::to_string(rconPort_);

  auto say = RunTool(rconclt, {"-t", "5", server, "quellmoorsay",
                               qbtest::EncodeBase64(R"({"sender":"Admin","message":"Hallo"})")});
  EXPECT_EQ(say.exitCode, 0);
  EXPECT_EQ(say.output, "OK\n");
  EXPECT_TRUE(server_->Expect("CHAT to=Spieler0399 from=Admin text=Hallo"));

  // This client joins pieces only when the first one carries 4096 body bytes
  // or more, which a packet of at most 4096 never does: it shows the first
  // packet, whole and well-formed.
  auto list = RunTool(rconclt, {"-t", "5", server, "listplayers"});
  EXPECT_EQ(list.exitCode, 0);
  EXPECT_EQ(list.output, expected.substr(0, 4086) + "\n");

  auto wrong =
      RunTool(rconclt, {"-t", "5", "falsch@127.0.0.1:" + std::to_string(rconPort_), "listplayers"});
  EXPECT_NE(wrong.exitCode, 0);
  EXPECT_EQ(wrong.output, "");
}

TEST_F(DevServerE2E, AChatLineReachesEveryPlayerFromTheSpeaker) {
  WriteConfig(ActiveConfig());
  Start();
  Console("join Anna Thorgar", "OK join Anna");
  Console("join Bert", "OK join Bert");
  const auto mark = server_->Mark();
  Console("chat Anna Hallo zusammen", "OK chat Anna suppressed=no");
  Console("chat Bert --command /kit", "OK chat Bert suppressed=no");
  std::vector<std::string> chats;
  for (const auto& line : server_->Lines()) {
    if (line.rfind("CHAT ", 0) == 0) chats.push_back(line);
  }
  EXPECT_THAT(chats, ::testing::ElementsAre("CHAT to=Anna from=Anna text=Hallo zusammen",
                                            "CHAT to=Bert from=Anna text=Hallo zusammen"));
  EXPECT_FALSE(server_->ExpectSince(mark, "text=/kit", std::chrono::milliseconds(0)));
}

// ---------------------------------------------------------------- RCON limits

TEST_F(DevServerE2E, ClientsBeyondTheConnectionLimitAreClosedAndLoggedOnce) {
  WriteConfig(ActiveConfig());
  Start({"--rcon-max-connections", "2"});
  auto first = Admin();
  auto second = Admin();
  for (int i = 0; i < 10; ++i) {
    qbtest::RconClient extra(rconPort_);
    EXPECT_TRUE(extra.WaitClosed()) << i;
  }
  EXPECT_EQ(CountLines("RCON has 2 clients, its limit: further clients are closed at once"), 1u);
  first.reset();
  ASSERT_TRUE(server_->Expect("disconnected"));
  auto fresh = Admin();
  EXPECT_EQ(fresh->Exec("listplayers"), "No Players Connected");
  EXPECT_TRUE(Printed("RCON takes clients again; 10 were closed at the limit"));
}

TEST_F(DevServerE2E, AClientThatNeverLogsInIsClosedAfterTheLoginTimeout) {
  WriteConfig(ActiveConfig());
  Start({"--rcon-login-timeout-ms", "300"});
  auto admin = Admin();
  qbtest::RconClient idle(rconPort_);
  EXPECT_EQ(idle.Exec("listplayers"), "Not authenticated.");  // talking is not logging in
  EXPECT_TRUE(idle.WaitClosed());
  EXPECT_EQ(CountLines("did not log in within 300 ms: connection closed"), 1u);
  // A client that logged in stays past the timeout.
  EXPECT_EQ(admin->Exec("listplayers"), "No Players Connected");
}

TEST_F(DevServerE2E, AClientThatTakesNoRepliesIsNoLongerReadAndClosedPastTheHardLimit) {
  WriteConfig(ActiveConfig());
  Start({"--rcon-max-unread", "16384", "--rcon-close-unread", "262144"});
  JoinPlayers(300);  // each listplayers reply is about 4.7 KB

  // 40 replies (about 190 KB) for a client with a small receive buffer that
  // reads nothing: the server stops reading from it, once.
  qbtest::RconClient slow(rconPort_, 4096);
  ASSERT_TRUE(slow.Auth(kPassword));
  std::string burst;
  for (int i = 0; i < 40; ++i) burst += qbtest::EncodeRcon(1000 + i, 2, "listplayers");
  burst += qbtest::EncodeRcon(2000, 0, "");  // end marker
  slow.SendRaw(burst);
  EXPECT_TRUE(server_->Expect("does not take its replies", std::chrono::seconds(5)));
  // Everyone else is served meanwhile.
  EXPECT_EQ(Admin()->Exec("saveworld"), "Server received, But no response!! ");
  // Once it reads, it gets every reply: reading resumed.
  std::set<std::int32_t> ids;
  while (auto packet = slow.Read()) {
    if (packet->id == 2000) break;
    ids.insert(packet->id);
  }
  EXPECT_EQ(ids.size(), 40u);
  EXPECT_EQ(CountLines("does not take its replies"), 1u);

  // 2,000 requests at once: the replies to what one read brought exceed the
  // hard limit, and the connection goes.
  qbtest::RconClient flood(rconPort_, 4096);
  ASSERT_TRUE(flood.Auth(kPassword));
  std::string many;
  for (int i = 0; i < 2000; ++i) many += qbtest::EncodeRcon(i, 2, "listplayers");
  flood.SendRaw(many);
  EXPECT_TRUE(server_->Expect("bytes waiting, the limit is 262144): connection closed",
                              std::chrono::seconds(5)));
  while (flood.Read(std::chrono::seconds(2))) {
  }
  EXPECT_TRUE(flood.closed());
  EXPECT_EQ(Admin()->Exec("listplayers").value_or("").substr(0, 13), "0. Spieler000");
}

TEST_F(DevServerE2E, RunningOutOfDescriptorsBacksOffInsteadOfSpinning) {
  WriteConfig(ActiveConfig());
  {
    // The dev server inherits a small descriptor limit; the test keeps its own.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    // No game-loop tick meanwhile: with no descriptor left, the sanitizers'
    // own checks of the plug-in's calls fail (they need one).
    Start(
        {"--rcon-max-connections", "1000", "--rcon-accept-retry-ms", "100", "--tick-ms", "600000"});
    setrlimit(RLIMIT_NOFILE, &saved);
  }
  ASSERT_TRUE(server_);
  std::vector<std::unique_ptr<qbtest::RconClient>> clients;
  for (int i = 0; i < 80; ++i) clients.push_back(std::make_unique<qbtest::RconClient>(rconPort_));
  ASSERT_TRUE(server_->Expect("RCON accept failed: ", std::chrono::seconds(5)));

  // While the descriptors stay exhausted: little CPU, and no further lines.
  auto cpuTicks = [pid = server_->pid()] {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    // One line. (Read with getline: GCC at -O2 reports libstdc++'s inlined
    // streambuf iterator as a null dereference.)
    std::string content;
    std::getline(stat, content);
    std::istringstream fields(content.substr(content.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i >= 14) ticks += std::stol(field);  // utime, stime
    }
    return ticks;
  };
  const long before = cpuTicks();
  std::this_thread::sleep_for(std::chrono::seconds(1));  // a span of time, measured
  const long used = cpuTicks() - before;
  EXPECT_LT(used, sysconf(_SC_CLK_TCK) / 4) << "CPU ticks in 1 s with no descriptors left";
  EXPECT_EQ(CountLines("RCON accept failed: "), 1u);

  // Descriptors come free: the server accepts again and serves a fresh client.
  clients.clear();
  EXPECT_TRUE(server_->Expect("RCON accepts again after ", std::chrono::seconds(5)));
  qbtest::RconClient fresh(rconPort_);
  EXPECT_TRUE(fresh.Auth(kPassword));
  EXPECT_EQ(fresh.Exec("listplayers"), "No Players Connected");
}

TEST_F(DevServerE2E, PasswordGuessersAreClosedAfterThreeAndSlowedDown) {
  WriteConfig(ActiveConfig());
  Start({"--rcon-auth-delay-ms", "600"});
  using Clock = std::chrono::steady_clock;
  qbtest::RconClient guesser(rconPort_);
  std::string burst;
  for (int i = 0; i < 50; ++i) burst += qbtest::EncodeRcon(i, 3, "rate" + std::to_string(i));
  guesser.SendRaw(burst);
  for (int i = 0; i < 3; ++i) {
    auto answer = guesser.Read();
    ASSERT_TRUE(answer) << i;
    EXPECT_EQ(answer->id, -1);
  }
  EXPECT_TRUE(guesser.WaitClosed());
  EXPECT_EQ(CountLines("sent a wrong password ("), 3u);
  EXPECT_EQ(CountLines("sent 3 wrong passwords: connection closed"), 1u);
  EXPECT_EQ(CountLines("its logins are answered one per 600 ms from now on"), 1u);

  // Further logins from the address wait their turn, the right one too.
  const auto start = Clock::now();
  qbtest::RconClient next(rconPort_);
  next.Send(7, 3, "falsch");
  auto refused = next.Read();
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->id, -1);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
  qbtest::RconClient admin(rconPort_);
  EXPECT_TRUE(admin.Auth(kPassword));
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1100));
  EXPECT_EQ(admin.Exec("listplayers"), "No Players Connected");
  // A right password ends the slow-down for the address.
  const auto after = Clock::now();
  EXPECT_TRUE(Admin()->Exec("listplayers"));
  EXPECT_LT(Clock::now() - after, std::chrono::milliseconds(600));
}

TEST_F(DevServerE2E, TextFromOutsideCannotForgeLogLines) {
  WriteConfig(ActiveConfig());
  Start();
  auto admin = Admin();
  const std::string forged = "2026-01-01 00:00:00.000 <host> info: forged";
  admin->Exec("plugins.load Evil\n" + forged + "\x1b[2J");
  Console(R"(plugins.load "Bad\rName\x1b")", "ERROR plugins.load");
  admin->Exec("plugins.unload x\r\n" + forged);
  EXPECT_TRUE(
      Printed(R"(Plugin Evil\n2026-01-01 00:00:00.000 <host> info: forged\x1b[2J not loaded: )"));
  EXPECT_TRUE(Printed(R"(Plugin Bad\rName\x1b not loaded)"));
  ExpectCleanExit();
  std::ifstream file(root_->path() / "logs" / "devserver.log");
  std::vector<std::string> lines = server_->Lines();
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  for (const auto& line : lines) {
    EXPECT_NE(line.rfind(forged, 0), 0u) << line;
    EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) {
      return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
    })) << line;
  }
}

}  // namespace
