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
// the reason "Anfrage vom Host abgelehnt"; nothing is reported to the caller.
// Throws what serialisation throws (invalid UTF-8 in a string) before anything
// is handed over. Keeps no state between calls.

#include <string>

#include <nlohmann/json.hpp>

namespace qb {

void PostJson(const std::string& path, const nlohmann::json& body);

}  // namespace qb
