#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/say.h"
#include "plugin/library_path.h"
#include "plugin/plugin_log.h"
#include "qbhost/rcon.h"
#include "support/base64_encode.h"
#include "support/text_shape.h"
#include "support/world.h"

using namespace qb;

namespace {

constexpr std::int32_t kPacketId = 31;
const char* kBadJson = "Ungueltiges JSON-Payload.";
// Followed by the failure text.
constexpr std::string_view kWarning =
    "##/##/## ##:## [QuellmoorBridge][warning] [QuellmoorBridge] quellmoorsay: ungueltiges "
    "JSON-Payload: ";

std::string Line(std::string_view json) {
  return "quellmoorsay " + qbtest::EncodeBase64(json);
}

// An active plug-in logging to the capture sink, a current world, and an RCON
// connection whose next `failingWrites_` writes fail.
class SayCommand : public qbtest::WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    PluginLog::Instance().Create("QuellmoorBridge");
    PluginState.enabled = true;
    connection_ = qbhost::CreateRconConnection([this](std::string_view) {
      if (failingWrites_ > 0 && failingWrites_--) throw std::runtime_error("Verbindung getrennt");
    });
  }
  void TearDown() override {
    qbhost::DestroyRconConnection(connection_);
    WorldTest::TearDown();
  }

  // Runs the command on a packet with `line` as its body, the nth engine
  // allocation failing if `failAt` is not 0; returns the reply texts.
  std::vector<std::string> Say(std::string_view line, std::uint64_t failAt = 0) {
    const auto before = qbhost::SentReplies(connection_).size();
    {
      qbhost::HostRconPacket packet(kPacketId, qbhost::kRconExecOrAuthResponse, line);
      qbhost::FailNthAllocation(failAt);
      OnSayCommand(connection_, packet.get(), world_);
      qbhost::FailNthAllocation(0);
    }
    std::vector<std::string> texts;
    for (const auto& reply : qbhost::SentReplies(connection_)) {
      EXPECT_EQ(reply.id, kPacketId);
      EXPECT_EQ(reply.type, qbhost::kRconResponse);
      texts.push_back(reply.body);
    }
    texts.erase(texts.begin(), texts.begin() + static_cast<std::ptrdiff_t>(before));
    return texts;
  }

  // The failure texts of the lines logged so far; any other line fails.
  std::vector<std::string> Warnings() {
    std::vector<std::string> texts;
    for (const auto& line : sink_->Lines()) {
      EXPECT_EQ(line.level, spdlog::level::warn) << line.text;
      auto text = qbtest::AfterShape(line.text, kWarning);
      EXPECT_TRUE(text && !text->empty()) << line.text;
      if (text && !text->empty()) texts.emplace_back(*text);
    }
    sink_->Clear();
    return texts;
  }

  RCONClientConnection* connection_ = nullptr;
  int failingWrites_ = 0;
};

struct Case {
  const char* name;
  std::string line;  // the packet body
  std::string reply;
  std::optional<qbhost::ReceivedLine> shown = {};  // what every player sees
  std::string warning = {};  // part of the logged failure text; empty: no line
};
class SayCases : public SayCommand, public ::testing::WithParamInterface<Case> {};

TEST_P(SayCases, RepliesShowsAndLogs) {
  const Case& c = GetParam();
  const auto players = {Join("Ada"), Join("Bo")};
  EXPECT_EQ(Say(c.line), std::vector<std::string>{c.reply});
  for (auto* player : players) {
    const auto inbox = qbhost::Inbox(player);
    ASSERT_EQ(inbox.size(), c.shown ? 1u : 0u);
    if (c.shown) {
      EXPECT_EQ(inbox[0].sender, c.shown->sender);
      EXPECT_EQ(inbox[0].text, c.shown->text);
    }
  }
  const auto warnings = Warnings();
  ASSERT_EQ(warnings.size(), c.warning.empty() ? 0u : 1u);
  if (!c.warning.empty()) {
    EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
  }
}

const std::string kParse = "[json.exception.parse_error.101]";
const std::string kNotObject = "[json.exception.type_error.306]";
const std::string kNumber = "type must be string, but is number";
const char* kEmpty = "Leere Nachricht.";
using Shown = qbhost::ReceivedLine;

INSTANTIATE_TEST_SUITE_P(
    Say, SayCases,
    ::testing::Values(
        Case{"NoSpace", "quellmoorsay", "Fehlendes Payload."},
        Case{"InvalidBase64", Line("{\"message\":\"Hallo\"}") + "\t",
             "Ungueltiges Base64-Payload."},
        Case{"UrlSafeBase64", "quellmoorsay eyJtZXNzYWdlIjoiPz8_In0",
             "Ungueltiges Base64-Payload."},
        Case{"EmptyPayload", "quellmoorsay ", kBadJson, {}, kParse},
        Case{"NotJson", Line("Hallo"), kBadJson, {}, kParse},
        Case{"Array", Line("[\"Hallo\"]"), kBadJson, {}, kNotObject},
        Case{"BareString", Line("\"Hallo\""), kBadJson, {}, kNotObject},
        Case{"TrailingText", Line("{\"message\":\"Hallo\"} x"), kBadJson, {}, kParse},
        Case{"Comment", Line("{\"message\":\"Hallo\"} // x"), kBadJson, {}, kParse},
        Case{"InvalidUtf8", Line("{\"message\":\"Gr\xfc\xdf\"}"), kBadJson, {}, kParse},
        Case{"EmptyObject", Line("{}"), kEmpty},
        Case{"EmptyMessage", Line("{\"sender\":\"Moor\",\"message\":\"\"}"), kEmpty},
        Case{"MessageKeyCapitalised", Line("{\"Message\":\"Hallo\"}"), kEmpty},
        Case{"SenderNull",
             Line("{\"sender\":null,\"message\":\"Hallo\"}"),
             kBadJson,
             {},
             "type must be string, but is null"},
        Case{"SenderNumber", Line("{\"sender\":5,\"message\":\"Hallo\"}"), kBadJson, {}, kNumber},
        Case{"SenderTypeWinsOverEmptyMessage",
             Line("{\"sender\":5,\"message\":\"\"}"),
             kBadJson,
             {},
             kNumber},
        Case{"MessageNumber", Line("{\"message\":5}"), kBadJson, {}, kNumber},
        Case{"MissingSender", Line("{\"message\":\"Hallo\"}"), "OK", Shown{"Server", "Hallo"}},
        Case{"SenderKeyCapitalised", Line("{\"Sender\":\"Moor\",\"message\":\"Hallo\"}"), "OK",
             Shown{"Server", "Hallo"}},
        Case{"EmptySender", Line("{\"sender\":\"\",\"message\":\"Hallo\"}"), "OK",
             Shown{"", "Hallo"}},
        Case{"Utf8", Line("{\"sender\":\"J\xc3\xbcrgen\",\"message\":\"\\u00e4 \\ud83d\\ude00\"}"),
             "OK", Shown{"J\xc3\xbcrgen", "\xc3\xa4 \xf0\x9f\x98\x80"}},
        Case{"Braces", Line("{\"sender\":\"{}\",\"message\":\"{0} {{ } }}x{\"}"), "OK",
             Shown{"{}", "{0} {{ } }}x{"}},
        Case{"OneSpace", Line("{\"message\":\" \"}"), "OK", Shown{"Server", " "}},
        Case{"NulCutsSenderAndMessage",
             Line("{\"sender\":\"Wa\\u0000che\",\"message\":\"Hal\\u0000lo\"}"), "OK",
             Shown{"Wa", "Hal"}},
        Case{"LayoutInPayload", "quellmoorsay  eyJtZXNz\r\nYWdlIjoi SGFs bG8ifQ==\n", "OK",
             Shown{"Server", "Hallo"}}),
    qbtest::ByName());

TEST_F(SayCommand, InactiveAnswersEveryRequestAlikeAndShowsNothing) {
  PluginState.enabled = false;
  auto* player = Join("Ada");
  for (const auto& line : {Line("{\"message\":\"Hallo\"}"), std::string("quellmoorsay \t")}) {
    EXPECT_EQ(Say(line), std::vector<std::string>{"QuellmoorBridge ist nicht konfiguriert."});
  }
  EXPECT_TRUE(qbhost::Inbox(player).empty());
  EXPECT_TRUE(Warnings().empty());
}

TEST_F(SayCommand, MissingPacketOrConnection) {
  auto* player = Join("Ada");
  for (const bool active : {false, true}) {
    PluginState.enabled = active;
    OnSayCommand(connection_, nullptr, world_);  // nothing to read, nobody to answer
  }
  qbhost::HostRconPacket packet(kPacketId, 2, Line("{\"message\":\"Hallo\"}"));
  OnSayCommand(nullptr, packet.get(), world_);  // shown, just not answered
  EXPECT_TRUE(qbhost::SentReplies(connection_).empty());
  EXPECT_EQ(qbhost::Inbox(player).size(), 1u);
  EXPECT_TRUE(Warnings().empty());
}

TEST_F(SayCommand, DepartedPlayersAreSkippedAndNobodyLeftIsStillOk) {
  auto* first = Join("Ada");
  auto* gone = Join("Bo");
  qbhost::RemovePlayer(gone);
  EXPECT_EQ(Say(Line("{\"message\":\"Hallo\"}")), std::vector<std::string>{"OK"});
  EXPECT_EQ(qbhost::Inbox(first).size(), 1u);
  EXPECT_TRUE(qbhost::Inbox(gone).empty());
  qbhost::RemovePlayer(first);
  EXPECT_EQ(Say(Line("{\"message\":\"Hallo\"}")), std::vector<std::string>{"OK"});
  EXPECT_EQ(qbhost::Inbox(first).size(), 1u);
}

TEST_F(SayCommand, APlayerBeingDestroyedIsSkipped) {
  auto* staying = Join("Ada");
  auto* dying = Join("Bo");
  qbhost::BeginDestroyPlayer(dying);
  EXPECT_EQ(Say(Line("{\"message\":\"Hallo\"}")), std::vector<std::string>{"OK"});
  EXPECT_EQ(qbhost::Inbox(staying).size(), 1u);
  EXPECT_TRUE(qbhost::Inbox(dying).empty());
}

// Exhausted engine memory at each allocation in turn, from reading the command
// line to the reply: always one warning and the catch-all reply (until the
// fault comes too late to hit anything), and nothing leaks.
TEST_F(SayCommand, AFaultAtAnyAllocationIsAnswered) {
  auto* player = Join("Ada");
  const std::string longText(150, 'x');  // every conversion takes a heap block
  const std::string line =
      Line("{\"sender\":\"" + longText + "\",\"message\":\"{0}" + longText + "\"}");
  for (std::uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 100u) << "the fault never missed";
    const auto replies = Say(line, n);
    if (replies == std::vector<std::string>{"OK"}) {
      EXPECT_GT(n, 5u);
      EXPECT_TRUE(Warnings().empty());
      const auto inbox = qbhost::Inbox(player);
      ASSERT_FALSE(inbox.empty()) << "\"OK\" without a line shown";
      EXPECT_EQ(inbox.back().text, "{0}" + longText);
      break;
    }
    // A wrong answer ends the sweep: the later allocations would only repeat it.
    ASSERT_EQ(replies, std::vector<std::string>{kBadJson}) << "fault at allocation " << n;
    ASSERT_EQ(Warnings(), std::vector<std::string>{"std::bad_alloc"})
        << "fault at allocation " << n;
  }
}

TEST_F(SayCommand, BroadcastFailingPartWayKeepsWhatWasShown) {
  const auto players = {Join("Ada"), Join("Bo"), Join("Cy")};
  int deliveries = 0;
  qbhost::SetDeliveryListener([&](AShooterPlayerController*, const qbhost::ReceivedLine&) {
    if (++deliveries == 2) throw std::bad_alloc();
  });
  EXPECT_EQ(Say(Line("{\"message\":\"Hallo\"}")), std::vector<std::string>{kBadJson});
  EXPECT_EQ(Warnings(), std::vector<std::string>{"std::bad_alloc"});
  std::vector<std::size_t> shown;
  for (auto* player : players) shown.push_back(qbhost::Inbox(player).size());
  EXPECT_EQ(shown, (std::vector<std::size_t>{1, 1, 0}));
}

// A reply that cannot be written: the refusal before the JSON step and the
// "OK" are followed by the catch-all reply; when nothing gets through, the
// command still returns normally.
TEST_F(SayCommand, FailedRepliesNeverReachTheHost) {
  failingWrites_ = 1;
  EXPECT_EQ(Say("quellmoorsay"), (std::vector<std::string>{"Fehlendes Payload.", kBadJson}));
  EXPECT_EQ(Warnings(), std::vector<std::string>{"Verbindung getrennt"});
  failingWrites_ = 1;
  EXPECT_EQ(Say(Line("{\"message\":\"Hallo\"}")), (std::vector<std::string>{"OK", kBadJson}));
  EXPECT_EQ(Warnings(), std::vector<std::string>{"Verbindung getrennt"});
  failingWrites_ = 3;
  EXPECT_EQ(Say(Line("{\"message\":\"Hallo\"}")),
            (std::vector<std::string>{"OK", kBadJson, kBadJson}));
  EXPECT_EQ(Warnings().size(), 3u);
}

TEST_F(SayCommand, ReachedThroughTheHostsDispatchCaseInsensitively) {
  AsaApi::GetCommands().RegisterRconCommand(FString("quellmoorsay"),
                                            AsaApi::RconCallback(&OnSayCommand));
  auto* player = Join("Ada");
  qbhost::HostRconPacket packet(kPacketId, 2,
                                "QuellmoorSay " + qbtest::EncodeBase64("{\"message\":\"x\"}"));
  EXPECT_TRUE(qbhost::DispatchRcon(connection_, packet.get(), world_, true));
  ASSERT_EQ(qbhost::SentReplies(connection_).size(), 1u);
  EXPECT_EQ(qbhost::SentReplies(connection_)[0].id, kPacketId);
  EXPECT_EQ(qbhost::Inbox(player).size(), 1u);
}

TEST(LibraryPath, IsTheAbsolutePathOfTheFileHoldingThePlugin) {
  // Linked into this test, the plug-in's code lives in the executable itself.
  const std::filesystem::path path = OwnLibraryPath();
  EXPECT_TRUE(path.is_absolute()) << path;
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe")) << path;
}

}  // namespace
