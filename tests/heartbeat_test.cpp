// The heartbeat against a real receiver, driven through its clock seam.
//
// This binary replaces the global operator new (support/count_new.cpp) to count
// allocations made on the test's own thread: a tick that is not due must make
// none.

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bridge/heartbeat.h"
#include "support/count_new.h"
#include "support/receiver_test.h"

using namespace qb;

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr std::int64_t kSecond = 1'000'000'000;
constexpr std::int64_t kInterval = 25 * kSecond;

class Heartbeat : public qbtest::ReceiverTest {
 protected:
  void SetUp() override {
    ReceiverTest::SetUp();
    lastHeartbeat = 0;  // as after a fresh load of the library
  }

  std::size_t SentAfter(std::int64_t nowNs) {
    HeartbeatTick(nowNs);
    Settle();
    return receiver_.Posts().size();
  }
};

TEST_F(Heartbeat, TheFirstTickSendsAtOnceEvenEarlyInTheClocksLife) {
  Activate(receiver_.BaseUrl(), "Quellmoor", "1.2.3");
  ASSERT_EQ(SentAfter(1 * kSecond), 1u);
  auto posts = receiver_.Posts();
  EXPECT_EQ(posts[0].path, "/plugin/heartbeat");
  EXPECT_EQ(posts[0].Header("Authorization"), "Bearer geheim token");
  EXPECT_EQ(
      posts[0].body,
      R"({"map":"Quellmoor","playerCount":0,"pluginVersion":"0.1.0","serverVersion":"1.2.3"})");
  EXPECT_EQ(lastHeartbeat, 1 * kSecond);
}

TEST_F(Heartbeat, SendsAgainExactlyWhenTwentyFiveSecondsHavePassed) {
  Activate();
  const std::int64_t start = 1000 * kSecond;
  EXPECT_EQ(SentAfter(start), 1u);
  EXPECT_EQ(SentAfter(start + kInterval - 1), 1u);
  EXPECT_EQ(SentAfter(start + kInterval), 2u);
  // Measured from the last due tick, not from the first one.
  EXPECT_EQ(SentAfter(start + 2 * kInterval - 1), 2u);
  EXPECT_EQ(SentAfter(start + 2 * kInterval), 3u);
}

TEST_F(Heartbeat, OnHeartbeatReadsTheSteadyClock) {
  Activate();
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  OnHeartbeat();
  OnHeartbeat();  // not due
  Settle();
  EXPECT_EQ(receiver_.Posts().size(), 1u);
  EXPECT_GE(lastHeartbeat, std::chrono::duration_cast<std::chrono::nanoseconds>(now).count());
}

TEST_F(Heartbeat, AnInactivePluginIgnoresEveryTick) {
  LoadWith("{}");
  ASSERT_FALSE(PluginState.enabled);
  OnHeartbeat();
  Settle();
  EXPECT_THAT(receiver_.Posts(), IsEmpty());
  EXPECT_EQ(lastHeartbeat, 0);
}

struct CountCase {
  const char* name;
  int readyState;
  bool withWorld;
  int players;
  int departed;
  const char* body;
};

class HeartbeatCount : public Heartbeat, public ::testing::WithParamInterface<CountCase> {};

TEST_P(HeartbeatCount, IsSentOnlyWhenTheWorldCanBeRead) {
  const auto& c = GetParam();
  Activate(receiver_.BaseUrl(), "", "");
  for (int i = 0; i < c.players; ++i) {
    auto* player = Join("spieler" + std::to_string(i));
    if (i < c.departed) qbhost::RemovePlayer(player);
  }
  qbhost::SetReadyState(c.readyState);
  if (!c.withWorld) qbhost::SetCurrentWorld(nullptr);
  ASSERT_EQ(SentAfter(kSecond), 1u);
  EXPECT_EQ(receiver_.Posts()[0].body, c.body);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, HeartbeatCount,
    ::testing::Values(CountCase{"Loading", 0, true, 2, 0, R"({"map":"","pluginVersion":"0.1.0"})"},
                      CountCase{"StateTwo", 2, true, 2, 0, R"({"map":"","pluginVersion":"0.1.0"})"},
                      CountCase{"NoWorld", 1, false, 0, 0, R"({"map":"","pluginVersion":"0.1.0"})"},
                      CountCase{"EmptyList", 1, true, 0, 0,
                                R"({"map":"","playerCount":0,"pluginVersion":"0.1.0"})"},
                      CountCase{"DepartedStillCount", 1, true, 5, 1,
                                R"({"map":"","playerCount":5,"pluginVersion":"0.1.0"})"}),
    qbtest::ByName());

TEST_F(Heartbeat, ATickThatIsNotDueAllocatesNothing) {
  Activate();
  const std::int64_t start = 1000 * kSecond;
  HeartbeatTick(start);
  // Every request stays with the service: a refused one would still be made.
  qbhost::SetRequestFault(qbhost::RequestFault::Throw);
  const auto heapBefore = qbhost::Heap().allocations;
  const auto newBefore = qbtest::NewCallsOnThisThread();
  HeartbeatTick(start + kSecond);
  HeartbeatTick(start + kInterval - 1);
  lastHeartbeat = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::steady_clock::now().time_since_epoch())
                      .count();
  OnHeartbeat();
  EXPECT_EQ(qbtest::NewCallsOnThisThread(), newBefore);
  EXPECT_EQ(qbhost::Heap().allocations, heapBefore);
  EXPECT_THAT(sink_->Texts(), IsEmpty()) << "a not-due tick reached the request service";
}

TEST_F(Heartbeat, FailuresAreCaughtAtTheCallbacksEdgeAndStillStartANewWait) {
  Activate();
  qbhost::SetRequestFault(qbhost::RequestFault::Throw);
  EXPECT_NO_THROW(HeartbeatTick(kSecond));
  EXPECT_THAT(
      Warnings(),
      ElementsAre("[QuellmoorBridge] Heartbeat fehlgeschlagen: request service: injected fault"));
  EXPECT_EQ(lastHeartbeat, kSecond);
  qbhost::SetRequestFault(qbhost::RequestFault::None);

  // A map that is not UTF-8 makes the serialiser throw.
  sink_->Clear();
  PluginState.map = "Quellmoor\xFF";
  EXPECT_NO_THROW(HeartbeatTick(kSecond + kInterval));
  auto warnings = Warnings();
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_THAT(warnings[0], ::testing::StartsWith("[QuellmoorBridge] Heartbeat fehlgeschlagen: "
                                                 "[json.exception.type_error.316]"));
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
}

TEST_F(Heartbeat, AFailedRequestDoesNotShortenTheInterval) {
  Activate();
  receiver_.RespondWith(500);
  EXPECT_EQ(SentAfter(kSecond), 1u);
  EXPECT_THAT(Warnings(), ElementsAre("[QuellmoorBridge] POST /plugin/heartbeat fehlgeschlagen: "
                                      "HTTP 500 Internal Server Error"));
  EXPECT_EQ(SentAfter(kSecond + kInterval - 1), 1u);
  EXPECT_EQ(SentAfter(kSecond + kInterval), 2u);
}

}  // namespace
