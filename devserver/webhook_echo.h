#pragma once

// An HTTP receiver on 127.0.0.1 that stands in for the webhook service while
// developing: it answers every request with 200 and prints one line for it.
//
//   POST /plugin/chat, "Authorization: Bearer abc", {"map":"Insel",...}
//     -> WEBHOOK POST /plugin/chat bearer=yes body={"map":"Insel",...}
//
// The token itself is never printed, only whether one was sent. A body over
// kPrintedBody bytes is printed clipped, with the number of bytes left out
// (left_out=N before the body). A body over the receiver's limit (1 MiB
// unless set), a chunked one and one without Content-Length are refused
// before they are read (413 or 411), with one line:
//   WEBHOOK POST /plugin/chat refused=413 body of 52428800 bytes is over the limit ...
// The receiver runs on threads of its own; the printer must be thread-safe.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "devserver/output.h"

namespace devserver {

class LoopbackHttpServer;

struct WebhookRequest {
  std::string method;
  std::string path;
  std::string authorization;  // the header's value, empty when absent
  std::string body;
};

// Whether an Authorization value carries a bearer token ("Bearer" in any case).
bool HasBearer(std::string_view authorization);

// How much of a body a WEBHOOK line shows.
inline constexpr std::size_t kPrintedBody = 4096;

// The line printed for one request (the keyword, method, path, bearer flag,
// how much of the body is left out if any, and the body; fields escaped as in
// output.h).
std::string WebhookLine(const WebhookRequest& request);

class WebhookEcho {
 public:
  static constexpr std::size_t kDefaultMaxBody = 1024 * 1024;

  // `observer`, when set, also gets every request it accepts, on the
  // receiver's thread.
  explicit WebhookEcho(LinePrinter print, std::function<void(const WebhookRequest&)> observer = {},
                       std::size_t maxBody = kDefaultMaxBody);
  ~WebhookEcho();
  WebhookEcho(const WebhookEcho&) = delete;
  WebhookEcho& operator=(const WebhookEcho&) = delete;

  // Binds 127.0.0.1:port (0: the OS chooses) and starts serving. Returns the
  // bound port; throws std::runtime_error when the port cannot be bound.
  std::uint16_t Start(std::uint16_t port);
  // Stops serving and waits for the receiver's threads. Idempotent.
  void Stop();

 private:
  LinePrinter print_;
  std::function<void(const WebhookRequest&)> observer_;
  std::size_t maxBody_;
  std::unique_ptr<LoopbackHttpServer> server_;
};

}  // namespace devserver
