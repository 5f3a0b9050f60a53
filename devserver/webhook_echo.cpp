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
  HttpService service;
  service.head = [this](const HttpRequest& req, HttpResponse& res) {
    auto refusal = BodyRefusal(req, maxBody_);
    if (!refusal) return false;
    print_("WEBHOOK " + EscapeField(req.method, false) + " " + EscapeField(req.path, false) +
           " refused=" + std::to_string(refusal->status) + " " +
           EscapeField(refusal->reason, true));
    res.status = refusal->status;
    res.SetContent(refusal->reason + "\n", "text/plain; charset=utf-8");
    return true;
  };
  // Every method and path: print, answer 200.
  service.handle = [this](const HttpRequest& req, HttpResponse& res) {
    WebhookRequest request{req.method, req.path, req.Header("Authorization"), req.body};
    print_(WebhookLine(request));
    if (observer_) observer_(request);
    res.status = 200;
  };
  HttpLimits limits;
  limits.maxBody = maxBody_;
  auto server = std::make_unique<LoopbackHttpServer>(std::move(service), limits);
  std::uint16_t bound = server->Start(port, "the webhook echo");
  server_ = std::move(server);
  return bound;
}

void WebhookEcho::Stop() {
  if (server_) server_->Stop();
  server_.reset();
}

}  // namespace devserver
