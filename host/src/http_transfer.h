#pragma once

// One HTTP POST of the request service on a libcurl easy handle: the copies
// the request needs while it is on the wire, the options that put it there,
// and the outcome handed to the completion callback.
//
// Time limits. The three numbers a plug-in passes are the connect, receive and
// send timeouts in seconds, as on the real host (0 or less picks 10, 30, 30).
// They run from the hand-over (CreatePostRequest), not from the moment the
// request goes on the wire: time spent in the service's queue counts.
//   connect  CURLOPT_CONNECTTIMEOUT_MS: TCP (and TLS) set-up, done within
//            `connect` of the hand-over; a request still queued then fails
//            without going out.
//   send     quiet time allowed while the body is still going out.
//   receive  quiet time allowed once the body is out: a server that accepts
//            and never answers fails about `receive` seconds after it took
//            the body ("Operation timed out: no data received for 5 s").
//   The first quiet window also covers the connection set-up (connect + send,
//   or connect + receive for an empty body). Any byte sent or received
//   (headers included) restarts the quiet time. libcurl's progress callback
//   checks it; a low-speed limit that never fires on its own makes libcurl
//   call that callback at least once a second on an idle transfer.
//   CURLOPT_TIMEOUT_MS = connect + send + receive caps the whole transfer, so
//   a server that trickles a byte now and then cannot hold it forever.
//
// Outcome: success is an HTTP 2xx answer; the text is then the response body
// (at most 1 MiB of it is kept). On failure the text says what went wrong:
//   "HTTP 500 Internal Server Error"          the server answered, not 2xx
//   "Failed to connect to 127.0.0.1 port ..."  libcurl's error message
// Text from the peer (the reason phrase) and libcurl's message are escaped as
// in qbhost/escape.h: a status line with CR, LF or ESC cannot forge or colour
// the log line the plug-in writes with it.
// The header map holds the final answer's headers, names in lower case, a
// repeated header's values joined with ", "; it is empty when no answer came.
//
// Only http and https are allowed; TLS peers are verified (libcurl's default);
// redirects are not followed; "Expect: 100-continue" is never sent.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <curl/curl.h>

#include "qbhost/standin.h"

namespace qbhost::detail {

struct Outcome {
  bool success = false;
  std::string text;
  std::unordered_map<std::string, std::string> headers;
};

struct Timeouts {
  long connect;  // seconds; 0 or less: default
  long receive;
  long send;
};

class Transfer {
 public:
  using Clock = std::chrono::steady_clock;

  // What a transfer needs only while it is on the wire, so that a request
  // waiting in the queue (a silent peer makes many wait) holds no more than
  // its texts.
  struct Wire {
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    std::string response;
    std::string reason;
    std::unordered_map<std::string, std::string> headers;
    char error[CURL_ERROR_SIZE] = {};
    Clock::time_point lastActivity;
    curl_off_t lastUp = 0;
    bool active = false;  // any byte moved yet
    std::string stalled;  // set when the quiet time ran out

    Wire() = default;
    ~Wire();
    Wire(const Wire&) = delete;
    Wire& operator=(const Wire&) = delete;
  };

  Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  // The request's number, under which its completion callback waits.
  std::uint64_t id() const { return id_; }
  void set_id(std::uint64_t id) { id_ = id; }
  PluginId owner() const { return owner_; }
  CURL* easy() const { return wire_ ? wire_->easy : nullptr; }

  // Takes a request handed over at `handedOver`: the texts are copied into one
  // buffer of the transfer's own, the headers into its list.
  void Assign(PluginId owner, std::string_view url, std::string_view body,
              std::string_view contentType, std::vector<std::string>&& headers, Timeouts timeouts,
              Clock::time_point handedOver);
  // True when the request, still queued at `now`, can no longer connect within
  // its connect timeout; `failure` then holds the outcome to report.
  bool QueueTimeSpent(Clock::time_point now, Outcome& failure) const;
  // Configures a fresh or reset easy handle for this request, with `wire` for
  // its state on the wire. On failure the outcome to report is returned in
  // `failure` and the handle stays unused.
  bool Attach(CURL* easy, std::unique_ptr<Wire> wire, Outcome& failure);
  // Builds the outcome once libcurl has finished with `result`.
  Outcome Finish(CURLcode result);

  // The timeouts with defaults in place of 0 or less, in seconds.
  static Timeouts Effective(Timeouts requested);

 private:
  static std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* self);
  static int OnProgress(void* self, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal,
                        curl_off_t ulNow);

  void HeaderLine(std::string_view line);
  const char* url() const { return texts_.data(); }
  const char* contentTypeHeader() const { return texts_.data() + headerAt_; }
  const char* body() const { return texts_.data() + bodyAt_; }
  std::size_t bodySize() const { return texts_.size() - bodyAt_; }

  std::uint64_t id_ = 0;
  PluginId owner_ = 0;
  Clock::time_point handedOver_;
  // URL, NUL, "Content-Type: ..." header, NUL, body: one allocation.
  std::string texts_;
  std::size_t urlSize_ = 0;
  std::size_t headerAt_ = 0;
  std::size_t bodyAt_ = 0;
  std::vector<std::string> headers_;
  Timeouts timeouts_{};  // seconds, defaults applied
  std::unique_ptr<Wire> wire_;
};

}  // namespace qbhost::detail
