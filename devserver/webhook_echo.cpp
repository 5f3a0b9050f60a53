#include "devserver/webhook_echo.h"

#include <chrono>
#include <stdexcept>

#include <httplib.h>

namespace devserver {

bool HasBearer(std::string_view authorization) {
  // "Bearer" is matched without regard to case, as HTTP auth schemes are.
  return authorization.size() > 7 &&
         (authorization.substr(0, 7) == "Bearer " || authorization.substr(0, 7) == "bearer ");
}

std::string WebhookLine(const WebhookRequest& request) {
  return "WEBHOOK " + EscapeField(request.method, false) + " " + EscapeField(request.path, false) +
         " bearer=" + (HasBearer(request.authorization) ? "yes" : "no") +
         " body=" + EscapeField(request.body, true);
}

WebhookEcho::WebhookEcho(LinePrinter print, std::function<void(const WebhookRequest&)> observer)
    : print_(std::move(print)), observer_(std::move(observer)) {}

WebhookEcho::~WebhookEcho() {
  Stop();
}

std::uint16_t WebhookEcho::Start(std::uint16_t port) {
  server_ = std::make_unique<httplib::Server>();
  // httplib's default SO_REUSEPORT would let a second dev server share the
  // port and take half of the requests; SO_REUSEADDR alone only allows a quick
  // restart.
  server_->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // Every method and path: print, answer 200.
  auto echo = [this](const httplib::Request& req, httplib::Response& res) {
    WebhookRequest request{req.method, req.path, req.get_header_value("Authorization"), req.body};
    print_(WebhookLine(request));
    if (observer_) observer_(request);
    res.status = 200;
  };
  const std::string any = ".*";
  server_->Get(any, echo);
  server_->Post(any, echo);
  server_->Put(any, echo);
  server_->Patch(any, echo);
  server_->Delete(any, echo);
  server_->Options(any, echo);
  int bound = 0;
  if (port == 0) {
    bound = server_->bind_to_any_port("127.0.0.1");
  } else {
    bound = server_->bind_to_port("127.0.0.1", port) ? port : -1;
  }
  if (bound <= 0) {
    server_.reset();
    throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port));
  }
  listenEnded_ = false;
  thread_ = std::thread([this, server = server_.get()] {
    server->listen_after_bind();
    listenEnded_ = true;
  });
  // httplib's stop() does nothing until the listening loop has started, so a
  // Stop() right after Start() would leave the thread running for ever.
  while (!server_->is_running() && !listenEnded_)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return static_cast<std::uint16_t>(bound);
}

void WebhookEcho::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace devserver
