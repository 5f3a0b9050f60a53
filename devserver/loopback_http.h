#pragma once

// How the dev server's HTTP servers (the webhook echo and the playground
// page) run on 127.0.0.1: httplib's routes and request parsing, with the
// limits a local tool needs against a careless or hostile peer on the same
// machine (any web page the developer opens can send requests to 127.0.0.1).
//
//  - One request per connection: every answer says "Connection: close" and
//    the connection is closed after it. A request refused before its body
//    (see BodyRefusal) is never followed by reading that body; httplib would
//    otherwise read it, whole, as the next request on a kept-alive connection.
//  - A deadline for reading each request, head and body, and a byte budget
//    for it (head limit plus body limit): a peer that trickles its head, one
//    line every second, is closed when the deadline passes.
//  - A thread for each connection, at most maxConnections at once (more are
//    closed at once): slow peers never hold the threads that the page's own
//    requests need.
//
// Why not httplib's own listen(): its timeouts apply to each read, so a head
// sent one byte a second never times out, and it runs every connection on a
// pool of eight threads; the accepted socket is out of reach of its public
// interface, so nothing can be put around a request's head. This class
// accepts the connections itself and hands each to httplib through
// Server::process_request, the hook meant for servers derived from
// httplib::Server, with a stream that enforces the deadline and the budget.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include <httplib.h>

namespace devserver {

struct HttpLimits {
  // Bodies larger than this are refused by BodyRefusal from their
  // Content-Length; httplib's own limit is set to the same.
  std::size_t maxBody = 64 * 1024;
  // The request line and the headers together.
  std::size_t maxHead = 16 * 1024;
  // From accepting the connection until the request's last byte is read.
  std::chrono::milliseconds readDeadline{3000};
  // For each write of the answer.
  std::chrono::milliseconds writeTimeout{5000};
  std::size_t maxConnections = 64;
};

// A request that must be refused before its body is read: a chunked body,
// a body without Content-Length (httplib would read to the end of the
// connection), a Content-Length that is not a plain decimal number, or one
// over `maxBody`. Empty when the body may be read.
//   {"POST", Content-Length: 70000}, maxBody 65536 -> {413, "body of 70000 bytes is over ..."}
struct Refusal {
  int status;
  std::string reason;
};
std::optional<Refusal> BodyRefusal(const httplib::Request& req, std::size_t maxBody);

class LoopbackHttpServer : public httplib::Server {
 public:
  explicit LoopbackHttpServer(HttpLimits limits = {});
  ~LoopbackHttpServer() override;
  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  // Binds 127.0.0.1:port (0: the OS chooses) and serves on a thread of its
  // own. Returns the bound port; throws std::runtime_error naming `what`, the
  // address and the reason when the port cannot be bound.
  std::uint16_t Start(std::uint16_t port, const std::string& what);
  // Stops accepting, ends the reads of the connections still open and waits
  // for their threads (an answer being written still goes out). Idempotent.
  void Stop();

  const HttpLimits& limits() const { return limits_; }

 private:
  void Accept();
  void Serve(int fd);

  const HttpLimits limits_;
  int listenFd_ = -1;
  std::thread acceptor_;
  std::atomic<bool> stopping_{false};
  std::mutex mutex_;
  std::condition_variable idle_;
  std::set<int> open_;  // connections being served
};

}  // namespace devserver
