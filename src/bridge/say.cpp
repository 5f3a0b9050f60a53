// "quellmoorsay <Base64 of {"sender": "...", "message": "..."}>": shows one chat
// line to every connected player and answers the RCON client in one line.
//
// SayReply turns the command line into the reply text (broadcasting on the
// way); OnSayCommand sends it, once, at the edge. Each outcome has its reply;
// none but the failure path is logged. From the JSON step on, any failure
// (malformed JSON, wrong types, exhausted memory in the conversions, the relay
// or the broadcast) is logged as one warning and answered "Ungueltiges
// JSON-Payload.". The same answer covers a failure before that step (in
// practice only exhausted memory) and a reply that cannot be written: nothing
// the command does may reach the host, which would take the server down.

#include "bridge/say.h"

#include <exception>
#include <memory>
#include <utility>

#include <fmt/core.h>
#include <nlohmann/json.hpp>

#include "bridge/base64.h"
#include "config/config.h"
#include "game/engine.h"
#include "plugin/library_path.h"
#include "plugin/plugin_log.h"

namespace qb {

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

// From the JSON document to the broadcast. Returns the reply; throws on every
// failure.
const char* SayJson(const std::string& json) {
  const nlohmann::json document = nlohmann::json::parse(json);  // strict: no comments
  // value() throws for a document that is not an object and for a present key
  // that holds anything but a string (null included). The sender is read
  // first, so its type error wins over an empty message.
  std::string sender = document.value("sender", std::string("Server"));
  std::string message = document.value("message", std::string());
  if (message.empty()) return kEmptyMessage;

  const FString senderText = ToFString(std::move(sender));
  // The line is built as a format pattern without arguments, the way the
  // engine's broadcasts are; with its braces doubled first, it reaches the
  // players brace for brace ("{0}" stays "{0}", a lone "}" does not throw).
  const FString line = ToFString(fmt::format(fmt::runtime(EscapeBraces(message))));
  const std::shared_ptr<AsaApi::ChatRelay> relay =
      AsaApi::GetApiUtils().ChatRelayFor(ToFString(OwnLibraryPath()));
  // Departed players keep their entry; it resolves to null.
  const TArray<FWeakObjectPtr>& players = PlayerControllerListOf(relay->world);
  for (std::int32_t i = 0; i < players.count; ++i) {
    if (AShooterPlayerController* controller = ResolveWeak(players.data[i])) {
      relay->SendToPlayer(controller, senderText, line);
    }
  }
  return kOk;
}

}  // namespace

const char* SayReply(std::string_view commandLine) {
  const auto space = commandLine.find(' ');
  if (space == std::string_view::npos) return kMissingPayload;
  // Everything after the first space, untrimmed: the decoder skips layout.
  const std::optional<std::string> json = DecodeBase64(commandLine.substr(space + 1));
  if (!json) return kBadBase64;
  try {
    return SayJson(*json);
  } catch (const std::exception& e) {
    WarnBadPayload(e.what());
    return kBadJson;
  }
}

void SendRconReply(RCONClientConnection* connection, RCONPacket* packet, std::string_view text) {
  if (connection == nullptr || packet == nullptr) return;
  FString reply = ToFString(std::string(text));
  using SendMessage = void (*)(RCONClientConnection*, int, int, FString&);
  const auto send = reinterpret_cast<SendMessage>(
      GetAddress("RCONClientConnection.SendMessage(int,int,FString&)"));
  send(connection, packet->id, 0, reply);
}

std::string EscapeBraces(std::string_view text) {
  std::string out(text.size() * 2, '\0');  // every byte becomes at most two
  std::size_t size = 0;
  for (const char c : text) {
    out[size++] = c;
    if (c == '{' || c == '}') out[size++] = c;
  }
  out.resize(size);
  return out;
}

void OnSayCommand(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  const bool active = PluginState.enabled;
  // Nothing to read and nobody to answer.
  if (active && packet == nullptr) return;
  // The replies are literals: falling back to the catch-all one cannot fail.
  const char* reply = kNotConfigured;
  try {
    if (active) reply = SayReply(ToUtf8(packet->body));
  } catch (const std::exception& e) {
    WarnBadPayload(e.what());
    reply = kBadJson;
  }
  // The one send. A reply that cannot be written is logged and followed by
  // the catch-all reply, which gets one more try.
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      SendRconReply(connection, packet, reply);
      return;
    } catch (const std::exception& e) {
      WarnBadPayload(e.what());
      reply = kBadJson;
    }
  }
}

}  // namespace qb
