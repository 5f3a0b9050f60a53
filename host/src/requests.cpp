// The request service (API::Requests), a test double of the host's (which
// spends a thread per request): kRequestWorkers threads take requests from a
// bounded queue and send each with a library's HTTP client (request_send.h);
// everything else here is one code for Linux and Windows.
//
//   CreatePostRequest --waiting_--> worker: Send --finished_--> Tick: callback
//
// A hand-over beyond the waiting bound (SetRequestLimit) returns false without
// a callback, as does a header that could smuggle further headers (CR, LF or
// NUL in it). Time limits run from the hand-over, as on the host: a job still
// waiting when its connect limit has run out fails with "Connection timed out:
// waited ... in the queue", and one that starts late gets what is left of it.
// Waiting jobs are checked when a worker takes one, at every tick and while
// WaitForRequests waits: with every worker stuck, a backlog still fails
// within its limits plus a tick.
//
// Callbacks run only in Tick(), inside a PluginScope of the plug-in that made
// the request. Dropping a plug-in destroys its callbacks before it returns
// (their code lives in its library), takes its waiting jobs out and aborts
// what a worker sends for it; a completion without a callback is dropped.
// delivery_ serialises delivering, dropping and shutting down (recursive: a
// callback may itself tick or forget a plug-in); mutex_ guards the rest and is
// never held while a callback runs.
//
// Faults for tests: Refuse returns false, Throw throws std::runtime_error,
// Discard returns true and drops the request; none ever calls back.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>

#include "host_internal.h"
#include "qbhost/escape.h"
#include "qbhost/requests.h"
#include "request_send.h"

namespace qbhost::detail {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr std::size_t kDefaultMaxWaiting = 4096;

// "http[s]://host[:port][/path][?query]" -> Target; false for anything else.
bool ParseUrl(std::string_view url, Target& out) {
  const auto schemeEnd = url.find("://");
  if (schemeEnd == std::string_view::npos) return false;
  const std::string scheme = Lower(url.substr(0, schemeEnd));
  out.https = scheme == "https";
  if (!out.https && scheme != "http") return false;
  if (std::any_of(url.begin(), url.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; })) {
    return false;  // controls and spaces
  }
  url.remove_prefix(schemeEnd + 3);
  const auto pathStart = std::min(url.find_first_of("/?#"), url.size());
  std::string_view host = url.substr(0, pathStart);
  out.path = "/";
  if (pathStart < url.size() && url[pathStart] != '#') {
    out.path = std::string(url.substr(pathStart, url.find('#') - pathStart));
    if (out.path.front() == '?') out.path.insert(0, "/");
  }
  out.port = out.https ? 443 : 80;
  const auto colon = host.rfind(':');
  if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
    const std::string_view digits = host.substr(colon + 1);
    host = host.substr(0, colon);
    out.port = 0;
    for (const char c : digits) {
      if (c < '0' || c > '9' || out.port > 6553) return false;
      out.port = out.port * 10 + (c - '0');
    }
    if (out.port == 0 || out.port > 65535) return false;
  }
  out.host = std::string(host);
  return !host.empty() && host.find('@') == std::string_view::npos;
}

struct Completion {
  std::uint64_t id;
  PluginId owner;
  Outcome outcome;
};

class Service {
 public:
  ~Service() { Shutdown(); }

  bool Submit(const std::string& url, const API::Requests::Callback& callback, Job job);
  void Deliver();
  void Drop(PluginId owner, bool all);
  void Shutdown();
  std::size_t Pending();
  std::size_t Waiting();
  bool Wait(milliseconds timeout);
  void SetLimit(std::size_t limit);

  std::atomic<RequestFault> fault{RequestFault::None};
  std::atomic<std::size_t> discarded{0};

 private:
  // With mutex_ held.
  void Finish(std::uint64_t id, PluginId owner, Outcome outcome);
  bool TimeSpent(const Job& job, Clock::time_point now, Outcome& failure) const;
  void ExpireWaiting();
  void Run(std::size_t worker);

  std::recursive_mutex delivery_;
  std::mutex mutex_;
  std::condition_variable work_;      // waiting_, quit_
  std::condition_variable progress_;  // finishedCount_
  std::uint64_t nextId_ = 1;
  std::unordered_map<std::uint64_t, std::pair<PluginId, API::Requests::Callback>> callbacks_;
  std::deque<Job> waiting_;
  std::deque<Completion> finished_;
  std::uint64_t handedOver_ = 0;
  std::uint64_t finishedCount_ = 0;  // answered, failed or dropped
  std::size_t maxWaiting_ = kDefaultMaxWaiting;
  bool quit_ = false;
  std::vector<std::unique_ptr<Sender>> senders_;
  std::vector<const Job*> sending_;  // per worker: its job, or null
  std::vector<std::thread> workers_;
};

Service& TheService() {
  static Service service;
  return service;
}

bool Service::Submit(const std::string& url, const API::Requests::Callback& callback, Job job) {
  switch (fault.load()) {
    case RequestFault::Refuse:
      return false;
    case RequestFault::Throw:
      throw std::runtime_error("request service: injected fault");
    case RequestFault::Discard:
      ++discarded;
      return true;
    case RequestFault::None:
      break;
  }
  const auto breaksHeader = [](std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
  };
  if (breaksHeader(job.contentType) ||
      std::any_of(job.headers.begin(), job.headers.end(), breaksHeader)) {
    return false;
  }
  job.owner = CurrentPlugin();
  job.handedOver = Clock::now();
  const bool parsed = ParseUrl(url, job.target);

  std::lock_guard lock(mutex_);
  if (quit_ || waiting_.size() >= maxWaiting_) return false;
  if (workers_.empty()) {
    sending_.assign(kRequestWorkers, nullptr);
    try {
      for (std::size_t i = 0; i < kRequestWorkers; ++i) {
        senders_.push_back(MakeSender());
        workers_.emplace_back(&Service::Run, this, i);
      }
    } catch (const std::exception&) {
      senders_.resize(workers_.size());  // the workers that did start serve the queue
      if (workers_.empty()) return false;
    }
  }
  job.id = nextId_++;
  callbacks_.emplace(job.id, std::pair{job.owner, callback});
  ++handedOver_;
  if (!parsed) {
    Finish(job.id, job.owner,
           {false, "URL rejected: " + EscapeText(url) + " is not an http or https URL", {}});
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

void Service::Run(std::size_t worker) {
  std::unique_lock lock(mutex_);
  for (;;) {
    work_.wait(lock, [this] { return quit_ || !waiting_.empty(); });
    if (quit_) return;
    const Job job = std::move(waiting_.front());
    waiting_.pop_front();
    const auto now = Clock::now();
    Outcome outcome;
    if (!TimeSpent(job, now, outcome)) {
      const auto left = std::chrono::seconds(job.connect) - (now - job.handedOver);
      sending_[worker] = &job;
      lock.unlock();
      outcome = senders_[worker]->Send(job, std::chrono::duration_cast<milliseconds>(left));
      lock.lock();
      sending_[worker] = nullptr;
    }
    Finish(job.id, job.owner, std::move(outcome));
  }
}

void Service::Deliver() {
  std::lock_guard delivering(delivery_);
  std::deque<Completion> batch;
  {
    std::lock_guard lock(mutex_);
    ExpireWaiting();
    batch.swap(finished_);
  }
  for (auto& done : batch) {
    API::Requests::Callback callback;
    {
      std::lock_guard lock(mutex_);
      auto it = callbacks_.find(done.id);
      if (it == callbacks_.end()) continue;  // its plug-in was dropped meanwhile
      callback = std::move(it->second.second);
      callbacks_.erase(it);
    }
    PluginScope scope(done.owner);
    try {
      callback(done.outcome.success, std::move(done.outcome.text), std::move(done.outcome.headers));
    } catch (const std::exception& e) {
      HostLogger()->error("request completion of plug-in {} threw: {}", done.owner, e.what());
    } catch (...) {
      HostLogger()->error("request completion of plug-in {} threw a non-standard exception",
                          done.owner);
    }
    callback = nullptr;  // its code is the plug-in's: destroyed while that is surely loaded
  }
}

void Service::Drop(PluginId owner, bool all) {
  std::lock_guard delivering(delivery_);
  std::vector<API::Requests::Callback> dropped;  // destroyed before this returns
  std::lock_guard lock(mutex_);
  std::erase_if(callbacks_, [&](auto& entry) {
    if (!all && entry.second.first != owner) return false;
    dropped.push_back(std::move(entry.second.second));
    return true;
  });
  finishedCount_ += std::erase_if(waiting_, [&](const Job& j) { return all || j.owner == owner; });
  for (std::size_t i = 0; i < workers_.size(); ++i) {
    if (sending_[i] != nullptr && (all || sending_[i]->owner == owner)) {
      senders_[i]->Abort(sending_[i]->id);
    }
  }
  progress_.notify_all();
}

void Service::Shutdown() {
  std::lock_guard delivering(delivery_);
  Drop(0, true);
  std::vector<std::thread> workers;
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
    workers.swap(workers_);
  }
  work_.notify_all();
  for (auto& worker : workers) worker.join();
  std::lock_guard lock(mutex_);
  senders_.clear();
  finished_.clear();
  finishedCount_ = handedOver_;
  quit_ = false;
  progress_.notify_all();
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
  return "HTTP " + std::to_string(status) + (reason.empty() ? "" : " " + EscapeText(reason));
}

void AddHeader(Outcome& outcome, const std::string& name, const std::string& value) {
  auto [it, inserted] = outcome.headers.try_emplace(Lower(name), value);
  if (!inserted) it->second += ", " + value;
}

void DeliverCompletions() {
  TheService().Deliver();
}

void DropRequestsOf(PluginId id) {
  TheService().Drop(id, false);
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
  return detail::TheService().discarded.load();
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
  qbhost::detail::Job job;
  job.body = postData;
  job.contentType = contentType;
  job.headers = std::move(headers);
  job.connect = connectTimeout > 0 ? connectTimeout : 10;  // 0 or less: the host's defaults
  job.receive = receiveTimeout > 0 ? receiveTimeout : 30;
  job.send = sendTimeout > 0 ? sendTimeout : 30;
  return qbhost::detail::TheService().Submit(url, callback, std::move(job));
}
