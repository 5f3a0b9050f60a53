// The chat callback: forwards players' global chat lines to "/plugin/chat".
//
//   Ada says "Hallo Welt" on map Quellmoor
//   -> {"map":"Quellmoor","message":"Hallo Welt","sender":"Ada"}
//
// Only mode 0 and lines that were not commands are forwarded; an empty line is
// dropped. The sender is the character name, else the player-state name, else
// "Unbekannt". The host's broadcast is never suppressed: the result is false.

#include <exception>
#include <string>

#include <nlohmann/json.hpp>

#include "bridge/handlers.h"
#include "config/config.h"
#include "game/engine.h"
#include "plugin/plugin_log.h"
#include "webhook/post_json.h"

namespace qb {

namespace {

std::string SenderName(AShooterPlayerController* controller) {
  FString characterName("");
  PlayerCharacterNameOf(controller, &characterName);
  std::string name = ToUtf8(characterName);
  if (!name.empty()) return name;
  if (APlayerState* state = PlayerStateOf(controller)) {
    const FString playerName = PlayerNamePrivateOf(state);  // the engine's own: copy it
    name = ToUtf8(playerName);
    if (!name.empty()) return name;
  }
  return "Unbekannt";
}

void Forward(AShooterPlayerController* controller, const FString& message) {
  std::string sender = SenderName(controller);
  std::string text = ToUtf8(message);
  if (text.empty()) return;
  // The members go in in key order, each at the end of the object: no search
  // for its place and no temporary value in between.
  nlohmann::json body(nlohmann::json::value_t::object);
  auto& members = body.get_ref<nlohmann::json::object_t&>();
  members.emplace_hint(members.end(), "map", PluginState.map);
  members.emplace_hint(members.end(), "message", std::move(text));
  members.emplace_hint(members.end(), "sender", std::move(sender));
  PostJson("/plugin/chat", body);
}

}  // namespace

bool OnChatMessage(AShooterPlayerController* controller, FString* message, int mode,
                   int /*senderPlatform*/, bool /*spamCheck*/, bool commandExecuted) {
  if (!PluginState.enabled || commandExecuted || controller == nullptr || message == nullptr ||
      mode != 0) {
    return false;
  }
  // An exception that left a host callback would unwind into the game.
  try {
    Forward(controller, *message);
  } catch (const std::exception& e) {
    PluginLog::Instance().Logger()->warn("[QuellmoorBridge] Chat-Weiterleitung fehlgeschlagen: {}",
                                         e.what());
  }
  return false;
}

}  // namespace qb
