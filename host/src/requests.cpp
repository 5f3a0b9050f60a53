// The request service (API::Requests): real HTTP over libcurl's multi
// interface on one worker thread.
//
//   caller (game thread)                      worker thread
//   CreatePostRequest --incoming_--> waiting_ --> curl_multi (at most 16 on
//                                                 the wire, connections kept)
//   Tick: DeliverCompletions <--finished_-- one Outcome per finished transfer
//
// CreatePostRequest copies the request, takes one lock to queue it and wakes
// the worker; it never waits for the network. Completion callbacks stay in
// callbacks_ on the caller's side and run only on the thread that calls Tick(),
// each inside a PluginScope of the plug-in that made the request. A completion
// whose callback is gone (its plug-in was forgotten, or the service shut down)
// is discarded, so a callback never runs after its plug-in left. DropRequestsOf
// destroys the plug-in's callbacks before it returns (their code lives in the
// plug-in's library) and has the worker abort the plug-in's transfers.
//
// A header (or content type) holding CR, LF or NUL is refused: it could smuggle
// further headers into the request. Fault injection for tests: Refuse makes
// CreatePostRequest return false, Throw makes it throw std::runtime_error;
// neither ever calls back.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include <curl/curl.h>

#include "host_internal.h"
#include "http_transfer.h"
#include "qbhost/requests.h"

namespace qbhost::detail {
namespace {

// Transfers on the wire at once (and connections kept open to one receiver).
// Further requests wait in the worker's queue, in order; their time limits
// start when they go on the wire. libcurl's own queue would not do: it walks
// every handle it holds on each step, and their clocks would already run.
constexpr std::size_t kMaxOnWire = 16;
constexpr std::size_t kSpareHandles = kMaxOnWire;

bool BreaksHeader(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

struct PendingCallback {
  PluginId owner;
  API::Requests::Callback callback;
};

struct Completion {
  std::uint64_t id;
  PluginId owner;
  Outcome outcome;
};

class Service {
 public:
  ~Service() { Shutdown(); }

  bool Submit(const std::string& url, const API::Requests::Callback& callback,
              const std::string& body, const std::string& contentType,
              std::vector<std::string> headers, Timeouts timeouts);
  void Deliver();
  void Drop(PluginId owner);
  void Shutdown();
  std::size_t Pending();
  bool Wait(std::chrono::milliseconds timeout);

  std::atomic<RequestFault> fault{RequestFault::None};

 private:
  // Both called with mutex_ held.
  bool StartWorker();
  void Wake();
  // Waits until no completion of `owner` (of anyone, when `all`) runs on
  // another thread.
  void AwaitDelivery(std::unique_lock<std::mutex>& lock, PluginId owner, bool all);

  // Worker thread only.
  void Run();
  void Start(std::unique_ptr<Transfer> transfer, std::vector<Completion>& done);
  std::size_t Abort(PluginId owner);
  void Recycle(CURL* easy);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t nextId_ = 1;
  std::unordered_map<std::uint64_t, PendingCallback> callbacks_;
  std::vector<std::unique_ptr<Transfer>> incoming_;
  std::vector<PluginId> cancelled_;
  std::deque<Completion> finished_;
  std::size_t unfinished_ = 0;  // handed over, not yet finished or aborted
  bool wakeSent_ = false;
  bool stopping_ = false;
  bool delivering_ = false;
  PluginId deliveringOwner_ = 0;
  std::thread::id deliveringThread_;
  CURLM* multi_ = nullptr;
  std::thread worker_;

  std::deque<std::unique_ptr<Transfer>> waiting_;
  std::unordered_map<std::uint64_t, std::unique_ptr<Transfer>> active_;
  std::vector<CURL*> spare_;
};

Service& TheService() {
  static Service service;
  return service;
}

bool Service::Submit(const std::string& url, const API::Requests::Callback& callback,
                     const std::string& body, const std::string& contentType,
                     std::vector<std::string> headers, Timeouts timeouts) {
  switch (fault.load()) {
    case RequestFault::Refuse:
      return false;
    case RequestFault::Throw:
      throw std::runtime_error("request service: injected fault");
    case RequestFault::None:
      break;
  }
  if (BreaksHeader(contentType)) return false;
  for (const auto& h : headers) {
    if (BreaksHeader(h)) return false;
  }
  // The copies are made before the lock is taken.
  PendingCallback pending{CurrentPlugin(), callback};
  auto transfer = std::make_unique<Transfer>(pending.owner, url, body, contentType,
                                             std::move(headers), timeouts);
  std::lock_guard lock(mutex_);
  if (stopping_ || (!worker_.joinable() && !StartWorker())) return false;
  const std::uint64_t id = nextId_++;
  transfer->set_id(id);
  callbacks_.emplace(id, std::move(pending));
  incoming_.push_back(std::move(transfer));
  ++unfinished_;
  Wake();
  return true;
}

bool Service::StartWorker() {
  static std::once_flag once;
  static CURLcode initResult = CURLE_OK;
  std::call_once(once, [] { initResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (initResult != CURLE_OK) return false;
  multi_ = curl_multi_init();
  if (multi_ == nullptr) return false;
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(kMaxOnWire));
  try {
    worker_ = std::thread(&Service::Run, this);
  } catch (const std::system_error&) {
    curl_multi_cleanup(multi_);
    multi_ = nullptr;
    return false;
  }
  return true;
}

void Service::Wake() {
  // One wake-up per batch: the worker clears the flag when it takes the queue.
  if (!wakeSent_ && multi_ != nullptr) {
    wakeSent_ = true;
    curl_multi_wakeup(multi_);
  }
}

void Service::AwaitDelivery(std::unique_lock<std::mutex>& lock, PluginId owner, bool all) {
  const auto self = std::this_thread::get_id();
  changed_.wait(lock, [&] {
    return !delivering_ || deliveringThread_ == self || (!all && deliveringOwner_ != owner);
  });
}

void Service::Deliver() {
  std::deque<Completion> batch;
  {
    std::lock_guard lock(mutex_);
    batch.swap(finished_);
  }
  const auto self = std::this_thread::get_id();
  for (auto& done : batch) {
    API::Requests::Callback callback;
    bool wasDelivering = false;
    PluginId previousOwner = 0;
    {
      std::lock_guard lock(mutex_);
      auto it = callbacks_.find(done.id);
      if (it == callbacks_.end()) continue;  // its plug-in was forgotten meanwhile
      callback = std::move(it->second.callback);
      callbacks_.erase(it);
      wasDelivering = delivering_;
      previousOwner = deliveringOwner_;
      delivering_ = true;
      deliveringOwner_ = done.owner;
      deliveringThread_ = self;
    }
    {
      PluginScope scope(done.owner);
      try {
        if (callback) {
          callback(done.outcome.success, std::move(done.outcome.text),
                   std::move(done.outcome.headers));
        }
      } catch (const std::exception& e) {
        HostLogger()->error("request completion of plug-in {} threw: {}", done.owner, e.what());
      } catch (...) {
        HostLogger()->error("request completion of plug-in {} threw a non-standard exception",
                            done.owner);
      }
      callback = nullptr;  // its code belongs to the plug-in: destroy it while it is known loaded
    }
    {
      std::lock_guard lock(mutex_);
      delivering_ = wasDelivering;  // a completion may itself run Tick()
      deliveringOwner_ = previousOwner;
    }
    changed_.notify_all();
  }
}

void Service::Drop(PluginId owner) {
  std::vector<API::Requests::Callback> dropped;
  std::vector<std::unique_ptr<Transfer>> unsent;
  {
    std::unique_lock lock(mutex_);
    AwaitDelivery(lock, owner, false);
    for (auto it = callbacks_.begin(); it != callbacks_.end();) {
      if (it->second.owner == owner) {
        dropped.push_back(std::move(it->second.callback));
        it = callbacks_.erase(it);
      } else {
        ++it;
      }
    }
    for (auto it = incoming_.begin(); it != incoming_.end();) {
      if ((*it)->owner() == owner) {
        unsent.push_back(std::move(*it));
        it = incoming_.erase(it);
      } else {
        ++it;
      }
    }
    unfinished_ -= unsent.size();
    std::erase_if(finished_, [owner](const Completion& c) { return c.owner == owner; });
    if (worker_.joinable() && !stopping_) {
      cancelled_.push_back(owner);
      Wake();
    }
  }
  changed_.notify_all();
  // `dropped` goes here, before the caller closes the plug-in's library.
}

void Service::Shutdown() {
  std::unordered_map<std::uint64_t, PendingCallback> dropped;
  std::thread worker;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !stopping_; });  // another shutdown in progress
    AwaitDelivery(lock, 0, true);
    dropped.swap(callbacks_);
    incoming_.clear();
    cancelled_.clear();
    finished_.clear();
    if (worker_.joinable()) {
      stopping_ = true;
      curl_multi_wakeup(multi_);
      worker = std::move(worker_);
    }
  }
  if (worker.joinable()) worker.join();
  {
    std::lock_guard lock(mutex_);
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    multi_ = nullptr;
    stopping_ = false;
    wakeSent_ = false;
    unfinished_ = 0;
  }
  changed_.notify_all();
}

std::size_t Service::Pending() {
  std::lock_guard lock(mutex_);
  return callbacks_.size();
}

bool Service::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [this] { return unfinished_ == 0; });
}

void Service::Run() {
  std::vector<std::unique_ptr<Transfer>> arrived;
  std::vector<PluginId> cancels;
  std::vector<Completion> done;
  for (;;) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) break;
      arrived.swap(incoming_);
      cancels.swap(cancelled_);
      wakeSent_ = false;
    }
    // Cancellations first: they were queued before anything that just arrived.
    std::size_t aborted = 0;
    for (PluginId owner : cancels) aborted += Abort(owner);
    cancels.clear();
    for (auto& transfer : arrived) waiting_.push_back(std::move(transfer));
    arrived.clear();
    while (active_.size() < kMaxOnWire && !waiting_.empty()) {
      auto transfer = std::move(waiting_.front());
      waiting_.pop_front();
      Start(std::move(transfer), done);
    }

    int running = 0;
    curl_multi_perform(multi_, &running);
    int left = 0;
    while (CURLMsg* msg = curl_multi_info_read(multi_, &left)) {
      if (msg->msg != CURLMSG_DONE) continue;
      CURL* easy = msg->easy_handle;
      const CURLcode result = msg->data.result;
      void* data = nullptr;
      curl_easy_getinfo(easy, CURLINFO_PRIVATE, &data);
      auto* transfer = static_cast<Transfer*>(data);
      Outcome outcome = transfer->Finish(result);
      curl_multi_remove_handle(multi_, easy);  // `msg` is gone from here on
      done.push_back({transfer->id(), transfer->owner(), std::move(outcome)});
      active_.erase(transfer->id());
      Recycle(easy);
    }
    if (!done.empty() || aborted > 0) {
      {
        std::lock_guard lock(mutex_);
        for (auto& completion : done) finished_.push_back(std::move(completion));
        unfinished_ -= done.size() + aborted;
      }
      changed_.notify_all();
      done.clear();
    }
    // Slots just came free: fill them before waiting for the network.
    if (!waiting_.empty() && active_.size() < kMaxOnWire) continue;
    curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
  }
  for (auto& [id, transfer] : active_) {
    curl_multi_remove_handle(multi_, transfer->easy());
    curl_easy_cleanup(transfer->easy());
  }
  active_.clear();
  waiting_.clear();
  for (CURL* easy : spare_) curl_easy_cleanup(easy);
  spare_.clear();
}

void Service::Start(std::unique_ptr<Transfer> transfer, std::vector<Completion>& done) {
  CURL* easy = nullptr;
  if (!spare_.empty()) {
    easy = spare_.back();
    spare_.pop_back();
  } else {
    easy = curl_easy_init();
  }
  Outcome failure;
  if (easy == nullptr) {
    failure.text = curl_easy_strerror(CURLE_FAILED_INIT);
  } else if (transfer->Attach(easy, failure)) {
    const CURLMcode added = curl_multi_add_handle(multi_, easy);
    if (added == CURLM_OK) {
      const std::uint64_t id = transfer->id();
      active_.emplace(id, std::move(transfer));
      return;
    }
    failure.text = curl_multi_strerror(added);
  }
  if (easy != nullptr) Recycle(easy);
  done.push_back({transfer->id(), transfer->owner(), std::move(failure)});
}

std::size_t Service::Abort(PluginId owner) {
  const std::size_t queued = std::erase_if(
      waiting_, [owner](const std::unique_ptr<Transfer>& t) { return t->owner() == owner; });
  std::size_t onWire = 0;
  for (auto it = active_.begin(); it != active_.end();) {
    if (it->second->owner() != owner) {
      ++it;
      continue;
    }
    CURL* easy = it->second->easy();
    curl_multi_remove_handle(multi_, easy);
    it = active_.erase(it);
    Recycle(easy);
    ++onWire;
  }
  return queued + onWire;
}

void Service::Recycle(CURL* easy) {
  // A reset handle keeps nothing of its last request; the connections
  // themselves stay in the multi handle's cache either way.
  if (spare_.size() < kSpareHandles) {
    curl_easy_reset(easy);
    spare_.push_back(easy);
  } else {
    curl_easy_cleanup(easy);
  }
}

}  // namespace

void DeliverCompletions() {
  TheService().Deliver();
}

void DropRequestsOf(PluginId id) {
  TheService().Drop(id);
}

}  // namespace qbhost::detail

namespace qbhost {

void ShutdownRequests() {
  detail::TheService().Shutdown();
}

std::size_t PendingRequests() {
  return detail::TheService().Pending();
}

bool WaitForRequests(std::chrono::milliseconds timeout) {
  return detail::TheService().Wait(timeout);
}

void SetRequestFault(RequestFault fault) {
  detail::TheService().fault = fault;
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
  return qbhost::detail::TheService().Submit(url, callback, postData, contentType,
                                             std::move(headers),
                                             {connectTimeout, receiveTimeout, sendTimeout});
}
