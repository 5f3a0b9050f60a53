#pragma once

// An HTTP receiver on 127.0.0.1 that stands in for the webhook service while
// developing: it answers every request with 200 and prints one line for it.
//
//   POST /plugin/chat, "Authorization: Bearer abc", {"map":"Insel",...}
//     -> WEBHOOK POST /plugin/chat bearer=yes body={"map":"Insel",...}
//
// The token itself is never printed, only whether one was sent. The receiver
// runs on its own thread; the printer must be thread-safe.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "devserver/output.h"

namespace httplib {
class Server;
}

namespace devserver {

struct WebhookRequest {
  std::string method;
  std::string path;
  std::string authorization;  // the header's value, empty when absent
  std::string body;
};

// Whether an Authorization value carries a bearer token ("Bearer" in any case).
bool HasBearer(std::string_view authorization);

// The line printed for one request (the keyword, method, path, bearer flag and
// body; fields escaped as in output.h).
std::string WebhookLine(const WebhookRequest& request);

class WebhookEcho {
 public:
  // `observer`, when set, also gets every request, on the receiver's thread.
  explicit WebhookEcho(LinePrinter print, std::function<void(const WebhookRequest&)> observer = {});
  ~WebhookEcho();
  WebhookEcho(const WebhookEcho&) = delete;
  WebhookEcho& operator=(const WebhookEcho&) = delete;

  // Binds 127.0.0.1:port (0: the OS chooses) and starts serving. Returns the
  // bound port; throws std::runtime_error when the port cannot be bound.
  std::uint16_t Start(std::uint16_t port);
  // Stops serving and waits for the receiver's thread. Idempotent.
  void Stop();

 private:
  LinePrinter print_;
  std::function<void(const WebhookRequest&)> observer_;
  std::unique_ptr<httplib::Server> server_;
  std::atomic<bool> listenEnded_{false};
  std::thread thread_;
};

}  // namespace devserver
