// The request service (API::Requests): real HTTP over libcurl's multi
// interface on one worker thread.
//
//   caller (game thread)                      worker thread
//   CreatePostRequest --inbox_--> waiting_ --> curl_multi (at most 16 on the
//                                              wire, connections kept)
//   Tick: DeliverCompletions <--finished_-- one Outcome per finished transfer
//
// CreatePostRequest copies the request into one transfer, parks its completion
// callback in a slot on the caller's side and pushes the transfer onto inbox_,
// a lock-free list the worker empties in one exchange; it never waits for the
// network, and it shares no lock with the worker. It wakes the worker (a write
// to libcurl's wake-up socket) only when the worker sleeps in curl_multi_poll:
// the worker goes to sleep only by turning an empty inbox_ into kAsleep, and
// the push that replaces kAsleep is the one that wakes it, so a request is
// never left waiting for the poll's time limit and a busy worker is never
// woken. With every slot on the wire taken, the worker sleeps as kAsleepFull:
// a new request could only join the queue, and the worker takes the inbox
// anyway when a transfer ends and frees a slot, so a push does not wake it
// (a cancellation does). A peer that never answers thus costs no wake-up per
// request. Per request the caller writes one word the worker also writes
// (inbox_); counters either side keeps for itself live on separate cache
// lines. Completion callbacks run only on the thread that calls Tick(), each
// inside a PluginScope of the plug-in that made the request. A completion whose
// callback is gone (its plug-in was forgotten, or the service shut down) is
// discarded, so a callback never runs after its plug-in left. DropRequestsOf
// destroys the plug-in's callbacks before it returns (their code lives in the
// plug-in's library) and queues a cancellation behind the plug-in's requests,
// on which the worker aborts them.
//
// Locks: mutex_ (callers, Tick, drop and shutdown: the callback slots, the
// delivery state, starting and stopping the worker) and doneMutex_ (worker
// and Tick: finished completions and the count of finished requests). The
// worker never takes mutex_.
//
// A header (or content type) holding CR, LF or NUL is refused: it could smuggle
// further headers into the request. Fault injection for tests: Refuse makes
// CreatePostRequest return false, Throw makes it throw std::runtime_error,
// Discard makes it return true and drop the request at once; none ever calls
// back.

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
// Finished transfers kept for reuse. A transfer is allocated by the caller and
// finished by the worker; freeing it there and allocating anew on the caller's
// thread would take the allocator's slow path (and its arena lock, shared with
// the worker) at every request.
constexpr std::size_t kSpareTransfers = 256;
// A cache line: what one thread writes often stays off the lines the other
// thread reads or writes.
constexpr std::size_t kLine = 64;
// In the hand-over list: the worker sleeps and nothing waits; kAsleepFull: it
// sleeps with every slot on the wire taken. Never transfers.
Transfer* const kAsleep = reinterpret_cast<Transfer*>(alignof(Transfer));
Transfer* const kAsleepFull = reinterpret_cast<Transfer*>(2 * alignof(Transfer));

bool IsSleepMark(const Transfer* head) {
  return head == kAsleep || head == kAsleepFull;
}

bool BreaksHeader(std::string_view text) {
  // One pass; find_first_of would search the three characters for every byte.
  for (const char c : text) {
    if (c == '\r' || c == '\n' || c == '\0') return true;
  }
  return false;
}

// Completion callbacks waiting for their requests, in reusable slots: parking
// one costs no allocation once the table has grown to the number in flight.
// A slot is found by its index and checked against the request's number, so
// a completion whose callback was dropped finds nothing.
class CallbackSlots {
 public:
  std::uint32_t Park(std::uint64_t id, PluginId owner, const API::Requests::Callback& callback) {
    std::uint32_t index;
    if (free_.empty()) {
      // Room for every slot in the free list, so that releasing one never
      // allocates.
      if (free_.capacity() < slots_.size() + 1) free_.reserve(2 * (slots_.size() + 1));
      slots_.push_back({id, owner, callback});
      index = static_cast<std::uint32_t>(slots_.size() - 1);
    } else {
      index = free_.back();
      Slot& slot = slots_[index];
      slot.callback = callback;  // may throw: the slot stays free
      slot.id = id;
      slot.owner = owner;
      free_.pop_back();
    }
    ++parked_;
    return index;
  }

  // The callback of request `id` in `index`, taken out; empty when it is gone.
  API::Requests::Callback Take(std::uint32_t index, std::uint64_t id) {
    if (index >= slots_.size() || slots_[index].id != id) return {};
    return Release(index);
  }

  // Moves every callback of `owner` (of everyone, when `all`) into `out`.
  void TakeAll(PluginId owner, bool all, std::vector<API::Requests::Callback>& out) {
    for (std::uint32_t i = 0; i < slots_.size(); ++i) {
      if (slots_[i].id != 0 && (all || slots_[i].owner == owner)) out.push_back(Release(i));
    }
  }

  std::size_t size() const { return parked_; }

 private:
  struct Slot {
    std::uint64_t id;  // 0: free
    PluginId owner;
    API::Requests::Callback callback;
  };

  API::Requests::Callback Release(std::uint32_t index) {
    Slot& slot = slots_[index];
    API::Requests::Callback callback = std::move(slot.callback);
    slot.callback = nullptr;
    slot.id = 0;
    free_.push_back(index);  // never allocates: see Park
    --parked_;
    return callback;
  }

  std::vector<Slot> slots_;
  std::vector<std::uint32_t> free_;
  std::size_t parked_ = 0;
};

struct Completion {
  std::uint64_t id;
  std::uint32_t slot;
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
  std::atomic<std::size_t> discarded{0};

 private:
  // Called with mutex_ held.
  bool StartWorker();
  // Waits until no completion of `owner` (of anyone, when `all`) runs on
  // another thread.
  void AwaitDelivery(std::unique_lock<std::mutex>& lock, PluginId owner, bool all);

  // Callers, with mutex_ held (so the worker is alive). `urgent`: wake the
  // worker even when all its slots are taken.
  void Push(std::unique_ptr<Transfer> transfer, bool urgent = false);
  std::unique_ptr<Transfer> NewTransfer();

  // Worker thread only.
  void Run();
  void TakeInbox();
  void Start(std::unique_ptr<Transfer> transfer, std::vector<Completion>& done);
  std::size_t Abort(PluginId owner);
  void Recycle(CURL* easy);
  void Retire(std::unique_ptr<Transfer> transfer);
  std::unique_ptr<Transfer::Wire> NewWire();

  // Callers' side, under mutex_ (handedOver_ is read by Wait).
  alignas(kLine) std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t nextId_ = 1;
  CallbackSlots callbacks_;
  bool stopping_ = false;
  bool delivering_ = false;
  PluginId deliveringOwner_ = 0;
  std::thread::id deliveringThread_;
  CURLM* multi_ = nullptr;
  std::thread worker_;

  std::atomic<std::uint64_t> handedOver_{0};  // requests so far
  Transfer* spares_ = nullptr;                // taken from returned_, for the next requests
  std::size_t sparesTaken_ = 0;               // not yet taken off returnedCount_

  // Hand-over: newest first, the worker takes the whole list at once; kAsleep
  // while the worker sleeps with nothing to do.
  alignas(kLine) std::atomic<Transfer*> inbox_{nullptr};
  // Finished transfers handed back by the worker, newest first; callers take
  // the whole list at once. returnedCount_ bounds it (and the callers' list).
  alignas(kLine) std::atomic<Transfer*> returned_{nullptr};
  std::atomic<std::size_t> returnedCount_{0};
  std::atomic<bool> quit_{false};

  // Worker to Tick, under doneMutex_. finishedCount_ counts requests finished
  // or aborted; all handed over have finished when it equals handedOver_.
  alignas(kLine) std::mutex doneMutex_;
  std::condition_variable progress_;
  std::deque<Completion> finished_;
  std::atomic<std::uint64_t> finishedCount_{0};

  // Worker thread only.
  std::deque<std::unique_ptr<Transfer>> waiting_;
  std::size_t aborted_ = 0;
  std::unordered_map<std::uint64_t, std::unique_ptr<Transfer>> active_;
  std::vector<CURL*> spare_;
  std::vector<std::unique_ptr<Transfer::Wire>> wires_;  // for the next on the wire
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
    case RequestFault::Discard:
      discarded.fetch_add(1, std::memory_order_relaxed);
      return true;
    case RequestFault::None:
      break;
  }
  if (BreaksHeader(contentType)) return false;
  for (const auto& h : headers) {
    if (BreaksHeader(h)) return false;
  }
  const PluginId owner = CurrentPlugin();
  std::lock_guard lock(mutex_);
  if (stopping_ || (!worker_.joinable() && !StartWorker())) return false;
  auto transfer = NewTransfer();
  transfer->Assign(owner, url, body, contentType, std::move(headers), timeouts);
  const std::uint64_t id = nextId_;
  transfer->set_ticket(id, callbacks_.Park(id, owner, callback));
  ++nextId_;
  // Counted before the worker can see it, so that finished never passes it.
  handedOver_.store(handedOver_.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  Push(std::move(transfer));
  return true;
}

void Service::Push(std::unique_ptr<Transfer> transfer, bool urgent) {
  Transfer* node = transfer.release();
  Transfer* head = inbox_.load(std::memory_order_relaxed);
  do {
    node->next = IsSleepMark(head) ? nullptr : head;
  } while (!inbox_.compare_exchange_weak(head, node, std::memory_order_release,
                                         std::memory_order_relaxed));
  // This push ended the worker's sleep: no other will wake it.
  if (head == kAsleep || (urgent && head == kAsleepFull)) curl_multi_wakeup(multi_);
}

std::unique_ptr<Transfer> Service::NewTransfer() {
  // The worker's count of spares is lowered a few at a time (it is a line the
  // worker writes too), never far behind: a stale count would make the worker
  // free transfers the callers are about to need.
  constexpr std::size_t kCountEvery = 16;
  if (spares_ == nullptr) {
    returnedCount_.fetch_sub(sparesTaken_);
    sparesTaken_ = 0;
    spares_ = returned_.exchange(nullptr, std::memory_order_acquire);
  }
  if (spares_ == nullptr) return std::make_unique<Transfer>();
  std::unique_ptr<Transfer> transfer(spares_);
  spares_ = spares_->next;
  transfer->next = nullptr;
  if (++sparesTaken_ == kCountEvery) {
    returnedCount_.fetch_sub(kCountEvery);
    sparesTaken_ = 0;
  }
  return transfer;
}

bool Service::StartWorker() {
  static std::once_flag once;
  static CURLcode initResult = CURLE_OK;
  std::call_once(once, [] { initResult = curl_global_init(CURL_GLOBAL_DEFAULT); });
  if (initResult != CURLE_OK) return false;
  multi_ = curl_multi_init();
  quit_ = false;
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

void Service::AwaitDelivery(std::unique_lock<std::mutex>& lock, PluginId owner, bool all) {
  const auto self = std::this_thread::get_id();
  changed_.wait(lock, [&] {
    return !delivering_ || deliveringThread_ == self || (!all && deliveringOwner_ != owner);
  });
}

void Service::Deliver() {
  std::deque<Completion> batch;
  {
    std::lock_guard lock(doneMutex_);
    batch.swap(finished_);
  }
  const auto self = std::this_thread::get_id();
  for (auto& done : batch) {
    API::Requests::Callback callback;
    bool wasDelivering = false;
    PluginId previousOwner = 0;
    {
      std::lock_guard lock(mutex_);
      callback = callbacks_.Take(done.slot, done.id);
      if (!callback) continue;  // its plug-in was forgotten meanwhile
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
  {
    std::unique_lock lock(mutex_);
    AwaitDelivery(lock, owner, false);
    callbacks_.TakeAll(owner, false, dropped);
    {
      std::lock_guard done(doneMutex_);
      std::erase_if(finished_, [owner](const Completion& c) { return c.owner == owner; });
    }
    // Behind every request of the plug-in already handed over, so the worker
    // aborts those and no later one.
    if (worker_.joinable() && !stopping_) Push(Transfer::Cancellation(owner), true);
  }
  // `dropped` goes here, before the caller closes the plug-in's library.
}

void Service::Shutdown() {
  std::vector<API::Requests::Callback> dropped;
  std::thread worker;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !stopping_; });  // another shutdown in progress
    AwaitDelivery(lock, 0, true);
    callbacks_.TakeAll(0, true, dropped);
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
    // What the worker never took, and the spares.
    Transfer* unsent = inbox_.exchange(nullptr);
    if (IsSleepMark(unsent)) unsent = nullptr;
    for (Transfer* list : {unsent, returned_.exchange(nullptr), spares_}) {
      for (Transfer* t = list; t != nullptr;) {
        std::unique_ptr<Transfer> unused(t);
        t = t->next;
      }
    }
    spares_ = nullptr;
    sparesTaken_ = 0;
    returnedCount_ = 0;
    if (multi_ != nullptr) curl_multi_cleanup(multi_);
    multi_ = nullptr;
    stopping_ = false;
    quit_ = false;
    {
      std::lock_guard done(doneMutex_);
      finished_.clear();
      finishedCount_ = handedOver_.load();
    }
  }
  progress_.notify_all();
  changed_.notify_all();
}

std::size_t Service::Pending() {
  std::lock_guard lock(mutex_);
  return callbacks_.size();
}

bool Service::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock lock(doneMutex_);
  return progress_.wait_for(lock, timeout,
                            [this] { return finishedCount_.load() == handedOver_.load(); });
}

void Service::TakeInbox() {
  // The list is newest first: turn it into arrival order.
  Transfer* ordered = nullptr;
  Transfer* list = inbox_.exchange(nullptr, std::memory_order_acquire);
  if (IsSleepMark(list)) list = nullptr;
  for (Transfer* t = list; t != nullptr;) {
    Transfer* next = t->next;
    t->next = ordered;
    ordered = t;
    t = next;
  }
  while (ordered != nullptr) {
    std::unique_ptr<Transfer> transfer(ordered);
    ordered = ordered->next;
    transfer->next = nullptr;
    if (transfer->IsCancellation()) {
      aborted_ += Abort(transfer->owner());
    } else {
      waiting_.push_back(std::move(transfer));
    }
  }
}

void Service::Run() {
  std::vector<Completion> done;
  while (!quit_.load()) {
    TakeInbox();
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
      done.push_back({transfer->id(), transfer->slot(), transfer->owner(), std::move(outcome)});
      Recycle(easy);
      auto it = active_.find(transfer->id());
      Retire(std::move(it->second));
      active_.erase(it);
    }
    if (!done.empty() || aborted_ > 0) {
      {
        std::lock_guard lock(doneMutex_);
        for (auto& completion : done) finished_.push_back(std::move(completion));
        finishedCount_.store(finishedCount_.load(std::memory_order_relaxed) + done.size() +
                             aborted_);
      }
      progress_.notify_all();
      done.clear();
      aborted_ = 0;
    }
    // Slots just came free: fill them before waiting for the network.
    if (!waiting_.empty() && active_.size() < kMaxOnWire) continue;
    // Sleep only with nothing handed over: the next push finds the mark and
    // wakes the poll, unless no slot is free for it anyway.
    Transfer* empty = nullptr;
    Transfer* mark = active_.size() < kMaxOnWire ? kAsleep : kAsleepFull;
    if (!quit_.load() && inbox_.compare_exchange_strong(empty, mark)) {
      curl_multi_poll(multi_, nullptr, 0, 1000, nullptr);
    }
  }
  for (auto& [id, transfer] : active_) {
    curl_multi_remove_handle(multi_, transfer->easy());
    curl_easy_cleanup(transfer->easy());
  }
  active_.clear();
  waiting_.clear();
  aborted_ = 0;
  for (CURL* easy : spare_) curl_easy_cleanup(easy);
  spare_.clear();
  wires_.clear();
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
  } else if (transfer->Attach(easy, NewWire(), failure)) {
    const CURLMcode added = curl_multi_add_handle(multi_, easy);
    if (added == CURLM_OK) {
      const std::uint64_t id = transfer->id();
      active_.emplace(id, std::move(transfer));
      return;
    }
    failure.text = curl_multi_strerror(added);
  }
  if (easy != nullptr) Recycle(easy);
  done.push_back({transfer->id(), transfer->slot(), transfer->owner(), std::move(failure)});
  Retire(std::move(transfer));
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

std::unique_ptr<Transfer::Wire> Service::NewWire() {
  if (wires_.empty()) return std::make_unique<Transfer::Wire>();
  auto wire = std::move(wires_.back());
  wires_.pop_back();
  return wire;
}

void Service::Retire(std::unique_ptr<Transfer> transfer) {
  // Its easy handle was reset or cleaned up already: nothing points into it.
  if (auto wire = transfer->TakeWire(); wire && wires_.size() < kMaxOnWire) {
    wires_.push_back(std::move(wire));
  }
  if (returnedCount_.load() >= kSpareTransfers) return;
  returnedCount_.fetch_add(1);
  Transfer* node = transfer.release();
  node->next = returned_.load(std::memory_order_relaxed);
  while (!returned_.compare_exchange_weak(node->next, node)) {
  }
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

std::size_t DiscardedRequests() {
  return detail::TheService().discarded.load(std::memory_order_relaxed);
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
