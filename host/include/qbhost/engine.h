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

// Like engine objects, all of this belongs to the game thread. Functions that
// take a controller throw std::invalid_argument for a pointer the host did not
// make (or whose world is gone).

// Creates an empty world (not yet the current one: see SetCurrentWorld).
QB_STANDIN_API UWorld* CreateWorld();
// Destroys the world and every player in it; if it is the current world, there
// is no current world afterwards.
QB_STANDIN_API void DestroyWorld(UWorld* world);

struct PlayerOptions {
  std::string playerName;       // the player state's name
  std::string characterName;    // may be empty
  bool withPlayerState = true;  // false: the controller's player-state field holds null
};

// A player joins: a new controller at the end of the world's list.
QB_STANDIN_API AShooterPlayerController* AddPlayer(UWorld* world, const PlayerOptions& options);
// The player leaves: its object is gone for the engine (its weak references
// resolve to null, its player state and name are released), but its entry
// stays in the list and still counts, as in the engine. The host keeps the
// controller's husk until the world is destroyed, so the pointer stays safe to
// pass here: Inbox still shows what it received, and a relay delivers nothing.
// Leaving twice is a no-op.
QB_STANDIN_API void RemovePlayer(AShooterPlayerController* controller);
// The controller is being destroyed (pending kill) and has not left yet: a
// weak reference to it resolves to null through FWeakObjectPtr.Get(false), as
// plug-ins call it, and to the controller only through Get(true).
QB_STANDIN_API void BeginDestroyPlayer(AShooterPlayerController* controller);
// Throws std::logic_error when the player has no player state (or has left).
QB_STANDIN_API void SetPlayerName(AShooterPlayerController* controller, std::string_view name);
// The controllers still alive in the world, in list order.
QB_STANDIN_API std::vector<AShooterPlayerController*> LivePlayers(UWorld* world);
// For printing: "#<object index> <player name, else character name>", or
// "#<object index> (left)".
QB_STANDIN_API std::string PlayerLabel(AShooterPlayerController* controller);

// A chat line shown to one player through a chat relay.
struct ReceivedLine {
  std::string sender;
  std::string text;
};
// A player chats: every chat callback runs (DispatchChat); unless one
// suppressed the line or it was a command, every live player of the world,
// the speaker included, receives it from `senderName`. There are no tribes or
// distances: every mode reaches everyone. Returns whether it was suppressed.
QB_STANDIN_API bool PlayerChat(AShooterPlayerController* speaker, std::string_view senderName,
                               std::string_view text, int mode, bool commandExecuted);
// What a player has received, oldest first: the latest kInboxLimit lines
// (older ones are forgotten, so a long run or a flood keeps memory flat).
inline constexpr std::size_t kInboxLimit = 1000;
QB_STANDIN_API std::vector<ReceivedLine> Inbox(AShooterPlayerController* controller);
// Drops what the player has received. The dev server does so when a player
// leaves: husks stay until the world goes, and their inboxes would add up.
QB_STANDIN_API void ForgetInbox(AShooterPlayerController* controller);
// The library path, as UTF-8, that the latest ChatRelayFor call named (empty
// before the first): a plug-in names its own library file there.
QB_STANDIN_API std::string LastChatRelayPath();
// Called on every line delivered to any player (the dev server prints them).
QB_STANDIN_API void SetDeliveryListener(
    std::function<void(AShooterPlayerController*, const ReceivedLine&)> listener);

}  // namespace qbhost
