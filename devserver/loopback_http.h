#pragma once

// How the dev server's HTTP servers (the webhook echo and the playground
// page) run on 127.0.0.1, with the limits a local tool needs against a
// careless or hostile peer on the same machine (any web page the developer
// opens can send requests to 127.0.0.1):
//
//  - One request per connection: every answer says "Connection: close" and
//    the connection is closed after it.
//  - Every request is judged from its head before any of its body is read:
//    the owner's HttpService::head first, then BodyRefusal (a chunked body,
//    a body without Content-Length, a Content-Length over maxBody). A refused
//    body is never read.
//  - One deadline for reading the whole request, head and body, counted from
//    the accept: a peer that trickles its head, a line every second, is
//    closed when it passes. Never more than maxHead + maxBody bytes are read.
//  - A thread for each connection, at most maxConnections at once (more are
//    closed at once): slow peers never hold the threads that the page's own
//    requests need, and a handler may wait (the playground waits for the game
//    thread) without holding anybody else's request.
//
// Design: asio (standalone) for the connections and the deadline, and a
// request parser of our own (http_message.h). cpp-httplib's public server
// interface cannot hold the deadline: its timeouts apply to each read, so a
// head sent one byte a second never times out, and its accepted sockets are
// out of reach of its public members; a server derived from it would need
// its protected request processing, whose signature changed between
// releases. Each connection's thread runs an io_context of its own, one
// operation at a time, with run_until(deadline): no timer objects, and the
// handler's code is plain sequential code. The request and answer are small
// types of our own rather than httplib's: handlers need a method, a path, a
// query, headers and a body, and our own types cannot change under us with a
// library's release.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "devserver/http_message.h"

namespace devserver {

struct HttpLimits {
  // Bodies larger than this are refused from their Content-Length.
  std::size_t maxBody = 64 * 1024;
  // The request line and the headers together; a longer head gets 431.
  std::size_t maxHead = 16 * 1024;
  // From accepting the connection until the request's last byte is read.
  std::chrono::milliseconds readDeadline{3000};
  // For writing the answer.
  std::chrono::milliseconds writeTimeout{5000};
  std::size_t maxConnections = 64;
};

// What a server does with its requests. Both functions run on the
// connection's thread; an exception from either becomes a 500 answer.
struct HttpService {
  // Judges a request from its head (its body is empty yet). True when it
  // has answered in `res` and the body must not be read. Optional.
  std::function<bool(const HttpRequest&, HttpResponse&)> head;
  // Answers a request whose body has been read (the body is empty for a
  // request without one). `res` starts as 200 with no body.
  std::function<void(const HttpRequest&, HttpResponse&)> handle;
  // Added to every answer that does not set them itself, the server's own
  // refusals included.
  HttpFields headers;
};

// A request that must be refused before its body is read: a chunked body,
// a body without Content-Length (POST, PUT, PATCH, DELETE), a Content-Length
// that is not one plain decimal number, or one over `maxBody`. Empty when the
// body may be read.
//   {"POST", Content-Length: 70000}, maxBody 65536 -> {413, "body of 70000 bytes is over ..."}
struct Refusal {
  int status;
  std::string reason;
};
std::optional<Refusal> BodyRefusal(const HttpRequest& req, std::size_t maxBody);

class LoopbackHttpServer {
 public:
  explicit LoopbackHttpServer(HttpService service, HttpLimits limits = {});
  ~LoopbackHttpServer();
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
  struct Acceptor;
  struct Connection;
  void Accept();
  void Serve(std::shared_ptr<Connection> connection);
  // Reads the request and fills in its answer; false when there is nothing
  // to answer (the peer went away, or the deadline passed).
  bool Answer(Connection& connection, HttpResponse& res, bool& headOnly) const;

  const HttpService service_;
  const HttpLimits limits_;
  std::unique_ptr<Acceptor> acceptor_;
  std::thread accepting_;
  std::mutex mutex_;
  std::condition_variable idle_;
  bool stopping_ = false;
  std::set<Connection*> open_;  // whose reads Stop ends
  std::size_t serving_ = 0;     // connection threads not yet finished
};

}  // namespace devserver
