#include "bridge/chat.h"

#include <exception>
#include <string>

#include <nlohmann/json.hpp>

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
  const std::string sender = SenderName(controller);
  const std::string text = ToUtf8(message);
  if (text.empty()) return;
  nlohmann::json body;
  body["sender"] = sender;
  body["message"] = text;
  body["map"] = PluginState.map;
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
