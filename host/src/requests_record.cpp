// The request service (API::Requests) of the stand-in host on Windows: it
// records each request instead of sending it, since the HTTP transfer of the
// Linux build runs on libcurl, which the Windows build does not have. The
// plug-in's side of the contract is the same: CreatePostRequest returns at
// once, and the completion runs later, on the thread that calls Tick(),
// inside a PluginScope of the plug-in that made the request; a plug-in that is
// forgotten first never sees it. Every accepted request counts as answered
// with success, an empty body and no headers.
//
// As on Linux, a header (or content type) holding CR, LF or NUL is refused,
// and so is a request beyond the limit of SetRequestLimit (here: completions
// not yet delivered); the faults of SetRequestFault apply. None of these ever
// calls back.

#include <atomic>
#include <chrono>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <utility>

#include "host_internal.h"
#include "qbhost/request_record.h"
#include "qbhost/requests.h"

namespace qbhost {
namespace {

constexpr std::size_t kDefaultLimit = 65536;

bool BreaksHeader(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

struct Completion {
  std::uint64_t id = 0;
  PluginId owner = 0;
  API::Requests::Callback callback;
};

class Recorder {
 public:
  bool Submit(RecordedRequest request, const API::Requests::Callback& callback) {
    switch (fault_) {
      case RequestFault::Refuse:
        return false;
      case RequestFault::Throw:
        throw std::runtime_error("request service: injected fault");
      case RequestFault::Discard:
        discarded_.fetch_add(1, std::memory_order_relaxed);
        return true;
      case RequestFault::None:
        break;
    }
    if (BreaksHeader(request.contentType)) return false;
    for (const auto& h : request.headers) {
      if (BreaksHeader(h)) return false;
    }
    std::lock_guard lock(mutex_);
    if (pending_.size() >= limit_) return false;
    pending_.push_back({nextId_, request.owner, callback});
    try {
      recorded_.push_back(std::move(request));
    } catch (...) {
      pending_.pop_back();
      throw;
    }
    ++nextId_;
    return true;
  }

  // Runs the completions of the requests made before this call, one at a
  // time and without the lock, so that a completion may make a new request
  // (answered at the next tick) and a plug-in forgotten meanwhile gets none.
  void Deliver() {
    std::uint64_t end;
    {
      std::lock_guard lock(mutex_);
      end = nextId_;
    }
    for (;;) {
      Completion done;
      {
        std::lock_guard lock(mutex_);
        if (pending_.empty() || pending_.front().id >= end) return;
        done = std::move(pending_.front());
        pending_.pop_front();
      }
      PluginScope scope(done.owner);
      try {
        done.callback(true, std::string(), {});
      } catch (const std::exception& e) {
        HostLogger()->error("request completion of plug-in {} threw: {}", done.owner, e.what());
      } catch (...) {
        HostLogger()->error("request completion of plug-in {} threw a non-standard exception",
                            done.owner);
      }
    }
  }

  // Drops the completions of `owner` (of everyone, when `all`) uncalled. Their
  // callbacks are destroyed before this returns, and so before the caller
  // closes the plug-in's library, where their code lives.
  void Drop(PluginId owner, bool all) {
    std::vector<API::Requests::Callback> dropped;
    {
      std::lock_guard lock(mutex_);
      const auto match = [&](const Completion& c) { return all || c.owner == owner; };
      dropped.reserve(pending_.size());  // the moves below cannot throw then
      for (auto& c : pending_) {
        if (match(c)) dropped.push_back(std::move(c.callback));
      }
      std::erase_if(pending_, match);
    }
  }

  std::size_t Pending() {
    std::lock_guard lock(mutex_);
    return pending_.size();
  }

  std::vector<RecordedRequest> Recorded() {
    std::lock_guard lock(mutex_);
    return recorded_;
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    recorded_.clear();
  }

  void SetLimit(std::size_t limit) {
    std::lock_guard lock(mutex_);
    limit_ = limit == 0 ? kDefaultLimit : limit;
  }

  std::atomic<RequestFault> fault_{RequestFault::None};
  std::atomic<std::size_t> discarded_{0};

 private:
  std::mutex mutex_;
  std::deque<Completion> pending_;
  std::uint64_t nextId_ = 0;
  std::size_t limit_ = kDefaultLimit;
  std::vector<RecordedRequest> recorded_;
};

Recorder& TheRecorder() {
  static Recorder recorder;
  return recorder;
}

}  // namespace

namespace detail {
void DeliverCompletions() {
  TheRecorder().Deliver();
}
void DropRequestsOf(PluginId id) {
  TheRecorder().Drop(id, false);
}
}  // namespace detail

void ShutdownRequests() {
  TheRecorder().Drop(0, true);
}

std::size_t PendingRequests() {
  return TheRecorder().Pending();
}

// Nothing goes on a wire: a request is finished the moment it is recorded.
bool WaitForRequests(std::chrono::milliseconds /*timeout*/) {
  return true;
}

void SetRequestLimit(std::size_t limit) {
  TheRecorder().SetLimit(limit);
}

void SetRequestFault(RequestFault fault) {
  TheRecorder().fault_ = fault;
}

std::size_t DiscardedRequests() {
  return TheRecorder().discarded_.load(std::memory_order_relaxed);
}

std::vector<RecordedRequest> RecordedRequests() {
  return TheRecorder().Recorded();
}

void ClearRecordedRequests() {
  TheRecorder().Clear();
}

}  // namespace qbhost

API::Requests& API::Requests::Get() {
  static Requests requests;
  return requests;
}

bool API::Requests::CreatePostRequest(const std::string& url, const Callback& callback,
                                      const std::string& postData, const std::string& contentType,
                                      std::vector<std::string> headers, long connectTimeout,
                                      long receiveTimeout, long sendTimeout) {
  return qbhost::TheRecorder().Submit(
      {qbhost::CurrentPlugin(), url, postData, contentType, std::move(headers), connectTimeout,
       receiveTimeout, sendTimeout},
      callback);
}
