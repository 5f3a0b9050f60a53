#pragma once

// Harness side of the request service (API::Requests): shutdown, waiting in
// tests, and fault injection.

#include <chrono>
#include <cstddef>

#include "qbhost/standin.h"

namespace qbhost {

// Aborts every request in flight and drops every completion not yet
// delivered, without calling any. The service starts again on the next request.
QB_STANDIN_API void ShutdownRequests();

// Requests handed over and not yet delivered to their callbacks.
QB_STANDIN_API std::size_t PendingRequests();

// Waits until every request handed over so far has finished on the wire and
// its completion waits for the next Tick(). False on timeout.
QB_STANDIN_API bool WaitForRequests(std::chrono::milliseconds timeout);

// Requests handed over and not yet finished that the service holds at most;
// CreatePostRequest refuses one beyond it (returns false, no callback). 0
// restores the default, 65,536.
QB_STANDIN_API void SetRequestLimit(std::size_t limit);

enum class RequestFault {
  None,
  Refuse,  // CreatePostRequest returns false and never calls back
  Throw,   // CreatePostRequest throws std::runtime_error
};
QB_STANDIN_API void SetRequestFault(RequestFault fault);

}  // namespace qbhost
