// PostJson and the chat callback against a real receiver on loopback.

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "bridge/chat.h"
#include "support/receiver_test.h"
#include "webhook/post_json.h"

using namespace qb;

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class Webhook : public qbtest::ReceiverTest {
 protected:
  // A chat line as the host hands it over: text built by host code.
  bool Say(AShooterPlayerController* controller, const std::string& text, int mode = 0,
           bool commandExecuted = false) {
    qbhost::HostString message(text);
    return OnChatMessage(controller, message.ptr(), mode, 0, false, commandExecuted);
  }
};

struct FormatCase {
  const char* name;
  const char* baseSuffix;
  std::string message;
  const char* path;
  std::string body;
};

class ChatRequest : public Webhook, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(ChatRequest, ArrivesAsOneBearerPostWithTheCompactBody) {
  Activate(receiver_.BaseUrl() + GetParam().baseSuffix);
  EXPECT_FALSE(Say(Join("spieler", "Ada"), GetParam().message));
  Settle();
  auto posts = receiver_.Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, GetParam().path);
  EXPECT_EQ(posts[0].body, GetParam().body);
  EXPECT_EQ(posts[0].Header("Authorization"), "Bearer geheim token");
  EXPECT_EQ(posts[0].HeaderCount("Authorization"), 1u);
  EXPECT_EQ(posts[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(posts[0].HeaderCount("Content-Type"), 1u);
  EXPECT_THAT(Warnings(), IsEmpty()) << "a success logs nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Formats, ChatRequest,
    ::testing::Values(FormatCase{"Plain", "", "Hallo", "/plugin/chat",
                                 R"({"map":"Quellmoor","message":"Hallo","sender":"Ada"})"},
                      FormatCase{"TrailingSlashGivesDoubleSlash", "/", "Hallo", "//plugin/chat",
                                 R"({"map":"Quellmoor","message":"Hallo","sender":"Ada"})"},
                      FormatCase{"UmlautsRaw", "",
                                 "Gr\xC3\xBC\xC3\x9F"
                                 "e",
                                 "/plugin/chat",
                                 "{\"map\":\"Quellmoor\",\"message\":\"Gr\xC3\xBC\xC3\x9F"
                                 "e\",\"sender\":\"Ada\"}"},
                      FormatCase{
                          "LineBreakEscaped", "", "eins\nzwei \"drei\"", "/plugin/chat",
                          R"({"map":"Quellmoor","message":"eins\nzwei \"drei\"","sender":"Ada"})"}),
    qbtest::ByName());

TEST_F(Webhook, AServerErrorGivesOneWarningNamingThePath) {
  Activate();
  receiver_.RespondWith(500);
  Say(Join("spieler", "Ada"), "eins");
  Settle();
  EXPECT_THAT(Warnings(),
              ElementsAre("[QuellmoorBridge] POST /plugin/chat fehlgeschlagen: HTTP 500 "
                          "Internal Server Error"));
}

TEST_F(Webhook, ARefusedConnectionGivesOneWarningNamingThePath) {
  qbtest::RawPort closed(qbtest::RawPort::Mode::Refuse);
  Activate(closed.BaseUrl());
  PostJson("/plugin/heartbeat", {{"map", ""}});
  Settle();
  auto warnings = Warnings();
  ASSERT_EQ(warnings.size(), 1u);
  const std::string prefix = "[QuellmoorBridge] POST /plugin/heartbeat fehlgeschlagen: ";
  EXPECT_THAT(warnings[0], StartsWith(prefix));
  EXPECT_GT(warnings[0].size(), prefix.size()) << "the reason is missing";
}

// A refused hand-over never calls back: the plug-in's own line is all the
// admin gets, once per request.
TEST_F(Webhook, AHandOverTheServiceRefusesGivesOneWarningNamingThePath) {
  Activate();
  qbhost::SetRequestFault(qbhost::RequestFault::Refuse);
  EXPECT_FALSE(Say(Join("spieler", "Ada"), "Hallo"));
  PostJson("/plugin/heartbeat", {{"map", ""}});
  Settle();
  EXPECT_THAT(Warnings(),
              ElementsAre("[QuellmoorBridge] POST /plugin/chat fehlgeschlagen: Anfrage vom Host "
                          "abgelehnt",
                          "[QuellmoorBridge] POST /plugin/heartbeat fehlgeschlagen: Anfrage vom "
                          "Host abgelehnt"));
  EXPECT_EQ(sink_->Texts().size(), 2u);
  EXPECT_THAT(receiver_.Posts(), IsEmpty());
}

// The host refuses a header holding CR, LF or NUL: a token that reached it
// would lose every request, and now says so.
TEST_F(Webhook, ATokenTheHostRefusesIsNotLostSilently) {
  Activate();
  PluginState.token = "geheim\r\nX-Extra: 1";  // past the loader, which rejects it
  PostJson("/plugin/chat", {{"message", "Hallo"}});
  Settle();
  EXPECT_THAT(Warnings(), ElementsAre("[QuellmoorBridge] POST /plugin/chat fehlgeschlagen: "
                                      "Anfrage vom Host abgelehnt"));
  EXPECT_THAT(receiver_.Posts(), IsEmpty());
}

TEST_F(Webhook, TwoFailuresGiveTwoLines) {
  Activate();
  receiver_.RespondWith(503);
  auto* ada = Join("spieler", "Ada");
  Say(ada, "eins");
  Say(ada, "zwei");
  Settle();
  EXPECT_EQ(Warnings().size(), 2u);
}

TEST_F(Webhook, NothingIsSentWhileInactive) {
  LoadWith(R"({"webhookBaseUrl":")" + receiver_.BaseUrl() + R"("})");  // no token
  ASSERT_FALSE(PluginState.enabled);
  sink_->Clear();
  // Reaching the request service at all would throw.
  qbhost::SetRequestFault(qbhost::RequestFault::Throw);
  EXPECT_FALSE(Say(Join("spieler", "Ada"), "Hallo"));
  EXPECT_NO_THROW(PostJson("/plugin/chat", {{"message", "Hallo"}}));
  qbhost::SetRequestFault(qbhost::RequestFault::None);
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  Settle();
  EXPECT_THAT(receiver_.Posts(), IsEmpty());
  EXPECT_THAT(sink_->Texts(), IsEmpty());
}

TEST_F(Webhook, ABodyThatCannotBeSerialisedIsNeverHandedOver) {
  Activate();
  EXPECT_THROW(PostJson("/plugin/chat", {{"message", "\xFF"}}), nlohmann::json::type_error);
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
}

struct FilterCase {
  const char* name;
  int mode;
  bool commandExecuted;
  bool nullController;
  bool nullText;
  const char* text;
  bool forwarded;
};

class ChatFilter : public Webhook, public ::testing::WithParamInterface<FilterCase> {};

TEST_P(ChatFilter, ForwardsOnlyGlobalNonCommandLinesWithText) {
  Activate();
  const auto& c = GetParam();
  auto* controller = c.nullController ? nullptr : Join("spieler", "Ada");
  qbhost::HostString text(c.text);
  // Platform and spam check are not filters.
  EXPECT_FALSE(OnChatMessage(controller, c.nullText ? nullptr : text.ptr(), c.mode, 3, true,
                             c.commandExecuted));
  Settle();
  auto bodies = Bodies();
  ASSERT_EQ(bodies.size(), c.forwarded ? 1u : 0u);
  if (c.forwarded) {
    EXPECT_EQ(nlohmann::json::parse(bodies[0])["message"], c.text);
  }
  EXPECT_THAT(sink_->Texts(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Filters, ChatFilter,
    ::testing::Values(FilterCase{"Global", 0, false, false, false, "Hallo", true},
                      FilterCase{"Blanks", 0, false, false, false, "   ", true},
                      FilterCase{"Tribe", 1, false, false, false, "Hallo", false},
                      FilterCase{"Local", 2, false, false, false, "Hallo", false},
                      FilterCase{"Alliance", 3, false, false, false, "Hallo", false},
                      FilterCase{"NegativeMode", -1, false, false, false, "Hallo", false},
                      FilterCase{"CommandExecuted", 0, true, false, false, "Hallo", false},
                      FilterCase{"NullController", 0, false, true, false, "Hallo", false},
                      FilterCase{"NullText", 0, false, false, true, "Hallo", false},
                      FilterCase{"EmptyText", 0, false, false, false, "", false}),
    qbtest::ByName());

struct NameCase {
  const char* name;
  qbhost::PlayerOptions player;
  const char* sender;
};

class ChatSender : public Webhook, public ::testing::WithParamInterface<NameCase> {};

TEST_P(ChatSender, IsCharacterNameElsePlayerNameElseUnbekannt) {
  Activate();
  Say(qbhost::AddPlayer(world_, GetParam().player), "Hallo");
  Settle();
  auto bodies = Bodies();
  ASSERT_EQ(bodies.size(), 1u);
  EXPECT_EQ(nlohmann::json::parse(bodies[0])["sender"], GetParam().sender);
}

INSTANTIATE_TEST_SUITE_P(
    Names, ChatSender,
    ::testing::Values(NameCase{"CharacterNameWins", {"Spieler", "Ada", true}, "Ada"},
                      NameCase{"PlayerStateName", {"Spieler", "", true}, "Spieler"},
                      NameCase{"UmlautName", {"J\xC3\xBCrgen", "", true}, "J\xC3\xBCrgen"},
                      NameCase{"NoPlayerState", {"", "", false}, "Unbekannt"},
                      NameCase{"BothEmpty", {"", "", true}, "Unbekannt"}),
    qbtest::ByName());

TEST_F(Webhook, ChatFailuresAreCaughtAtTheCallbacksEdge) {
  Activate();
  auto* ada = Join("Spieler", "");  // the player-state name is copied on the engine heap
  qbhost::HostString text("Hallo");
  int failed = 0;
  for (std::uint64_t n = 1; n <= 10; ++n) {
    sink_->Clear();
    qbhost::FailNthAllocation(n);
    bool result = true;
    EXPECT_NO_THROW(result = OnChatMessage(ada, text.ptr(), 0, 0, false, false));
    qbhost::FailNthAllocation(0);
    EXPECT_FALSE(result);
    if (Warnings().empty()) break;  // the nth allocation was never reached: sent
    EXPECT_THAT(Warnings(), ElementsAre("[QuellmoorBridge] Chat-Weiterleitung fehlgeschlagen: "
                                        "std::bad_alloc"));
    ++failed;
  }
  EXPECT_GE(failed, 1);
  Settle();
  EXPECT_EQ(receiver_.Posts().size(), 1u) << "only the call that went through was sent";

  sink_->Clear();
  qbhost::SetRequestFault(qbhost::RequestFault::Throw);
  bool result = true;
  EXPECT_NO_THROW(result = OnChatMessage(ada, text.ptr(), 0, 0, false, false));
  EXPECT_FALSE(result);
  EXPECT_THAT(Warnings(), ElementsAre("[QuellmoorBridge] Chat-Weiterleitung fehlgeschlagen: "
                                      "request service: injected fault"));
}

TEST_F(Webhook, AFaultyHostConversionDropsTheLineWithAWarning) {
  Activate();
  auto* ada = Join("Spieler", "Ada");
  qbhost::HostString text("Hallo");
  qbhost::SetConversionFault(qbhost::ConversionFault::LengthOneMore);
  bool result = true;
  EXPECT_NO_THROW(result = OnChatMessage(ada, text.ptr(), 0, 0, false, false));
  qbhost::SetConversionFault(qbhost::ConversionFault::None);
  EXPECT_FALSE(result);
  EXPECT_THAT(Warnings(), ElementsAre(StartsWith("[QuellmoorBridge] Chat-Weiterleitung "
                                                 "fehlgeschlagen: Textumwandlung des Hosts "
                                                 "fehlgeschlagen: ")));
  Settle();
  EXPECT_THAT(receiver_.Posts(), IsEmpty());
}

TEST_F(Webhook, RequestsOfAForgottenPluginNeverCallBack) {
  // The failed one's completion must wait for a tick (request_tests cover
  // forgetting with completions on the workers).
  qbhost::SetCompletionDelivery(qbhost::CompletionDelivery::Tick);
  constexpr qbhost::PluginId kPlugin = 9;
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  Activate(silent.BaseUrl());
  auto* ada = Join("spieler", "Ada");
  {
    qbhost::PluginScope scope(kPlugin);
    Say(ada, "bleibt haengen");  // stays on the wire
    PluginState.webhookBaseUrl = receiver_.BaseUrl();
    receiver_.RespondWith(500);
    Say(ada, "scheitert");  // fails, its completion waits for a tick
  }
  ASSERT_TRUE(receiver_.WaitForPosts(1, std::chrono::seconds(5)));
  EXPECT_EQ(qbhost::PendingRequests(), 2u);
  qbhost::ForgetPlugin(kPlugin);
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  Settle();
  EXPECT_THAT(Warnings(), IsEmpty());
}

}  // namespace
