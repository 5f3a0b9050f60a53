// The stand-in host's request service against a real receiver on loopback.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "qbhost/requests.h"
#include "support/harness.h"
#include "support/http_receiver.h"

namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

struct Call {
  bool success;
  std::string text;
  std::unordered_map<std::string, std::string> headers;
  std::thread::id thread;
  qbhost::PluginId plugin;
};

// Collects what the completion callbacks it hands out receive, from any
// thread. `calls` may be read directly once WaitForRequests or Tick has
// returned; Count() at any time.
struct Recorder {
  std::mutex mutex;
  std::vector<Call> calls;
  API::Requests::Callback Callback() {
    return [this](bool success, std::string text,
                  std::unordered_map<std::string, std::string> headers) {
      std::lock_guard lock(mutex);
      calls.push_back({success, std::move(text), std::move(headers), std::this_thread::get_id(),
                       qbhost::CurrentPlugin()});
    };
  }
  std::size_t Count() {
    std::lock_guard lock(mutex);
    return calls.size();
  }
};

class RequestService : public qbtest::HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    receiver_.Start();
  }
  void TearDown() override {
    qbhost::ShutdownRequests();
    qbhost::SetRequestFault(qbhost::RequestFault::None);
    qbhost::SetRequestLimit(0);
    receiver_.Stop();
    HostTest::TearDown();
  }

  bool Post(const std::string& url, const API::Requests::Callback& callback,
            std::vector<std::string> headers = {}, long timeout = 5, const std::string& body = "{}",
            const std::string& contentType = "application/json") {
    return API::Requests::Get().CreatePostRequest(url, callback, body, contentType,
                                                  std::move(headers), timeout, timeout, timeout);
  }

  // Every request finished on the wire, then one game tick. The bound is
  // generous: it is a wait on a condition, and a machine busy with builds can
  // stretch the one-second time limits some tests wait out.
  void Settle() {
    ASSERT_TRUE(qbhost::WaitForRequests(15s));
    qbhost::Tick();
  }

  qbtest::HttpReceiver receiver_;
  Recorder recorder_;
};

TEST_F(RequestService, SendsThePostAsGivenAndCallsBackOnTheGameThreadAtTheNextTick) {
  qbhost::SetCompletionDelivery(qbhost::CompletionDelivery::Tick);
  {
    qbhost::PluginScope scope(3);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/a//b", recorder_.Callback(),
                     {"Authorization: Bearer ein token", "X-Extra: 1"}, 5, "{\"k\":\"\xC3\xA4\"}"));
  }
  ASSERT_TRUE(qbhost::WaitForRequests(5s));
  EXPECT_TRUE(recorder_.calls.empty()) << "called before the tick";
  EXPECT_EQ(qbhost::PendingRequests(), 1u);

  auto posts = receiver_.Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, "/a//b");
  EXPECT_EQ(posts[0].body, "{\"k\":\"\xC3\xA4\"}");
  EXPECT_EQ(posts[0].Header("Content-Type"), "application/json");
  EXPECT_EQ(posts[0].HeaderCount("Content-Type"), 1u);
  EXPECT_EQ(posts[0].Header("Authorization"), "Bearer ein token");
  EXPECT_EQ(posts[0].Header("X-Extra"), "1");
  EXPECT_EQ(posts[0].HeaderCount("Expect"), 0u);

  qbhost::Tick();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  const Call& call = recorder_.calls[0];
  EXPECT_TRUE(call.success);
  EXPECT_EQ(call.text, "angekommen");
  EXPECT_EQ(call.headers.at("x-receiver"), "qbtest");
  EXPECT_EQ(call.thread, std::this_thread::get_id());
  EXPECT_EQ(call.plugin, 3u);
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  qbhost::Tick();
  EXPECT_EQ(recorder_.calls.size(), 1u);
}

struct StatusCase {
  const char* name;
  int status;
  bool success;
  const char* text;
};

class RequestStatus : public RequestService, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(RequestStatus, OnlyTwoHundredsSucceedAndFailuresNameTheStatus) {
  receiver_.RespondWith(GetParam().status);
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/x", recorder_.Callback()));
  Settle();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_EQ(recorder_.calls[0].success, GetParam().success);
  EXPECT_EQ(recorder_.calls[0].text, GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, RequestStatus,
    ::testing::Values(StatusCase{"Ok", 200, true, "angekommen"},
                      StatusCase{"Accepted", 202, true, "angekommen"},
                      StatusCase{"NoContent", 204, true, ""},
                      StatusCase{"Redirect", 301, false, "HTTP 301 Moved Permanently"},
                      StatusCase{"Unauthorized", 401, false, "HTTP 401 Unauthorized"},
                      StatusCase{"ServerError", 500, false, "HTTP 500 Internal Server Error"}),
    qbtest::ByName());

TEST_F(RequestService, ARefusedConnectionNamesThePeer) {
  qbtest::RawPort closed(qbtest::RawPort::Mode::Refuse);
  ASSERT_TRUE(Post(closed.BaseUrl() + "/x", recorder_.Callback()));
  Settle();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_FALSE(recorder_.calls[0].success);
  EXPECT_THAT(recorder_.calls[0].text, HasSubstr("onnect"));
  EXPECT_THAT(recorder_.calls[0].text, HasSubstr("127.0.0.1"));
  EXPECT_TRUE(recorder_.calls[0].headers.empty());
}

TEST_F(RequestService, AServerThatNeverAnswersFailsAfterAboutTheReceiveTimeout) {
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  const auto start = std::chrono::steady_clock::now();
  // Connect and send limits of 10 s: the cap on the whole exchange (21 s)
  // stays out of the way of the 1 s receive limit.
  ASSERT_TRUE(API::Requests::Get().CreatePostRequest(silent.BaseUrl() + "/x", recorder_.Callback(),
                                                     "{}", "application/json", {}, 10, 1, 10));
  ASSERT_TRUE(qbhost::WaitForRequests(15s));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 900ms);
  qbhost::Tick();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_FALSE(recorder_.calls[0].success);
  EXPECT_EQ(recorder_.calls[0].text, "Operation timed out: no data received for 1 s");
}

TEST_F(RequestService, ABodyThatCannotGoOutFailsAfterAboutTheSendTimeout) {
  // Nobody reads: once the socket buffers are full, nothing more goes out.
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  const std::string body(16u << 20, 'x');
  // Connect and receive limits of 10 s, as above: only the send limit is short.
  ASSERT_TRUE(API::Requests::Get().CreatePostRequest(silent.BaseUrl() + "/x", recorder_.Callback(),
                                                     body, "application/json", {}, 10, 10, 1));
  Settle();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_EQ(recorder_.calls[0].text, "Operation timed out: no data sent for 1 s");
}

struct BadUrlCase {
  const char* name;
  std::string url;
};

class RequestBadUrl : public RequestService, public ::testing::WithParamInterface<BadUrlCase> {};

TEST_P(RequestBadUrl, IsReportedThroughTheCallback) {
  ASSERT_TRUE(Post(GetParam().url, recorder_.Callback()));
  Settle();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_FALSE(recorder_.calls[0].success);
  EXPECT_FALSE(recorder_.calls[0].text.empty());
  EXPECT_TRUE(receiver_.Posts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Urls, RequestBadUrl,
    ::testing::Values(BadUrlCase{"Empty", ""}, BadUrlCase{"FileScheme", "file:///etc/hostname"},
                      BadUrlCase{"LineBreak", "http://127.0.0.1:1/a\r\nX: y"},
                      BadUrlCase{"NulByte", std::string("http://127.0.0.1:1/a\0b", 22)}),
    qbtest::ByName());

struct HeaderCase {
  const char* name;
  std::vector<std::string> headers;
  std::string contentType;
};

class RequestHeaderInjection : public RequestService,
                               public ::testing::WithParamInterface<HeaderCase> {};

TEST_P(RequestHeaderInjection, IsRefusedWithoutACallback) {
  EXPECT_FALSE(Post(receiver_.BaseUrl() + "/x", recorder_.Callback(), GetParam().headers, 5, "{}",
                    GetParam().contentType));
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  Settle();
  EXPECT_TRUE(recorder_.calls.empty());
  EXPECT_TRUE(receiver_.Posts().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Headers, RequestHeaderInjection,
    ::testing::Values(
        HeaderCase{"CrLf", {"Authorization: Bearer a\r\nX-Admin: 1"}, "application/json"},
        HeaderCase{"Lf", {"Authorization: Bearer a\nX: 1"}, "application/json"},
        HeaderCase{"Cr", {"X-Ok: 1", "Authorization: Bearer a\r"}, "application/json"},
        HeaderCase{"Nul", {std::string("Authorization: Bearer a\0b", 25)}, "application/json"},
        HeaderCase{"ContentType", {}, "application/json\r\nX-Admin: 1"}),
    qbtest::ByName());

TEST_F(RequestService, InjectedFaultsRefuseThrowOrDiscardAndNeverCallBack) {
  qbhost::SetRequestFault(qbhost::RequestFault::Refuse);
  EXPECT_FALSE(Post(receiver_.BaseUrl() + "/x", recorder_.Callback()));
  qbhost::SetRequestFault(qbhost::RequestFault::Throw);
  EXPECT_THROW(Post(receiver_.BaseUrl() + "/x", recorder_.Callback()), std::runtime_error);
  qbhost::SetRequestFault(qbhost::RequestFault::Discard);
  const auto discarded = qbhost::DiscardedRequests();
  EXPECT_TRUE(Post(receiver_.BaseUrl() + "/x", recorder_.Callback()));
  EXPECT_EQ(qbhost::DiscardedRequests(), discarded + 1);
  qbhost::SetRequestFault(qbhost::RequestFault::None);
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  Settle();
  EXPECT_TRUE(recorder_.calls.empty());
  EXPECT_TRUE(receiver_.Posts().empty());
}

TEST_F(RequestService, AThrowingCallbackIsLoggedAndTheNextOneStillRuns) {
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/x",
                   [](bool, std::string, std::unordered_map<std::string, std::string>) {
                     throw std::runtime_error("kaputt");
                   }));
  ASSERT_TRUE(qbhost::WaitForRequests(5s));
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/y", recorder_.Callback()));
  ASSERT_TRUE(qbhost::WaitForRequests(5s));
  EXPECT_NO_THROW(qbhost::Tick());
  EXPECT_EQ(recorder_.calls.size(), 1u);
  auto lines = sink_->Texts();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("kaputt"));
}

TEST_F(RequestService, AForgottenPluginsCallbacksAreDestroyedAtOnceAndNeverCalled) {
  // One of them waits for the tick: the completions come on the game thread.
  qbhost::SetCompletionDelivery(qbhost::CompletionDelivery::Tick);
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  auto alive = std::make_shared<int>(0);
  std::weak_ptr<int> watch = alive;
  bool called = false;
  {
    qbhost::PluginScope scope(7);
    // One stuck on the wire, one answered and waiting for the tick.
    ASSERT_TRUE(Post(silent.BaseUrl() + "/x", [alive, &called](auto...) { called = true; }));
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/x", [alive, &called](auto...) { called = true; }));
  }
  alive.reset();
  {
    qbhost::PluginScope scope(8);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/y", recorder_.Callback()));
  }
  ASSERT_TRUE(receiver_.WaitForPosts(2, 5s));
  qbhost::ForgetPlugin(7);
  EXPECT_TRUE(watch.expired()) << "the plug-in's callbacks outlived ForgetPlugin";
  EXPECT_EQ(qbhost::PendingRequests(), 1u);
  // The stuck request was aborted, not left to run out its 5 s.
  const auto forgotten = std::chrono::steady_clock::now();
  Settle();
  EXPECT_LT(std::chrono::steady_clock::now() - forgotten, 4s);
  EXPECT_FALSE(called);
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_EQ(recorder_.calls[0].plugin, 8u);
}

TEST_F(RequestService, ARequestMadeAfterThePluginWasForgottenStillGoesOut) {
  // Forgetting covers what the plug-in handed over before, not what comes after.
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  bool stuckCalled = false;
  {
    qbhost::PluginScope scope(7);
    ASSERT_TRUE(Post(silent.BaseUrl() + "/stuck", [&stuckCalled](auto...) { stuckCalled = true; }));
  }
  qbhost::ForgetPlugin(7);
  {
    qbhost::PluginScope scope(7);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/later", recorder_.Callback()));
  }
  Settle();
  EXPECT_FALSE(stuckCalled);
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_TRUE(recorder_.calls[0].success) << recorder_.calls[0].text;
  auto posts = receiver_.Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, "/later");
}

TEST_F(RequestService, EachRequestCarriesOnlyItsOwnTextsHeadersAndOutcome) {
  // One after another, so that each goes out on the transfer of the last.
  receiver_.RespondWith(500);
  const std::string longBody = "{\"a\":\"" + std::string(300, 'a') + "\"}";
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/first/with/a/longer/path", recorder_.Callback(),
                   {"X-One: 1", "X-Two: 2"}, 5, longBody, "text/plain"));
  Settle();
  receiver_.RespondWith(200);
  ASSERT_TRUE(
      Post(receiver_.BaseUrl() + "/second", recorder_.Callback(), {"X-Two: zwei"}, 5, "{}"));
  Settle();
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/third", recorder_.Callback(), {}, 5, "", ""));
  Settle();

  auto posts = receiver_.Posts();
  ASSERT_EQ(posts.size(), 3u);
  EXPECT_EQ(posts[0].body, longBody);
  EXPECT_EQ(posts[0].Header("Content-Type"), "text/plain");
  EXPECT_EQ(posts[1].path, "/second");
  EXPECT_EQ(posts[1].body, "{}");
  EXPECT_EQ(posts[1].Header("Content-Type"), "application/json");
  EXPECT_EQ(posts[1].Header("X-Two"), "zwei");
  EXPECT_EQ(posts[1].HeaderCount("X-One"), 0u);
  EXPECT_EQ(posts[2].path, "/third");
  EXPECT_EQ(posts[2].body, "");
  EXPECT_EQ(posts[2].HeaderCount("X-Two"), 0u);
  EXPECT_EQ(posts[2].HeaderCount("Content-Type"), 0u);

  ASSERT_EQ(recorder_.calls.size(), 3u);
  EXPECT_FALSE(recorder_.calls[0].success);
  EXPECT_EQ(recorder_.calls[0].text, "HTTP 500 Internal Server Error");
  EXPECT_TRUE(recorder_.calls[1].success);
  EXPECT_EQ(recorder_.calls[1].text, "angekommen");
  EXPECT_EQ(recorder_.calls[1].headers.at("x-receiver"), "qbtest");
  EXPECT_TRUE(recorder_.calls[2].success);
}

TEST_F(RequestService, ARequestBehindBusyWorkersGoesOutWhenOneFrees) {
  // Requests hang on a silent peer and take every worker; the one behind them
  // goes out as soon as one of them times out.
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  for (std::size_t i = 0; i < qbhost::kRequestWorkers; ++i) {
    ASSERT_TRUE(Post(silent.BaseUrl() + "/stuck", recorder_.Callback(), {}, 1));
  }
  Recorder behind;
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/behind", behind.Callback()));
  Settle();
  auto posts = receiver_.Posts();
  ASSERT_EQ(posts.size(), 1u);
  EXPECT_EQ(posts[0].path, "/behind");
  // Completions come in the order the requests finish: the one behind can
  // finish before the last of the stuck ones has timed out.
  ASSERT_EQ(recorder_.calls.size(), qbhost::kRequestWorkers);
  for (const auto& call : recorder_.calls) EXPECT_FALSE(call.success);
  ASSERT_EQ(behind.calls.size(), 1u);
  EXPECT_TRUE(behind.calls[0].success) << behind.calls[0].text;
}

TEST_F(RequestService, ShutdownDropsEverythingAndTheServiceStartsAgainOnDemand) {
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  bool called = false;
  ASSERT_TRUE(Post(silent.BaseUrl() + "/x", [&called](auto...) { called = true; }));
  qbhost::ShutdownRequests();
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/again", recorder_.Callback()));
  Settle();
  EXPECT_FALSE(called);
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_TRUE(recorder_.calls[0].success);
}

TEST_F(RequestService, ManyRequestsAllArriveAndEachCallsBackOnce) {
  constexpr int kCount = 300;
  for (int i = 0; i < kCount; ++i) {
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/n/" + std::to_string(i), recorder_.Callback()));
  }
  Settle();
  EXPECT_EQ(receiver_.Posts().size(), static_cast<std::size_t>(kCount));
  ASSERT_EQ(recorder_.calls.size(), static_cast<std::size_t>(kCount));
  for (const auto& call : recorder_.calls) EXPECT_TRUE(call.success) << call.text;
}

// Ticks the game loop until `calls` completions have arrived or `limit` has
// passed; the wait between ticks is the service's own condition wait.
void TickUntil(Recorder& recorder, std::size_t calls, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (recorder.Count() < calls && std::chrono::steady_clock::now() < deadline) {
    qbhost::WaitForRequests(10ms);
    qbhost::Tick();
  }
}

TEST_F(RequestService, AWaitingRequestWhoseConnectTimeIsSpentFailsWithoutGoingOut) {
  // Requests hold every worker for at least 3 s; the one behind them may
  // connect within 1 s of its hand-over, as a thread of its own would have.
  // It fails at the first tick after that, while every worker is still busy.
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  Recorder stuck;
  for (std::size_t i = 0; i < qbhost::kRequestWorkers; ++i) {
    ASSERT_TRUE(Post(silent.BaseUrl() + "/stuck", stuck.Callback(), {}, 3));
  }
  const auto handedOver = std::chrono::steady_clock::now();
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/late", recorder_.Callback(), {}, 1));
  TickUntil(recorder_, 1, 3s);
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_LT(std::chrono::steady_clock::now() - handedOver, 2500ms);
  EXPECT_FALSE(recorder_.calls[0].success);
  EXPECT_THAT(recorder_.calls[0].text, HasSubstr("in the queue, the connect timeout is 1 s"));
  EXPECT_EQ(stuck.Count(), 0u);
  EXPECT_TRUE(receiver_.Posts().empty());
  // Before `stuck` goes: on the workers, its callbacks could run any time.
  qbhost::ShutdownRequests();
}

TEST_F(RequestService, ABacklogBehindASilentPeerFailsWithinItsTimeLimits) {
  // During an outage every request fails within its own time limits (here
  // 1 s each), not one slot's worth after another.
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  constexpr std::size_t kBacklog = 2000;
  const auto start = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < kBacklog; ++i) {
    ASSERT_TRUE(Post(silent.BaseUrl() + "/chat", recorder_.Callback(), {}, 1));
  }
  ASSERT_TRUE(qbhost::WaitForRequests(8s));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  qbhost::Tick();
  ASSERT_EQ(recorder_.calls.size(), kBacklog);
  for (const auto& call : recorder_.calls) EXPECT_FALSE(call.success);
}

// Posts one request per worker to a silent peer and waits until every worker
// has taken one.
void OccupyEveryWorker(const qbtest::RawPort& silent, Recorder& recorder, long timeout) {
  for (std::size_t i = 0; i < qbhost::kRequestWorkers; ++i) {
    ASSERT_TRUE(API::Requests::Get().CreatePostRequest(
        silent.BaseUrl() + "/busy", recorder.Callback(), "{}", "application/json", {}, timeout,
        timeout, timeout));
  }
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (qbhost::WaitingRequests() > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(qbhost::WaitingRequests(), 0u) << "the workers did not take the requests";
}

TEST_F(RequestService, AHandOverBeyondTheWaitingBoundIsRefusedAndTheRestStillRun) {
  // The busy ones' completions must stay pending until the count is taken.
  qbhost::SetCompletionDelivery(qbhost::CompletionDelivery::Tick);
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  Recorder busy;
  OccupyEveryWorker(silent, busy, 1);
  qbhost::SetRequestLimit(3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/waits", recorder_.Callback()));
  }
  bool refusedCalled = false;
  EXPECT_FALSE(
      Post(receiver_.BaseUrl() + "/refused", [&refusedCalled](auto...) { refusedCalled = true; }));
  EXPECT_EQ(qbhost::WaitingRequests(), 3u);
  EXPECT_EQ(qbhost::PendingRequests(), qbhost::kRequestWorkers + 3);
  // The waiting ones go out once the workers are free again (their 5 s
  // connect limit outlasts the busy ones' 1 s), and then there is room.
  Settle();
  EXPECT_FALSE(refusedCalled);
  ASSERT_EQ(recorder_.calls.size(), 3u);
  for (const auto& call : recorder_.calls) EXPECT_TRUE(call.success) << call.text;
  EXPECT_TRUE(Post(receiver_.BaseUrl() + "/again", recorder_.Callback()));
  Settle();
  EXPECT_EQ(recorder_.calls.size(), 4u);
  EXPECT_EQ(receiver_.Posts().size(), 4u);
}

TEST_F(RequestService, ShutdownFreesTheWaitingBoundAtOnce) {
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  Recorder busy;
  OccupyEveryWorker(silent, busy, 5);
  qbhost::SetRequestLimit(1);
  ASSERT_TRUE(Post(silent.BaseUrl() + "/waits", recorder_.Callback()));
  EXPECT_FALSE(Post(silent.BaseUrl() + "/refused", recorder_.Callback()));
  const auto start = std::chrono::steady_clock::now();
  qbhost::ShutdownRequests();
  // The busy workers were aborted, not waited for.
  EXPECT_LT(std::chrono::steady_clock::now() - start, 4s);
  EXPECT_TRUE(Post(receiver_.BaseUrl() + "/again", recorder_.Callback()));
  Settle();
  EXPECT_TRUE(busy.calls.empty());
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_TRUE(recorder_.calls[0].success) << recorder_.calls[0].text;
}

TEST_F(RequestService, AStatusLineWithControlBytesIsEscapedInTheFailureText) {
  // The text goes into the plug-in's log line: it must not break or colour it.
  qbtest::CannedPeer peer(
      "HTTP/1.1 502 Bad\x1b[31m\\x\x7f"
      "End\r\nContent-Length: 0\r\n\r\n");
  ASSERT_TRUE(Post(peer.BaseUrl() + "/x", recorder_.Callback()));
  Settle();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_EQ(recorder_.calls[0].text, "HTTP 502 Bad\\x1b[31m\\\\x\\x7fEnd");
}

// ---------------------------------------------------------------------------
// Hung connects, trickling peers and huge answers.

using Clock = std::chrono::steady_clock;

TEST_F(RequestService, ForgettingAPluginWhoseRequestHangsInConnectReturnsAtOnce) {
  // Every SYN to this port is dropped: the connect would take its whole 30 s
  // limit, and so would a drop that waited for it.
  qbtest::RawPort full(qbtest::RawPort::Mode::Full);
  bool called = false;
  {
    qbhost::PluginScope scope(7);
    ASSERT_TRUE(API::Requests::Get().CreatePostRequest(
        full.BaseUrl() + "/x", [&called](auto...) { called = true; }, "{}", "application/json", {},
        30, 30, 30));
  }
  const auto taken = Clock::now() + 5s;
  while (qbhost::WaitingRequests() > 0 && Clock::now() < taken) std::this_thread::yield();
  ASSERT_EQ(qbhost::WaitingRequests(), 0u) << "no worker took the request";
  const auto start = Clock::now();
  qbhost::ForgetPlugin(7);
  const auto forgetting = Clock::now() - start;
  // The worker is free again long before the connect limit would have ended
  // the send: the abort ended the connect.
  ASSERT_TRUE(qbhost::WaitForRequests(20s));
  const auto freed = Clock::now() - start;
  qbhost::Tick();
  EXPECT_FALSE(called);
  EXPECT_LT(forgetting, 20s);
  std::printf("ForgetPlugin returned after %lld ms, the worker was free after %lld ms\n",
              static_cast<long long>(forgetting / 1ms), static_cast<long long>(freed / 1ms));
}

TEST_F(RequestService, APeerThatTricklesFailsAtTheConnectSendAndReceiveLimitsTogether) {
  // A byte every 200 ms: no quiet time of 1 s ever runs out, and the whole
  // answer would take some 30 s.
  const std::string answer =
      "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(100, 'x');
  qbtest::CannedPeer trickle(answer, 200ms);
  const auto start = Clock::now();
  ASSERT_TRUE(Post(trickle.BaseUrl() + "/x", recorder_.Callback(), {}, 1));
  Settle();
  const auto took = Clock::now() - start;
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_FALSE(recorder_.calls[0].success);
  EXPECT_EQ(recorder_.calls[0].text,
            "Operation timed out: no complete answer within 3 s (connect 1 s + send 1 s + "
            "receive 1 s)");
  EXPECT_GE(took, 3s) << "ended before its limits together";
}

TEST_F(RequestService, OfAHugeAnswerTheFirstMebibyteIsKeptAndTheRestReadAndDropped) {
  receiver_.AnswerWithBytes(std::size_t{64} << 20);
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/x", recorder_.Callback(), {}, 30));
  Settle();
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_TRUE(recorder_.calls[0].success) << recorder_.calls[0].text.substr(0, 200);
  EXPECT_EQ(recorder_.calls[0].text, std::string(std::size_t{1} << 20, 'x'));
  EXPECT_EQ(receiver_.StreamedAnswers(), 1u) << "the answer was not read to its end";
  // The connection is still good for the next request.
  receiver_.AnswerWithBytes(0);
  ASSERT_TRUE(Post(receiver_.BaseUrl() + "/y", recorder_.Callback()));
  Settle();
  ASSERT_EQ(recorder_.calls.size(), 2u);
  EXPECT_EQ(recorder_.calls[1].text, "angekommen");
}

// ---------------------------------------------------------------------------
// Completions on any thread.

// A callback that, once called, holds its worker until the test lets it go.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false;
  bool released = false;
  int calls = 0;

  void EnterAndWait() {
    std::unique_lock lock(mutex);
    ++calls;
    entered = true;
    changed.notify_all();
    changed.wait_for(lock, 20s, [&] { return released; });
  }
  bool WaitEntered() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return entered; });
  }
  void Release() {
    std::lock_guard lock(mutex);
    released = true;
    changed.notify_all();
  }
};

class AnyThreadService : public RequestService {
 protected:
  void SetUp() override {
    RequestService::SetUp();
    qbhost::SetCompletionDelivery(qbhost::CompletionDelivery::AnyThread);
  }
};

TEST_F(AnyThreadService, ACompletionRunsOnItsWorkerInItsPluginsScopeWithoutATick) {
  {
    qbhost::PluginScope scope(3);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/x", recorder_.Callback()));
  }
  ASSERT_TRUE(qbhost::WaitForRequests(10s));  // no Tick() anywhere
  ASSERT_EQ(recorder_.calls.size(), 1u);
  EXPECT_TRUE(recorder_.calls[0].success);
  EXPECT_EQ(recorder_.calls[0].text, "angekommen");
  EXPECT_NE(recorder_.calls[0].thread, std::this_thread::get_id());
  EXPECT_EQ(recorder_.calls[0].plugin, 3u);
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
}

TEST_F(AnyThreadService, ForgettingAPluginWaitsForItsRunningCompletionAndStartsNoneAfter) {
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  Gate gate;
  std::atomic<bool> forgotten{false};
  bool forgottenWhenDone = true;
  bool laterCalled = false;
  {
    qbhost::PluginScope scope(7);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/running", [&](auto...) {
      gate.EnterAndWait();
      forgottenWhenDone = forgotten.load();
    }));
    ASSERT_TRUE(gate.WaitEntered());
    // On the wire while the first one runs: aborted, never called.
    ASSERT_TRUE(Post(silent.BaseUrl() + "/later", [&](auto...) { laterCalled = true; }));
  }
  std::thread unload([&] {
    qbhost::ForgetPlugin(7);
    forgotten = true;
  });
  // Once the later one's callback is gone, the drop is past its removals and
  // waits; only then is the running one let go.
  const auto deadline = Clock::now() + 10s;
  while (qbhost::PendingRequests() > 0 && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  gate.Release();
  unload.join();
  EXPECT_FALSE(forgottenWhenDone) << "ForgetPlugin returned while its completion still ran";
  ASSERT_TRUE(qbhost::WaitForRequests(10s));
  qbhost::Tick();
  EXPECT_EQ(gate.calls, 1);
  EXPECT_FALSE(laterCalled);
}

TEST_F(AnyThreadService, ShutdownWaitsForEveryRunningCompletion) {
  qbtest::RawPort silent(qbtest::RawPort::Mode::Silent);
  Gate gate;
  std::atomic<bool> shutDown{false};
  bool shutDownWhenDone = true;
  {
    qbhost::PluginScope scope(4);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/running", [&](auto...) {
      gate.EnterAndWait();
      shutDownWhenDone = shutDown.load();
    }));
  }
  ASSERT_TRUE(gate.WaitEntered());
  ASSERT_TRUE(Post(silent.BaseUrl() + "/stuck", recorder_.Callback()));
  std::thread stopper([&] {
    qbhost::ShutdownRequests();
    shutDown = true;
  });
  // Once the stuck one's callback is gone, the shutdown waits.
  const auto deadline = Clock::now() + 10s;
  while (qbhost::PendingRequests() > 0 && Clock::now() < deadline) std::this_thread::yield();
  EXPECT_EQ(qbhost::PendingRequests(), 0u);
  gate.Release();
  stopper.join();
  EXPECT_FALSE(shutDownWhenDone) << "ShutdownRequests returned while a completion still ran";
  EXPECT_EQ(gate.calls, 1);
  EXPECT_EQ(recorder_.calls.size(), 0u);
}

TEST_F(AnyThreadService, ACompletionMayMakeRequestsAndForgetItsOwnPlugin) {
  // Neither may deadlock against the service's own locks.
  Recorder second;
  std::atomic<bool> handedOver{false};
  {
    qbhost::PluginScope scope(5);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/first", [&](auto...) {
      handedOver = Post(receiver_.BaseUrl() + "/second", second.Callback());
    }));
  }
  ASSERT_TRUE(qbhost::WaitForRequests(10s));
  EXPECT_TRUE(handedOver);
  ASSERT_EQ(second.calls.size(), 1u);
  EXPECT_EQ(second.calls[0].plugin, 5u);

  bool forgot = false;
  {
    qbhost::PluginScope scope(6);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/third", [&](auto...) {
      qbhost::ForgetPlugin(6);
      forgot = true;
    }));
  }
  ASSERT_TRUE(qbhost::WaitForRequests(10s));
  EXPECT_TRUE(forgot);
  EXPECT_EQ(receiver_.Posts().size(), 3u);
}

TEST_F(AnyThreadService, ShutdownFromACompletionOnAWorkerIsRefusedAndLogged) {
  {
    qbhost::PluginScope scope(2);
    ASSERT_TRUE(Post(receiver_.BaseUrl() + "/x", [](auto...) { qbhost::ShutdownRequests(); }));
  }
  ASSERT_TRUE(qbhost::WaitForRequests(10s));
  auto lines = sink_->Texts();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], HasSubstr("ShutdownRequests from a request completion on a worker"));
}

}  // namespace
