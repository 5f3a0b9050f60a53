// The playground's parts in-process: its bounded records, the say payload,
// the token, and how a request waits for the game thread. The page itself is
// tested in a real browser (tests/browser/).

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "bridge/base64.h"
#include "devserver/options.h"
#include "devserver/playground.h"

namespace {

using devserver::PlaygroundRecords;
using nlohmann::json;

json State(const PlaygroundRecords& records, std::uint64_t since = 0) {
  return json::parse(records.Since(since));
}

TEST(PlaygroundOptions, UiPortIsOffByDefaultAndRead) {
  EXPECT_FALSE(devserver::ParseOptions({}, std::nullopt).options.uiPort);
  auto r = devserver::ParseOptions({"--ui", "0"}, std::nullopt);
  ASSERT_EQ(r.action, devserver::ParseResult::Action::Run) << r.error;
  EXPECT_EQ(r.options.uiPort, 0);
  for (const char* bad : {"-1", "65536", "x", ""}) {
    EXPECT_EQ(devserver::ParseOptions({"--ui", bad}, std::nullopt).action,
              devserver::ParseResult::Action::Error)
        << bad;
  }
}

TEST(PlaygroundRecords, EachRegionKeepsItsLatestEntries) {
  PlaygroundRecords records(3);
  for (int i = 0; i < 5; ++i) {
    records.Log(spdlog::level::info, "log " + std::to_string(i));
    records.Received("Anna", "Bernd", "chat " + std::to_string(i));
    records.Webhook({"POST", "/plugin/" + std::to_string(i), "", "{}"});
  }
  json state = State(records);
  ASSERT_EQ(state["log"].size(), 3u);
  ASSERT_EQ(state["chat"].size(), 3u);
  ASSERT_EQ(state["webhooks"].size(), 3u);
  EXPECT_EQ(state["log"][0]["text"], "log 2");
  EXPECT_EQ(state["log"][2]["text"], "log 4");
  EXPECT_EQ(state["chat"][0]["text"], "chat 2");
  EXPECT_EQ(state["webhooks"][2]["path"], "/plugin/4");
  EXPECT_EQ(state["seq"], 15);
}

TEST(PlaygroundRecords, SinceGivesOnlyWhatIsNewerAndPlayersWhenTheyChanged) {
  PlaygroundRecords records;
  records.PlayerJoined("Anna", "Thorgar", true);
  records.Log(spdlog::level::warn, "eins");
  json first = State(records);
  ASSERT_EQ(first["players"].size(), 1u);
  EXPECT_EQ(first["players"][0],
            json({{"name", "Anna"}, {"character", "Thorgar"}, {"hasState", true}}));
  EXPECT_EQ(first["log"][0]["level"], "warning");
  std::uint64_t seq = first["seq"];

  records.Log(spdlog::level::info, "zwei");
  json next = State(records, seq);
  EXPECT_FALSE(next.contains("players")) << "players did not change";
  ASSERT_EQ(next["log"].size(), 1u);
  EXPECT_EQ(next["log"][0]["text"], "zwei");
  EXPECT_TRUE(State(records, next["seq"])["log"].empty());

  records.PlayerJoined("ghost", "", false);
  records.PlayerLeft("Anna");
  records.PlayerLeft("nobody");
  json players = State(records, next["seq"]);
  ASSERT_EQ(players["players"].size(), 1u);
  EXPECT_EQ(players["players"][0]["name"], "ghost");
  EXPECT_EQ(players["players"][0]["hasState"], false);
  EXPECT_EQ(players["playerCount"], 1);

  // A page of an earlier run asks beyond the newest number: it gets everything.
  EXPECT_EQ(State(records, 1'000'000)["log"].size(), 2u);
}

TEST(PlaygroundRecords, PlayersShownAreBoundedButCounted) {
  PlaygroundRecords records(2);
  for (const char* name : {"a", "b", "c"}) records.PlayerJoined(name, "", true);
  json state = State(records);
  EXPECT_EQ(state["players"].size(), 2u);
  EXPECT_EQ(state["playerCount"], 3);
}

TEST(PlaygroundRecords, ASaidLineComesBeforeTheLinesItsBroadcastDelivered) {
  PlaygroundRecords records;
  records.BeginSaid();
  records.Received("Anna", "Anna", "Hallo");
  records.Received("Bernd", "Anna", "Hallo");
  records.EndSaid("Anna", "Hallo", 1, false, false);
  records.Received("Anna", "Admin", "danach");
  json chat = State(records)["chat"];
  ASSERT_EQ(chat.size(), 4u);
  EXPECT_EQ(chat[0], json({{"seq", 1},
                           {"kind", "said"},
                           {"player", "Anna"},
                           {"text", "Hallo"},
                           {"mode", 1},
                           {"command", false},
                           {"suppressed", false}}));
  EXPECT_EQ(chat[1]["to"], "Anna");
  EXPECT_EQ(chat[2]["to"], "Bernd");
  EXPECT_EQ(chat[3]["text"], "danach");
  for (std::size_t i = 1; i < chat.size(); ++i) EXPECT_GT(chat[i]["seq"], chat[i - 1]["seq"]);

  // A chat that never ended (it threw) loses none of its lines.
  records.BeginSaid();
  records.Received("Anna", "Bernd", "verwaist");
  records.BeginSaid();
  records.EndSaid("Bernd", "neu", 0, true, true);
  chat = State(records)["chat"];
  ASSERT_EQ(chat.size(), 6u);
  EXPECT_EQ(chat[4]["text"], "verwaist");
  EXPECT_EQ(chat[5]["suppressed"], true);
}

TEST(PlaygroundRecords, LongAndBrokenTextStaysBoundedAndValidJson) {
  PlaygroundRecords records;
  // "ä" (two bytes) across the cut: the cut moves before it.
  std::string longText(PlaygroundRecords::kMaxField - 1, 'x');
  longText += "\xC3\xA4";
  longText += std::string(100, 'y');
  records.Log(spdlog::level::info, longText);
  records.Received("Anna", "B\xFF", "kaputt \xC3");
  records.Webhook({"POST", "/plugin/chat", "Bearer geheim", "{\"message\":\"ok\"}"});
  records.Webhook({"POST", "/plugin/chat", "Basic abc", ""});

  std::string text = records.Since(0);
  json state = json::parse(text);  // throws on bytes that are not UTF-8
  std::string logged = state["log"][0]["text"];
  EXPECT_EQ(logged, std::string(PlaygroundRecords::kMaxField - 1, 'x') + "\u2026 (102 more bytes)");
  EXPECT_EQ(state["chat"][0]["from"], "B\xEF\xBF\xBD");
  EXPECT_EQ(state["webhooks"][0]["bearer"], true);
  EXPECT_EQ(state["webhooks"][1]["bearer"], false);
  EXPECT_EQ(text.find("geheim"), std::string::npos) << "the token itself is not kept";
}

TEST(PlaygroundSay, PayloadDecodesToTheJsonTheClientMeant) {
  struct Case {
    std::string sender, message;
  };
  // Lengths that end the Base64 on every padding case.
  for (const Case& c : std::vector<Case>{{"Admin", "Hallo"},
                                         {"", "Grüße an alle"},
                                         {"Der \"Admin\"", "a"},
                                         {"x", "ab"},
                                         {"Jürgen", ""}}) {
    std::string payload = devserver::SayPayload(c.sender, c.message);
    EXPECT_EQ(payload.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(payload.size() % 4, 0u);
    auto decoded = qb::DecodeBase64(payload);
    ASSERT_TRUE(decoded) << payload;
    EXPECT_EQ(json::parse(*decoded), json({{"sender", c.sender}, {"message", c.message}}));
  }
}

TEST(PlaygroundToken, IsLongHexAndNewEachTime) {
  std::string a = devserver::RandomToken();
  std::string b = devserver::RandomToken();
  EXPECT_EQ(a.size(), 64u);
  EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(a, b);
}

// The HTTP side against a game loop of the test's own.
class PlaygroundServer : public ::testing::Test {
 protected:
  void StartWith(devserver::PlaygroundGame game) {
    playground_ = std::make_unique<devserver::Playground>(std::move(game), "t0ken");
    port_ = playground_->Start(0);
  }
  httplib::Result Post(const std::string& path, const std::string& body) {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(std::chrono::seconds(20));
    std::string host = "127.0.0.1:" + std::to_string(port_);
    return client.Post(path, {{"X-Playground-Token", "t0ken"}, {"Origin", "http://" + host}}, body,
                       "application/json");
  }
  std::unique_ptr<devserver::Playground> playground_;
  std::uint16_t port_ = 0;
};

TEST_F(PlaygroundServer, FormsBecomeConsoleCommandsRunByTheGameThread) {
  std::vector<devserver::ConsoleCommand> seen;
  std::thread::id gameThread;
  devserver::PlaygroundGame game;
  // The "game thread": each task on a thread of its own, as a queue would.
  game.post = [&](std::function<void()> task) {
    std::thread([&, task] {
      gameThread = std::this_thread::get_id();
      task();
    }).join();
  };
  game.command = [&](const devserver::ConsoleCommand& c) {
    EXPECT_EQ(std::this_thread::get_id(), gameThread);
    seen.push_back(c);
    return std::string("OK");
  };
  game.rcon = [](const std::string& body) { return "rcon:" + body; };
  game.reload = [] { return std::string("Reloaded: X"); };
  StartWith(game);

  auto join = Post("/api/join", R"({"player":"Anna","character":"Thorgar"})");
  ASSERT_TRUE(join);
  EXPECT_EQ(join->status, 200);
  EXPECT_EQ(json::parse(join->body)["reply"], "OK");
  auto chat = Post("/api/chat", R"({"player":"Anna","text":" hi ","mode":"2","command":true})");
  ASSERT_TRUE(chat);
  EXPECT_EQ(chat->status, 200);
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].kind, devserver::ConsoleCommand::Kind::Join);
  EXPECT_EQ(seen[0].character, "Thorgar");
  EXPECT_EQ(seen[1].kind, devserver::ConsoleCommand::Kind::Chat);
  EXPECT_EQ(seen[1].text, " hi ");
  EXPECT_EQ(seen[1].mode, 2);
  EXPECT_TRUE(seen[1].commandExecuted);

  auto say = Post("/api/say", R"({"sender":"A","message":"B"})");
  ASSERT_TRUE(say);
  EXPECT_EQ(json::parse(say->body)["reply"],
            "rcon:quellmoorsay " + devserver::SayPayload("A", "B"));

  // Wrong input is answered, never run.
  for (const char* body : {R"({"player":""})", R"({"player":1})", "not json", "[]"}) {
    auto bad = Post("/api/join", body);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400) << body;
  }
  auto badMode = Post("/api/chat", R"({"player":"Anna","mode":"12"})");
  ASSERT_TRUE(badMode);
  EXPECT_EQ(badMode->status, 400);
  EXPECT_EQ(seen.size(), 2u);
}

TEST_F(PlaygroundServer, StopReleasesARequestWhoseGameLoopNeverAnswers) {
  std::promise<void> posted;
  devserver::PlaygroundGame game;
  // A game loop that never runs the task (stuck, or already stopped).
  std::vector<std::function<void()>> parked;
  game.post = [&](std::function<void()> task) {
    parked.push_back(std::move(task));
    posted.set_value();
  };
  game.reload = [] { return std::string("never"); };
  StartWith(game);

  auto reply = std::async(std::launch::async, [&] { return Post("/api/reload", "{}"); });
  posted.get_future().wait();
  playground_->Stop();
  auto result = reply.get();
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 503);
  // Released by Stop, not by the wait running out.
  EXPECT_THAT(result->body, ::testing::HasSubstr("stopping"));
  // A task that runs late finds nobody waiting and harms nothing.
  for (auto& task : parked) task();
}

}  // namespace
