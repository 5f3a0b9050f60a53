#pragma once

// What differs between platforms in the request service: sending one POST and
// reading its answer. requests.cpp holds the pool, the bounds, the deadlines
// and the completions; each worker thread owns one Sender.
//   Linux    send_httplib.cpp  cpp-httplib's httplib::Client
//   Windows  send_winhttp.cpp  WinHTTP, the platform's own client
// Limits in seconds, defaults applied: `connectLeft` is what the job's wait
// for a worker left of its connect limit; send and receive are quiet times
// (no byte moved for that long). The whole exchange is capped by the service,
// which aborts a send that outlives the three limits together.
// An answer's body is kept up to kMaxBodyKept bytes; the rest is read and
// dropped (KeepPart), so a huge answer costs time within the cap, not memory.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
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
  long connect = 0;
  long receive = 0;
  long send = 0;
  std::chrono::steady_clock::time_point handedOver;
};

inline constexpr std::size_t kMaxBodyKept = std::size_t{1} << 20;

class Sender {
 public:
  virtual ~Sender() = default;
  // Sends `job` and waits for its answer; never throws.
  virtual Outcome Send(const Job& job, std::chrono::milliseconds connectLeft) = 0;
  // From another thread, without waiting for anything: the Send of job `id`,
  // under way or about to start, gives up at once, in its connect too. A
  // stale id does nothing.
  virtual void Abort(std::uint64_t id) = 0;
};
std::unique_ptr<Sender> MakeSender();

// Texts both senders share, so that a log line reads the same on both.
std::string ConnectFailedText(const Target& target);
std::string QuietTimeText(bool receiving, long seconds);
std::string StatusText(int status, const std::string& reason);  // "HTTP 500 Internal ..."
// Appends what still fits below kMaxBodyKept.
void KeepPart(std::string& body, std::string_view part);
// Without leading and trailing spaces, tabs and CRs.
std::string Trim(std::string_view s);
// One answer header: the name in lower case, the value trimmed, repeated
// values joined with ", ".
void AddHeader(Outcome& outcome, const std::string& name, std::string_view value);

}  // namespace qbhost::detail
