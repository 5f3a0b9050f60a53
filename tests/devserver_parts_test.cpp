// The dev server's parts that need no running server: its command line, its
// console language, its output escaping and its webhook receiver.

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <string>
#include <vector>

#include "devserver/auth_throttle.h"
#include "devserver/console.h"
#include "devserver/options.h"
#include "devserver/output.h"
#include "devserver/webhook_echo.h"
#include "support/harness.h"

namespace {

using devserver::ConsoleCommand;
using devserver::ParseResult;
using Kind = ConsoleCommand::Kind;

// ---------------------------------------------------------------- options

ParseResult Parse(std::vector<std::string> args, std::optional<std::string> env = std::nullopt) {
  return devserver::ParseOptions(args, env);
}

TEST(DevserverOptions, DefaultsKeepRconOnLoopbackAndOff) {
  auto r = Parse({});
  ASSERT_EQ(r.action, ParseResult::Action::Run);
  EXPECT_EQ(r.options.root, ".");
  EXPECT_EQ(r.options.rconBind, "127.0.0.1");
  EXPECT_EQ(r.options.rconPort, 27020);
  EXPECT_EQ(r.options.rconPassword, "");
  EXPECT_FALSE(r.options.webhookEchoPort);
  EXPECT_EQ(r.options.tickMs, 1000);
  EXPECT_FALSE(r.options.completionsOnAnyThread);
  EXPECT_FALSE(r.options.quitOnEof);
  EXPECT_EQ(r.options.rcon.maxConnections, 16u);
  EXPECT_EQ(r.options.rcon.loginTimeout, std::chrono::milliseconds(30000));
  EXPECT_EQ(r.options.rcon.pauseUnread, 1u << 20);
  EXPECT_EQ(r.options.rcon.closeUnread, 8u << 20);
  EXPECT_EQ(r.options.rcon.authTries, 3);
  EXPECT_EQ(r.options.rcon.authDelay, std::chrono::milliseconds(1000));
  EXPECT_EQ(r.options.rcon.acceptRetry, std::chrono::milliseconds(500));
}

TEST(DevserverOptions, EveryRconLimitIsRead) {
  auto r = Parse({"--rcon-max-connections", "4", "--rcon-login-timeout-ms", "250",
                  "--rcon-max-unread", "1000", "--rcon-close-unread", "5000", "--rcon-auth-tries",
                  "5", "--rcon-auth-delay-ms", "20", "--rcon-accept-retry-ms", "30"});
  ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
  EXPECT_EQ(r.options.rcon.maxConnections, 4u);
  EXPECT_EQ(r.options.rcon.loginTimeout, std::chrono::milliseconds(250));
  EXPECT_EQ(r.options.rcon.pauseUnread, 1000u);
  EXPECT_EQ(r.options.rcon.closeUnread, 5000u);
  EXPECT_EQ(r.options.rcon.authTries, 5);
  EXPECT_EQ(r.options.rcon.authDelay, std::chrono::milliseconds(20));
  EXPECT_EQ(r.options.rcon.acceptRetry, std::chrono::milliseconds(30));
}

TEST(DevserverOptions, EveryOptionIsRead) {
  auto r = Parse({"--root", "/srv", "--rcon-port", "0", "--rcon-bind", "0.0.0.0", "--rcon-password",
                  "pw", "--webhook-echo", "8787", "--tick-ms", "50", "--quit-on-eof",
                  "--completions", "any-thread"});
  ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
  EXPECT_EQ(r.options.root, "/srv");
  EXPECT_EQ(r.options.rconPort, 0);
  EXPECT_EQ(r.options.rconBind, "0.0.0.0");
  EXPECT_EQ(r.options.rconPassword, "pw");
  EXPECT_EQ(r.options.webhookEchoPort, 8787);
  EXPECT_EQ(r.options.tickMs, 50);
  EXPECT_TRUE(r.options.quitOnEof);
  EXPECT_TRUE(r.options.completionsOnAnyThread);
  EXPECT_FALSE(Parse({"--completions", "tick"}).options.completionsOnAnyThread);
}

TEST(DevserverOptions, PasswordFromEnvironmentUnlessGiven) {
  EXPECT_EQ(Parse({}, "env").options.rconPassword, "env");
  EXPECT_EQ(Parse({"--rcon-password", "arg"}, "env").options.rconPassword, "arg");
}

TEST(DevserverOptions, HelpAndVersionWinOverTheRest) {
  EXPECT_EQ(Parse({"--rcon-port", "1", "--help"}).action, ParseResult::Action::Help);
  EXPECT_EQ(Parse({"-h"}).action, ParseResult::Action::Help);
  EXPECT_EQ(Parse({"--version"}).action, ParseResult::Action::Version);
}

TEST(DevserverOptions, BadValuesAreRefusedWithTheReason) {
  struct Bad {
    std::vector<std::string> args;
    std::string mentions;
  };
  for (const auto& bad : std::vector<Bad>{
           {{"--rcon-port", "65536"}, "--rcon-port"},
           {{"--rcon-port", "-1"}, "--rcon-port"},
           {{"--rcon-port", "80x"}, "--rcon-port"},
           {{"--webhook-echo", ""}, "--webhook-echo"},
           {{"--tick-ms", "0"}, "--tick-ms"},
           {{"--completions", "AnyThread"}, "tick or any-thread"},
           {{"--completions"}, "needs a value"},
           {{"--root"}, "needs a value"},
           {{"--root", ""}, "--root"},
           {{"--verbose"}, "unknown option --verbose"},
           {{"--rcon-max-connections", "0"}, "--rcon-max-connections"},
           {{"--rcon-login-timeout-ms", "0"}, "--rcon-login-timeout-ms"},
           {{"--rcon-max-unread", "x"}, "--rcon-max-unread"},
           {{"--rcon-max-unread", "5000", "--rcon-close-unread", "4000"}, "must not be below"},
           {{"--rcon-auth-tries", "0"}, "--rcon-auth-tries"},
           {{"--rcon-auth-delay-ms", "-5"}, "--rcon-auth-delay-ms"},
           {{"--rcon-accept-retry-ms", ""}, "--rcon-accept-retry-ms"},
       }) {
    auto r = Parse(bad.args);
    EXPECT_EQ(r.action, ParseResult::Action::Error) << bad.args[0];
    EXPECT_THAT(r.error, ::testing::HasSubstr(bad.mentions));
  }
}

// ---------------------------------------------------------------- console

struct ConsoleCase {
  std::string name;
  std::string line;
  ConsoleCommand expected;
};

ConsoleCommand Cmd(Kind kind) {
  ConsoleCommand c;
  c.kind = kind;
  return c;
}
ConsoleCommand Join(std::string player, std::string character = "", bool state = true) {
  auto c = Cmd(Kind::Join);
  c.player = std::move(player);
  c.character = std::move(character);
  c.withPlayerState = state;
  return c;
}
ConsoleCommand Chat(std::string player, std::string text, int mode = 0, bool command = false) {
  auto c = Cmd(Kind::Chat);
  c.player = std::move(player);
  c.text = std::move(text);
  c.mode = mode;
  c.commandExecuted = command;
  return c;
}

class ConsoleParse : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(ConsoleParse, ReadsTheCommand) {
  const auto& c = GetParam();
  auto parsed = devserver::ParseConsoleLine(c.line);
  ASSERT_TRUE(parsed.command) << parsed.error;
  const auto& got = *parsed.command;
  EXPECT_EQ(got.kind, c.expected.kind);
  EXPECT_EQ(got.player, c.expected.player);
  EXPECT_EQ(got.character, c.expected.character);
  EXPECT_EQ(got.withPlayerState, c.expected.withPlayerState);
  EXPECT_EQ(got.text, c.expected.text);
  EXPECT_EQ(got.mode, c.expected.mode);
  EXPECT_EQ(got.commandExecuted, c.expected.commandExecuted);
  EXPECT_EQ(got.readyState, c.expected.readyState);
  EXPECT_EQ(got.plugin, c.expected.plugin);
}

ConsoleCommand Ready(int n) {
  auto c = Cmd(Kind::Ready);
  c.readyState = n;
  return c;
}
ConsoleCommand Plugin(Kind kind, std::string name) {
  auto c = Cmd(kind);
  c.plugin = std::move(name);
  return c;
}
ConsoleCommand Leave(std::string player) {
  auto c = Cmd(Kind::Leave);
  c.player = std::move(player);
  return c;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, ConsoleParse,
    ::testing::Values(
        ConsoleCase{"Blank", "   ", Cmd(Kind::Empty)},
        ConsoleCase{"Comment", "# join Anna", Cmd(Kind::Empty)},
        ConsoleCase{"Help", "help", Cmd(Kind::Help)},
        ConsoleCase{"JoinName", "join Anna", Join("Anna")},
        ConsoleCase{"JoinWithCharacter", "join Anna Thorgar", Join("Anna", "Thorgar")},
        ConsoleCase{"JoinQuoted", R"(join "Anna B" "Der \"Zwerg\"")",
                    Join("Anna B", "Der \"Zwerg\"")},
        ConsoleCase{"JoinEscapes", R"(join An\x20na \xc3\xa4)", Join("An na", "\xc3\xa4")},
        ConsoleCase{"JoinNoState", "join --no-state ghost", Join("ghost", "", false)},
        ConsoleCase{"JoinNoStateCharacter", "join --no-state ghost Geist",
                    Join("ghost", "Geist", false)},
        ConsoleCase{"Leave", "leave Anna", Leave("Anna")},
        ConsoleCase{"ChatText", "chat Anna Hallo Welt", Chat("Anna", "Hallo Welt")},
        ConsoleCase{"ChatKeepsLeadingBlanks", "chat Anna   x ", Chat("Anna", "  x ")},
        ConsoleCase{"ChatEmpty", "chat Anna", Chat("Anna", "")},
        ConsoleCase{"ChatEmptyAfterSpace", "chat Anna ", Chat("Anna", "")},
        ConsoleCase{"ChatBlanksOnly", "chat Anna    ", Chat("Anna", "   ")},
        ConsoleCase{"ChatModeAndCommand", "chat Anna --mode 1 --command /kit",
                    Chat("Anna", "/kit", 1, true)},
        ConsoleCase{"ChatEscapes", R"(chat Anna a\nb\\c\td)", Chat("Anna", "a\nb\\c\td")},
        ConsoleCase{"ChatDoubleDashEndsOptions", "chat Anna -- --mode 2", Chat("Anna", "--mode 2")},
        ConsoleCase{"ChatOptionLikeTextLater", "chat Anna hi --mode 2",
                    Chat("Anna", "hi --mode 2")},
        ConsoleCase{"Ready", "ready 0", Ready(0)},
        ConsoleCase{"ReadyNegative", "ready -3", Ready(-3)},
        ConsoleCase{"WorldRemove", "world remove", Cmd(Kind::WorldRemove)},
        ConsoleCase{"WorldRestore", "world restore", Cmd(Kind::WorldRestore)},
        ConsoleCase{"Players", "players", Cmd(Kind::Players)},
        ConsoleCase{"Load", "plugins.load QuellmoorBridge",
                    Plugin(Kind::PluginsLoad, "QuellmoorBridge")},
        ConsoleCase{"Unload", "plugins.unload QuellmoorBridge",
                    Plugin(Kind::PluginsUnload, "QuellmoorBridge")},
        ConsoleCase{"Tick", "tick", Cmd(Kind::Tick)}, ConsoleCase{"Quit", "quit", Cmd(Kind::Quit)}),
    qbtest::ByName());

TEST(ConsoleParse, WrongLinesSayWhatIsExpected) {
  struct Bad {
    std::string line;
    std::string mentions;
  };
  for (const auto& bad : std::vector<Bad>{
           {"dance", "unknown command \"dance\""},
           {"join", "usage: join"},
           {"join --no-state", "usage: join"},
           {"join a b c", "usage: join"},
           {"join \"\"", "usage: join"},
           {"leave", "usage: leave"},
           {"chat", "usage: chat"},
           {"chat Anna --mode x hi", "--mode needs a number"},
           {"ready", "usage: ready"},
           {"ready one", "usage: ready"},
           {"world", "usage: world"},
           {"world burn", "usage: world"},
           {"players now", "usage: players"},
           {"plugins.load", "usage: plugins.load"},
           {"plugins.unload a b", "usage: plugins.unload"},
       }) {
    auto parsed = devserver::ParseConsoleLine(bad.line);
    EXPECT_FALSE(parsed.command) << bad.line;
    EXPECT_THAT(parsed.error, ::testing::HasSubstr(bad.mentions)) << bad.line;
  }
}

// ---------------------------------------------------------------- output

TEST(DevserverOutput, EscapingKeepsOneLineAndRoundTrips) {
  struct Case {
    std::string in;
    bool last;
    std::string out;
  };
  for (const auto& c : std::vector<Case>{
           {"Hallo Welt", true, "Hallo Welt"},
           {"Der Admin", false, "Der\\x20Admin"},
           {"a\nb\r\tc", true, "a\\nb\\r\\tc"},
           {"back\\slash", true, "back\\\\slash"},
           {std::string("nul\0bell\x07"
                        "del\x7f",
                        13),
            true, "nul\\x00bell\\x07del\\x7f"},
           {"\xc3\xa4{0}}", false, "\xc3\xa4{0}}"},
           {"", false, ""},
       }) {
    std::string escaped = devserver::EscapeField(c.in, c.last);
    EXPECT_EQ(escaped, c.out);
    EXPECT_EQ(escaped.find('\n'), std::string::npos);
    EXPECT_EQ(devserver::UnescapeField(escaped), c.in);
  }
  // Malformed escapes stay as they are.
  EXPECT_EQ(devserver::UnescapeField("a\\qb\\x4"), "a\\qb\\x4");
  EXPECT_EQ(devserver::UnescapeField("end\\"), "end\\");
}

TEST(DevserverOutput, SinkPrinterWritesTheLineAsItIs) {
  auto sink = std::make_shared<qbtest::CaptureSink>();
  auto print = devserver::SinkPrinter(sink);
  print("CHAT to=Anna from=Admin text=Hallo {}");
  EXPECT_THAT(sink->Texts(), ::testing::ElementsAre("CHAT to=Anna from=Admin text=Hallo {}"));
}

// ---------------------------------------------------------------- webhook echo

TEST(WebhookLine, NamesMethodPathBearerAndBody) {
  EXPECT_EQ(devserver::WebhookLine(
                {"POST", "/plugin/chat", "Bearer s3cret", R"({"map":"Insel","message":"Hi"})"}),
            R"(WEBHOOK POST /plugin/chat bearer=yes body={"map":"Insel","message":"Hi"})");
  EXPECT_EQ(devserver::WebhookLine({"PUT", "/x", "", "a\nb"}),
            "WEBHOOK PUT /x bearer=no body=a\\nb");
  EXPECT_EQ(devserver::WebhookLine({"POST", "/x", "Basic abc", ""}),
            "WEBHOOK POST /x bearer=no body=");
  EXPECT_EQ(devserver::WebhookLine({"POST", "/x", "Bearer ", ""}),
            "WEBHOOK POST /x bearer=no body=");
}

class WebhookEchoTest : public ::testing::Test {
 protected:
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  devserver::LinePrinter Printer() {
    return [this](std::string_view line) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(line);
    };
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST_F(WebhookEchoTest, AnswersEveryRequestAndNeverPrintsTheToken) {
  devserver::WebhookEcho echo(Printer());
  std::uint16_t port = echo.Start(0);
  ASSERT_NE(port, 0);
  httplib::Client client("127.0.0.1", port);
  auto post = client.Post("/plugin/heartbeat", {{"Authorization", "Bearer geheim-123"}},
                          R"({"map":"Insel","pluginVersion":"0.1.0"})", "application/json");
  ASSERT_TRUE(post);
  EXPECT_EQ(post->status, 200);
  auto get = client.Get("/anything/else");
  ASSERT_TRUE(get);
  EXPECT_EQ(get->status, 200);
  echo.Stop();

  // The handler prints before it answers, so both lines are there.
  EXPECT_THAT(
      Lines(),
      ::testing::ElementsAre(
          R"(WEBHOOK POST /plugin/heartbeat bearer=yes body={"map":"Insel","pluginVersion":"0.1.0"})",
          "WEBHOOK GET /anything/else bearer=no body="));
  for (const auto& line : Lines()) EXPECT_EQ(line.find("geheim"), std::string::npos);
}

TEST_F(WebhookEchoTest, TakenPortIsReported) {
  devserver::WebhookEcho first(Printer());
  std::uint16_t port = first.Start(0);
  devserver::WebhookEcho second(Printer());
  EXPECT_THROW(second.Start(port), std::runtime_error);
  second.Stop();  // nothing to stop; must not hang
}

TEST_F(WebhookEchoTest, StopRightAfterStartReturns) {
  devserver::WebhookEcho echo(Printer());
  echo.Start(0);
  echo.Stop();
  echo.Stop();
}

}  // namespace

// ---------------------------------------------------------------- password throttle

TEST(AuthThrottle, AnAddressIsSlowedDownAfterItsTriesUntilARightPassword) {
  using namespace std::chrono_literals;
  using Clock = devserver::AuthThrottle::Clock;
  devserver::AuthThrottle throttle(3, 1000ms);
  const Clock::time_point t0{};
  // The first tries are answered at once; the third wrong one starts it.
  EXPECT_EQ(throttle.Wait("10.0.0.1", t0), 0s);
  EXPECT_FALSE(throttle.Failed("10.0.0.1", t0));
  EXPECT_FALSE(throttle.Failed("10.0.0.1", t0));
  EXPECT_EQ(throttle.Wait("10.0.0.1", t0), 0s);
  EXPECT_TRUE(throttle.Failed("10.0.0.1", t0));
  EXPECT_FALSE(throttle.Failed("10.0.0.1", t0)) << "logged once, not per failure";
  // One turn per second, over every connection of the address; others are free.
  EXPECT_EQ(throttle.Wait("10.0.0.1", t0), 1000ms);
  EXPECT_EQ(throttle.Wait("10.0.0.1", t0), 2000ms);
  EXPECT_EQ(throttle.Wait("10.0.0.1", t0 + 2500ms), 500ms);
  EXPECT_EQ(throttle.Wait("10.0.0.2", t0), 0s);
  // A right password clears the address.
  throttle.Succeeded("10.0.0.1");
  EXPECT_EQ(throttle.Wait("10.0.0.1", t0 + 3s), 0s);
  EXPECT_EQ(throttle.tracked(), 0u);
}

TEST(AuthThrottle, OldFailuresAreForgottenAndTheTableStaysBounded) {
  using namespace std::chrono_literals;
  using Clock = devserver::AuthThrottle::Clock;
  devserver::AuthThrottle throttle(3, 1000ms);
  const Clock::time_point t0{};
  for (int i = 0; i < 3; ++i) throttle.Failed("10.0.0.1", t0);
  // Ten quiet minutes later the address starts afresh.
  throttle.Failed("10.0.0.9", t0 + 11min);
  EXPECT_EQ(throttle.Wait("10.0.0.1", t0 + 11min), 0s);
  // A guesser from ever new addresses does not grow the table without bound.
  for (int i = 0; i < 5000; ++i) throttle.Failed("addr" + std::to_string(i), t0 + 12min);
  EXPECT_LE(throttle.tracked(), 4096u);
}
