// The chat callback's cost on the game thread. BM_ChatCallbackWithoutHandover
// is the plug-in's own: sender lookups by name, two text conversions, the JSON
// body, its dump and the request's arguments, handed to a request service that
// drops them at once. BM_ChatCallback adds the stand-in's hand-over to its real
// request service. The plug-in is active against a peer on 127.0.0.1:
//
//   healthy  a receiver that answers 200
//   refused  a bound port that does not listen (every connect is refused)
//   silent   a port that listens and never accepts (requests hang until their
//            5 s time limits; they pile up in the service during the run)
//
// Every 256 calls the timer stops while the game loop would catch up: wait
// until the service has finished the requests (not for silent: they never
// finish) and Tick() to run their completions. So the service's queue stays
// bounded and no network wait is timed. The three peers run the same number
// of calls so that the pile-up of the silent case is the same in every run.
//
// In the same binary:
//   BM_NlohmannBuildDump   the anchor: the same three-member body built and
//                          dumped, bare
//   BM_StandInChatConversions  the stand-in's text conversions inside one
//                          callback, alone (left out of the plug-in's share)
//   BM_ThreadPerRequest    the dumped body handed to a new detached std::thread
//                          per request, which adds its size to an atomic

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>

#include "bench_support.h"
#include "bridge/chat.h"
#include "qbhost/engine.h"
#include "qbhost/requests.h"
#include "support/http_receiver.h"

using namespace qb;

namespace {

constexpr std::int64_t kBatch = 256;              // calls between two catch-ups
constexpr std::int64_t kChatCalls = kBatch * 80;  // per run, for every peer
constexpr auto kCatchUpLimit = std::chrono::seconds(20);

enum class Peer { Healthy, Refused, Silent };

// A world with one player who has a character name, and the chat line as the
// host hands it over.
class ChatScene {
 public:
  explicit ChatScene(const std::string& baseUrl) : message_(qbbench::ChatText()) {
    qbbench::Activate(baseUrl);
    world_ = qbhost::CreateWorld();
    qbhost::SetCurrentWorld(world_);
    player_ = qbhost::AddPlayer(world_, {"ada", qbbench::kSender, true});
  }
  ~ChatScene() {
    qbhost::ShutdownRequests();  // nothing of this run calls back into the next
    qbbench::Deactivate();
    qbhost::SetCurrentWorld(nullptr);
    qbhost::DestroyWorld(world_);
  }
  ChatScene(const ChatScene&) = delete;
  ChatScene& operator=(const ChatScene&) = delete;

  bool Send() { return OnChatMessage(player_, message_.ptr(), 0, 0, false, false); }

 private:
  qbhost::HostString message_;
  UWorld* world_ = nullptr;
  AShooterPlayerController* player_ = nullptr;
};

void BM_ChatCallback(benchmark::State& state, Peer peer) {
  qbtest::HttpReceiver receiver;
  std::unique_ptr<qbtest::RawPort> raw;
  std::string baseUrl;
  if (peer == Peer::Healthy) {
    receiver.Start();
    baseUrl = receiver.BaseUrl();
  } else {
    raw = std::make_unique<qbtest::RawPort>(peer == Peer::Refused ? qbtest::RawPort::Mode::Refuse
                                                                  : qbtest::RawPort::Mode::Silent);
    baseUrl = raw->BaseUrl();
  }
  const std::size_t linesBefore = qbbench::QuietLog().Lines();
  bool caughtUp = true;
  {
    ChatScene scene(baseUrl);
    std::int64_t calls = 0;
    for (auto _ : state) {
      benchmark::DoNotOptimize(scene.Send());
      if (++calls % kBatch == 0) {
        state.PauseTiming();
        if (peer != Peer::Silent) caughtUp = caughtUp && qbhost::WaitForRequests(kCatchUpLimit);
        qbhost::Tick();
        state.ResumeTiming();
      }
    }
    if (peer != Peer::Silent) {
      caughtUp = caughtUp && qbhost::WaitForRequests(kCatchUpLimit);
      qbhost::Tick();
    }
  }  // the scene shuts the service down before the receiver stops
  if (peer == Peer::Healthy) receiver.Stop();
  if (!caughtUp) state.SkipWithError("the request service did not finish a batch in time");

  // What the peer made of the requests: the healthy one must have all of them
  // and no failure line; the refused one a failure line for each.
  const auto calls = static_cast<double>(state.iterations());
  state.counters["received"] = static_cast<double>(receiver.Posts().size()) / calls;
  state.counters["failure_lines"] =
      static_cast<double>(qbbench::QuietLog().Lines() - linesBefore) / calls;
}
BENCHMARK_CAPTURE(BM_ChatCallback, healthy, Peer::Healthy)
    ->Iterations(kChatCalls)
    ->ComputeStatistics("min", qbbench::Min)
    ->ComputeStatistics("max", qbbench::Max);
BENCHMARK_CAPTURE(BM_ChatCallback, refused, Peer::Refused)
    ->Iterations(kChatCalls)
    ->ComputeStatistics("min", qbbench::Min)
    ->ComputeStatistics("max", qbbench::Max);
BENCHMARK_CAPTURE(BM_ChatCallback, silent, Peer::Silent)
    ->Iterations(kChatCalls)
    ->ComputeStatistics("min", qbbench::Min)
    ->ComputeStatistics("max", qbbench::Max);

// The headline figure: the callback's own cost, without the hand-over. The
// request service takes every request and drops it at once (it returns true,
// copies nothing, sends nothing), so what is timed is the plug-in's work up to
// and including the call: the sender lookups, both conversions, the body and
// its dump, the URL, the header list and the completion object it hands over,
// and the freeing of what the call consumed. No other thread runs.
void BM_ChatCallbackWithoutHandover(benchmark::State& state) {
  qbtest::RawPort unused(qbtest::RawPort::Mode::Refuse);
  const std::size_t linesBefore = qbbench::QuietLog().Lines();
  const std::size_t takenBefore = qbhost::DiscardedRequests();
  {
    ChatScene scene(unused.BaseUrl());
    qbhost::SetRequestFault(qbhost::RequestFault::Discard);
    for (auto _ : state) benchmark::DoNotOptimize(scene.Send());
    qbhost::SetRequestFault(qbhost::RequestFault::None);
  }
  // Every call must have reached the hand-over, and none failed before it.
  const auto calls = static_cast<double>(state.iterations());
  state.counters["handed_over"] =
      static_cast<double>(qbhost::DiscardedRequests() - takenBefore) / calls;
  state.counters["failure_lines"] =
      static_cast<double>(qbbench::QuietLog().Lines() - linesBefore) / calls;
}
BENCHMARK(BM_ChatCallbackWithoutHandover)
    ->ComputeStatistics("min", qbbench::Min)
    ->ComputeStatistics("max", qbbench::Max);

// The stand-in's text conversions inside one callback, alone: its engine
// function makes the character name into engine text from the UTF-8 it keeps,
// and the plug-in has the host convert sender and message back to UTF-8. On
// the real host the first is the engine's and the others are the host's: the
// report takes this from the callback to give the plug-in's own share.
void BM_StandInChatConversions(benchmark::State& state) {
  const std::string name = qbbench::kSender;
  const auto sender = qbbench::EngineText(qbbench::kSender);
  const auto message = qbbench::EngineText(qbbench::ChatText());
  qbbench::HostConversions host;
  for (auto _ : state) {
    benchmark::DoNotOptimize(host.ToEngine(name));
    benchmark::DoNotOptimize(host.ToUtf8(sender));
    benchmark::DoNotOptimize(host.ToUtf8(message));
  }
}
BENCHMARK(BM_StandInChatConversions);

void BM_NlohmannBuildDump(benchmark::State& state) {
  const std::string sender = qbbench::kSender;
  const std::string text = qbbench::ChatText();
  const std::string map = qbbench::kMap;
  for (auto _ : state) {
    nlohmann::json body;
    body["sender"] = sender;
    body["message"] = text;
    body["map"] = map;
    std::string dumped = body.dump();
    benchmark::DoNotOptimize(dumped.data());
  }
}
BENCHMARK(BM_NlohmannBuildDump);

std::atomic<std::int64_t> threadsDone{0};
std::atomic<std::uint64_t> bytesSeen{0};

void AwaitThreads(std::int64_t started) {
  for (std::int64_t done = threadsDone.load(); done < started; done = threadsDone.load()) {
    threadsDone.wait(done);
  }
}

void BM_ThreadPerRequest(benchmark::State& state) {
  const std::string body = nlohmann::json{
      {"sender", qbbench::kSender},
      {"message", qbbench::ChatText()},
      {"map", qbbench::kMap}}.dump();
  threadsDone = 0;
  std::int64_t started = 0;
  for (auto _ : state) {
    std::thread([copy = body]() mutable {
      {
        const std::string mine = std::move(copy);  // released before the signal
        bytesSeen.fetch_add(mine.size());
      }
      threadsDone.fetch_add(1);
      threadsDone.notify_all();
    }).detach();
    if (++started % kBatch == 0) {
      state.PauseTiming();
      AwaitThreads(started);
      state.ResumeTiming();
    }
  }
  AwaitThreads(started);  // no thread outlives the run
}
BENCHMARK(BM_ThreadPerRequest);

}  // namespace
