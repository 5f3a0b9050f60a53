#pragma once

// The simulated engine objects behind the opaque types of host.h. The fields a
// plug-in reads by lookup name come first and are found by offsetof, so every
// type stays standard-layout. Their storage is ordinary C++ memory; only the
// strings they hold live on the engine heap, so engine-heap accounting counts
// strings alone.
//
// Like the engine's own objects, these belong to the game thread: harness calls
// and plug-in callbacks that touch them must not overlap.

#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "qbhost/engine.h"

struct APlayerState {
  // "APlayerState.PlayerNamePrivate": an engine string in raw storage, built and
  // freed by host code (never by the plug-in's FString members).
  alignas(FString) unsigned char playerNamePrivate[sizeof(FString)];

  APlayerState() { ::new (static_cast<void*>(playerNamePrivate)) FString(); }
  ~APlayerState() { qbhost::EngineFree(Name()->data); }
  APlayerState(const APlayerState&) = delete;
  APlayerState& operator=(const APlayerState&) = delete;

  FString* Name() { return std::launder(reinterpret_cast<FString*>(playerNamePrivate)); }
};

struct AShooterPlayerController {
  APlayerState* playerState = nullptr;  // "AController.PlayerState", owned
  UWorld* world = nullptr;
  FWeakObjectPtr self{};  // its entry in the object table
  bool departed = false;
  std::string characterName;  // UTF-8
  std::vector<qbhost::ReceivedLine> inbox;

  AShooterPlayerController() = default;
  ~AShooterPlayerController() { delete playerState; }
  AShooterPlayerController(const AShooterPlayerController&) = delete;
  AShooterPlayerController& operator=(const AShooterPlayerController&) = delete;
};

struct UWorld {
  // "UWorld.PlayerControllerList": a view of `listStorage`, refreshed on change.
  TArray<FWeakObjectPtr> playerControllerList{nullptr, 0, 0};
  std::vector<FWeakObjectPtr> listStorage;
  // Every controller that joined, those who left included: a departed player's
  // husk stays until the world goes, so a stale pointer is recognised as one
  // and its memory is never handed to a newcomer.
  std::vector<std::unique_ptr<AShooterPlayerController>> controllers;
};

static_assert(std::is_standard_layout_v<APlayerState>);
static_assert(std::is_standard_layout_v<AShooterPlayerController>);
static_assert(std::is_standard_layout_v<UWorld>);

namespace qbhost::detail {

// The engine functions a plug-in looks up by name, with the signatures under
// which it calls them (members: the object first).
FString* GetPlayerCharacterName(AShooterPlayerController* self, FString* result);
// A plug-in resolves an entry of a world's player-controller list on its own
// copy of the reference, never on the entry inside the engine's list: called
// on such an entry, this throws std::logic_error instead of resolving it.
UObject* WeakObjectGet(FWeakObjectPtr* self, bool threadsafeTest);

// The controller behind `pointer` if it is one the host made and still keeps
// (alive or departed), else null. Never dereferences an unknown pointer.
AShooterPlayerController* FindController(const AShooterPlayerController* pointer);
// The same, but throws std::invalid_argument("<caller>: not a player
// controller of the host") for a pointer the host does not keep.
AShooterPlayerController& Known(AShooterPlayerController* controller, const char* caller);

}  // namespace qbhost::detail
