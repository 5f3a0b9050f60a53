// "quellmoorsay <Base64 of {"sender": "...", "message": "..."}>": shows one chat
// line to every connected player and answers the RCON client in one line.
//
// Each outcome has its reply; none but the failure path is logged. From the
// JSON step on, any failure (malformed JSON, wrong types, exhausted memory in
// the conversions, the relay, the broadcast or the reply) is logged as one
// warning and answered "Ungueltiges JSON-Payload.". The same answer covers a
// failure before that step (in practice only exhausted memory): nothing the
// command does may reach the host, which would take the server down.

#include "bridge/say.h"

#include <exception>
#include <memory>
#include <utility>

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include "bridge/base64.h"
#include "bridge/handlers.h"
#include "config/config.h"
#include "game/engine.h"
#include "plugin/library_path.h"
#include "plugin/plugin_log.h"

namespace {

constexpr const char* kNotConfigured = "QuellmoorBridge ist nicht konfiguriert.";
constexpr const char* kMissingPayload = "Fehlendes Payload.";
constexpr const char* kBadBase64 = "Ungueltiges Base64-Payload.";
constexpr const char* kBadJson = "Ungueltiges JSON-Payload.";
constexpr const char* kEmptyMessage = "Leere Nachricht.";
constexpr const char* kOk = "OK";

void WarnBadPayload(const char* what) {
  PluginLog::Instance().Logger()->warn(
      "[QuellmoorBridge] quellmoorsay: ungueltiges JSON-Payload: {}", what);
}

// From the JSON document to the reply "OK". Throws on every failure.
void SayFromJson(RCONClientConnection* connection, RCONPacket* packet, const std::string& json) {
  const nlohmann::json document = nlohmann::json::parse(json);  // strict: no comments
  // value() throws for a document that is not an object and for a present key
  // that holds anything but a string (null included). The sender is read
  // first, so its type error wins over an empty message.
  std::string sender = document.value("sender", std::string("Server"));
  std::string message = document.value("message", std::string());
  if (message.empty()) {
    SendRconReply(connection, packet, kEmptyMessage);
    return;
  }

  const FString senderText = ToFString(std::move(sender));
  // The line is built as a format pattern without arguments, the way the
  // engine's broadcasts are; with its braces doubled first, it reaches the
  // players brace for brace ("{0}" stays "{0}", a lone "}" does not throw).
  const FString line = ToFString(fmt::format(fmt::runtime(EscapeBraces(message))));
  {
    const std::shared_ptr<AsaApi::ChatRelay> relay =
        AsaApi::GetApiUtils().ChatRelayFor(ToFString(OwnLibraryPath()));
    // Departed players keep their entry; it resolves to null.
    const TArray<FWeakObjectPtr>& players = PlayerControllerListOf(relay->world);
    for (std::int32_t i = 0; i < players.count; ++i) {
      if (AShooterPlayerController* controller = ResolveWeak(players.data[i])) {
        relay->SendToPlayer(controller, senderText, line);
      }
    }
  }
  SendRconReply(connection, packet, kOk);
}

void Say(RCONClientConnection* connection, RCONPacket* packet) {
  const std::string commandLine = ToUtf8(packet->body);
  const auto space = commandLine.find(' ');
  if (space == std::string::npos) {
    SendRconReply(connection, packet, kMissingPayload);
    return;
  }
  // Everything after the first space, untrimmed: the decoder skips layout.
  const std::optional<std::string> json =
      DecodeBase64(std::string_view(commandLine).substr(space + 1));
  if (!json) {
    SendRconReply(connection, packet, kBadBase64);
    return;
  }
  try {
    SayFromJson(connection, packet, *json);
  } catch (const std::exception& e) {
    WarnBadPayload(e.what());
    SendRconReply(connection, packet, kBadJson);
  }
}

}  // namespace

void SendRconReply(RCONClientConnection* connection, RCONPacket* packet, std::string text) {
  if (connection == nullptr || packet == nullptr) return;
  FString reply = ToFString(std::move(text));
  using SendMessage = void (*)(RCONClientConnection*, int, int, FString&);
  const auto send = reinterpret_cast<SendMessage>(
      GetAddress("RCONClientConnection.SendMessage(int,int,FString&)"));
  send(connection, packet->id, 0, reply);
}

std::string EscapeBraces(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    out.push_back(c);
    if (c == '{' || c == '}') out.push_back(c);
  }
  return out;
}

void OnSayCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  try {
    if (!PluginState.enabled) {
      SendRconReply(connection, packet, kNotConfigured);
      return;
    }
    // Nothing to read and nobody to answer.
    if (packet == nullptr) return;
    Say(connection, packet);
  } catch (const std::exception& e) {
    WarnBadPayload(e.what());
    try {
      SendRconReply(connection, packet, kBadJson);
    } catch (const std::exception& again) {
      WarnBadPayload(again.what());
    }
  }
}
