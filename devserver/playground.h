#pragma once

// The playground: one page, served by the dev server on 127.0.0.1, that shows
// the players, every chat line they said and received, the webhook receiver's
// requests and the log, live, with forms that act as the console and an RCON
// client do.
//
// Threads: the records are written by the game thread (players, chat), the
// webhook receiver's thread and whichever thread logs, and read by the HTTP
// server's threads; one short lock guards them and nobody waits on a browser
// while holding it. Whatever the page changes runs on the game thread: the
// HTTP thread posts it there and waits a bounded time for the answer, so a
// slow or vanished tab never holds the game loop, and a busy game loop only
// makes one request answer 503.
//
// Safety, since any web page the developer visits can send requests to
// 127.0.0.1: every request carries the per-run token (header
// X-Playground-Token or query parameter token, never a cookie) and a Host of
// 127.0.0.1:<port> or localhost:<port>; changes are POST only, with an Origin
// equal to the server's own; anything else gets 403 and changes nothing. Every
// answer carries a Content-Security-Policy that allows the page's own script
// and style only. A request is judged from its head: a refused one, a chunked
// body and one declared over kMaxBody are answered without reading the body,
// and the connection closes with the answer (see loopback_http.h, which also
// bounds how long a request's head may take).

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <spdlog/common.h>
#include <spdlog/sinks/sink.h>

#include "devserver/console.h"
#include "devserver/webhook_echo.h"

namespace devserver {

class LoopbackHttpServer;
struct HttpRequest;
struct HttpResponse;

// What the page shows, in four regions. Every entry gets a number from one
// sequence over all regions, so that a page asks for "everything after n" and
// misses nothing that is still kept. Each region keeps its latest
// `perRegion` entries. Text is bounded as it is served, after JSON escaping
// (a control byte takes six bytes there): a chat text, webhook body or log
// line at kMaxField bytes, a name, method or path at kMaxName; a longer one
// is cut at a character boundary and says how many bytes are missing. So an
// entry is at most about 19 KiB, and one state answer at most kMaxAnswer
// plus one entry plus the players (1,000 of at most 2.2 KiB): under 7 MB.
// The page asks again at once while an answer says "more". Thread-safe.
class PlaygroundRecords {
 public:
  static constexpr std::size_t kPerRegion = 1000;
  static constexpr std::size_t kMaxField = 16 * 1024;
  static constexpr std::size_t kMaxName = 1024;
  static constexpr std::size_t kMaxAnswer = 4 * 1024 * 1024;

  explicit PlaygroundRecords(std::size_t perRegion = kPerRegion);

  // The console's players (also those joined from the page), in join order.
  void PlayerJoined(std::string_view name, std::string_view character, bool hasState);
  void PlayerLeft(std::string_view name);

  // A chat line shown to one player.
  void Received(std::string_view to, std::string_view from, std::string_view text);
  // A player's own chat line. The lines its broadcast delivers arrive before
  // the game says whether a plug-in suppressed it, so they are held back
  // between BeginSaid and EndSaid and recorded after the said line.
  void BeginSaid();
  void EndSaid(std::string_view player, std::string_view text, int mode, bool command,
               bool suppressed);

  // A request the webhook receiver got, time-stamped now. The token itself is
  // not kept, only whether there was one.
  void Webhook(const WebhookRequest& request);
  void Log(spdlog::level::level_enum level, std::string_view line);

  // One JSON object with what is newer than `since`:
  //   {"seq":N,"chat":[...],"webhooks":[...],"log":[...]} and, when the
  //   players changed after `since`, "players":[...] (at most perRegion) and
  //   "playerCount". Entries are oldest first, each with its "seq". When
  //   the entries newer than `since` take more than kMaxAnswer bytes, the
  //   oldest of them come, N is the last one's number and "more":true says
  //   to ask again.
  // A `since` beyond the newest number (a page of an earlier run) counts as 0.
  std::string Since(std::uint64_t since) const;

 private:
  struct Entry {
    std::uint64_t seq;
    std::string json;  // the entry, serialised once
  };
  using Region = std::deque<std::shared_ptr<const Entry>>;
  struct Player {
    std::string name;
    std::string character;
    bool hasState;
  };
  struct HeldLine {
    std::string to, from, text;
  };

  void AddLocked(Region& region, std::string json);
  void AddReceivedLocked(const HeldLine& line);
  static void Append(std::string& out, const Region& region);

  const std::size_t perRegion_;
  mutable std::mutex mutex_;
  std::uint64_t seq_ = 0;
  Region chat_, webhooks_, log_;
  std::vector<Player> players_;
  std::uint64_t playersSeq_ = 0;
  bool holding_ = false;
  std::deque<HeldLine> held_;
};

// The operations the page can start. Each function but `post` runs on the
// game thread and returns the text the page shows.
struct PlaygroundGame {
  // Queues a task for the game thread; never waits. A task that never runs
  // (the server stops) makes its request answer 503 in time.
  std::function<void(std::function<void()>)> post;
  // A console command (join, leave, chat); the console's answer line.
  std::function<std::string(const ConsoleCommand&)> command;
  // An RCON command line as an authenticated client sends it; the reply.
  std::function<std::string(const std::string&)> rcon;
  // Unload every plug-in, then load them again (re-reads their configuration).
  std::function<std::string()> reload;
};

// 32 random bytes from the OS (getrandom), as 64 lower-case hex digits.
// Throws std::runtime_error when the OS gives none.
std::string RandomToken();

// The say line's payload as an RCON client sends it: standard Base64 of the
// compact JSON {"message":...,"sender":...}. Throws nlohmann's type_error for
// text that is not UTF-8.
std::string SayPayload(std::string_view sender, std::string_view message);

class Playground {
 public:
  // How long a request waits for the game thread before it answers 503.
  static constexpr std::chrono::seconds kGameWait{5};
  // The largest request body: the page's forms send a few hundred bytes.
  static constexpr std::size_t kMaxBody = 64 * 1024;

  // Without a token, Start makes one with RandomToken.
  explicit Playground(PlaygroundGame game, std::string token = {});
  ~Playground();
  Playground(const Playground&) = delete;
  Playground& operator=(const Playground&) = delete;

  // Binds 127.0.0.1:port (0: the OS chooses) and serves. Returns the bound
  // port; throws std::runtime_error when the port cannot be bound (or the OS
  // gives no random bytes for the token).
  std::uint16_t Start(std::uint16_t port);
  // Releases every request waiting for the game thread (503), stops serving
  // and waits for the server's threads. Idempotent.
  void Stop();

  // "http://127.0.0.1:<port>/?token=<token>", after Start.
  std::string Url() const;
  const std::shared_ptr<PlaygroundRecords>& records() const { return records_; }
  // A log sink that feeds the "Log" region; it keeps the records alive.
  std::shared_ptr<spdlog::sinks::sink> LogSink() const;

 private:
  struct Waits {
    std::mutex mutex;
    std::condition_variable cv;
    bool stopping = false;
  };
  bool Allowed(const HttpRequest& req, HttpResponse& res) const;
  // Runs `action` on the game thread; false (and a 503 answer) when it did
  // not finish within kGameWait or the server is stopping.
  bool OnGame(const std::function<std::string()>& action, std::string& result, HttpResponse& res);
  // POST /api/<what>: join, leave, chat, say or reload.
  void Action(const std::string& what, const HttpRequest& req, HttpResponse& res);
  // GET (and HEAD): the page, its files and /api/state; POST: Action.
  void Handle(const HttpRequest& req, HttpResponse& res);

  PlaygroundGame game_;
  std::string token_;  // set before the server's threads start, then only read
  std::shared_ptr<PlaygroundRecords> records_ = std::make_shared<PlaygroundRecords>();
  std::shared_ptr<Waits> waits_ = std::make_shared<Waits>();
  std::unique_ptr<LoopbackHttpServer> server_;
  // Set once Start has bound the port; requests may read it as it is set.
  std::atomic<std::uint16_t> port_{0};
};

}  // namespace devserver
