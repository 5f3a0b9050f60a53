#include <filesystem>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/handlers.h"
#include "bridge/say.h"
#include "plugin/library_path.h"
#include "plugin/plugin_log.h"
#include "qbhost/engine.h"
#include "qbhost/rcon.h"
#include "support/base64_encode.h"
#include "support/harness.h"
#include "support/world.h"

namespace {

using namespace std::string_literals;

constexpr std::int32_t kPacketId = 31;
const std::regex kWarning(
    R"(\d\d/\d\d/\d\d \d\d:\d\d \[QuellmoorBridge\]\[warning\] \[QuellmoorBridge\] quellmoorsay: ungueltiges JSON-Payload: (.+))");

std::string Line(std::string_view json) {
  return "quellmoorsay " + qbtest::EncodeBase64(json);
}

// An active plug-in with its logger over the capture sink, a current world
// and an RCON connection whose writer can be told to fail.
class SayCommand : public qbtest::WorldTest {
 protected:
  void SetUp() override {
    WorldTest::SetUp();
    PluginLog::Instance().Create("QuellmoorBridge");
    PluginState.enabled = true;
    connection_ = qbhost::CreateRconConnection([this](std::string_view) {
      if (failingWrites_ > 0) {
        --failingWrites_;
        throw std::runtime_error("Verbindung getrennt");
      }
    });
  }

  void TearDown() override {
    qbhost::DestroyRconConnection(connection_);
    WorldTest::TearDown();
  }

  // Runs the command on a packet with `line` as its body, with the nth engine
  // allocation of the command failing if `failAt` is not 0; returns the
  // replies it sent.
  std::vector<qbhost::RconReply> Say(std::string_view line, std::uint64_t failAt = 0) {
    const auto before = qbhost::SentReplies(connection_).size();
    {
      qbhost::HostRconPacket packet(kPacketId, qbhost::kRconExecOrAuthResponse, line);
      qbhost::FailNthAllocation(failAt);
      OnSayCommand(connection_, packet.get(), world_);
      qbhost::FailNthAllocation(0);
    }
    auto replies = qbhost::SentReplies(connection_);
    replies.erase(replies.begin(), replies.begin() + static_cast<std::ptrdiff_t>(before));
    return replies;
  }

  // The exception texts of the warning lines so far; fails on any other line.
  std::vector<std::string> Warnings() {
    std::vector<std::string> texts;
    for (const auto& line : sink_->Lines()) {
      std::smatch match;
      EXPECT_EQ(line.level, spdlog::level::warn) << line.text;
      EXPECT_TRUE(std::regex_match(line.text, match, kWarning)) << line.text;
      if (match.size() == 2) texts.push_back(match[1]);
    }
    return texts;
  }

  RCONClientConnection* connection_ = nullptr;
  int failingWrites_ = 0;
};

struct Case {
  std::string name;
  std::string line;  // the packet body
  std::string reply;
  std::optional<qbhost::ReceivedLine> shown;  // what every player sees, if anything
  std::string warning = {};                   // part of the logged failure text; empty: no line
};

const char* kBadJson = "Ungueltiges JSON-Payload.";
const char* kEmpty = "Leere Nachricht.";

class SayCases : public SayCommand, public ::testing::WithParamInterface<Case> {};

TEST_P(SayCases, RepliesBroadcastsAndLogs) {
  const Case& c = GetParam();
  auto* first = Join("Ada");
  auto* second = Join("Bo");

  const auto replies = Say(c.line);

  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body, c.reply);
  EXPECT_EQ(replies[0].id, kPacketId);
  EXPECT_EQ(replies[0].type, qbhost::kRconResponse);
  for (auto* player : {first, second}) {
    const auto inbox = qbhost::Inbox(player);
    if (c.shown) {
      ASSERT_EQ(inbox.size(), 1u);
      EXPECT_EQ(inbox[0].sender, c.shown->sender);
      EXPECT_EQ(inbox[0].text, c.shown->text);
    } else {
      EXPECT_TRUE(inbox.empty());
    }
  }
  const auto warnings = Warnings();
  if (c.warning.empty()) {
    EXPECT_TRUE(warnings.empty());
  } else {
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
  }
}

INSTANTIATE_TEST_SUITE_P(
    Say, SayCases,
    ::testing::Values(
        Case{"NoSpace", "quellmoorsay", "Fehlendes Payload.", {}},
        Case{"NoSpaceButPayloadLike",
             "quellmoorsay" + qbtest::EncodeBase64("{}"),
             "Fehlendes Payload.",
             {}},
        Case{"InvalidBase64",
             Line("{\"message\":\"Hallo\"}") + "\t",
             "Ungueltiges Base64-Payload.",
             {}},
        Case{"UrlSafeAlphabet",
             "quellmoorsay eyJtZXNzYWdlIjoiPz8_In0",
             "Ungueltiges Base64-Payload.",
             {}},
        Case{"EmptyPayload", "quellmoorsay ", kBadJson, {}, "[json.exception.parse_error.101]"},
        Case{"NotJson", Line("Hallo"), kBadJson, {}, "[json.exception.parse_error.101]"},
        Case{"Array", Line("[\"Hallo\"]"), kBadJson, {}, "[json.exception.type_error.306]"},
        Case{"BareString", Line("\"Hallo\""), kBadJson, {}, "[json.exception.type_error.306]"},
        Case{"TrailingText",
             Line("{\"message\":\"Hallo\"} x"),
             kBadJson,
             {},
             "[json.exception.parse_error.101]"},
        Case{"Comment",
             Line("{\"message\":\"Hallo\"} // x"),
             kBadJson,
             {},
             "[json.exception.parse_error.101]"},
        Case{"InvalidUtf8InString",
             Line("{\"message\":\"Gr\xfc\xdf\"}"),
             kBadJson,
             {},
             "[json.exception.parse_error.101]"},
        Case{"EmptyObject", Line("{}"), kEmpty, {}},
        Case{"EmptyMessage", Line("{\"sender\":\"Moor\",\"message\":\"\"}"), kEmpty, {}},
        Case{"MessageKeyCapitalised", Line("{\"Message\":\"Hallo\"}"), kEmpty, {}},
        Case{"SenderNull",
             Line("{\"sender\":null,\"message\":\"Hallo\"}"),
             kBadJson,
             {},
             "type must be string, but is null"},
        Case{"SenderNumber",
             Line("{\"sender\":5,\"message\":\"Hallo\"}"),
             kBadJson,
             {},
             "type must be string, but is number"},
        Case{"SenderTypeWinsOverEmptyMessage",
             Line("{\"sender\":5,\"message\":\"\"}"),
             kBadJson,
             {},
             "type must be string, but is number"},
        Case{"MessageNumber",
             Line("{\"message\":5}"),
             kBadJson,
             {},
             "type must be string, but is number"},
        Case{"MessageNull",
             Line("{\"message\":null}"),
             kBadJson,
             {},
             "type must be string, but is null"},
        Case{"MissingSender", Line("{\"message\":\"Hallo\"}"), "OK",
             qbhost::ReceivedLine{"Server", "Hallo"}},
        Case{"SenderKeyCapitalised", Line("{\"Sender\":\"Moor\",\"message\":\"Hallo\"}"), "OK",
             qbhost::ReceivedLine{"Server", "Hallo"}},
        Case{"EmptySender", Line("{\"sender\":\"\",\"message\":\"Hallo\"}"), "OK",
             qbhost::ReceivedLine{"", "Hallo"}},
        Case{"OtherKeysIgnored", Line("{\"message\":\"Hallo\",\"farbe\":[1],\"sender\":\"Wache\"}"),
             "OK", qbhost::ReceivedLine{"Wache", "Hallo"}},
        Case{"Utf8Text",
             Line("{\"sender\":\"J\xc3\xbcrgen\",\"message\":\"Gr\xc3\xbc\xc3\x9f"
                  "e \\u00e4 \\ud83d\\ude00\"}"),
             "OK",
             qbhost::ReceivedLine{"J\xc3\xbcrgen",
                                  "Gr\xc3\xbc\xc3\x9f"
                                  "e \xc3\xa4 \xf0\x9f\x98\x80"}},
        Case{"Braces", Line("{\"message\":\"{0} {{ } }}x{\"}"), "OK",
             qbhost::ReceivedLine{"Server", "{0} {{ } }}x{"}},
        Case{"SenderBracesUntouched", Line("{\"sender\":\"{}\",\"message\":\"a\"}"), "OK",
             qbhost::ReceivedLine{"{}", "a"}},
        Case{"OneSpace", Line("{\"message\":\" \"}"), "OK", qbhost::ReceivedLine{"Server", " "}},
        Case{"NulCutsSenderAndMessage",
             Line("{\"sender\":\"Wa\\u0000che\",\"message\":\"Hal\\u0000lo\"}"), "OK",
             qbhost::ReceivedLine{"Wa", "Hal"}},
        Case{"LeadingNulStillNotEmpty", Line("{\"message\":\"\\u0000Hallo\"}"), "OK",
             qbhost::ReceivedLine{"Server", ""}},
        Case{"PayloadSplitByLayout", "quellmoorsay  eyJtZXNz\r\nYWdlIjoi SGFs bG8ifQ==\n", "OK",
             qbhost::ReceivedLine{"Server", "Hallo"}}),
    qbtest::ByName());

TEST_F(SayCommand, InactiveAnswersEveryRequestAlikeAndShowsNothing) {
  PluginState.enabled = false;
  auto* player = Join("Ada");
  for (const std::string& line :
       {Line("{\"message\":\"Hallo\"}"), "quellmoorsay"s, "quellmoorsay \t"s, Line("[")}) {
    const auto replies = Say(line);
    ASSERT_EQ(replies.size(), 1u) << line;
    EXPECT_EQ(replies[0].body, "QuellmoorBridge ist nicht konfiguriert.");
    EXPECT_EQ(replies[0].id, kPacketId);
  }
  EXPECT_TRUE(qbhost::Inbox(player).empty());
  EXPECT_TRUE(sink_->Lines().empty());
}

TEST_F(SayCommand, MissingPacketIsNeitherReadNorAnswered) {
  for (const bool active : {false, true}) {
    PluginState.enabled = active;
    OnSayCommand(connection_, nullptr, world_);
  }
  EXPECT_TRUE(qbhost::SentReplies(connection_).empty());
  EXPECT_TRUE(sink_->Lines().empty());
}

TEST_F(SayCommand, MissingConnectionStillBroadcasts) {
  auto* player = Join("Ada");
  qbhost::HostRconPacket packet(kPacketId, 2, Line("{\"message\":\"Hallo\"}"));
  OnSayCommand(nullptr, packet.get(), world_);
  ASSERT_EQ(qbhost::Inbox(player).size(), 1u);
  EXPECT_TRUE(sink_->Lines().empty());
}

TEST_F(SayCommand, DepartedPlayersAreSkipped) {
  auto* first = Join("Ada");
  auto* gone = Join("Bo");
  auto* third = Join("Cy");
  qbhost::RemovePlayer(gone);
  const auto replies = Say(Line("{\"sender\":\"Wache\",\"message\":\"Hallo\"}"));
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body, "OK");
  EXPECT_EQ(qbhost::Inbox(first).size(), 1u);
  EXPECT_TRUE(qbhost::Inbox(gone).empty());
  EXPECT_EQ(qbhost::Inbox(third).size(), 1u);
}

TEST_F(SayCommand, NobodyToShowItToIsStillOk) {
  EXPECT_EQ(Say(Line("{\"message\":\"Hallo\"}")).at(0).body, "OK");
  qbhost::RemovePlayer(Join("Ada"));
  EXPECT_EQ(Say(Line("{\"message\":\"Hallo\"}")).at(0).body, "OK");
  EXPECT_TRUE(qbhost::LivePlayers(world_).empty());
  EXPECT_TRUE(sink_->Lines().empty());
}

// Exhausted engine memory at each allocation in turn: every request is still
// answered, after one warning, with the catch-all reply (or "OK" once the fault
// comes too late to hit anything), and nothing leaks.
TEST_F(SayCommand, AFaultAtAnyAllocationIsAnswered) {
  auto* player = Join("Ada");
  // Long enough for every conversion to take an engine-heap block.
  const std::string message = "Hallo {0} " + std::string(150, 'x');
  const std::string line =
      Line("{\"sender\":\"" + std::string(150, 'W') + "\",\"message\":\"" + message + "\"}");
  for (std::uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 100u) << "the fault never missed";
    sink_->Clear();
    const auto shownBefore = qbhost::Inbox(player).size();
    const auto replies = Say(line, n);

    ASSERT_EQ(replies.size(), 1u) << "fault at allocation " << n;
    if (replies[0].body == "OK") {
      EXPECT_TRUE(sink_->Lines().empty());
      EXPECT_EQ(qbhost::Inbox(player).back().text, message);
      EXPECT_GT(n, 5u);  // reading, sender, message, library path, reply
      break;
    }
    EXPECT_EQ(replies[0].body, kBadJson) << "fault at allocation " << n;
    EXPECT_EQ(Warnings(), std::vector<std::string>{"std::bad_alloc"});
    EXPECT_LE(qbhost::Inbox(player).size(), shownBefore + 1);
  }
}

// Memory running out while the line is handed to the third of four players:
// the first three keep their line, the fourth gets none, and the client hears
// that the request failed.
TEST_F(SayCommand, BroadcastFailingPartWayKeepsWhatWasShown) {
  std::vector<AShooterPlayerController*> players;
  for (const char* name : {"Ada", "Bo", "Cy", "Di"}) players.push_back(Join(name));
  int deliveries = 0;
  qbhost::SetDeliveryListener([&](AShooterPlayerController*, const qbhost::ReceivedLine&) {
    if (++deliveries == 3) throw std::bad_alloc();
  });

  const auto replies = Say(Line("{\"sender\":\"Wache\",\"message\":\"Hallo\"}"));

  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body, kBadJson);
  EXPECT_EQ(Warnings(), std::vector<std::string>{"std::bad_alloc"});
  for (std::size_t i = 0; i < players.size(); ++i) {
    EXPECT_EQ(qbhost::Inbox(players[i]).size(), i < 3 ? 1u : 0u) << "player " << i;
  }
}

TEST_F(SayCommand, FaultWhileReadingTheCommandLineIsAnswered) {
  // Longer than the conversion's inline buffer: reading the body takes the
  // first engine-heap block.
  const std::string line = Line("{\"message\":\"" + std::string(200, 'x') + "\"}");
  const auto replies = Say(line, 1);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].body, kBadJson);
  EXPECT_EQ(Warnings(), std::vector<std::string>{"std::bad_alloc"});
}

TEST_F(SayCommand, FailedRefusalBeforeTheJsonStepIsAnsweredToo) {
  failingWrites_ = 1;  // "Fehlendes Payload." does not get through
  const auto replies = Say("quellmoorsay");
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].body, "Fehlendes Payload.");
  EXPECT_EQ(replies[1].body, kBadJson);
  EXPECT_EQ(Warnings(), std::vector<std::string>{"Verbindung getrennt"});
}

TEST_F(SayCommand, FailedOkReplyBecomesTheCatchAllReply) {
  auto* player = Join("Ada");
  failingWrites_ = 1;
  const auto replies = Say(Line("{\"message\":\"Hallo\"}"));
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0].body, "OK");
  EXPECT_EQ(replies[1].body, kBadJson);
  EXPECT_EQ(qbhost::Inbox(player).size(), 1u);
  EXPECT_EQ(Warnings(), std::vector<std::string>{"Verbindung getrennt"});
}

TEST_F(SayCommand, NothingEscapesWhenNoReplyGetsThrough) {
  failingWrites_ = 1000;
  std::vector<qbhost::RconReply> replies;
  EXPECT_NO_THROW(replies = Say(Line("{\"message\":\"Hallo\"}")));
  // "OK", the catch-all reply of the JSON step, the catch-all reply at the edge.
  ASSERT_EQ(replies.size(), 3u);
  EXPECT_EQ(replies[2].body, kBadJson);
  EXPECT_EQ(Warnings().size(), 3u);
}

TEST_F(SayCommand, RegisteredCommandIsReachedThroughTheHostsDispatch) {
  AsaApi::GetCommands().RegisterRconCommand(FString("quellmoorsay"),
                                            AsaApi::RconCallback(&OnSayCommand));
  auto* player = Join("Ada");
  qbhost::HostRconPacket packet(77, 2,
                                "QuellmoorSay " + qbtest::EncodeBase64("{\"message\":\"x\"}"));
  EXPECT_FALSE(qbhost::DispatchRcon(connection_, packet.get(), world_, false));
  EXPECT_TRUE(qbhost::DispatchRcon(connection_, packet.get(), world_, true));
  const auto replies = qbhost::SentReplies(connection_);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].id, 77);
  EXPECT_EQ(replies[0].type, 0);
  EXPECT_EQ(qbhost::Inbox(player).size(), 1u);
}

TEST_F(SayCommand, ReplyGoesNowhereWithoutConnectionOrPacket) {
  qbhost::HostRconPacket packet(5, 2, "x");
  SendRconReply(nullptr, packet.get(), "OK");
  SendRconReply(connection_, nullptr, "OK");
  EXPECT_TRUE(qbhost::SentReplies(connection_).empty());
  SendRconReply(connection_, packet.get(),
                "Gr\xc3\xbc\xc3\x9f"
                "e");
  const auto replies = qbhost::SentReplies(connection_);
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_EQ(replies[0].id, 5);
  EXPECT_EQ(replies[0].type, 0);
  EXPECT_EQ(replies[0].body,
            "Gr\xc3\xbc\xc3\x9f"
            "e");
}

TEST(LibraryPath, IsTheAbsolutePathOfTheFileHoldingThePlugin) {
  // Linked into this test, the plug-in's code lives in the executable itself.
  const std::filesystem::path path = OwnLibraryPath();
  EXPECT_TRUE(path.is_absolute()) << path;
  EXPECT_TRUE(std::filesystem::equivalent(path, "/proc/self/exe")) << path;
}

TEST(EscapeBraces, DoublesEachBraceAndNothingElse) {
  EXPECT_EQ(EscapeBraces(""), "");
  EXPECT_EQ(EscapeBraces("a{0}b"), "a{{0}}b");
  EXPECT_EQ(EscapeBraces("{{}"), "{{{{}}");
  EXPECT_EQ(EscapeBraces("Gr\xc3\xbc\xc3\x9f"
                         "e\0x"s),
            "Gr\xc3\xbc\xc3\x9f"
            "e\0x"s);
}

}  // namespace
