// The request service (API::Requests), a test double of the host's (which
// spends a thread per request): kRequestWorkers threads take requests from a
// bounded queue and send each with a library's HTTP client (request_send.h);
// everything else here is one code for Linux and Windows.
//
//   CreatePostRequest --waiting--> worker: Send --finished--> Tick: callback
//
// A hand-over beyond the waiting bound (SetRequestLimit) returns false without
// a callback, as does a header with CR, LF or NUL (it could smuggle headers).
// Time limits run from the hand-over, as on the host: a job still waiting when
// its connect limit has run out fails ("Connection timed out: waited ... in
// the queue"); one that starts late gets what is left. Waiting jobs are
// checked when a worker takes one, at every tick and in WaitForRequests, so a
// backlog behind stuck workers still fails within its limits plus a tick.
//
// Callbacks run only in Tick(), in a PluginScope of the requesting plug-in.
// Dropping a plug-in destroys its callbacks before it returns (their code is
// in its library), takes out its waiting jobs and aborts those being sent.
// `delivery` serialises delivering, dropping and shutting down (recursive: a
// callback may itself tick or forget a plug-in); `mutex` guards the rest and
// is never held while a callback runs.

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <regex>
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

// "http[s]://host[:port][/path][?query][#fragment]" -> Target; false for
// anything else: another scheme, userinfo, a bad port, spaces or controls.
bool ParseUrl(const std::string& url, Target& out) {
  // Only the origin goes through the regex: libstdc++'s matcher recurses per
  // character, and a path may be long.
  static const std::regex kOrigin(
      R"(^(https?)://(\[[^\]/?#@]*\]|[^:/?#@[\]]+)(?::(\d{1,5}))?(?=[/?#]|$))", std::regex::icase);
  std::smatch m;
  if (std::any_of(url.begin(), url.end(), [](unsigned char c) { return c <= ' ' || c == 0x7f; }) ||
      !std::regex_search(url, m, kOrigin)) {
    return false;
  }
  out.https = Lower(m.str(1)) == "https";
  out.host = m.str(2);
  out.port = m[3].matched ? std::stoi(m.str(3)) : out.https ? 443 : 80;
  const std::string rest = m.suffix().str();
  out.path = rest.substr(0, rest.find('#'));
  if (out.path.empty() || out.path.front() == '?') out.path.insert(0, "/");
  return out.port > 0 && out.port <= 65535;
}

// The failure of a job whose connect limit ran out while it waited, if it did.
std::optional<Outcome> Expired(const Job& job, Clock::time_point now) {
  const auto waited = std::chrono::duration_cast<milliseconds>(now - job.handedOver);
  if (waited < std::chrono::seconds(job.connect)) return std::nullopt;
  return Outcome{false,
                 "Connection timed out: waited " + std::to_string(waited.count()) +
                     " ms in the queue, the connect timeout is " + std::to_string(job.connect) +
                     " s",
                 {}};
}

struct Completion {
  std::uint64_t id;
  PluginId owner;
  Outcome outcome;
};

struct Service {
  ~Service() { Shutdown(); }

  bool Submit(const std::string& url, const API::Requests::Callback& callback, Job job) {
    const RequestFault injected = fault.load();
    if (injected == RequestFault::Throw)
      throw std::runtime_error("request service: injected fault");
    if (injected == RequestFault::Discard) ++discarded;
    if (injected != RequestFault::None) return injected == RequestFault::Discard;
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

    std::lock_guard lock(mutex);
    if (quit || waiting.size() >= maxWaiting) return false;
    if (workers.empty()) {
      sending.assign(kRequestWorkers, nullptr);
      aborted.assign(kRequestWorkers, false);
      try {
        for (std::size_t i = 0; i < kRequestWorkers; ++i) {
          senders.push_back(MakeSender());
          workers.emplace_back(&Service::Run, this, i);
        }
      } catch (const std::exception&) {
        senders.resize(workers.size());  // the workers that did start serve the queue
        if (workers.empty()) return false;
      }
    }
    job.id = nextId++;
    callbacks.emplace(job.id, std::pair{job.owner, callback});
    ++handedOver;
    if (!parsed) {
      Finish(job.id, job.owner,
             {false, "URL rejected: " + EscapeText(url) + " is not an http or https URL", {}});
      return true;
    }
    waiting.push_back(std::move(job));
    work.notify_one();
    return true;
  }

  // With the mutex held.
  void Finish(std::uint64_t id, PluginId owner, Outcome outcome) {
    if (callbacks.contains(id)) finished.push_back({id, owner, std::move(outcome)});
    ++finishedCount;
    progress.notify_all();
  }

  // With the mutex held.
  void ExpireWaiting() {
    const auto now = Clock::now();
    std::erase_if(waiting, [&](const Job& job) {
      auto failure = Expired(job, now);
      if (failure) Finish(job.id, job.owner, std::move(*failure));
      return failure.has_value();
    });
  }

  void Run(std::size_t worker) {
    std::unique_lock lock(mutex);
    for (;;) {
      work.wait(lock, [this] { return quit || !waiting.empty(); });
      if (quit) return;
      const Job job = std::move(waiting.front());
      waiting.pop_front();
      const auto now = Clock::now();
      std::optional<Outcome> outcome = Expired(job, now);
      if (!outcome) {
        const auto left = std::chrono::seconds(job.connect) - (now - job.handedOver);
        sending[worker] = &job;
        aborted[worker] = false;
        lock.unlock();
        outcome = senders[worker]->Send(job, std::chrono::duration_cast<milliseconds>(left));
        lock.lock();
        sending[worker] = nullptr;
      }
      Finish(job.id, job.owner, std::move(*outcome));
    }
  }

  void Deliver() {
    std::lock_guard delivering(delivery);
    std::deque<Completion> batch;
    {
      std::lock_guard lock(mutex);
      ExpireWaiting();
      batch.swap(finished);
    }
    for (auto& done : batch) {
      API::Requests::Callback callback;
      {
        std::lock_guard lock(mutex);
        auto it = callbacks.find(done.id);
        if (it == callbacks.end()) continue;  // its plug-in was dropped meanwhile
        callback = std::move(it->second.second);
        callbacks.erase(it);
      }
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
      callback = nullptr;  // its code is the plug-in's: destroyed while that is surely loaded
    }
  }

  void Drop(PluginId owner, bool all) {
    std::lock_guard delivering(delivery);
    std::vector<API::Requests::Callback> dropped;  // destroyed before this returns
    std::lock_guard lock(mutex);
    std::erase_if(callbacks, [&](auto& entry) {
      if (!all && entry.second.first != owner) return false;
      dropped.push_back(std::move(entry.second.second));
      return true;
    });
    finishedCount += std::erase_if(waiting, [&](const Job& j) { return all || j.owner == owner; });
    for (std::size_t i = 0; i < workers.size(); ++i) {
      if (sending[i] != nullptr && (all || sending[i]->owner == owner)) {
        aborted[i] = true;
        senders[i]->Abort(sending[i]->id);
      }
    }
    progress.notify_all();
  }

  // With the mutex held. An abort that reaches a sender before its client
  // has a socket finds nothing to shut, and the send would run to its limits:
  // whoever waits for the workers repeats it until they have given up.
  bool RepeatAborts() {
    bool any = false;
    for (std::size_t i = 0; i < sending.size(); ++i) {
      if (sending[i] != nullptr && aborted[i]) {
        senders[i]->Abort(sending[i]->id);
        any = true;
      }
    }
    return any;
  }

  void Shutdown() {
    std::lock_guard delivering(delivery);
    Drop(0, true);
    std::vector<std::thread> stopping;
    {
      std::unique_lock lock(mutex);
      quit = true;
      work.notify_all();
      while (RepeatAborts()) progress.wait_for(lock, milliseconds(20));
      stopping.swap(workers);
    }
    for (auto& worker : stopping) worker.join();
    std::lock_guard lock(mutex);
    senders.clear();
    finished.clear();
    finishedCount = handedOver;
    quit = false;
    progress.notify_all();
  }

  bool Wait(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex);
    for (;;) {
      ExpireWaiting();
      RepeatAborts();
      if (finishedCount == handedOver) return true;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      // Waiting jobs run out of time without anyone telling: look again soon.
      progress.wait_until(lock, std::min(deadline, now + milliseconds(50)));
    }
  }

  std::atomic<RequestFault> fault{RequestFault::None};
  std::atomic<std::size_t> discarded{0};
  std::recursive_mutex delivery;
  std::mutex mutex;
  std::condition_variable work;      // waiting, quit
  std::condition_variable progress;  // finishedCount
  std::unordered_map<std::uint64_t, std::pair<PluginId, API::Requests::Callback>> callbacks;
  std::deque<Job> waiting;
  std::deque<Completion> finished;
  std::size_t maxWaiting = kDefaultMaxWaiting;
  std::uint64_t nextId = 1;
  std::uint64_t handedOver = 0;
  std::uint64_t finishedCount = 0;  // answered, failed or dropped
  bool quit = false;
  std::vector<std::unique_ptr<Sender>> senders;
  std::vector<const Job*> sending;  // per worker: its job, or null
  std::vector<bool> aborted;        // per worker: its job was aborted
  std::vector<std::thread> workers;
};

Service& TheService() {
  static Service service;
  return service;
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
  // Piece by piece: "HTTP " + std::to_string(...) and " " + EscapeText(...)
  // trip a false -Wrestrict in GCC 12 at -O3 once this is inlined.
  std::string text = "HTTP ";
  text += std::to_string(status);
  if (!reason.empty()) text.append(" ").append(EscapeText(reason));
  return text;
}

std::string Trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  return first == std::string_view::npos
             ? std::string()
             : std::string(s.substr(first, s.find_last_not_of(" \t\r") - first + 1));
}

void AddHeader(Outcome& outcome, const std::string& name, std::string_view value) {
  auto [it, inserted] = outcome.headers.try_emplace(Lower(name), Trim(value));
  if (!inserted) it->second.append(", ").append(Trim(value));
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
  std::lock_guard lock(detail::TheService().mutex);
  return detail::TheService().callbacks.size();
}
std::size_t WaitingRequests() {
  std::lock_guard lock(detail::TheService().mutex);
  return detail::TheService().waiting.size();
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
  std::lock_guard lock(detail::TheService().mutex);
  detail::TheService().maxWaiting = limit == 0 ? detail::kDefaultMaxWaiting : limit;
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
