// A heartbeat tick that is not due, beside one steady_clock::now().
//
// Each run first makes one real due tick (the plug-in active against a port
// that refuses, so it fails at once), lets it finish and shuts the request
// service down; every tick of the timed loop then falls inside the 25 s that
// follow. Allocations are counted, not assumed: this binary replaces the
// global operator new (support/count_new.cpp), and the engine heap keeps its
// own count. Both are
// reported per tick (allocs_per_iter, engine_allocs_per_iter).
//
//   BM_OnHeartbeatNotDue        the timer callback as the host calls it
//   BM_HeartbeatTickNotDue      the clock seam with a reading 1 ns after the due tick
//   BM_SteadyClockNow           baseline: one std::chrono::steady_clock::now()

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <new>

#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "bridge/heartbeat.h"
#include "qbhost/requests.h"
#include "support/count_new.h"
#include "support/http_receiver.h"

using namespace qb;

namespace {

// One real due tick, finished and delivered; afterwards no thread of the
// request service runs. Returns the clock reading of that tick.
std::int64_t DueTick(benchmark::State& state) {
  qbtest::RawPort refusing(qbtest::RawPort::Mode::Refuse);
  qbbench::Activate(refusing.BaseUrl());
  const std::size_t linesBefore = qbbench::QuietLog().Lines();
  lastHeartbeat = 0;
  OnHeartbeat();
  const std::int64_t due = lastHeartbeat;
  if (due == 0 || !qbhost::WaitForRequests(std::chrono::seconds(10))) {
    state.SkipWithError("the due tick sent nothing or did not finish");
  }
  qbhost::Tick();
  qbhost::ShutdownRequests();
  if (qbbench::QuietLog().Lines() != linesBefore + 1) {
    state.SkipWithError("the due tick's request did not fail as expected");
  }
  return due;
}

// Counts around the timed loop only: Google Benchmark allocates nothing
// inside it, which BM_SteadyClockNow shows with its own zero.
class AllocationCount {
 public:
  AllocationCount() : news_(qbtest::NewCallsOnThisThread()), engine_(qbhost::Heap().allocations) {}
  void Report(benchmark::State& state) const {
    const auto news = qbtest::NewCallsOnThisThread() - news_;
    const auto engine = qbhost::Heap().allocations - engine_;
    state.counters["allocs_per_iter"] =
        benchmark::Counter(static_cast<double>(news), benchmark::Counter::kAvgIterations);
    state.counters["engine_allocs_per_iter"] =
        benchmark::Counter(static_cast<double>(engine), benchmark::Counter::kAvgIterations);
  }

 private:
  std::uint64_t news_;
  std::uint64_t engine_;
};

void BM_OnHeartbeatNotDue(benchmark::State& state) {
  const std::int64_t due = DueTick(state);
  const AllocationCount count;
  for (auto _ : state) OnHeartbeat();
  count.Report(state);
  if (lastHeartbeat != due) state.SkipWithError("a tick in the loop was due");
  qbbench::Deactivate();
}
BENCHMARK(BM_OnHeartbeatNotDue)->ComputeStatistics("max", qbbench::Max);

void BM_HeartbeatTickNotDue(benchmark::State& state) {
  const std::int64_t due = DueTick(state);
  std::int64_t now = due + 1;
  const AllocationCount count;
  for (auto _ : state) {
    benchmark::DoNotOptimize(now);
    HeartbeatTick(now);
  }
  count.Report(state);
  if (lastHeartbeat != due) state.SkipWithError("a tick in the loop was due");
  qbbench::Deactivate();
}
BENCHMARK(BM_HeartbeatTickNotDue)->ComputeStatistics("max", qbbench::Max);

void BM_SteadyClockNow(benchmark::State& state) {
  const AllocationCount count;
  for (auto _ : state) {
    benchmark::DoNotOptimize(std::chrono::steady_clock::now());
  }
  count.Report(state);
}
BENCHMARK(BM_SteadyClockNow)->ComputeStatistics("max", qbbench::Max);

}  // namespace
