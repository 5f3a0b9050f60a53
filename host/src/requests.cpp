// The request service (API::Requests): real HTTP over libcurl's multi
// interface on one worker thread. A test double of the host's service, which
// runs one thread per request: it keeps the host's time behaviour, not its
// threads.
//
//   caller (game thread)                         worker thread
//   CreatePostRequest --inbox_ (mutex_)-->       waiting_ --> curl_multi, at most
//                                                kMaxOnWire on the wire
//   Tick: DeliverCompletions <--finished_ (mutex_)-- one Outcome per request
//
// Time limits run from the hand-over, as on the host, where each request's
// thread starts at once: a request still queued when its connect timeout has
// run out fails without going out ("... waited in the queue ..."), and one that
// goes on the wire late gets only what is left of its limits. A backlog behind
// a peer that never answers thus fails within its time limits, however long.
//
// The queue has a bound (kDefaultMaxPending requests handed over and not yet
// finished; SetRequestLimit changes it): CreatePostRequest refuses a request
// beyond it by returning false, without a callback, as it does for a header
// that could smuggle further headers (CR, LF or NUL in it).
//
// One mutex guards everything the threads share: the inbox, the finished
// completions, the callbacks, the counts. The worker sleeps in curl_multi_poll
// and says so under the mutex; a caller that finds it asleep wakes it with
// curl_multi_wakeup. Completion callbacks run only on the thread that calls
// Tick(), each inside a PluginScope of the plug-in that made the request, and
// never with the mutex held. A completion whose callback is gone (its plug-in
// was forgotten, or the service shut down) is discarded, so a callback never
// runs after its plug-in left: DropRequestsOf destroys the plug-in's callbacks
// before it returns (their code lives in the plug-in's library), takes its
// requests out of the inbox and has the worker abort the rest.
//
// Fault injection for tests: Refuse makes CreatePostRequest return false, Throw
// makes it throw std::runtime_error; neither ever calls back.

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

using Clock = std::chrono::steady_clock;

// Transfers on the wire at once (and connections kept open to one receiver).
constexpr std::size_t kMaxOnWire = 16;
constexpr std::size_t kDefaultMaxPending = 65'536;
// How often the worker looks for queued requests whose time is spent, at the
// latest.
constexpr auto kQueueCheck = std::chrono::milliseconds(100);

bool BreaksHeader(std::string_view text) {
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') return true;
  }
  return false;
}

struct Completion {
  std::uint64_t id;
  PluginId owner;
  Outcome outcome;
};

struct Parked {
  PluginId owner;
  API::Requests::Callback callback;
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
  void SetLimit(std::size_t limit);

  std::atomic<RequestFault> fault{RequestFault::None};

 private:
  // Called with mutex_ held.
  bool StartWorker();
  void WakeWorker();
  // Waits until no completion of `owner` (of anyone, when `all`) runs on
  // another thread.
  void AwaitDelivery(std::unique_lock<std::mutex>& lock, PluginId owner, bool all);

  // Worker thread only.
  void Run();
  void Start(std::unique_ptr<Transfer> transfer, std::vector<Completion>& done);
  void ExpireQueued(std::vector<Completion>& done);
  std::size_t Abort(PluginId owner);
  void Recycle(CURL* easy);
  void Finished(std::vector<Completion>& done, std::size_t aborted);

  // Shared, under mutex_.
  std::mutex mutex_;
  std::condition_variable changed_;   // delivery and shutdown state
  std::condition_variable progress_;  // finishedCount_
  std::uint64_t nextId_ = 1;
  std::unordered_map<std::uint64_t, Parked> callbacks_;
  std::deque<std::unique_ptr<Transfer>> inbox_;
  std::vector<PluginId> cancels_;
  std::deque<Completion> finished_;
  std::uint64_t handedOver_ = 0;
  std::uint64_t finishedCount_ = 0;  // finished on the wire, failed in the queue or aborted
  std::size_t maxPending_ = kDefaultMaxPending;
  bool workerAsleep_ = false;
  bool quit_ = false;
  bool stopping_ = false;
  bool delivering_ = false;
  PluginId deliveringOwner_ = 0;
  std::thread::id deliveringThread_;
  CURLM* multi_ = nullptr;
  std::thread worker_;

  // Worker thread only.
  std::deque<std::unique_ptr<Transfer>> waiting_;
  std::unordered_map<CURL*, std::unique_ptr<Transfer>> active_;
  std::vector<CURL*> spare_;  // reset handles, at most kMaxOnWire
  Clock::time_point lastQueueCheck_;
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
  const PluginId owner = CurrentPlugin();
  const Clock::time_point now = Clock::now();
  // Copied before the lock: the worker never waits for a caller's copying.
  auto transfer = std::make_unique<Transfer>();
  transfer->Assign(owner, url, body, contentType, std::move(headers), timeouts, now);
  std::lock_guard lock(mutex_);
  if (stopping_ || handedOver_ - finishedCount_ >= maxPending_) return false;
  if (!worker_.joinable() && !StartWorker()) return false;
  const std::uint64_t id = nextId_++;
  callbacks_.emplace(id, Parked{owner, callback});
  transfer->set_id(id);
  inbox_.push_back(std::move(transfer));
  ++handedOver_;
  WakeWorker();
  return true;
}

void Service::WakeWorker() {
  // One wake-up per sleep: later requests find the worker awake.
  if (!workerAsleep_) return;
  workerAsleep_ = false;
  curl_multi_wakeup(multi_);
}

bool Service::StartWorker() {
  static std::once_flag once;
  static CURLcode initResult = CURLE_OK;
  std::call_once(once, [] { initResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (initResult != CURLE_OK) return false;
  multi_ = curl_multi_init();
  if (multi_ == nullptr) return false;
  curl_multi_setopt(multi_, CURLMOPT_MAXCONNECTS, static_cast<long>(kMaxOnWire));
  quit_ = false;
  workerAsleep_ = false;
  try {
    worker_ = std::thread(&Service::Run, this);
  } catch (const std::system_error&) {
    curl_multi_cleanup(multi_);
    multi_ = nullptr;
    return false;
  }
  return true;
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
        callback(done.outcome.success, std::move(done.outcome.text),
                 std::move(done.outcome.headers));
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
      if (it->second.owner != owner) {
        ++it;
        continue;
      }
      dropped.push_back(std::move(it->second.callback));
      it = callbacks_.erase(it);
    }
    std::erase_if(finished_, [owner](const Completion& c) { return c.owner == owner; });
    for (auto it = inbox_.begin(); it != inbox_.end();) {
      if ((*it)->owner() != owner) {
        ++it;
        continue;
      }
      unsent.push_back(std::move(*it));
      it = inbox_.erase(it);
    }
    finishedCount_ += unsent.size();
    // What the worker holds already, it aborts.
    if (worker_.joinable() && !stopping_) {
      cancels_.push_back(owner);
      curl_multi_wakeup(multi_);
    }
  }
  progress_.notify_all();
  // `dropped` goes here, before the caller closes the plug-in's library.
}

void Service::Shutdown() {
  std::vector<API::Requests::Callback> dropped;
  std::thread worker;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !stopping_; });  // another shutdown in progress
    AwaitDelivery(lock, 0, true);
    for (auto& [id, parked] : callbacks_) dropped.push_back(std::move(parked.callback));
    callbacks_.clear();
    if (worker_.joinable()) {
      stopping_ = true;
      quit_ = true;
      curl_multi_wakeup(multi_);
      worker = std::move(worker_);
    }
  }
  if (worker.joinable()) worker.join();
  {
    std::lock_guard lock(mutex_);
    inbox_.clear();
    cancels_.clear();
    finished_.clear();
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    multi_ = nullptr;
    finishedCount_ = handedOver_;
    stopping_ = false;
    quit_ = false;
  }
  progress_.notify_all();
  changed_.notify_all();
}

std::size_t Service::Pending() {
  std::lock_guard lock(mutex_);
  return callbacks_.size();
}

bool Service::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return progress_.wait_for(lock, timeout, [this] { return finishedCount_ == handedOver_; });
}

void Service::SetLimit(std::size_t limit) {
  std::lock_guard lock(mutex_);
  maxPending_ = limit == 0 ? kDefaultMaxPending : limit;
}

void Service::Run() {
  std::vector<Completion> done;
  for (;;) {
    std::size_t aborted = 0;
    {
      std::lock_guard lock(mutex_);
      if (quit_) break;
      // A cancellation covers what the worker held when the plug-in was
      // dropped (Drop took its requests out of the inbox itself); what is in
      // the inbox now came later and goes out.
      for (PluginId owner : cancels_) aborted += Abort(owner);
      cancels_.clear();
      for (auto& transfer : inbox_) waiting_.push_back(std::move(transfer));
      inbox_.clear();
    }
    ExpireQueued(done);
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
      auto it = active_.find(easy);
      curl_multi_remove_handle(multi_, easy);  // `msg` is gone from here on
      Transfer& transfer = *it->second;
      done.push_back({transfer.id(), transfer.owner(), transfer.Finish(result)});
      Recycle(easy);
      active_.erase(it);
    }
    Finished(done, aborted);
    // Slots just came free: fill them before waiting for the network.
    if (!waiting_.empty() && active_.size() < kMaxOnWire) continue;
    {
      std::lock_guard lock(mutex_);
      if (quit_) break;
      if (!inbox_.empty() || !cancels_.empty()) continue;
      workerAsleep_ = true;
    }
    // A queue behind a full wire is looked at again soon: its time runs.
    const int timeoutMs = waiting_.empty() ? 1000 : static_cast<int>(kQueueCheck.count());
    curl_multi_poll(multi_, nullptr, 0, timeoutMs, nullptr);
    std::lock_guard lock(mutex_);
    workerAsleep_ = false;
  }
  for (auto& [easy, transfer] : active_) {
    curl_multi_remove_handle(multi_, easy);
    curl_easy_cleanup(easy);
  }
  active_.clear();
  waiting_.clear();
  for (CURL* easy : spare_) curl_easy_cleanup(easy);
  spare_.clear();
}

void Service::Finished(std::vector<Completion>& done, std::size_t aborted) {
  if (done.empty() && aborted == 0) return;
  {
    std::lock_guard lock(mutex_);
    for (auto& completion : done) finished_.push_back(std::move(completion));
    finishedCount_ += done.size() + aborted;
  }
  progress_.notify_all();
  done.clear();
}

void Service::Recycle(CURL* easy) {
  // A reset handle keeps nothing of its request; set-up costs are saved. The
  // connections themselves stay in the multi handle's cache either way.
  if (spare_.size() < kMaxOnWire) {
    curl_easy_reset(easy);
    spare_.push_back(easy);
  } else {
    curl_easy_cleanup(easy);
  }
}

void Service::Start(std::unique_ptr<Transfer> transfer, std::vector<Completion>& done) {
  CURL* easy = nullptr;
  if (spare_.empty()) {
    easy = curl_easy_init();
  } else {
    easy = spare_.back();
    spare_.pop_back();
  }
  Outcome failure;
  if (easy == nullptr) {
    failure.text = curl_easy_strerror(CURLE_FAILED_INIT);
  } else if (transfer->Attach(easy, std::make_unique<Transfer::Wire>(), failure)) {
    const CURLMcode added = curl_multi_add_handle(multi_, easy);
    if (added == CURLM_OK) {
      active_.emplace(easy, std::move(transfer));
      return;
    }
    failure.text = curl_multi_strerror(added);
  }
  if (easy != nullptr) Recycle(easy);
  done.push_back({transfer->id(), transfer->owner(), std::move(failure)});
}

void Service::ExpireQueued(std::vector<Completion>& done) {
  const Clock::time_point now = Clock::now();
  if (waiting_.empty() || now - lastQueueCheck_ < kQueueCheck) return;
  lastQueueCheck_ = now;
  std::erase_if(waiting_, [&](const std::unique_ptr<Transfer>& t) {
    Outcome failure;
    if (!t->QueueTimeSpent(now, failure)) return false;
    done.push_back({t->id(), t->owner(), std::move(failure)});
    return true;
  });
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
    curl_multi_remove_handle(multi_, it->first);
    Recycle(it->first);
    it = active_.erase(it);
    ++onWire;
  }
  return queued + onWire;
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

void SetRequestLimit(std::size_t limit) {
  detail::TheService().SetLimit(limit);
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
