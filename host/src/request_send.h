#pragma once

// The one part of the request service that differs between platforms: sending
// one POST and reading its answer. The pool, the bounds, the deadlines and the
// completions live in requests.cpp; a worker thread owns one Sender and hands
// it one job at a time.
//
//   Linux    send_httplib.cpp  cpp-httplib's httplib::Client (keeps its
//                              connection to one origin alive between jobs)
//   Windows  send_winhttp.cpp  WinHTTP, the platform's own client
//
// Time limits, in seconds as the plug-in passed them (0 or less picks the
// defaults, 10, 30 and 30): `connectLeft` is what is left of the connect limit
// after the job waited for a worker; send and receive are quiet times (no byte
// moved for that long), not caps on the whole exchange.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "qbhost/standin.h"

namespace qbhost::detail {

struct Outcome {
  bool success = false;
  std::string text;  // the body on success, else what went wrong (escaped)
  std::unordered_map<std::string, std::string> headers;  // names in lower case
};

struct Target {
  bool https = false;
  std::string host;  // as in the URL ("[::1]" keeps its brackets)
  int port = 0;
  std::string path;  // "/" at least, with the query
};

struct Job {
  std::uint64_t id = 0;
  PluginId owner = 0;
  Target target;
  std::string body;
  std::string contentType;
  std::vector<std::string> headers;  // "Name: value"
  long connect = 0;                  // seconds, defaults applied
  long receive = 0;
  long send = 0;
  std::chrono::steady_clock::time_point handedOver;
};

class Sender {
 public:
  virtual ~Sender() = default;
  // Sends `job` and waits for its answer; never throws.
  virtual Outcome Send(const Job& job, std::chrono::milliseconds connectLeft) = 0;
  // From another thread: makes the Send of job `id`, under way or about to
  // start, give up soon.
  virtual void Abort(std::uint64_t id) = 0;
};

std::unique_ptr<Sender> MakeSender();

// Failure texts both senders share, so that a log line reads the same on both.
std::string ConnectFailedText(const Target& target);
std::string QuietTimeText(bool receiving, long seconds);
// "HTTP 500 Internal Server Error"; the peer's reason phrase escaped.
std::string StatusText(int status, const std::string& reason);
// Adds one answer header, lower-casing its name and joining repeats with ", ".
void AddHeader(Outcome& outcome, std::string name, const std::string& value);

}  // namespace qbhost::detail
