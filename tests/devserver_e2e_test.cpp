// The dev server as a process, end to end: the built QuellmoorBridge.so in a
// temporary server root, a webhook service in the test, players driven through
// the console, and an RCON client over TCP. Every test ends with a SIGTERM (or
// its own way of stopping) and checks exit code 0 and an engine heap without
// live blocks; the server runs under the sanitizers, so a leak fails it too.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>

#include "support/base64_encode.h"
#include "support/dev_process.h"
#include "support/harness.h"
#include "support/http_receiver.h"
#include "support/rcon_client.h"

namespace {

using ::testing::HasSubstr;
using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kPassword = "test-pw";
constexpr const char* kToken = "tok en-1";  // a blank inside is sent verbatim

std::string Say(const json& payload) {
  return "quellmoorsay " + qbtest::EncodeBase64(payload.dump());
}

class DevServerE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    receiver_.Start();
    root_ = std::make_unique<qbtest::TempDir>();
    fs::path dir = root_->path() / "ArkApi" / "Plugins" / "QuellmoorBridge";
    fs::create_directories(dir);
    fs::copy_file(QB_PLUGIN_PATH, dir / "QuellmoorBridge.so");
  }

  void TearDown() override {
    if (server_ && !stopped_) {
      server_->Signal(SIGTERM);
      ExpectCleanExit();
    }
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

  void Start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--root",          root_->path().string(),
                                  "--rcon-port",     "0",
                                  "--rcon-password", kPassword,
                                  "--tick-ms",       "50"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<qbtest::ChildProcess>(QB_DEVSERVER_PATH, args);
    auto listening = server_->Expect("RCON listening on 127.0.0.1:");
    ASSERT_TRUE(listening) << "no RCON port printed";
    rconPort_ = static_cast<std::uint16_t>(std::stoi(listening->substr(listening->rfind(':') + 1)));
    ASSERT_TRUE(server_->Expect("Dev server ready"));
  }

  // A console command and its "OK ..." (or "ERROR ...") answer.
  std::string Console(const std::string& command, const std::string& answer) {
    server_->Send(command);
    auto line = server_->Expect(answer);
    EXPECT_TRUE(line) << "no \"" << answer << "\" after \"" << command << "\"";
    return line.value_or("");
  }

  std::unique_ptr<qbtest::RconClient> Admin() {
    auto client = std::make_unique<qbtest::RconClient>(rconPort_);
    EXPECT_TRUE(client->Auth(kPassword));
    return client;
  }

  // Any line printed so far contains `needle`.
  bool Printed(const std::string& needle) { return FindLine(needle).has_value(); }

  void ExpectCleanExit() {
    stopped_ = true;
    EXPECT_EQ(server_->WaitExit(), 0);
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

  // The last line printed so far that contains `needle`.
  std::optional<std::string> FindLine(const std::string& needle) {
    std::optional<std::string> found;
    for (const auto& line : server_->Lines()) {
      if (line.find(needle) != std::string::npos) found = line;
    }
    return found;
  }

  qbtest::HttpReceiver receiver_;
  std::unique_ptr<qbtest::TempDir> root_;
  std::unique_ptr<qbtest::ChildProcess> server_;
  std::uint16_t rconPort_ = 0;
  bool stopped_ = false;
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
  EXPECT_FALSE(Printed("CHAT "));
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
  auto empty = guest.Read();
  auto refused = guest.Read();
  ASSERT_TRUE(empty && refused);
  EXPECT_EQ(empty->type, 0);
  EXPECT_EQ(refused->type, 2);
  EXPECT_EQ(refused->id, -1);
  EXPECT_EQ(guest.Exec(Say({{"message", "x"}})), "Not authenticated.");
  EXPECT_TRUE(guest.Auth(kPassword));  // still open for another try
  EXPECT_EQ(guest.Exec("listplayers"), "No Players Connected");

  EXPECT_EQ(admin->Exec("listplayers"), "No Players Connected");
  EXPECT_EQ(admin->Exec(Say({{"message", "noch da"}})), "OK");
  EXPECT_TRUE(Printed("sent a malformed packet (size 5 outside 10..4096)"));
  EXPECT_TRUE(Printed("sent a malformed packet (size 5000 outside 10..4096)"));
  EXPECT_TRUE(Printed("sent a malformed packet (size -1 outside 10..4096)"));
}

TEST_F(DevServerE2E, SigtermUnloadsAndLogsToStdoutAndFile) {
  fs::create_directories(root_->path() / "ArkApi" / "Plugins" / "Broken");
  std::ofstream(root_->path() / "ArkApi" / "Plugins" / "Broken" / "Broken.so") << "not a library";
  WriteConfig(ActiveConfig());
  Start();
  EXPECT_TRUE(Printed("Plugin Broken not loaded: "));
  EXPECT_TRUE(Printed("Plugin QuellmoorBridge loaded from "));
  server_->Signal(SIGTERM);
  ExpectCleanExit();

  // Each logger writes its own format into the same outputs.
  std::regex pluginLine(
      R"(^\d\d/\d\d/\d\d \d\d:\d\d \[QuellmoorBridge\]\[info\] \[QuellmoorBridge\] geladen \(aktiv: true\)\.$)");
  std::regex hostLine(
      R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} <host> info: Plugin QuellmoorBridge unloaded$)");
  auto lines = server_->Lines();
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [&](auto& l) { return std::regex_match(l, pluginLine); }));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                          [&](auto& l) { return std::regex_match(l, hostLine); }));

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
  // out: three chat lines and the first heartbeat.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(server_->Expect("[QuellmoorBridge] POST /plugin/chat fehlgeschlagen: ",
                                std::chrono::seconds(15)));
  }
  EXPECT_TRUE(server_->ExpectSince(
      0, "[QuellmoorBridge] POST /plugin/heartbeat fehlgeschlagen: ", std::chrono::seconds(15)));
  server_->Signal(SIGTERM);
  ExpectCleanExit();
  std::size_t chatFailures = 0;
  for (const auto& line : server_->Lines()) {
    if (line.find("POST /plugin/chat fehlgeschlagen") != std::string::npos) ++chatFailures;
  }
  EXPECT_EQ(chatFailures, 3u);
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

}  // namespace
