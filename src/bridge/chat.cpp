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

// The chat body, kept from one line to the next with its three members in
// place: each line assigns into their strings, which keep their capacity, so
// once grown the body costs no allocation and no search. The host calls the
// handlers one at a time, and every line sets all three before the body is
// sent, so nothing of an earlier line can go out with a later one.
struct ChatBody {
  nlohmann::json json{{"map", ""}, {"message", ""}, {"sender", ""}};
  std::string& map = json["map"].get_ref<std::string&>();
  std::string& message = json["message"].get_ref<std::string&>();
  std::string& sender = json["sender"].get_ref<std::string&>();
};

void Forward(AShooterPlayerController* controller, const FString& message) {
  std::string sender = SenderName(controller);
  std::string text = ToUtf8(message);
  if (text.empty()) return;
  static ChatBody body;
  body.map.assign(PluginState.map);
  body.message.assign(text);
  body.sender.assign(sender);
  PostJson("/plugin/chat", body.json);
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
