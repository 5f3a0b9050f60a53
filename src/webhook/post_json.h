#pragma once

// The plug-in's one way of talking to the webhook service: one HTTP POST of a
// JSON document to the configured base URL followed by `path`, with bearer
// authorisation, handed to the host's request service without waiting.
//
//   PostJson("/plugin/chat", {{"sender", "Ada"}, {"message", "hi"}, {"map", ""}})
//   -> POST <webhookBaseUrl>/plugin/chat
//      Authorization: Bearer <token>, Content-Type: application/json
//      {"map":"","message":"hi","sender":"Ada"}
//
// Does nothing while the plug-in is inactive. A failed request is logged later
// by the completion callback ("[QuellmoorBridge] POST <path> fehlgeschlagen:
// <text>"), one the request service refuses at once with the same line and
// the reason "Anfrage vom Host abgelehnt"; nothing is reported to the caller. Throws what
// serialisation throws (invalid UTF-8 in a string) before anything is handed over.

#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace qb {

// A path below the base URL. Only a string literal makes one, so its text
// lives as long as the library: the completion callback keeps the path without
// a copy.
class WebhookPath {
 public:
  template <std::size_t N>
  consteval WebhookPath(const char (&literal)[N])  // implicit: PostJson("/plugin/chat", body)
      : text_(literal, N - 1) {}
  constexpr std::string_view text() const { return text_; }

 private:
  std::string_view text_;
};

void PostJson(WebhookPath path, const nlohmann::json& body);

}  // namespace qb
