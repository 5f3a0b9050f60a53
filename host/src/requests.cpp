// The request service (API::Requests), a test double of the host's (which
// spends a thread per request): kRequestWorkers threads take requests from a
// bounded queue and send each with a library's HTTP client (request_send.h);
// everything else here is one code for Linux and Windows.
//
//   CreatePostRequest --waiting--> worker: Send --finished--> callback
//                                                  (next Tick, or at once on
//                                                   the worker: AnyThread)
//
// A hand-over beyond the waiting bound (SetRequestLimit) returns false without
// a callback, as does a header with CR, LF or NUL (it could smuggle headers).
// Time limits run from the hand-over, as on the host: a job still waiting when
// its connect limit has run out fails ("Connection timed out: waited ... in
// the queue"); one that starts late gets what is left. Waiting jobs are
// checked when a worker takes one, at every tick and in WaitForRequests, so a
// backlog behind stuck workers still fails within its limits plus a tick. A
// watchdog thread aborts a send that is still under way when the connect,
// send and receive limits together have passed since the hand-over: a peer
// that trickles a byte now and then never runs out a quiet time.
//
// Callbacks run in a PluginScope of the requesting plug-in, on the game
// thread in Tick() or on the worker (SetCompletionDelivery). Dropping a
// plug-in destroys its callbacks that have not started, takes out its waiting
// jobs, aborts those being sent and then waits for its callbacks that are
// running (their code is in its library). `mutex` guards everything here; it
// is never held while a callback runs nor while a sender aborts, so a
// callback may call back into the service or the registry, and an unload
// never waits for a connect.

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

std::string ExchangeTimeText(const Job& job) {
  return "Operation timed out: no complete answer within " +
         std::to_string(job.connect + job.send + job.receive) + " s (connect " +
         std::to_string(job.connect) + " s + send " + std::to_string(job.send) + " s + receive " +
         std::to_string(job.receive) + " s)";
}

struct Completion {
  std::uint64_t id;
  PluginId owner;
  Outcome outcome;
};

// A job on a worker's wire.
struct Sending {
  std::uint64_t id;
  PluginId owner;
  Clock::time_point deadline;  // hand-over + connect + send + receive
  bool overdue = false;        // the watchdog aborted it
};

// A callback that is running now, on some thread.
struct Running {
  PluginId owner;
  std::thread::id thread;
};

// Completions the calling thread is running (a callback may make requests,
// forget a plug-in or tick).
thread_local int completionsOnThisThread = 0;

// A sender to abort and the job it should give up.
using PendingAbort = std::pair<std::shared_ptr<Sender>, std::uint64_t>;

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
    if (workers.empty() && !Start()) return false;
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

  // With the mutex held: the workers and the watchdog.
  bool Start() {
    sending.assign(kRequestWorkers, std::nullopt);
    try {
      for (std::size_t i = 0; i < kRequestWorkers; ++i) {
        senders.push_back(MakeSender());
        workers.emplace_back(&Service::Run, this, i);
      }
      watchdog = std::thread(&Service::Watch, this);
    } catch (const std::exception&) {
      // The workers that did start serve the queue; without a watchdog only
      // the quiet times bound a send.
      senders.resize(workers.size());
    }
    return !workers.empty();
  }

  // With the mutex held: the completion waits for the next tick.
  void Finish(std::uint64_t id, PluginId owner, Outcome outcome) {
    if (callbacks.contains(id)) finished.push_back({id, owner, std::move(outcome)});
    ++settled;
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

  // With `lock` held; releases it while the callback runs. False when the
  // callback is gone (its plug-in was dropped).
  bool Call(std::unique_lock<std::mutex>& lock, std::uint64_t id, PluginId owner,
            Outcome& outcome) {
    auto it = callbacks.find(id);
    if (it == callbacks.end()) return false;
    API::Requests::Callback callback = std::move(it->second.second);
    callbacks.erase(it);
    running.push_back({owner, std::this_thread::get_id()});
    lock.unlock();
    ++completionsOnThisThread;
    {
      PluginScope scope(owner);
      try {
        callback(outcome.success, std::move(outcome.text), std::move(outcome.headers));
      } catch (const std::exception& e) {
        HostLogger()->error("request completion of plug-in {} threw: {}", owner, e.what());
      } catch (...) {
        HostLogger()->error("request completion of plug-in {} threw a non-standard exception",
                            owner);
      }
      callback = nullptr;  // its code is the plug-in's: destroyed while that is surely loaded
    }
    --completionsOnThisThread;
    lock.lock();
    const auto self = std::find_if(running.begin(), running.end(), [&](const Running& r) {
      return r.owner == owner && r.thread == std::this_thread::get_id();
    });
    running.erase(self);
    progress.notify_all();
    return true;
  }

  void Run(std::size_t worker) {
    std::unique_lock lock(mutex);
    const std::shared_ptr<Sender> sender = senders[worker];
    for (;;) {
      work.wait(lock, [this] { return quit || !waiting.empty(); });
      if (quit) return;
      Job job = std::move(waiting.front());
      waiting.pop_front();
      const auto now = Clock::now();
      std::optional<Outcome> outcome = Expired(job, now);
      if (!outcome) {
        const auto left = std::chrono::seconds(job.connect) - (now - job.handedOver);
        sending[worker] =
            Sending{job.id, job.owner,
                    job.handedOver + std::chrono::seconds(job.connect + job.send + job.receive)};
        watch.notify_one();
        lock.unlock();
        outcome = sender->Send(job, std::chrono::duration_cast<milliseconds>(left));
        lock.lock();
        if (sending[worker]->overdue && !outcome->success) {
          outcome = Outcome{false, ExchangeTimeText(job), {}};
        }
        sending[worker].reset();
      }
      if (delivery.load() == CompletionDelivery::AnyThread) {
        Call(lock, job.id, job.owner, *outcome);
        ++settled;
        progress.notify_all();
      } else {
        Finish(job.id, job.owner, std::move(*outcome));
      }
    }
  }

  // The watchdog: aborts every send that has outlived its limits together.
  void Watch() {
    std::unique_lock lock(mutex);
    while (!quit) {
      const auto now = Clock::now();
      auto next = Clock::time_point::max();
      std::vector<PendingAbort> due;
      for (std::size_t i = 0; i < sending.size(); ++i) {
        if (!sending[i] || sending[i]->overdue) continue;
        if (sending[i]->deadline <= now) {
          sending[i]->overdue = true;
          due.emplace_back(senders[i], sending[i]->id);
        } else {
          next = std::min(next, sending[i]->deadline);
        }
      }
      if (!due.empty()) {
        lock.unlock();
        for (auto& [sender, id] : due) sender->Abort(id);
        lock.lock();
        continue;
      }
      if (next == Clock::time_point::max()) {
        watch.wait(lock);
      } else {
        watch.wait_until(lock, next);
      }
    }
  }

  void Deliver() {
    std::unique_lock lock(mutex);
    ExpireWaiting();
    std::deque<Completion> batch;
    batch.swap(finished);
    for (auto& done : batch) Call(lock, done.id, done.owner, done.outcome);
  }

  void Drop(PluginId owner, bool all) {
    const auto mine = [&](PluginId of) { return all || of == owner; };
    std::vector<API::Requests::Callback> dropped;  // destroyed before this returns
    std::vector<PendingAbort> aborts;
    std::unique_lock lock(mutex);
    std::erase_if(callbacks, [&](auto& entry) {
      if (!mine(entry.second.first)) return false;
      dropped.push_back(std::move(entry.second.second));
      return true;
    });
    settled += std::erase_if(waiting, [&](const Job& j) { return mine(j.owner); });
    for (std::size_t i = 0; i < sending.size(); ++i) {
      if (sending[i] && mine(sending[i]->owner)) aborts.emplace_back(senders[i], sending[i]->id);
    }
    progress.notify_all();
    lock.unlock();
    for (auto& [sender, id] : aborts) sender->Abort(id);
    // Its callbacks that are running now. A drop from inside a completion
    // does not wait: the one it would wait for may be waiting for it.
    if (completionsOnThisThread == 0) {
      lock.lock();
      progress.wait(lock, [&] {
        return std::none_of(running.begin(), running.end(),
                            [&](const Running& r) { return mine(r.owner); });
      });
      lock.unlock();
    }
  }

  void Shutdown() {
    std::vector<std::thread> stopping;
    std::thread stoppingWatchdog;
    {
      std::lock_guard lock(mutex);
      const auto self = std::this_thread::get_id();
      if (std::any_of(workers.begin(), workers.end(),
                      [&](const std::thread& w) { return w.get_id() == self; })) {
        throw std::logic_error("ShutdownRequests from a request completion on a worker");
      }
      quit = true;  // refuses new hand-overs; the workers take no more jobs
      work.notify_all();
      watch.notify_all();
    }
    Drop(0, true);
    {
      std::lock_guard lock(mutex);
      stopping.swap(workers);
      stoppingWatchdog.swap(watchdog);
    }
    for (auto& worker : stopping) worker.join();
    if (stoppingWatchdog.joinable()) stoppingWatchdog.join();
    std::unordered_map<std::uint64_t, std::pair<PluginId, API::Requests::Callback>> late;
    std::vector<std::shared_ptr<Sender>> stopped;
    std::lock_guard lock(mutex);
    late.swap(callbacks);  // made by a completion while the drop waited for it
    stopped.swap(senders);
    waiting.clear();
    finished.clear();
    sending.clear();
    settled = handedOver;
    quit = false;
    progress.notify_all();
  }

  bool Wait(milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(mutex);
    for (;;) {
      ExpireWaiting();
      if (settled == handedOver) return true;
      const auto now = Clock::now();
      if (now >= deadline) return false;
      // Waiting jobs run out of time without anyone telling: look again soon.
      progress.wait_until(lock, std::min(deadline, now + milliseconds(50)));
    }
  }

  std::atomic<RequestFault> fault{RequestFault::None};
  std::atomic<std::size_t> discarded{0};
  std::atomic<CompletionDelivery> delivery{CompletionDelivery::Tick};
  std::mutex mutex;
  std::condition_variable work;      // waiting, quit
  std::condition_variable progress;  // settled, running
  std::condition_variable watch;     // sending, quit
  std::unordered_map<std::uint64_t, std::pair<PluginId, API::Requests::Callback>> callbacks;
  std::deque<Job> waiting;
  std::deque<Completion> finished;
  std::vector<Running> running;
  std::size_t maxWaiting = kDefaultMaxWaiting;
  std::uint64_t nextId = 1;
  std::uint64_t handedOver = 0;
  std::uint64_t settled = 0;  // completed, waiting for the tick, or dropped
  bool quit = false;
  std::vector<std::shared_ptr<Sender>> senders;
  std::vector<std::optional<Sending>> sending;  // per worker
  std::vector<std::thread> workers;
  std::thread watchdog;
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

void KeepPart(std::string& body, std::string_view part) {
  if (body.size() < kMaxBodyKept) body.append(part.substr(0, kMaxBodyKept - body.size()));
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

void SetCompletionDelivery(CompletionDelivery delivery) {
  detail::TheService().delivery = delivery;
}
CompletionDelivery CurrentCompletionDelivery() {
  return detail::TheService().delivery.load();
}
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
