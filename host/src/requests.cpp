// The request service (API::Requests): a test double of the host's, which
// spends a thread per request. Here a small fixed pool of workers sends the
// requests, each with a library's HTTP client (see request_send.h); the rest
// is one code for Linux and Windows.
//
//   caller (any thread)                worker threads (kRequestWorkers)
//   CreatePostRequest --waiting_-->    take the oldest job, Send it
//   Tick: Deliver     <--finished_--   one Outcome per job
//
// Bounds and time. At most the request limit (SetRequestLimit) waits for a
// worker; a hand-over beyond it returns false, without a callback, as does a
// header that could smuggle further headers (CR, LF or NUL in it). Time limits
// run from the hand-over, as on the host: a job still waiting when its connect
// limit has run out fails with "Connection timed out: waited ... in the queue"
// instead of going out, and one that starts late gets only what is left of it.
// Waiting jobs are checked when a worker takes one, at every tick and while
// WaitForRequests waits, so an outage with every worker stuck fails the
// backlog within its limits plus a tick.
//
// One mutex guards everything the threads share. Completion callbacks run only
// on the thread that calls Tick(), each inside a PluginScope of the plug-in
// that made the request, never with the mutex held. A completion whose
// callback is gone (its plug-in was forgotten, or the service shut down) is
// dropped: DropRequestsOf destroys the plug-in's callbacks before it returns
// (their code lives in the plug-in's library), takes its waiting jobs out and
// aborts what a worker is sending for it.
//
// Fault injection for tests: Refuse makes CreatePostRequest return false, Throw
// makes it throw std::runtime_error, Discard makes it return true and drop the
// request at once; none ever calls back.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host_internal.h"
#include "qbhost/escape.h"
#include "qbhost/requests.h"
#include "request_send.h"

namespace qbhost::detail {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kDefaultMaxWaiting = 4096;

bool BreaksHeader(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

// "http://host:port/path?query" -> Target; false for anything else. Only
// http and https; no user info, no fragment, no bytes below 0x21.
bool ParseUrl(std::string_view url, Target& out) {
  for (const char c : url) {
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) return false;
  }
  const auto schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return false;
  const std::string scheme = Lower(url.substr(0, schemeEnd));
  if (scheme != "http" && scheme != "https") return false;
  out.https = scheme == "https";
  url.remove_prefix(schemeEnd + 3);
  const auto pathStart = url.find_first_of("/?");
  std::string_view authority = url.substr(0, pathStart);
  out.path = pathStart == std::string_view::npos ? "/" : std::string(url.substr(pathStart));
  if (out.path.front() == '?') out.path.insert(0, "/");
  if (out.path.find('#') != std::string::npos) out.path.erase(out.path.find('#'));
  if (authority.find('@') != std::string_view::npos) return false;
  const auto bracket = authority.rfind(']');
  const auto colon = authority.rfind(':');
  out.port = out.https ? 443 : 80;
  if (colon != std::string_view::npos && (bracket == std::string_view::npos || colon > bracket)) {
    const std::string_view digits = authority.substr(colon + 1);
    authority = authority.substr(0, colon);
    if (digits.empty() || digits.size() > 5) return false;
    int port = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9') return false;
      port = port * 10 + (c - '0');
    }
    if (port == 0 || port > 65535) return false;
    out.port = port;
  }
  out.host = std::string(authority);
  return !out.host.empty();
}

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
              std::vector<std::string> headers, long connect, long receive, long send);
  void Deliver();
  void Drop(PluginId owner);
  void Shutdown();
  std::size_t Pending();
  std::size_t Waiting();
  bool Wait(milliseconds timeout);
  void SetLimit(std::size_t limit);

  std::atomic<RequestFault> fault{RequestFault::None};
  std::atomic<std::size_t> discarded{0};

 private:
  // Called with mutex_ held.
  void Finish(std::uint64_t id, PluginId owner, Outcome outcome);
  bool TimeSpent(const Job& job, Clock::time_point now, Outcome& failure) const;
  void ExpireWaiting();
  void AwaitDelivery(std::unique_lock<std::mutex>& lock, PluginId owner, bool all);

  void AbortSending(PluginId owner, bool all);
  void Run(std::size_t worker);

  std::mutex mutex_;
  std::condition_variable work_;      // waiting_ and quit_
  std::condition_variable changed_;   // delivery and shutdown state
  std::condition_variable progress_;  // finishedCount_
  std::uint64_t nextId_ = 1;
  std::unordered_map<std::uint64_t, std::pair<PluginId, API::Requests::Callback>> callbacks_;
  std::deque<Job> waiting_;
  std::deque<Completion> finished_;
  std::uint64_t handedOver_ = 0;
  std::uint64_t finishedCount_ = 0;  // answered, failed or dropped
  std::size_t maxWaiting_ = kDefaultMaxWaiting;
  bool quit_ = false;
  bool stopping_ = false;
  bool delivering_ = false;
  PluginId deliveringOwner_ = 0;
  std::thread::id deliveringThread_;
  std::vector<std::unique_ptr<Sender>> senders_;
  std::vector<Job*> sending_;  // per worker, the job it sends, or null
  std::vector<std::thread> workers_;
};

Service& TheService() {
  static Service service;
  return service;
}

bool Service::Submit(const std::string& url, const API::Requests::Callback& callback,
                     const std::string& body, const std::string& contentType,
                     std::vector<std::string> headers, long connect, long receive, long send) {
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
  // Copied before the lock: a worker never waits for a caller's copying.
  Job job;
  job.owner = CurrentPlugin();
  job.handedOver = Clock::now();
  const bool parsed = ParseUrl(url, job.target);
  job.body = body;
  job.contentType = contentType;
  job.headers = std::move(headers);
  job.connect = connect > 0 ? connect : 10;
  job.receive = receive > 0 ? receive : 30;
  job.send = send > 0 ? send : 30;

  std::lock_guard lock(mutex_);
  if (stopping_ || waiting_.size() >= maxWaiting_) return false;
  if (workers_.empty()) {
    quit_ = false;
    sending_.assign(kRequestWorkers, nullptr);
    try {
      for (std::size_t i = 0; i < kRequestWorkers; ++i) {
        senders_.push_back(MakeSender());
        workers_.emplace_back(&Service::Run, this, i);
      }
    } catch (const std::exception&) {
      // The workers already running serve the queue; none at all refuses.
      senders_.resize(workers_.size());
      if (workers_.empty()) return false;
    }
  }
  job.id = nextId_++;
  callbacks_.emplace(job.id, std::pair{job.owner, callback});
  ++handedOver_;
  if (!parsed) {
    Outcome failure;
    failure.text = "URL rejected: " + EscapeText(url) + " is not an http or https URL";
    Finish(job.id, job.owner, std::move(failure));
    return true;
  }
  waiting_.push_back(std::move(job));
  work_.notify_one();
  return true;
}

void Service::Finish(std::uint64_t id, PluginId owner, Outcome outcome) {
  if (callbacks_.contains(id)) finished_.push_back({id, owner, std::move(outcome)});
  ++finishedCount_;
  progress_.notify_all();
}

bool Service::TimeSpent(const Job& job, Clock::time_point now, Outcome& failure) const {
  const auto waited = std::chrono::duration_cast<milliseconds>(now - job.handedOver);
  if (waited < std::chrono::seconds(job.connect)) return false;
  failure.text = "Connection timed out: waited " + std::to_string(waited.count()) +
                 " ms in the queue, the connect timeout is " + std::to_string(job.connect) + " s";
  return true;
}

void Service::ExpireWaiting() {
  const auto now = Clock::now();
  std::erase_if(waiting_, [&](const Job& job) {
    Outcome failure;
    if (!TimeSpent(job, now, failure)) return false;
    Finish(job.id, job.owner, std::move(failure));
    return true;
  });
}

void Service::AbortSending(PluginId owner, bool all) {
  for (std::size_t i = 0; i < workers_.size(); ++i) {
    if (sending_[i] != nullptr && (all || sending_[i]->owner == owner)) {
      senders_[i]->Abort(sending_[i]->id);
    }
  }
}

void Service::Run(std::size_t worker) {
  Sender& sender = *senders_[worker];
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return quit_ || !waiting_.empty(); });
    if (quit_) return;
    Job job = std::move(waiting_.front());
    waiting_.pop_front();
    const auto now = Clock::now();
    Outcome outcome;
    if (!TimeSpent(job, now, outcome)) {
      const auto left = std::chrono::seconds(job.connect) -
                        std::chrono::duration_cast<milliseconds>(now - job.handedOver);
      sending_[worker] = &job;
      lock.unlock();
      outcome = sender.Send(job, left);
      lock.lock();
      sending_[worker] = nullptr;
    }
    Finish(job.id, job.owner, std::move(outcome));
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
    ExpireWaiting();
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
      callback = std::move(it->second.second);
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
  std::unique_lock lock(mutex_);
  AwaitDelivery(lock, owner, false);
  for (auto it = callbacks_.begin(); it != callbacks_.end();) {
    if (it->second.first != owner) {
      ++it;
      continue;
    }
    dropped.push_back(std::move(it->second.second));
    it = callbacks_.erase(it);
  }
  std::erase_if(finished_, [owner](const Completion& c) { return c.owner == owner; });
  finishedCount_ += std::erase_if(waiting_, [owner](const Job& j) { return j.owner == owner; });
  AbortSending(owner, false);
  progress_.notify_all();
  lock.unlock();
  // `dropped` goes here, before the caller closes the plug-in's library.
}

void Service::Shutdown() {
  std::vector<API::Requests::Callback> dropped;
  std::vector<std::thread> workers;
  {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !stopping_; });  // another shutdown in progress
    AwaitDelivery(lock, 0, true);
    for (auto& [id, parked] : callbacks_) dropped.push_back(std::move(parked.second));
    callbacks_.clear();
    finished_.clear();
    waiting_.clear();
    stopping_ = true;
    quit_ = true;
    AbortSending(0, true);
    workers.swap(workers_);
  }
  work_.notify_all();
  for (auto& worker : workers) worker.join();
  {
    std::lock_guard lock(mutex_);
    senders_.clear();
    finished_.clear();
    finishedCount_ = handedOver_;
    stopping_ = false;
  }
  progress_.notify_all();
  changed_.notify_all();
}

std::size_t Service::Pending() {
  std::lock_guard lock(mutex_);
  return callbacks_.size();
}

std::size_t Service::Waiting() {
  std::lock_guard lock(mutex_);
  return waiting_.size();
}

bool Service::Wait(milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  std::unique_lock lock(mutex_);
  for (;;) {
    ExpireWaiting();
    if (finishedCount_ == handedOver_) return true;
    const auto now = Clock::now();
    if (now >= deadline) return false;
    // Waiting jobs run out of time without anyone telling: look again soon.
    progress_.wait_until(lock, std::min(deadline, now + milliseconds(50)));
  }
}

void Service::SetLimit(std::size_t limit) {
  std::lock_guard lock(mutex_);
  maxWaiting_ = limit == 0 ? kDefaultMaxWaiting : limit;
}

}  // namespace

std::string ConnectFailedText(const Target& target) {
  return "Failed to connect to " + EscapeText(target.host) + " port " + std::to_string(target.port);
}

std::string QuietTimeText(bool receiving, long seconds) {
  return std::string("Operation timed out: no data ") + (receiving ? "received" : "sent") +
         " for " + std::to_string(seconds) + " s";
}

std::string StatusText(int status, const std::string& reason) {
  std::string text = "HTTP " + std::to_string(status);
  if (!reason.empty()) text += ' ' + EscapeText(reason);
  return text;
}

void AddHeader(Outcome& outcome, std::string name, const std::string& value) {
  auto [it, inserted] = outcome.headers.try_emplace(Lower(name), value);
  if (!inserted) it->second += ", " + value;
}

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

std::size_t WaitingRequests() {
  return detail::TheService().Waiting();
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
                                             std::move(headers), connectTimeout, receiveTimeout,
                                             sendTimeout);
}
