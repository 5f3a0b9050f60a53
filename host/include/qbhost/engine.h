#pragma once

// The simulated engine objects of the stand-in host, as a harness drives them:
// a world with its player-controller list, players who join and leave, and the
// chat lines each player receives. Plug-ins reach these objects only through
// host.h (lookup by name, weak references, the chat relay).

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qbhost/standin.h"

namespace qbhost {

// Creates an empty world (not yet the current one: see SetCurrentWorld).
QB_STANDIN_API UWorld* CreateWorld();
// Destroys the world and every player in it.
QB_STANDIN_API void DestroyWorld(UWorld* world);

struct PlayerOptions {
  std::string playerName;          // the player state's name
  std::string characterName;       // may be empty
  bool withPlayerState = true;     // false: the controller's player-state field holds null
};

// A player joins: a new controller at the end of the world's list.
QB_STANDIN_API AShooterPlayerController* AddPlayer(UWorld* world, const PlayerOptions& options);
// The player leaves: the object is destroyed, but its entry stays in the list
// and resolves to null from then on, as in the engine.
QB_STANDIN_API void RemovePlayer(AShooterPlayerController* controller);
QB_STANDIN_API void SetCharacterName(AShooterPlayerController* controller, std::string_view name);
QB_STANDIN_API void SetPlayerName(AShooterPlayerController* controller, std::string_view name);
// The controllers still alive in the world, in list order.
QB_STANDIN_API std::vector<AShooterPlayerController*> LivePlayers(UWorld* world);
QB_STANDIN_API std::string PlayerLabel(AShooterPlayerController* controller);  // for printing

// A chat line shown to one player through a chat relay.
struct ReceivedLine {
  std::string sender;
  std::string text;
};
QB_STANDIN_API std::vector<ReceivedLine> Inbox(AShooterPlayerController* controller);
// Called on every line delivered to any player (the dev server prints them).
QB_STANDIN_API void SetDeliveryListener(
    std::function<void(AShooterPlayerController*, const ReceivedLine&)> listener);

}  // namespace qbhost
