#pragma once

// Harness side of the request service (API::Requests): shutdown, waiting in
// tests, bounds and fault injection. How the service works: host/src/requests.cpp.

#include <chrono>
#include <cstddef>

#include "qbhost/standin.h"

namespace qbhost {

// Worker threads that send requests, each one at a time.
inline constexpr std::size_t kRequestWorkers = 8;

// Where completion callbacks run. Either way each runs inside a PluginScope of
// the plug-in that made the request, and never after ForgetPlugin of that
// plug-in has returned.
enum class CompletionDelivery {
  Tick,       // on the game thread, in the next Tick() (the default)
  AnyThread,  // at once, on the worker thread that finished the request, while
              // the game thread goes on; a request the service fails without
              // sending it (a URL it rejects, a connect limit spent waiting
              // for a worker) still completes in the next Tick()
};
QB_STANDIN_API void SetCompletionDelivery(CompletionDelivery delivery);
QB_STANDIN_API CompletionDelivery CurrentCompletionDelivery();

// Aborts every request being sent and drops every completion not yet
// delivered, without calling any; waits for the completions that are running.
// The service starts again on the next request. Called from a completion on a
// worker, it throws std::logic_error (the workers cannot wait for themselves).
QB_STANDIN_API void ShutdownRequests();

// Requests handed over and not yet delivered to their callbacks.
QB_STANDIN_API std::size_t PendingRequests();

// Requests handed over that wait for a worker.
QB_STANDIN_API std::size_t WaitingRequests();

// Waits until every request handed over so far has been answered or has
// failed, and its completion has run (AnyThread) or waits for the next
// Tick(). False on timeout.
QB_STANDIN_API bool WaitForRequests(std::chrono::milliseconds timeout);

// Requests waiting for a worker that the service holds at most;
// CreatePostRequest refuses one beyond it (returns false, no callback). 0
// restores the default, 4,096.
QB_STANDIN_API void SetRequestLimit(std::size_t limit);

enum class RequestFault {
  None,
  Refuse,   // CreatePostRequest returns false and never calls back
  Throw,    // CreatePostRequest throws std::runtime_error
  Discard,  // CreatePostRequest returns true at once, copies nothing, never
            // sends and never calls back: what is left of a caller's cost is
            // its own (the benchmarks' "without hand-over")
};
QB_STANDIN_API void SetRequestFault(RequestFault fault);
// Requests taken and dropped under RequestFault::Discard, ever.
QB_STANDIN_API std::size_t DiscardedRequests();

}  // namespace qbhost
