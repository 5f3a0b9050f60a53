#include "devserver/webhook_echo.h"

#include <stdexcept>

#include "devserver/loopback_http.h"

namespace devserver {

bool HasBearer(std::string_view authorization) {
  // "Bearer" is matched without regard to case, as HTTP auth schemes are.
  return authorization.size() > 7 &&
         (authorization.substr(0, 7) == "Bearer " || authorization.substr(0, 7) == "bearer ");
}

std::string WebhookLine(const WebhookRequest& request) {
  std::string line = "WEBHOOK " + EscapeField(request.method, false) + " " +
                     EscapeField(request.path, false) +
                     " bearer=" + (HasBearer(request.authorization) ? "yes" : "no");
  std::string_view body = request.body;
  if (body.size() > kPrintedBody) {
    // Cut at a character boundary, so that the line stays valid UTF-8.
    std::size_t cut = kPrintedBody;
    while (cut > 0 && (static_cast<unsigned char>(body[cut]) & 0xC0) == 0x80) --cut;
    line += " left_out=" + std::to_string(body.size() - cut);
    body = body.substr(0, cut);
  }
  return line + " body=" + EscapeField(body, true);
}

WebhookEcho::WebhookEcho(LinePrinter print, std::function<void(const WebhookRequest&)> observer,
                         std::size_t maxBody)
    : print_(std::move(print)), observer_(std::move(observer)), maxBody_(maxBody) {}

WebhookEcho::~WebhookEcho() {
  Stop();
}

std::uint16_t WebhookEcho::Start(std::uint16_t port) {
  HttpLimits limits;
  limits.maxBody = maxBody_;
  auto server = std::make_unique<LoopbackHttpServer>(limits);
  server->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
    auto refusal = BodyRefusal(req, maxBody_);
    if (!refusal) return httplib::Server::HandlerResponse::Unhandled;
    print_("WEBHOOK " + EscapeField(req.method, false) + " " + EscapeField(req.path, false) +
           " refused=" + std::to_string(refusal->status) + " " +
           EscapeField(refusal->reason, true));
    res.status = refusal->status;
    res.set_content(refusal->reason + "\n", "text/plain; charset=utf-8");
    return httplib::Server::HandlerResponse::Handled;
  });
  // Every method and path: print, answer 200.
  auto echo = [this](const httplib::Request& req, httplib::Response& res) {
    WebhookRequest request{req.method, req.path, req.get_header_value("Authorization"), req.body};
    print_(WebhookLine(request));
    if (observer_) observer_(request);
    res.status = 200;
  };
  const std::string any = ".*";
  server->Get(any, echo);
  server->Post(any, echo);
  server->Put(any, echo);
  server->Patch(any, echo);
  server->Delete(any, echo);
  server->Options(any, echo);
  std::uint16_t bound = server->Start(port, "the webhook echo");
  server_ = std::move(server);
  return bound;
}

void WebhookEcho::Stop() {
  if (server_) server_->Stop();
  server_.reset();
}

}  // namespace devserver
